#pragma once
// The round object's JSON, written straight from a RoundData: the same text
// jsoncpp would write for the tree of the same members (members of every
// object in name order, rt::JsonLine's numbers), at a fraction of the cost.
#include "tools/model/round_data.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace model {

// The text of each snapshot's decoded fields (AppendSnapshotFields), in
// the order of r.snapshots: written once, used by the snapshot and its device.
std::vector<std::string> SnapshotFieldsTexts(const RoundData& r);

// fields: SnapshotFieldsTexts(r).
void AppendRound(std::string& out, const RoundData& r, const std::vector<std::string>& fields);
// One device's object of "devices".
void AppendDevice(std::string& out, const DeviceRound& d, const std::vector<std::string>& fields);
// The "rules" array (its text is shared by rounds: RuleList).
void AppendRules(std::string& out, const std::vector<rule_value>& rules);
// The decoded fields of a snapshot: the text of JsonLine(DecodeSnapshot(...)).
void AppendSnapshotFields(std::string& out, int typeNumber, const std::uint8_t* data, std::size_t length);

}  // namespace model
