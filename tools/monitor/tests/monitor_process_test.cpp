// The monitor as a program: the stand-in plug-in loaded with dlopen, a
// scripted power system on a pseudo-terminal, JSON lines on stdout.
#include "tools/runtime/history_store.h"
#include "tools/runtime/tests/launcher.h"
#include "tools/runtime/tests/pty_power_system.h"
#include "tools/runtime/tests/rig.h"

#include <json/reader.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using rttest::AnswerFrame;
using rttest::Float;
using rttest::Reply;

std::vector<Reply> Plain(const frame::Frame& req, int index) {
    if (req.cid1 == 0x41) return {{AnswerFrame(0x41, Float(53.0f + static_cast<float>(index)))}};
    return {{AnswerFrame(0x42, Float(48.0f))}};
}

// A running monitor whose standard output is read line by line.
class Child {
public:
    explicit Child(const std::vector<std::string>& args, const char* program = MONITOR_BIN) {
        std::vector<std::string> words = rttest::LaunchWords(program, args);
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            ::close(fds[0]);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        fd_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        if (fd_ >= 0) ::close(fd_);
    }
    // The next line, or false at the end of the output.
    bool Line(std::string& line) {
        line.clear();
        char c;
        while (::read(fd_, &c, 1) == 1) {
            if (c == '\n') return true;
            line.push_back(c);
        }
        return !line.empty();
    }
    std::vector<std::string> Rest() {
        std::vector<std::string> out;
        std::string l;
        while (Line(l)) out.push_back(l);
        return out;
    }
    void Signal(int sig) { ::kill(pid_, sig); }
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool waited_ = false;
};

Json::Value Parse(const std::string& line) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string err;
    std::istringstream in(line);
    if (!Json::parseFromStream(b, in, &v, &err)) ADD_FAILURE() << "not JSON: " << line << ": " << err;
    return v;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string WriteSite(const std::string& dir) {
    const std::string path = dir + "/site.json";
    std::ofstream(path) << R"({"port": "/nonexistent", "data_id": 100, "timeout_ms": 300, "refresh_ms": 20,
        "database": ")" << dir << R"(/history.db", "rcSetting": {}})";
    return path;
}

TEST(MonitorProgram, ThreeRoundsAsJsonThenASecondRunRestores) {
    rttest::TempDir dir;
    rttest::PtyPowerSystem ps(dir.Path(), Plain);
    const std::string site = WriteSite(dir.Path());
    const std::string log = dir.Path() + "/monitor.log";
    std::vector<std::string> lines;
    {
        Child m({"--config", site, "--port", ps.Path(), "--plugin", FAKE_PLUGIN, "--rounds", "3", "--json",
                 "--log", log, "--trace"});
        lines = m.Rest();
        EXPECT_EQ(m.Wait(), 0);
    }
    ASSERT_EQ(lines.size(), 3u);  // the trace lines went elsewhere
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Json::Value r = Parse(lines[i]);
        EXPECT_EQ(r["round"].asUInt(), i + 1);
        ASSERT_EQ(r["devices"].size(), 2u);
        EXPECT_EQ(r["devices"][0]["data_id"].asUInt(), 100u);
        EXPECT_EQ(r["devices"][0]["type"].asString(), "fake-rc");
        EXPECT_EQ(r["devices"][1]["data_id"].asUInt(), 201u);
        EXPECT_FLOAT_EQ(r["devices"][1]["signals"]["v"].asFloat(), 48.0f);
        ASSERT_TRUE(r["devices"][0]["age_s"].isInt());
        EXPECT_LE(r["devices"][0]["age_s"].asInt(), 1);
        ASSERT_EQ(r["rules"].size(), 2u);
        EXPECT_EQ(r["rules"][0]["key"].asString(), "HIGH");
        EXPECT_EQ(r["rules"][0]["id"].asString(), "01001");
        EXPECT_EQ(r["rules"][0]["level"].asInt(), 2);
        EXPECT_EQ(r["rules"][0]["seq"].asInt(), 1);
        ASSERT_EQ(r["snapshots"].size(), 2u);
        EXPECT_EQ(r["snapshots"][0]["type_number"].asInt(), 5107);
        EXPECT_EQ(r["snapshots"][1]["hex"].asString(), "00004042");  // 48.0f
        EXPECT_EQ(r["stats"]["requests"].asUInt(), 2 * (i + 1));
        EXPECT_EQ(r["stats"]["answers"].asUInt(), 2 * (i + 1));
        EXPECT_EQ(r["stats"]["timeouts"].asUInt(), 0u);
        EXPECT_EQ(r["stats"]["bad_frames"].asUInt(), 0u);
        EXPECT_EQ(r["restored"].asInt(), 0);
    }
    // Round 2 (rc value 55) raised the alarm; it is still active in round 3.
    EXPECT_FLOAT_EQ(Parse(lines[1])["devices"][0]["signals"]["v"].asFloat(), 55.0f);
    EXPECT_EQ(Parse(lines[0])["active_alarms"].size(), 0u);
    ASSERT_EQ(Parse(lines[2])["active_alarms"].size(), 1u);
    EXPECT_EQ(Parse(lines[2])["active_alarms"][0]["text"].asString(), "value above 54");

    const std::string text = ReadFile(log);
    // --trace: the plug-in's lines in the log, each time-stamped and named by its line.
    EXPECT_NE(text.find(" plug-in 100: fake trace: answer with CID1 41\n"), std::string::npos);
    EXPECT_NE(text.find("host: alarm begins: 100 HIGH/1 01001 high: value above 54"), std::string::npos);
    EXPECT_NE(text.find("monitor: stopping (3 rounds done)"), std::string::npos);

    {
        rt::HistoryStore db(dir.Path() + "/history.db");
        EXPECT_EQ(db.HistoryRows(), 6u);
        EXPECT_EQ(db.Alarms().size(), 1u);
    }
    // The second run restores both children before its first round; without
    // --trace the plug-in's lines go nowhere.
    Child again({"--config", site, "--port", ps.Path(), "--plugin", FAKE_PLUGIN, "--rounds", "1", "--json", "--log",
                 log});
    const auto second = again.Rest();
    EXPECT_EQ(again.Wait(), 0);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(Parse(second[0])["restored"].asInt(), 2);
    const std::string secondLog = ReadFile(log).substr(text.size());
    EXPECT_NE(secondLog.find("host: restored 201 (fake-dc) from a saved snapshot of 4 bytes"), std::string::npos);
    EXPECT_EQ(secondLog.find("fake trace"), std::string::npos);
}

TEST(MonitorProgram, SigintEndsCleanlyWithTheDatabaseIntact) {
    rttest::TempDir dir;
    rttest::PtyPowerSystem ps(dir.Path(), Plain);
    const std::string site = WriteSite(dir.Path());
    Child m({"--config", site, "--port", ps.Path(), "--plugin", FAKE_PLUGIN, "--json", "--log", dir.Path() + "/l"});
    std::string first;
    ASSERT_TRUE(m.Line(first));
    m.Signal(SIGINT);
    m.Rest();
    EXPECT_EQ(m.Wait(), 0);
    EXPECT_NE(ReadFile(dir.Path() + "/l").find("monitor: stopping (SIGINT)"), std::string::npos);
    rt::HistoryStore db(dir.Path() + "/history.db");
    EXPECT_GE(db.HistoryRows(), 2u);
}

TEST(MonitorProgram, LiveViewAndDuration) {
    rttest::TempDir dir;
    rttest::PtyPowerSystem ps(dir.Path(), Plain);
    const std::string site = WriteSite(dir.Path());
    Child m({"--config", site, "--port", ps.Path(), "--plugin", FAKE_PLUGIN, "--duration", "0.5", "--log",
             dir.Path() + "/l", "--view", "fields"});
    std::string all;
    for (const auto& l : m.Rest()) all += l + "\n";
    EXPECT_EQ(m.Wait(), 0);
    EXPECT_NE(all.find("round 1 "), std::string::npos);
    EXPECT_NE(all.find("fake-dc 201   age "), std::string::npos) << all;
    EXPECT_NE(all.find("v=48"), std::string::npos);
    EXPECT_NE(all.find("line: requests "), std::string::npos);
    EXPECT_EQ(all.find("fake trace"), std::string::npos);
    EXPECT_NE(ReadFile(dir.Path() + "/l").find("monitor: stopping (duration reached)"), std::string::npos);
}

// Standard output is a pipe: the dashboard as plain text once a round.
TEST(MonitorProgram, DashboardAsPlainText) {
    rttest::TempDir dir;
    rttest::PtyPowerSystem ps(dir.Path(), Plain);
    const std::string site = WriteSite(dir.Path());
    Child m({"--config", site, "--port", ps.Path(), "--plugin", FAKE_PLUGIN, "--rounds", "2", "--log",
             dir.Path() + "/l"});
    std::string all;
    for (const auto& l : m.Rest()) all += l + "\n";
    EXPECT_EQ(m.Wait(), 0);
    for (const char* want : {"round 1 at ", "round 2 at ", " on " , "polling", "line: requests ", "Active alarms: 0"})
        EXPECT_NE(all.find(want), std::string::npos) << want << "\n" << all;
    EXPECT_EQ(all.find('\x1b'), std::string::npos) << all;
    EXPECT_EQ(all.find("v=48"), std::string::npos) << "no field dump\n" << all;
}

TEST(MonitorProgram, StartUpErrorsExitNonZero) {
    rttest::TempDir dir;
    const std::string site = WriteSite(dir.Path());
    {
        Child m({"--config", dir.Path() + "/missing.json"});
        EXPECT_EQ(m.Wait(), 1);
    }
    {
        Child m({"--config", site, "--plugin", dir.Path() + "/none.so"});
        EXPECT_EQ(m.Wait(), 1);
    }
    {
        Child m({"--rounds", "2"});
        EXPECT_EQ(m.Wait(), 2);
    }
}

#if defined(REAL_PLUGIN) && defined(SIM_BIN)
// The plug-in built in this tree against the simulated power system: three
// rounds with every device's signals, then a run that restores every child.
TEST(MonitorProgram, RealPluginAgainstTheSimulator) {
    rttest::TempDir dir;
    const std::string site = dir.Path() + "/site.json";
    std::ofstream(site) << R"({"data_id": 1000, "timeout_ms": 1000, "database": ")" << dir.Path()
                        << R"(/history.db", "acSetting": [{"data_id": 1001}],
        "dcSetting": [{"data_id": 1002}, {"data_id": 1003}], "rcSetting": {}})";
    Child sim({"--quiet"}, SIM_BIN);
    std::string pts;
    ASSERT_TRUE(sim.Line(pts));
    std::vector<std::string> lines;
    {
        Child m({"--config", site, "--port", pts, "--plugin", REAL_PLUGIN, "--rounds", "3", "--json", "--log",
                 dir.Path() + "/l"});
        lines = m.Rest();
        EXPECT_EQ(m.Wait(), 0);
    }
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) {
        const Json::Value r = Parse(line);
        ASSERT_EQ(r["devices"].size(), 4u);
        const char* types[] = {"tvr27pk-ac", "tvr27pk-dc", "tvr27pk-dc", "tvr27pk-rc"};
        const unsigned ids[] = {1001, 1002, 1003, 1000};
        for (int d = 0; d < 4; ++d) {
            EXPECT_EQ(r["devices"][d]["type"].asString(), types[d]);
            EXPECT_EQ(r["devices"][d]["data_id"].asUInt(), ids[d]);
        }
        EXPECT_TRUE(r["devices"][0]["signals"]["channel_1_f"].isDouble());
        EXPECT_TRUE(r["devices"][1]["signals"]["v"].isDouble());
        EXPECT_EQ(r["devices"][3]["signals"]["v"].asString(), "数据未就绪");
        EXPECT_EQ(r["snapshots"].size(), 4u);
        EXPECT_GT(r["rules"].size(), 0u);
        EXPECT_EQ(r["restored"].asInt(), 0);
    }
    EXPECT_EQ(Parse(lines[0])["devices"][0]["fields"]["channel_num"].asUInt(), 2u);
    Child again({"--config", site, "--port", pts, "--plugin", REAL_PLUGIN, "--rounds", "1", "--json", "--log",
                 dir.Path() + "/l"});
    const auto second = again.Rest();
    EXPECT_EQ(again.Wait(), 0);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(Parse(second[0])["restored"].asInt(), 4);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
}
#endif

}  // namespace
