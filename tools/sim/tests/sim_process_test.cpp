// pmbus-sim as a process on a pseudo-terminal: the printed path, framed
// exchanges through the codec, injected faults, latency, line-rate pacing,
// the model option, bad arguments and a clean stop.
#include "host/frame_codec.h"
#include "tools/runtime/tests/launcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args) {
        // Everything the child needs is built before fork.
        std::vector<std::string> words = rttest::LaunchWords(PMB_SIM_EXE, args);
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
            close(out[0]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~SimProcess() {
        if (fd_ >= 0) close(fd_);
        if (out_ >= 0) close(out_);
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // The first line of standard output, within two seconds.
    std::string FirstLine() {
        std::string line;
        const auto end = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < end) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char c;
            if (read(out_, &c, 1) != 1) break;
            if (c == '\n') return line;
            line.push_back(c);
        }
        return "";
    }

    bool Connect() {
        const std::string path = FirstLine();
        if (path.empty()) return false;
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0) return false;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
        return true;
    }

    void Send(std::uint8_t cid1, std::uint8_t cid2, const std::vector<std::uint8_t>& info = {}) {
        const std::string f = frame::EncodeRequest(0x21, 1, cid1, cid2, info.data(), info.size());
        ASSERT_EQ(write(fd_, f.data(), f.size()), static_cast<ssize_t>(f.size()));
    }
    void SendRaw(const std::string& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // The next good frame within timeout_ms.
    std::optional<frame::Frame> Receive(int timeout_ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        std::vector<frame::DecodeEvent> events;
        while (Clock::now() < end) {
            for (const frame::DecodeEvent& e : events)
                if (e.ok) return e.frame;
            events.clear();
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            std::uint8_t buf[256];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) decoder_.Feed(buf, static_cast<std::size_t>(n), events);
        }
        return std::nullopt;
    }

    // Exit status after SIGTERM or after the process ended by itself.
    int Stop(int sig = SIGTERM) {
        if (sig != 0) kill(pid_, sig);
        int status = 0;
        const auto end = Clock::now() + std::chrono::seconds(3);
        while (Clock::now() < end) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -2;
    }

    const frame::DecoderStats& Stats() const { return decoder_.Stats(); }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int fd_ = -1;
    bool exited_ = false;
    frame::FrameDecoder decoder_;
};

const std::vector<std::uint8_t> kGroup{0xFF};

// A scenario without timeline faults, so only the options inject any.
std::string PlainScenario() {
    char path[] = "/tmp/pmbus-sim-test-XXXXXX";
    const int fd = mkstemp(path);
    const std::string doc = R"({"ac": [{"channels": [{"a": 230, "b": 230, "c": 230, "f": 50}]}],
                               "rectifiers": {"modules": [{"value": 30}]}, "dc": [{"v": 53.5}]})";
    EXPECT_EQ(write(fd, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
    close(fd);
    return path;
}

TEST(SimProcess, ServesFramedAnswersOnItsPseudoTerminal) {
    SimProcess sim({});
    ASSERT_TRUE(sim.Connect());
    sim.Send(0x40, 0x51);
    auto model = sim.Receive(2000);
    ASSERT_TRUE(model);
    EXPECT_EQ(model->cid1, 0x40);
    EXPECT_EQ(model->rtn, 0);
    ASSERT_EQ(model->info.size(), 20u);
    EXPECT_EQ(std::string(model->info.begin(), model->info.begin() + 7), "tvr27pk");

    sim.Send(0x40, 0x41, kGroup);
    auto ac = sim.Receive(2000);
    ASSERT_TRUE(ac);
    EXPECT_EQ(ac->rtn, 0);
    EXPECT_EQ(ac->info.size(), 1u + 1 + 2 * 17 + 12);  // built-in: one unit of two channels

    sim.Send(0x40, 0x99);
    auto unknown = sim.Receive(2000);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->rtn, 0x04);

    sim.SendRaw("junk~2101414100");  // noise and a frame cut short by the next '~'
    sim.Send(0x41, 0x41);
    auto rc = sim.Receive(2000);
    ASSERT_TRUE(rc);
    EXPECT_EQ(rc->cid1, 0x41);
    EXPECT_EQ(rc->rtn, 0);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimProcess, OptionFaultsLatencyAndModel) {
    const std::string scenario = PlainScenario();
    SimProcess sim({"--scenario", scenario, "--model", "qzl4200", "--latency-ms", "300", "--fault",
                    "drop:41_41:times=1", "--fault", "bad_checksum:42_41:times=1"});
    ASSERT_TRUE(sim.Connect());
    const auto t0 = Clock::now();
    sim.Send(0x40, 0x51);
    auto model = sim.Receive(2000);
    ASSERT_TRUE(model);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(290));
    EXPECT_EQ(std::string(model->info.begin(), model->info.begin() + 7), "qzl4200");

    sim.Send(0x40, 0x41, kGroup);
    auto ac = sim.Receive(2000);
    ASSERT_TRUE(ac);
    ASSERT_GE(ac->info.size(), 2u);
    EXPECT_EQ(ac->info[1], 1);  // the base model's unit count

    sim.Send(0x41, 0x41);
    EXPECT_FALSE(sim.Receive(800));  // dropped once
    sim.Send(0x41, 0x41);
    EXPECT_TRUE(sim.Receive(2000));

    sim.Send(0x42, 0x41);
    EXPECT_FALSE(sim.Receive(800));
    EXPECT_EQ(sim.Stats().bad_checksum, 1u);
    sim.Send(0x42, 0x41);
    EXPECT_TRUE(sim.Receive(2000));
    EXPECT_EQ(sim.Stop(), 0);
    unlink(scenario.c_str());
}

TEST(SimProcess, PacedAnswersTakeTheirLineTime) {
    SimProcess sim({"--pace", "--baud", "9600"});
    ASSERT_TRUE(sim.Connect());
    const auto t0 = Clock::now();
    sim.Send(0x41, 0x41);  // built-in: 6 + 3 x 21 INFO bytes, 18 + 2 x 69 = 156 characters
    auto rc = sim.Receive(3000);
    ASSERT_TRUE(rc);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    EXPECT_GE(took.count(), 156 * 10 * 1000 / 9600 * 9 / 10);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimProcess, BadArgumentsEndWithStatusTwo) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--model", "x"}, {"--fault", "explode"}, {"--baud", "1234"},
          {"--scenario", "/nonexistent.json"}, {"--bogus"}, {"--latency-ms"}}) {
        SimProcess sim(args);
        EXPECT_EQ(sim.Stop(0), 2) << args[0];
    }
}

}  // namespace
