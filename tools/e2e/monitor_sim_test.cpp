// The monitor program with the plug-in built in this tree against pmbus-sim
// on its pseudo-terminal: the tvr27pk bus device through eleven rounds in
// which a phase loss, a rectifier module fault and a fuse fault come and go
// and every fault kind of the simulator hits once, in a round of its own.
#include "tools/e2e/child_process.h"
#include "tools/e2e/plant_plan.h"
#include "tools/e2e/round_checks.h"
#include "tools/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace e2e {
namespace {

using namespace std::chrono_literals;

Plan Tvr27pkPlan() {
    Plan p;
    p.model = Model::kTvr27pk;
    p.dcUnits = 2;
    p.rounds = 11;
    p.busId = 1000;
    p.phaseLoss = {3, 7};
    p.moduleFault = {4, 8};
    p.fuseFault = {5, 9};
    // Each kind once, in a round of its own; the gated answers are hit in
    // the rounds whose change makes the bus device ask for them.
    p.faults = {
        {"noise", "40_41", 2},
        {"bad_length_checksum", "40_44", 3},
        {"wrong_cid1", "41_44", 4},
        {"truncate", "42_44", 5},
        {"error_rtn", "41_41", 6},
        {"drop", "40_41", 7},
        {"delay", "42_46", 8},
        {"bad_checksum", "42_41", 9},
    };
    return p;
}

TEST(EndToEnd, MonitorWithThePlugInSurvivesEveryFaultKindWithoutLosingARound) {
    const Plan plan = Tvr27pkPlan();
    SimRun run(plan);
    ASSERT_FALSE(run.pts.empty());
    const std::string site = run.dir.Path() + "/site.json";
    WriteFile(site, rt::JsonLine(plan.Site(run.database)));

    std::vector<Json::Value> rounds;
    {
        ChildProcess monitor(MONITOR_BIN,
                             {"--config", site, "--port", run.pts, "--plugin", REAL_PLUGIN, "--rounds",
                              std::to_string(plan.rounds), "--json", "--log", run.hostLog},
                             run.hostLog);
        // About 2 s a round plus the timeouts; the limit only ends a hung run.
        const auto deadline = std::chrono::steady_clock::now() + 240s;
        for (std::string line; monitor.Line(line, deadline);) rounds.push_back(ParseLine(line));
        EXPECT_EQ(monitor.Wait(60s), 0);
    }
    run.StopSim();

    const std::string logs = "monitor log:\n" + ReadFile(run.hostLog) + "\nsimulator log:\n" + ReadFile(run.simLog);
    ASSERT_EQ(rounds.size(), static_cast<std::size_t>(plan.rounds)) << logs;
    for (std::size_t k = 0; k < rounds.size(); ++k) {
        ExpectRound(plan, static_cast<int>(k + 1), rounds[k]);
        EXPECT_EQ(rounds[k]["restored"].asInt(), 0);
        EXPECT_EQ(rounds[k]["port"].asString(), run.pts);
    }
    run.ExpectStored(rounds);
    if (HasFailure()) ADD_FAILURE() << logs;
}

}  // namespace
}  // namespace e2e
