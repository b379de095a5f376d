#include "tools/e2e/mqtt_broker.h"

#include "tools/e2e/plant_plan.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace e2e {

using namespace std::chrono_literals;

std::vector<int> FreePorts(std::size_t count) {
    // All sockets stay bound until every port is known: the kernel may hand
    // out a port just closed again.
    std::vector<int> sockets, ports;
    for (std::size_t i = 0; i < count; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        ::bind(s, reinterpret_cast<sockaddr*>(&a), n);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
        sockets.push_back(s);
        ports.push_back(ntohs(a.sin_port));
    }
    for (const int s : sockets) ::close(s);
    return ports;
}

int FreePort() { return FreePorts(1).front(); }

Broker::Broker(const std::string& dir, int p, const std::string& settings)
    : port(p), conf(dir + "/mosquitto.conf"), log(dir + "/broker.log") {
    // "user": run as the test's user, also when that is root (the broker
    // would switch to "mosquitto", which cannot read the test's files).
    WriteFile(conf, (settings.empty() ? "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n"
                                      : settings) +
                        "persistence true\npersistence_location " + dir + "/\nuser " +
                        ::getpwuid(::getuid())->pw_name + "\n");
}

void Broker::Start() {
    const auto Started = [&] {
        const std::string text = ReadFile(log);
        std::size_t n = 0;
        for (auto at = text.find(" running"); at != std::string::npos; at = text.find(" running", at + 1)) ++n;
        return n;
    };
    const std::size_t before = Started();
    proc = std::make_unique<ChildProcess>(MOSQUITTO_BIN, std::vector<std::string>{"-c", conf}, log);
    // Listening once it says "mosquitto version ... running".
    for (int i = 0; i < 200 && Started() == before; ++i) std::this_thread::sleep_for(25ms);
    EXPECT_GT(Started(), before) << "mosquitto did not start:\n" << ReadFile(log);
}

void Broker::Stop() {
    proc->Signal(SIGTERM);
    EXPECT_EQ(proc->Wait(20s), 0) << ReadFile(log);
}

}  // namespace e2e
