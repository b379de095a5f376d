#pragma once
// Checks of one round as the monitor reports it (its --json round object,
// or the same object built in process with model::BuildRound) against
// the plan: every child published, its decoded snapshot and signals hold
// the plant's values of that round, exactly the plan's alarms are active,
// and the line counters add up to the plan's requests and faults.
#include "tools/e2e/plant_plan.h"

#include <json/value.h>

#include <cstddef>
#include <string>

namespace e2e {

void ExpectRound(const Plan& plan, int round, const Json::Value& r);

// The decoded snapshot fields of child number child (GetAllChildVDevices
// order) against the plant state of round.
void ExpectFields(const Plan& plan, int round, std::size_t child, const Json::Value& fields);

// The simulator's log shows every fault of the plan hit once, in its round,
// and no other; it served exactly the plan's rounds.
void ExpectFaultsInjected(const Plan& plan, const std::string& simLog);

// Parses one JSON line; a failure is reported and gives null.
Json::Value ParseLine(const std::string& line);

}  // namespace e2e
