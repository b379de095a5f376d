// The monitor with the plug-in built here on four lines: pmbus-sim on two
// pseudo-terminals of their own, and at ADR 2 and 3 behind one (an RS-485
// bus through PtySplitter). The first line's simulator is killed mid-run and
// started again: the other lines go on meanwhile, and it comes back.
#include "tools/e2e/child_process.h"
#include "tools/e2e/plant_plan.h"
#include "tools/e2e/pty_splitter.h"
#include "tools/e2e/round_checks.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <sqlite3.h>

#include <signal.h>

#include <array>
#include <filesystem>
#include <map>
#include <memory>

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The built-in plant without its injected faults: any timeout or bad frame
// on a line that was not lost is then the monitor's doing.
std::unique_ptr<ChildProcess> StartSim(const std::string& dir, int address, std::string& pts) {
    Json::Value scenario = ParseLine(ReadFile(DEFAULT_SCENARIO));
    scenario.removeMember("faults");
    WriteFile(dir + "/scenario.json", rt::JsonLine(scenario));
    auto sim = std::make_unique<ChildProcess>(
        SIM_BIN, std::vector<std::string>{"--scenario", dir + "/scenario.json", "--address", std::to_string(address)},
        dir + "/sim.log");
    if (!sim->Line(pts, Clock::now() + 60s)) ADD_FAILURE() << "pmbus-sim did not start:\n" << ReadFile(dir + "/sim.log");
    return sim;
}

Json::Value LineConfig(const std::string& port, int address, unsigned id) {
    Json::Value l = ParseLine(R"({"timeout_ms": 500, "reopen_min_ms": 100, "reopen_max_ms": 400, "rcSetting": {}})");
    l["port"] = port;
    l["address"] = address;
    l["data_id"] = id;
    l["acSetting"][0]["data_id"] = id + 1;
    l["dcSetting"][0]["data_id"] = id + 2;
    l["dcSetting"][1]["data_id"] = id + 3;
    return l;
}

TEST(EndToEnd, MonitorPollsFourLinesAndALostOneChangesNothingForTheOthers) {
    TempDir dir;
    std::string pts[5];
    const int adr[4] = {1, 1, 2, 3};
    std::unique_ptr<ChildProcess> sims[4];
    for (int i = 0; i < 4; ++i) sims[i] = StartSim(dir.Path(), adr[i], pts[i]);
    // The first line's port is a name that follows its simulator, as a udev
    // name follows a USB adapter.
    const std::string first = dir.Path() + "/ttyFirst";
    std::filesystem::create_symlink(pts[0], first);
    PtySplitter bus({pts[2], pts[3]});
    const std::string ports[4] = {first, pts[1], bus.Path(), bus.Path()};
    Json::Value site;
    site["database"] = dir.Path() + "/history.db";
    for (int i = 0; i < 4; ++i) site["lines"][i] = LineConfig(ports[i], adr[i], 1000u * (i + 1));
    WriteFile(dir.Path() + "/site.json", rt::JsonLine(site));

    const std::string log = dir.Path() + "/host.log";
    ChildProcess monitor(MONITOR_BIN, {"--config", dir.Path() + "/site.json", "--plugin", REAL_PLUGIN, "--json",
                                       "--log", log, "--duration", "300"}, log);
    std::vector<Json::Value> rounds[4];
    // Reads rounds until lines [from, 4) each have n more than in `at`.
    auto readUntil = [&](int from, std::array<std::size_t, 4> at, std::size_t n) {
        auto done = [&] {
            for (int i = from; i < 4; ++i)
                if (rounds[i].size() < at[i] + n) return false;
            return true;
        };
        for (std::string line; !done() && monitor.Line(line, Clock::now() + 120s);) {
            const Json::Value r = ParseLine(line);
            rounds[r["bus"]["data_id"].asUInt() / 1000 - 1].push_back(r);
        }
        EXPECT_TRUE(done()) << ReadFile(log);
        return std::array<std::size_t, 4>{rounds[0].size(), rounds[1].size(), rounds[2].size(), rounds[3].size()};
    };

    const auto atKill = readUntil(0, {}, 3);
    sims[0]->Signal(SIGKILL);
    sims[0]->Wait(10s);
    const auto atRestart = readUntil(1, atKill, 4);
    EXPECT_LE(atRestart[0], atKill[0] + 1);  // a round may have ended as it died; none after
    sims[0] = StartSim(dir.Path(), 1, pts[4]);
    std::filesystem::create_symlink(pts[4], first + ".new");
    std::filesystem::rename(first + ".new", first);
    readUntil(0, atRestart, 2);
    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.Wait(60s), 0) << ReadFile(log);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(site["database"].asCString(), &db), SQLITE_OK);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(ports[i]);
        for (std::size_t k = 0; k < rounds[i].size(); ++k) {
            // Each line numbers its own rounds, none skipped, on its own port.
            EXPECT_EQ(rounds[i][k]["round"].asUInt64(), k + 1);
            EXPECT_EQ(rounds[i][k]["port"].asString(), ports[i]);
            EXPECT_EQ(rounds[i][k]["devices"][0]["data_id"].asUInt(), 1000u * (i + 1) + 1);
        }
        const Json::Value& st = rounds[i].back()["stats"];
        // Lines 2-4 were never lost; 3 and 4 took turns on their bus.
        if (i > 0) {
            EXPECT_EQ(st["timeouts"].asUInt64() + st["bad_frames"].asUInt64() + st["port_losses"].asUInt64(), 0u);
        }
        // The history rows of the line's children carry its bus data id.
        const std::string q = "SELECT COUNT(*) FROM history WHERE data_id BETWEEN " + std::to_string(1000 * (i + 1) + 1) +
                              " AND " + std::to_string(1000 * (i + 1) + 3) + " AND bus_id IS NOT " +
                              std::to_string(1000 * (i + 1));
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, q.c_str(), -1, &s, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(s, 0), 0);
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    EXPECT_GE(rounds[0].back()["stats"]["reopens"].asUInt64(), 1u);  // the first line found its port again
}

}  // namespace
}  // namespace e2e
