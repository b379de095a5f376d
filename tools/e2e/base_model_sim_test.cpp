// The host runtime driving the base model's bus device (QZL4200, which the
// plug-in does not export) in process, against pmbus-sim --model qzl4200 on
// its pseudo-terminal: three DC units (the simulator's four-unit layout is
// left out), the same comings and goings as the tvr27pk run, and five faults
// on other commands than there.
#include "bus/bus_models.h"
#include "tools/e2e/child_process.h"
#include "tools/e2e/plant_plan.h"
#include "tools/e2e/round_checks.h"
#include "tools/e2e/sim_run.h"
#include "tools/model/round.h"
#include "tools/model/round_view.h"
#include "tools/runtime/host_runtime.h"
#include "tools/runtime/log_sink.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace e2e {
namespace {

using namespace std::chrono_literals;

Plan BaseModelPlan() {
    Plan p;
    p.model = Model::kQzl4200;
    p.dcUnits = 3;
    p.rounds = 8;
    p.busId = 2000;
    p.phaseLoss = {2, 5};
    p.moduleFault = {3, 6};
    p.fuseFault = {4, 7};
    p.faults = {
        {"wrong_cid1", "40_41", 2},  // refused: the exchange is reset, 40_41 asked again 2 s later
        {"truncate", "41_41", 3},
        {"drop", "42_44", 4},
        {"error_rtn", "40_44", 5},
        {"bad_checksum", "41_44", 6},
    };
    return p;
}

TEST(EndToEnd, HostRuntimeWithTheBaseModelSurvivesFaultsWithoutLosingARound) {
    const Plan plan = BaseModelPlan();
    SimRun run(plan);
    ASSERT_FALSE(run.pts.empty());

    Json::Value site = plan.Site(run.database);
    site["port"] = run.pts;
    std::mutex mutex;
    std::vector<Json::Value> rounds;
    bool timedOut = false;
    {
        rt::LogSink log;
        ASSERT_TRUE(log.Open(run.hostLog));
        boost::asio::io_context io;
        auto host = std::make_shared<rt::HostRuntime>(io, rt::OptionsFromJson(site), log);
        auto bus = std::make_shared<QZL4200>();
        bus->Init(host, plan.busId, site);
        ASSERT_TRUE(bus->InitSetting(site));
        host->Attach(bus);
        EXPECT_EQ(host->RestoreChildren(), 0);

        // Only ends a hung run: the rounds take about 2 s each.
        boost::asio::steady_timer deadline(io);
        deadline.expires_after(240s);
        deadline.async_wait([&](const boost::system::error_code& ec) {
            if (ec) return;
            timedOut = true;
            host->Stop();
        });
        host->OnRoundEnd([&](const rt::RoundEnd& end) {
            if (end.round > static_cast<std::uint64_t>(plan.rounds)) return;
            // Built on the io thread like the monitor's, completed on the
            // worker after the round's work items.
            model::RoundData r = model::BuildRound(end, *bus, 0, run.pts);
            host->Work().Post([&, r = std::move(r)]() mutable {
                model::AddActiveAlarms(r, host->Alarms().Active());
                const model::Round round(std::move(r));
                std::lock_guard<std::mutex> lock(mutex);
                rounds.push_back(round.Tree());
            });
            if (end.round == static_cast<std::uint64_t>(plan.rounds)) {
                host->Stop();
                deadline.cancel();
            }
        });
        host->Start();
        io.run();
        host->Shutdown();
    }
    run.StopSim();

    const std::string logs = "host log:\n" + ReadFile(run.hostLog) + "\nsimulator log:\n" + ReadFile(run.simLog);
    EXPECT_FALSE(timedOut);
    ASSERT_EQ(rounds.size(), static_cast<std::size_t>(plan.rounds)) << logs;
    for (std::size_t k = 0; k < rounds.size(); ++k) ExpectRound(plan, static_cast<int>(k + 1), rounds[k]);
    run.ExpectStored(rounds);
    if (HasFailure()) ADD_FAILURE() << logs;
}

}  // namespace
}  // namespace e2e
