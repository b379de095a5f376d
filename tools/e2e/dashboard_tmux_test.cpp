// The dashboard on a real terminal: tmux runs the monitor with the plug-in
// built here against pmbus-sim, and its pane is read back with capture-pane
// while a phase loss, a module fault and a fuse fault come and go.
#include "tools/e2e/plant_plan.h"
#include "tools/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace e2e {
namespace {

using namespace std::chrono_literals;

// A tmux server of its own (socket in the test's folder), ended with it.
class Tmux {
public:
    explicit Tmux(const std::string& dir) : socket_(dir + "/tmux.sock") {}
    ~Tmux() { Run("kill-server"); }

    // Output of a tmux command (its errors included); ok tells whether it succeeded.
    std::string Run(const std::string& args, bool* ok = nullptr) const {
        std::string out;
        std::FILE* p = ::popen((std::string(TMUX_BIN) + " -S '" + socket_ + "' -f /dev/null " + args + " 2>&1").c_str(), "r");
        if (!p) return out;
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        const bool good = ::pclose(p) == 0;
        if (ok) *ok = good;
        return out;
    }
    std::string Screen() const { return Run("capture-pane -p -t dash"); }
    std::string Format(const std::string& f) const { return Run("display-message -p -t dash '" + f + "'"); }

    // Reads the pane every half second until pred holds or the limit;
    // returns the last screen.
    template <typename Pred>
    std::string WaitFor(Pred pred, std::chrono::seconds limit = 90s) const {
        std::string s;
        for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(500ms))
            if (pred(s = Screen())) break;
        return s;
    }

private:
    std::string socket_;
};

bool Has(const std::string& s, const std::string& t) { return s.find(t) != std::string::npos; }

// An active-alarm row of the phase loss (the events below name it too).
bool PhaseLossActive(const std::string& screen) { return Has(screen, "AC 1001 交流输入缺相告警"); }

struct Size {
    int width, height;
    bool scrolls;  // the plant is taller than the screen
    bool noColour; // NO_COLOR set
};

void PrintTo(const Size& s, std::ostream* os) { *os << s.width << "x" << s.height; }

class DashboardInTmux : public ::testing::TestWithParam<Size> {};

TEST_P(DashboardInTmux, ShowsThePlantAndAnAlarmComingAndGoing) {
    const Size size = GetParam();
    Plan plan;
    plan.rounds = 8;
    plan.phaseLoss = {3, 6};
    plan.moduleFault = {3, 6};
    plan.fuseFault = {3, 6};
    SimRun run(plan);
    ASSERT_FALSE(run.pts.empty());
    const std::string site = run.dir.Path() + "/site.json";
    WriteFile(site, rt::JsonLine(plan.Site(run.database)));

    Tmux tmux(run.dir.Path());
    bool started = false;
    const std::string error = tmux.Run(std::string("new-session -d -s dash -e NO_COLOR=") + (size.noColour ? "1" : "") +
                                           " -x " + std::to_string(size.width) + " -y " +
                       std::to_string(size.height) + " " + MONITOR_BIN + " --config " + site + " --port " + run.pts +
                       " --plugin " + REAL_PLUGIN + " --log " + run.hostLog +
                       " \\; set-option -t dash remain-on-exit on",
                                       &started);
    ASSERT_TRUE(started) << "tmux did not start: " << error;

    // The header and the plant's values of the first rounds.
    std::string s = tmux.WaitFor([](const std::string& x) { return Has(x, "round 2 at"); });
    EXPECT_TRUE(Has(s, "tvr27pk 1000 on " + run.pts)) << s;
    EXPECT_TRUE(Has(s, "polling")) << s;
    EXPECT_TRUE(Has(s, "AC 1001  2 inputs")) << s;
    EXPECT_TRUE(Has(s, "228.9")) << s;      // channel 2, phase A
    EXPECT_TRUE(Has(s, "Ib  17.90 A")) << s;  // a phase current
    EXPECT_TRUE(Has(s, "DC 1003")) << s;
    EXPECT_EQ(tmux.Format("#{alternate_on}"), "1\n");
    EXPECT_EQ(Has(s, "Up/Down PgUp/PgDn"), size.scrolls) << s;
    if (size.scrolls) {
        // The alarms are below the screen until a page down.
        EXPECT_FALSE(Has(s, "Active alarms")) << s;
        tmux.Run("send-keys -t dash NPage");
        s = tmux.WaitFor([](const std::string& x) { return Has(x, "Active alarms"); }, 10s);
        EXPECT_TRUE(Has(s, "Active alarms")) << s;
    } else {
        // All three alarms on the one screen while they last, then gone.
        s = tmux.WaitFor([](const std::string& x) { return Has(x, "Active alarms: 3"); });
        EXPECT_TRUE(PhaseLossActive(s)) << s;
        EXPECT_TRUE(Has(s, "0.00 phase loss")) << s;
        EXPECT_TRUE(Has(s, "rectifiers 1000 整流模块故障告警")) << s;
        EXPECT_TRUE(Has(s, "DC 1003 电池熔丝故障告警")) << s;
        EXPECT_TRUE(Has(s, "fuses: 3 fuse fault")) << s;
        // The level 1 alarm in red, unless NO_COLOR says no colour.
        const std::string sgr = tmux.Run("capture-pane -e -p -t dash");
        const std::size_t row = sgr.rfind('\n', sgr.find("[1] ")) + 1;
        EXPECT_EQ(Has(sgr.substr(row, sgr.find('\n', row) - row), "\x1b[31m"), !size.noColour) << sgr;
        for (const char* colour : {"\x1b[31m", "\x1b[33m"})  // levels 1 and 2
            EXPECT_EQ(Has(sgr, colour), !size.noColour) << sgr;
        s = tmux.WaitFor([](const std::string& x) { return Has(x, "Active alarms: 0"); });
        EXPECT_FALSE(PhaseLossActive(s)) << s;
        EXPECT_TRUE(Has(s, "ends: 交流输入缺相告警")) << s;
        EXPECT_TRUE(Has(s, "231.5")) << s;
    }

    // A signal ends it and gives the terminal back.
    const std::string pid = tmux.Format("#{pane_pid}");
    ASSERT_FALSE(pid.empty());
    ::kill(std::stoi(pid), SIGTERM);
    tmux.WaitFor([&](const std::string&) { return tmux.Format("#{pane_dead}") == "1\n"; }, 30s);
    EXPECT_EQ(tmux.Format("#{pane_dead}"), "1\n");
    EXPECT_TRUE(Has(ReadFile(run.hostLog), " done after ")) << "ended cleanly";
    EXPECT_EQ(tmux.Format("#{alternate_on}"), "0\n");
    // The terminal as it was, and no sanitizer report written to it at exit.
    const std::string after = tmux.Screen();
    EXPECT_FALSE(Has(after, "AC 1001")) << after;
    EXPECT_FALSE(Has(after, "Sanitizer") || Has(after, "runtime error")) << after;
    run.StopSim();
    if (HasFailure()) ADD_FAILURE() << "monitor log:\n" << ReadFile(run.hostLog);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DashboardInTmux,
                         ::testing::Values(Size{80, 24, false, false}, Size{120, 40, false, true},
                                           Size{80, 12, true, false}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

}  // namespace
}  // namespace e2e
