// The monitor's command line, and what its options cost a round.
#include "tools/model/round.h"
#include "tools/monitor/monitor_args.h"
#include "tools/monitor/round_output.h"
#include "tools/monitor/site_services.h"
#include "tools/runtime/log_sink.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace {

std::vector<std::string> Argv(std::initializer_list<const char*> a) {
    std::vector<std::string> v{"monitor"};
    for (auto s : a) v.push_back(s);
    return v;
}

TEST(MonitorArgs, Options) {
    const auto a = monitor::ParseArgs(Argv({"--config", "s.json", "--port", "/dev/pts/3", "--rounds", "3", "--json",
                                            "--duration", "1.5", "--plugin", "p.so", "--log", "l.txt", "--database", "h.db",
                                            "--mqtt", "mqtt://b"}),
                                      "default.so");
    EXPECT_EQ(a.config, "s.json");
    EXPECT_EQ(*a.port, "/dev/pts/3");
    EXPECT_EQ(*a.rounds, 3u);
    EXPECT_TRUE(a.json);
    EXPECT_DOUBLE_EQ(*a.duration, 1.5);
    EXPECT_EQ(a.plugin, "p.so");
    EXPECT_EQ(*a.log, "l.txt");
    EXPECT_EQ(*a.database, "h.db");
    EXPECT_EQ(*a.mqtt, "mqtt://b");
    const auto d = monitor::ParseArgs(Argv({"--config", "s.json"}), "default.so");
    EXPECT_EQ(d.plugin, "default.so");
    EXPECT_FALSE(d.json);
    EXPECT_EQ(d.view, monitor::Args::View::kDashboard);
    EXPECT_EQ(monitor::ParseArgs(Argv({"--config", "s.json", "--view", "fields"}), "p").view,
              monitor::Args::View::kFields);
    EXPECT_FALSE(d.rounds || d.duration || d.port || d.log || d.database || d.mqtt);
    const auto c = monitor::ParseArgs(Argv({"check", "s.json", "--database", "h.db", "--plugin", "p.so"}), "d.so");
    EXPECT_EQ(c.command, monitor::Args::Command::kCheck);
    EXPECT_EQ(c.config, "s.json");
    EXPECT_EQ(*c.database, "h.db");
    EXPECT_EQ(c.plugin, "p.so");
    const auto s = monitor::ParseArgs(
        Argv({"scan", "/dev/x", "--baud", "2400,9600", "--address", "3-7", "--write-site", "f.json", "--force"}), "d.so");
    EXPECT_EQ(s.command, monitor::Args::Command::kScan);
    EXPECT_EQ(s.scanPort, "/dev/x");
    EXPECT_EQ(s.bauds, (std::vector<unsigned>{2400, 9600}));
    EXPECT_EQ(s.firstAddress, 3u);
    EXPECT_EQ(s.lastAddress, 7u);
    EXPECT_TRUE(s.force);
    EXPECT_EQ(monitor::ParseArgs(Argv({"scan", "/dev/x", "--address", "5"}), "d.so").lastAddress, 5u);
}

TEST(MonitorArgs, BadCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        Argv({}),                                    // no --config
        Argv({"--config"}),                          // no value
        Argv({"--config", "s", "--rounds", "0"}),
        Argv({"--config", "s", "--rounds", "-2"}),
        Argv({"--config", "s", "--rounds", "3x"}),
        Argv({"--config", "s", "--duration", "0"}),
        Argv({"--config", "s", "--duration", "nan"}),
        Argv({"--config", "s", "--verbose"}),
        Argv({"--config", "s", "--database"}),
        Argv({"--config", "s", "--view", "raw"}),
        Argv({"check"}),                             // no SITE
        Argv({"check", "s", "--rounds", "3"}),       // not an option of check
        Argv({"scan"}),                              // no PORT
        Argv({"scan", "/dev/x", "--address", "0"}),
        Argv({"scan", "/dev/x", "--address", "9-3"}),
        Argv({"scan", "/dev/x", "--baud", "9600,x"}),
        Argv({"scan", "/dev/x", "--force"}),         // without --write-site
    };
    for (const auto& b : bad) EXPECT_THROW(monitor::ParseArgs(b, "p"), std::invalid_argument) << b.back();
    EXPECT_TRUE(monitor::ParseArgs(Argv({"--help"}), "p").help);
}

unsigned short FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A round is written as text only for a consumer that reads it: never for
// --view none or an HTTP service with no stream open.
TEST(RoundConsumers, OnlyAConsumerThatIsOnWritesTheRound) {
    const struct {
        std::initializer_list<const char*> argv;
        bool written;
    } cases[] = {
        {{"--view", "none"}, false},
        {{"--view", "fields"}, true},
        {{"--view", "none", "--http"}, false},
        {{"--json"}, true},
    };
    rt::LogSink log;
    for (const auto& c : cases) {
        std::vector<std::string> argv{"monitor", "--config", "site.json"};
        argv.insert(argv.end(), c.argv.begin(), c.argv.end());
        if (argv.back() == "--http") argv.push_back("127.0.0.1:" + std::to_string(FreePort()));
        const monitor::Args args = monitor::ParseArgs(argv, "p");
        model::RoundData data;
        data.round = 1;
        data.bus_data_id = 1000;
        auto round = std::make_shared<const model::Round>(std::move(data));
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        {
            monitor::SiteServices services(Json::Value(Json::objectValue), args, log);
            monitor::RoundOutput output(args, out, [](std::uint32_t) { return rt::LineStats{}; }, [] {});
            services.Round(round);
            output.Print(*round);
        }  // the services' threads are done with the round
        std::fclose(out);
        EXPECT_EQ(round->HasText(), c.written) << argv.back();
    }
}

}  // namespace
