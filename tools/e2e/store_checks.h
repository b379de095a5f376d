#pragma once
// Checks of the host's database after a run against the plan and the
// rounds the host reported: one history row per child per round holding
// the snapshot that child published in that round, the newest snapshot of
// every child decoding to the last round's plant, and exactly the plan's
// alarm begin and end events, each written in the round the plan sets.
#include "tools/e2e/plant_plan.h"
#include "tools/runtime/history_store.h"

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

struct HistoryRow {
    std::int64_t id = 0;
    std::string time;
    std::uint32_t dataId = 0;
    int typeNumber = 0;
    std::vector<std::uint8_t> snapshot;
};

// Every row of table history in id order (read with SQLite directly, not
// through the runtime's store). A failure is reported and gives no rows.
std::vector<HistoryRow> ReadHistory(const std::string& database);

// rounds: the round objects the host reported, round 1 first.
void ExpectHistory(const Plan& plan, const std::vector<Json::Value>& rounds, const std::vector<HistoryRow>& rows,
                   const std::string& database);

void ExpectAlarmEvents(const Plan& plan, const std::vector<rt::AlarmRow>& events,
                       const std::vector<HistoryRow>& rows);

}  // namespace e2e
