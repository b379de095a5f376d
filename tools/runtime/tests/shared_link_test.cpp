// Two bus devices at two addresses on one port: their runtimes share one
// link and take turns, each answer reaches the device that asked, and a
// silent device costs the other nothing but its own timeouts.
#include "tools/runtime/host_runtime.h"
#include "tools/runtime/tests/fake_bus.h"
#include "tools/runtime/tests/pty_power_system.h"
#include "tools/runtime/tests/temp_dir.h"

#include <boost/asio/executor_work_guard.hpp>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <set>
#include <thread>

namespace rttest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAnswerDelayMs = 30;

struct Bus {
    std::shared_ptr<rt::HostRuntime> host;
    std::shared_ptr<FakeBus> bus;
    std::atomic<int> rounds{0};
};

// Runs lines at ADR 1 and 2 on one pseudo-terminal until line 1 has done
// `rounds` rounds; `answers(adr)` says whether that address answers.
struct TwoOnOnePort {
    explicit TwoOnOnePort(std::function<bool(int)> answers)
        : ps(dir.Path(), [this, answers](const frame::Frame& req, int) -> std::vector<Reply> {
              {
                  std::lock_guard<std::mutex> lock(mutex);
                  reads.push_back(Clock::now());
              }
              if (!answers(req.adr)) return {};
              return {{AnswerFrame(req.cid1, Float(50.0f + req.adr), 0, 0x21, req.adr), kAnswerDelayMs}};
          }) {
        log.Open(dir.Path() + "/host.log");
    }

    void Run(int rounds) {
        rt::SiteShared shared(dir.Path() + "/h.db", log);
        Json::Value site(Json::objectValue);
        site["port"] = ps.Path();
        site["timeout_ms"] = 150;
        site["refresh_ms"] = 10;
        auto link = std::make_shared<rt::SharedLink>(io, rt::OptionsFromJson(site).line,
                                                     [this](const std::string& t) { log.Write(t); });
        for (int adr = 1; adr <= 2; ++adr) {
            site["address"] = adr;
            site["data_id"] = 100 * adr;
            Bus& b = lines[adr - 1];
            b.host = std::make_shared<rt::HostRuntime>(io, rt::OptionsFromJson(site), log, shared, link);
            b.bus = std::make_shared<FakeBus>();
            b.bus->Init(b.host, 100u * adr, site);
            b.bus->InitSetting(site);
            b.host->Attach(b.bus);
            b.host->OnRoundEnd([&b](const rt::RoundEnd&) { ++b.rounds; });
            b.host->Start();
        }
        auto guard = boost::asio::make_work_guard(io);
        std::thread t([this] { io.run(); });
        const auto end = Clock::now() + std::chrono::seconds(30);
        while (lines[0].rounds < rounds && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (Bus& b : lines) b.host->Stop();
        guard.reset();
        t.join();
        shared.worker.Drain();
        stats[0] = lines[0].host->Stats();
        stats[1] = lines[1].host->Stats();
        for (Bus& b : lines) b.host.reset();
        shared.worker.Stop();
    }

    TempDir dir;
    std::mutex mutex;
    std::vector<Clock::time_point> reads;
    PtyPowerSystem ps;
    rt::LogSink log;
    boost::asio::io_context io;
    Bus lines[2];
    rt::LineStats stats[2];
};

std::set<long long> BusIdsOf(const std::string& db, int dataId) {
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(h, "SELECT DISTINCT bus_id FROM history WHERE data_id=?", -1, &s, nullptr);
    sqlite3_bind_int(s, 1, dataId);
    std::set<long long> out;
    while (sqlite3_step(s) == SQLITE_ROW) out.insert(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(h);
    return out;
}

TEST(SharedLink, TwoAddressesOnOnePortTakeTurnsAndGetTheirOwnAnswers) {
    TwoOnOnePort run([](int) { return true; });
    run.Run(4);
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(k);
        EXPECT_GE(run.lines[k].rounds, 3);
        EXPECT_EQ(run.stats[k].timeouts, 0u);
        EXPECT_EQ(run.stats[k].foreign_frames, 0u);
        EXPECT_EQ(run.stats[k].stray_frames + run.stats[k].late_frames, 0u);
        EXPECT_FLOAT_EQ(run.lines[k].bus->rc->Value(), 51.0f + static_cast<float>(k));
    }
    // Every request is written after the answer to the one before it: no
    // two requests are on the wire together.
    ASSERT_GE(run.reads.size(), 12u);
    for (std::size_t i = 1; i < run.reads.size(); ++i)
        EXPECT_GE(run.reads[i] - run.reads[i - 1], std::chrono::milliseconds(kAnswerDelayMs)) << i;
    // Both lines have a child with data id 201; the rows tell them apart.
    EXPECT_EQ(BusIdsOf(run.dir.Path() + "/h.db", 201), (std::set<long long>{100, 200}));
}

TEST(SharedLink, ASilentAddressCostsTheOtherOnlyItsTimeouts) {
    TwoOnOnePort run([](int adr) { return adr == 1; });
    run.Run(4);
    EXPECT_GE(run.lines[0].rounds, 4);
    EXPECT_EQ(run.stats[0].timeouts, 0u);
    EXPECT_EQ(run.lines[1].rounds, 0);
    EXPECT_GE(run.stats[1].timeouts, 1u);
    EXPECT_EQ(run.stats[1].answers, 0u);
}

}  // namespace
}  // namespace rttest
