// The monitor watching four lines at once with the plug-in built here:
// pmbus-sim on two pseudo-terminals of their own, and two more at ADR 2 and 3
// behind one pseudo-terminal (an RS-485 bus). The simulator of the first line
// is killed mid-run and started again: the other lines go on round after
// round meanwhile, and the first comes back on its port.
#include "tools/e2e/child_process.h"
#include "tools/e2e/plant_plan.h"
#include "tools/e2e/pty_splitter.h"
#include "tools/e2e/round_checks.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Sim {
    Sim(const std::string& dir, int address, int n) : log(dir + "/sim" + std::to_string(n) + ".log") {
        process = std::make_unique<ChildProcess>(SIM_BIN, std::vector<std::string>{"--address", std::to_string(address)},
                                                 log);
        if (!process->Line(pts, Clock::now() + 60s)) ADD_FAILURE() << "pmbus-sim did not start:\n" << ReadFile(log);
    }
    std::string log;
    std::unique_ptr<ChildProcess> process;
    std::string pts;
};

Json::Value LineConfig(const std::string& port, int address, unsigned busId) {
    Json::Value l(Json::objectValue);
    l["port"] = port;
    l["address"] = address;
    l["data_id"] = busId;
    l["timeout_ms"] = 500;
    l["reopen_min_ms"] = 100;
    l["reopen_max_ms"] = 400;
    l["acSetting"][0]["data_id"] = busId + 1;
    l["dcSetting"][0]["data_id"] = busId + 2;
    l["dcSetting"][1]["data_id"] = busId + 3;
    l["rcSetting"] = Json::Value(Json::objectValue);
    return l;
}

// Bus ids in the history rows of a child's data id.
std::set<long long> BusIdsOf(const std::string& db, unsigned dataId) {
    sqlite3* h = nullptr;
    std::set<long long> out;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(h, "SELECT DISTINCT bus_id FROM history WHERE data_id=?", -1, &s, nullptr);
        sqlite3_bind_int64(s, 1, dataId);
        while (sqlite3_step(s) == SQLITE_ROW) out.insert(sqlite3_column_int64(s, 0));
        sqlite3_finalize(s);
    }
    sqlite3_close(h);
    return out;
}

TEST(EndToEnd, MonitorPollsFourLinesAndALostOneChangesNothingForTheOthers) {
    TempDir dir;
    std::vector<std::unique_ptr<Sim>> sims;
    for (int i = 0; i < 4; ++i) sims.push_back(std::make_unique<Sim>(dir.Path(), i < 2 ? 1 : i, i));
    for (const auto& s : sims) ASSERT_FALSE(s->pts.empty());
    // The first line's port is a name that follows its simulator, the way a
    // udev name follows a USB adapter.
    const std::string first = dir.Path() + "/ttyFirst";
    std::filesystem::create_symlink(sims[0]->pts, first);
    PtySplitter bus({sims[2]->pts, sims[3]->pts});

    const unsigned ids[4] = {1000, 2000, 3000, 4000};
    const std::string ports[4] = {first, sims[1]->pts, bus.Path(), bus.Path()};
    Json::Value site(Json::objectValue);
    site["database"] = dir.Path() + "/history.db";
    for (int i = 0; i < 4; ++i) site["lines"][i] = LineConfig(ports[i], i < 2 ? 1 : i, ids[i]);
    const std::string sitePath = dir.Path() + "/site.json";
    WriteFile(sitePath, Compact(site));
    const std::string hostLog = dir.Path() + "/host.log";

    ChildProcess monitor(MONITOR_BIN,
                         {"--config", sitePath, "--plugin", REAL_PLUGIN, "--json", "--log", hostLog, "--duration", "300"},
                         hostLog);
    std::map<unsigned, std::vector<Json::Value>> rounds;  // by bus data id
    const auto deadline = Clock::now() + 280s;
    // Reads rounds until each listed line has `more` rounds beyond `from`.
    auto readUntil = [&](const std::vector<unsigned>& lines, const std::map<unsigned, std::size_t>& from,
                         std::size_t more) {
        auto done = [&] {
            for (unsigned id : lines)
                if (rounds[id].size() < from.at(id) + more) return false;
            return true;
        };
        for (std::string line; !done() && monitor.Line(line, deadline);) {
            const Json::Value r = ParseLine(line);
            rounds[r["bus"]["data_id"].asUInt()].push_back(r);
        }
        return done();
    };
    auto counts = [&] {
        std::map<unsigned, std::size_t> c;
        for (unsigned id : ids) c[id] = rounds[id].size();
        return c;
    };

    ASSERT_TRUE(readUntil({1000, 2000, 3000, 4000}, counts(), 3)) << ReadFile(hostLog);
    sims[0]->process->Signal(SIGKILL);
    sims[0]->process->Wait(10s);
    const auto atKill = counts();
    // The other lines go on while the first is away.
    EXPECT_TRUE(readUntil({2000, 3000, 4000}, atKill, 4)) << ReadFile(hostLog);
    const auto beforeRestart = counts();
    // A round may have ended as the simulator died; none after that.
    EXPECT_LE(beforeRestart.at(1000), atKill.at(1000) + 1);

    Sim again(dir.Path(), 1, 9);
    ASSERT_FALSE(again.pts.empty());
    const std::string next = first + ".new";
    std::filesystem::create_symlink(again.pts, next);
    std::filesystem::rename(next, first);
    EXPECT_TRUE(readUntil({1000, 2000, 3000, 4000}, beforeRestart, 2)) << ReadFile(hostLog);
    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.Wait(60s), 0);

    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(ids[i]);
        const auto& mine = rounds[ids[i]];
        ASSERT_FALSE(mine.empty());
        for (std::size_t k = 0; k < mine.size(); ++k) {
            // Every line numbers its own rounds, none skipped, on its own port.
            EXPECT_EQ(mine[k]["round"].asUInt64(), k + 1);
            EXPECT_EQ(mine[k]["port"].asString(), ports[i]);
            EXPECT_EQ(mine[k]["devices"][0]["data_id"].asUInt(), ids[i] + 1);
        }
        if (i > 0) {
            EXPECT_EQ(mine.back()["stats"]["port_losses"].asUInt64(), 0u);
        }
        for (unsigned child = ids[i] + 1; child <= ids[i] + 3; ++child)
            EXPECT_EQ(BusIdsOf(site["database"].asString(), child), (std::set<long long>{ids[i]})) << child;
    }
    // The first line lost its port and found it again.
    EXPECT_GE(rounds[1000].back()["stats"]["reopens"].asUInt64(), 1u);
    EXPECT_GT(rounds[1000].size(), beforeRestart.at(1000));
    if (HasFailure()) ADD_FAILURE() << "monitor log:\n" << ReadFile(hostLog);
}

}  // namespace
}  // namespace e2e
