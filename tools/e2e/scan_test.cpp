// monitor scan: three simulators behind one pseudo-terminal (an RS-485 bus
// through PtySplitter) at ADR 3 and 7 and, with a model the plug-in does
// not support, at 9; then the site file it writes runs unchanged. And a
// silent port: every address of 1-254 costs one answer timeout and nothing
// is found.
#include "tools/e2e/child_process.h"
#include "tools/e2e/plant_plan.h"
#include "tools/e2e/pty_splitter.h"
#include "tools/e2e/round_checks.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Output {
    int status = -1;
    std::string text;
};

Output RunMonitor(const std::vector<std::string>& args, std::chrono::seconds limit = 120s) {
    ChildProcess p(MONITOR_BIN, args);
    Output o;
    for (std::string line; p.Line(line, Clock::now() + limit);) o.text += line + "\n";
    o.status = p.Wait(10s);
    return o;
}

std::unique_ptr<ChildProcess> StartSim(const std::string& dir, int address, const std::string& model,
                                       std::string& pts, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"--address", std::to_string(address), "--model", model, "--baud", "9600"};
    args.insert(args.end(), more.begin(), more.end());
    auto sim = std::make_unique<ChildProcess>(SIM_BIN, args, dir + "/sim" + std::to_string(address) + ".log");
    if (!sim->Line(pts, Clock::now() + 60s)) ADD_FAILURE() << "pmbus-sim did not start";
    return sim;
}

TEST(Scan, FindsTheSystemsBehindOneBusAndWritesASiteFileThatRuns) {
    TempDir dir;
    std::string pts[3];
    const int adr[3] = {3, 7, 9};
    std::unique_ptr<ChildProcess> sims[3];
    // ADR 7 misses its first DC group answer: a missed answer is asked
    // again, never taken for a system without DC units. (One miss: the
    // tries left over are the room a slow machine needs for its answers.)
    for (int i = 0; i < 3; ++i)
        sims[i] = StartSim(dir.Path(), adr[i], i == 2 ? "qzl4200" : "tvr27pk", pts[i],
                           i == 1 ? std::vector<std::string>{"--fault", "drop:42_41:times=1"} : std::vector<std::string>{});
    PtySplitter bus({pts[0], pts[1], pts[2]});
    const std::string site = dir.Path() + "/found.json";

    // 19200 first: the simulators serve 9600 only, so nothing answers there.
    const Output scan = RunMonitor({"scan", bus.Path(), "--baud", "19200,9600", "--address", "1-10", "--timeout-ms", "500",
                             "--plugin", REAL_PLUGIN, "--write-site", site});
    EXPECT_EQ(scan.status, 0) << scan.text;
    const std::string lines[] = {
        "address 3 at 9600 baud: model \"tvr27pk\", protocol version 33, supported by the plug-in, 1 AC and 2 DC units "
        "and the rectifiers\n",
        "address 7 at 9600 baud: model \"tvr27pk\", protocol version 33, supported by the plug-in, 1 AC and 2 DC units "
        "and the rectifiers\n",
        "address 9 at 9600 baud: model \"qzl4200\", protocol version 33, not supported by the plug-in\n",
        "19200 baud: addresses 1-10 in ", "9600 baud: addresses 1-10 in ",
        "power systems found, 0 garbled answers\n", "site file " + site + " written: 2 lines"};
    for (const std::string& l : lines) EXPECT_NE(scan.text.find(l), std::string::npos) << l << " not in\n" << scan.text;
    EXPECT_EQ(scan.text.find("at 19200 baud: model"), std::string::npos) << scan.text;
    EXPECT_NE(scan.text.find(": 3 power systems found"), std::string::npos) << scan.text;

    // The site file: one line per supported system, data ids numbered.
    const Json::Value found = ParseLine(ReadFile(site));
    ASSERT_EQ(found["lines"].size(), 2u) << found.toStyledString();
    EXPECT_EQ(found["lines"][1]["address"].asUInt(), 7u);
    EXPECT_EQ(found["lines"][1]["data_id"].asUInt(), 2000u);
    EXPECT_EQ(found["lines"][1]["dcSetting"][1]["data_id"].asUInt(), 2003u);
    {
        ChildProcess check(MONITOR_BIN, {"check", site, "--plugin", REAL_PLUGIN}, dir.Path() + "/check.txt");
        EXPECT_EQ(check.Wait(30s), 0);
        EXPECT_EQ(ReadFile(dir.Path() + "/check.txt"), site + ": no problems found\n");
    }
    // It is not overwritten without --force.
    const Output again = RunMonitor({"scan", bus.Path(), "--baud", "9600", "--address", "3", "--timeout-ms", "500",
                              "--plugin", REAL_PLUGIN, "--write-site", site});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.text.find(site + " exists; --force overwrites it"), std::string::npos) << again.text;

    // The monitor runs it as written: a round from each line, each with
    // every child device's fields.
    ChildProcess monitor(MONITOR_BIN, {"--config", site, "--plugin", REAL_PLUGIN, "--json", "--rounds", "1",
                                       "--log", dir.Path() + "/host.log"});
    std::set<unsigned> buses;
    for (std::string line; monitor.Line(line, Clock::now() + 60s);) {
        const Json::Value r = ParseLine(line);
        buses.insert(r["bus"]["data_id"].asUInt());
        ASSERT_EQ(r["devices"].size(), 4u) << line;
        for (const Json::Value& d : r["devices"]) EXPECT_TRUE(d["fields"].isObject()) << d.toStyledString();
    }
    EXPECT_EQ(monitor.Wait(10s), 0);
    EXPECT_EQ(buses, (std::set<unsigned>{1000, 2000}));
}

TEST(Scan, ASilentPortCostsOneTimeoutAnAddress) {
    PtySplitter nobody({});  // reads the requests, answers nothing
    const Output scan = RunMonitor({"scan", nobody.Path(), "--baud", "9600", "--timeout-ms", "10", "--plugin", REAL_PLUGIN});
    EXPECT_EQ(scan.status, 1) << scan.text;
    EXPECT_NE(scan.text.find("9600 baud: addresses 1-254 in "), std::string::npos) << scan.text;
    EXPECT_NE(scan.text.find(": 0 power systems found, 0 garbled answers\n"), std::string::npos) << scan.text;
}

}  // namespace
}  // namespace e2e
