#pragma once
// What both end-to-end runs share: a scratch folder with the plan written
// out as the simulator's scenario, pmbus-sim started on its pseudo-terminal,
// and the checks of the simulator's log and the database after the run.
#include "tools/e2e/child_process.h"
#include "tools/e2e/plant_plan.h"

#include <json/value.h>

#include <memory>
#include <string>
#include <vector>

namespace e2e {

class SimRun {
public:
    explicit SimRun(const Plan& plan);
    // Ends the simulator (SIGTERM) and expects status 0.
    void StopSim();
    // The simulator hit every planned fault once; the database holds the
    // rounds' snapshots and exactly the planned alarm events.
    void ExpectStored(const std::vector<Json::Value>& rounds) const;

    const Plan& plan;
    TempDir dir;
    const std::string scenario = dir.Path() + "/scenario.json";
    const std::string database = dir.Path() + "/history.db";
    const std::string simLog = dir.Path() + "/sim.log";
    const std::string hostLog = dir.Path() + "/host.log";
    std::string pts;  // empty when the simulator did not start

private:
    std::unique_ptr<ChildProcess> sim_;
};

}  // namespace e2e
