// The notify command run for crafted events: its environment, alarm texts
// full of shell syntax that must stay text, a command that hangs, one that
// fails, and a full queue.
#include "tools/notify/notifier.h"
#include "tools/runtime/event_record.h"
#include "tools/runtime/tests/temp_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace notify {
namespace {

using namespace std::chrono_literals;

struct Rig {
    rttest::TempDir dir;
    std::string logPath = dir.Path() + "/log";
    rt::LogSink log;
    Rig() { log.Open(logPath); }

    std::string Script(const std::string& body) {
        const std::string path = dir.Path() + "/notify.sh";
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }
    std::string Read(const std::string& name) {
        std::stringstream s;
        s << std::ifstream(dir.Path() + "/" + name).rdbuf();
        return s.str();
    }
    // Bounded wait for a condition the notifier thread brings about.
    template <class F>
    bool Eventually(F f) {
        for (int i = 0; i < 500 && !f(); ++i) std::this_thread::sleep_for(20ms);
        return f();
    }
};

Json::Value Alarm(const std::string& name, const std::string& text, std::uint64_t seq) {
    rt::RuntimeEvent e{seq, rt::EventKind::kAlarmBegin, "2026-01-02 03:04:05.678", 1001, "/dev/ttyS1", {}, ""};
    e.rule = {2, "AC_8", "06017", 1001, 9, name, text, 1};
    e.bus_data_id = 1000;
    return rt::EventRecord(e);
}

TEST(Notifier, CommandGetsTheEventInItsEnvironmentAndShellSyntaxStaysText) {
    Rig rig;
    const std::string d = rig.dir.Path();
    std::ofstream(d + "/keep") << "x";
    const std::string text = "$(touch " + d + "/x); rm -rf " + d + "/keep; `touch " + d + "/y` \"'\\";
    const std::string name = "name; touch " + d + "/z | cat";
    Notifier n({rig.Script("env > " + d + "/env; echo $# >> " + d + "/env"), 5, 4, 8}, rig.log);
    n.Post(Alarm(name, text, 7));
    ASSERT_TRUE(rig.Eventually([&] { return n.Stats().succeeded == 1; })) << rig.Read("log");
    const std::string env = rig.Read("env");
    for (const std::string& line : std::vector<std::string>
         {"PMBUS_EVENT=alarm_begin\n", "PMBUS_SEQ=7\n", "PMBUS_EVENT_ID=7\n", "PMBUS_DATA_ID=1001\n",
          "PMBUS_BUS_DATA_ID=1000\n", "PMBUS_PORT=/dev/ttyS1\n", "PMBUS_RULE_KEY=AC_8\n", "PMBUS_ALARM_ID=06017\n",
          "PMBUS_LEVEL=2\n", "PMBUS_TIME=2026-01-02 03:04:05.678\n", "PMBUS_NAME=" + name + "\n",
          "PMBUS_TEXT=" + text + "\n", "LC_ALL=C.UTF-8\n"})
        EXPECT_NE(env.find(line), std::string::npos) << line << "in\n" << env;
    EXPECT_EQ(env.substr(env.size() - 2), "0\n");  // no arguments
    EXPECT_EQ(env.find("HOME="), std::string::npos) << "the monitor's environment leaked";
    EXPECT_FALSE(std::filesystem::exists(d + "/x"));
    EXPECT_FALSE(std::filesystem::exists(d + "/y"));
    EXPECT_FALSE(std::filesystem::exists(d + "/z"));
    EXPECT_TRUE(std::filesystem::exists(d + "/keep"));
}

TEST(Notifier, HungCommandIsKilledWithItsChildrenAndFullQueueDrops) {
    Rig rig;
    const std::string d = rig.dir.Path();
    // One runs (and hangs), one waits, the third finds the queue full.
    Notifier n({rig.Script("sleep 60 & echo $! > " + d + "/pid; wait"), 0.3, 1, 1}, rig.log);
    n.Post(Alarm("n", "t", 1));
    ASSERT_TRUE(rig.Eventually([&] { return n.Stats().started == 1; }));
    for (int seq : {2, 3}) n.Post(Alarm("n", "t", seq));
    EXPECT_EQ(n.Stats().dropped, 1u);
    ASSERT_TRUE(rig.Eventually([&] { return n.Stats().killed == 2 && n.Stats().started == 2; })) << rig.Read("log");
    n.Stop();
    const pid_t sleeper = std::stoi(rig.Read("pid"));
    // Gone, or a zombie its new parent has not reaped yet.
    auto gone = [&] {
        std::string stat;
        std::getline(std::ifstream("/proc/" + std::to_string(sleeper) + "/stat"), stat);
        return ::kill(sleeper, 0) != 0 || stat.find(") Z ") != std::string::npos;
    };
    EXPECT_TRUE(rig.Eventually(gone)) << "the command's child outlived it";
    const std::string log = rig.Read("log");
    EXPECT_NE(log.find("alarm_begin seq 1 still running after 0.3 s, terminated"), std::string::npos) << log;
    EXPECT_NE(log.find("queue full (1 events), alarm_begin seq 3 dropped"), std::string::npos) << log;
}

TEST(Notifier, FailuresAreLoggedOncePerRunWithTheirStatus) {
    Rig rig;
    const std::string d = rig.dir.Path();
    // Fails while the file "fail" exists.
    std::ofstream(d + "/fail") << "";
    Notifier n({rig.Script("[ -e " + d + "/fail ] && exit 3; exit 0"), 5, 1, 8}, rig.log);
    for (int seq = 1; seq <= 3; ++seq) n.Post(Alarm("n", "t", seq));
    ASSERT_TRUE(rig.Eventually([&] { return n.Stats().failed == 3; })) << rig.Read("log");
    std::filesystem::remove(d + "/fail");
    n.Post(Alarm("n", "t", 4));
    ASSERT_TRUE(rig.Eventually([&] { return n.Stats().succeeded == 1; }));
    const std::string log = rig.Read("log");
    EXPECT_NE(log.find("failed for alarm_begin seq 1: exit status 3"), std::string::npos) << log;
    EXPECT_EQ(log.find("seq 2"), std::string::npos) << log;
    EXPECT_NE(log.find("succeeded again after 3 failures"), std::string::npos) << log;
}

}  // namespace
}  // namespace notify
