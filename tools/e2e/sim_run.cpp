#include "tools/e2e/sim_run.h"

#include "tools/e2e/round_checks.h"
#include "tools/e2e/store_checks.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>

namespace e2e {

using namespace std::chrono_literals;

SimRun::SimRun(const Plan& p) : plan(p) {
    WriteFile(scenario, rt::JsonLine(plan.Scenario()));
    sim_ = std::make_unique<ChildProcess>(SIM_BIN, std::vector<std::string>{"--scenario", scenario}, simLog);
    if (!sim_->Line(pts, std::chrono::steady_clock::now() + 60s)) {
        pts.clear();
        ADD_FAILURE() << "pmbus-sim did not start:\n" << ReadFile(simLog);
    }
}

void SimRun::StopSim() {
    sim_->Signal(SIGTERM);
    EXPECT_EQ(sim_->Wait(60s), 0);
}

void SimRun::ExpectStored(const std::vector<Json::Value>& rounds) const {
    ExpectFaultsInjected(plan, ReadFile(simLog));
    const std::vector<HistoryRow> rows = ReadHistory(database);
    ExpectHistory(plan, rounds, rows, database);
    rt::HistoryStore store(database);
    ExpectAlarmEvents(plan, store.Alarms(), rows);
}

}  // namespace e2e
