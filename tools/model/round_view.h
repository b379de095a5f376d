#pragma once
// The round of a line, taken from the round end: what the round object
// (the --json line, /api/round, the stream, the MQTT state) is written from.
#include "host/rule_value.h"
#include "tools/model/round_data.h"
#include "tools/runtime/host_runtime.h"
#include "tools/runtime/json_line.h"

#include <json/value.h>

#include <string>
#include <vector>

namespace model {

// Built on the io thread at the round end (Get_Value, ages, snapshots).
// Takes the rules and snapshots of end (move it in when it is not needed
// after); its rules are previousRules when they are the same (RuleList::Share).
RoundData BuildRound(rt::RoundEnd end, PMBusProtocol& bus, int restored, const std::string& port,
                     const RuleListPtr& previousRules = nullptr);
// A round object read back (a --json line, a recorded round): the values
// it was written from.
RoundData RoundFromJson(const Json::Value& round);
// Sets "active_alarms" (call where the round's work items have run).
void AddActiveAlarms(RoundData& round, const std::vector<rule_value>& active);

// One rule as in "rules" and "active_alarms", as a tree (the event stream's).
Json::Value RuleJson(const rule_value& r);

// One line, no trailing newline; UTF-8 texts as they are.
using rt::JsonLine;

// Upper-case hex digits, two a byte.
std::string Hex(const std::vector<std::uint8_t>& bytes);
void AppendHex(std::string& out, const std::vector<std::uint8_t>& bytes);

}  // namespace model
