// pmbus-sim: a simulated power system on a serial line or a pseudo-terminal.
#include "tools/sim/options.h"
#include "tools/sim/request_splitter.h"
#include "tools/sim/responder.h"
#include "tools/sim/scenario.h"
#include "tools/sim/serial_line.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <thread>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void Log(const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const long ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::fprintf(stderr, "%s.%03ld pmbus-sim: %s\n", stamp, ms, text.c_str());
}

// Sleeps in short steps so that a signal ends the wait.
void Wait(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!g_stop && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - std::chrono::steady_clock::now(), std::chrono::milliseconds(20)));
}

std::string Joined(const std::vector<std::string>& v) {
    std::string out;
    for (const std::string& s : v) out += (out.empty() ? "" : ",") + s;
    return out;
}

int Serve(const sim::Options& opt) {
    sim::Scenario scenario = opt.scenario.empty() ? sim::DefaultScenario() : sim::LoadScenarioFile(opt.scenario);
    if (opt.model) sim::OverrideModel(scenario, sim::ModelFromName(*opt.model));
    sim::ResponderOptions ropt;
    ropt.address = static_cast<std::uint8_t>(opt.address);
    ropt.latency_ms = opt.latency_ms;
    ropt.repeat = opt.repeat;
    sim::Responder responder(scenario, ropt);
    for (const sim::FaultRule& f : opt.faults) responder.AddFault(f);

    sim::SerialLine line = opt.port.empty() ? sim::SerialLine::OpenPty(opt.baud)
                                            : sim::SerialLine::OpenDevice(opt.port, opt.baud);
    if (opt.port.empty()) {
        std::printf("%s\n", line.PeerPath().c_str());
        std::fflush(stdout);
    }
    if (opt.verbosity > 0)
        Log(std::string("serving model ") + sim::ModelName(scenario.model) + " at address " +
            std::to_string(opt.address) + " on " + line.PeerPath() + " (" +
            (opt.scenario.empty() ? std::string("built-in scenario") : opt.scenario) + ")");

    sim::RequestSplitter splitter;
    std::uint8_t buf[512];
    std::vector<std::string> bodies;
    while (!g_stop) {
        const long n = line.Read(buf, sizeof buf, 200);
        if (n < 0) {
            Log(std::string("read error: ") + std::strerror(errno));
            return 1;
        }
        // Bytes sent at another speed are noise to a real unit: no answer.
        const unsigned heard = n > 0 ? line.LineBaud() : 0;
        if (heard != 0 && heard != opt.baud) {
            if (opt.verbosity > 1)
                Log(std::to_string(n) + " bytes at " + std::to_string(heard) + " baud ignored (serving at " +
                    std::to_string(opt.baud) + ")");
            continue;
        }
        bodies.clear();
        splitter.Feed(buf, static_cast<std::size_t>(n), bodies);
        for (const std::string& body : bodies) {
            const sim::Reply reply = responder.OnFrame(body);
            if (reply.round_started && opt.verbosity > 0)
                Log("round " + std::to_string(responder.Round()) +
                    (opt.repeat > 0 ? " of pass " + std::to_string(responder.Pass()) : ""));
            const bool notable = !reply.faults.empty() || reply.out.empty() || reply.request.rfind("bad", 0) == 0;
            if (opt.verbosity > 1 || (opt.verbosity > 0 && notable) || (opt.verbosity == 0 && reply.out.empty()))
                Log("round " + std::to_string(responder.Round()) + " " + reply.request +
                    (reply.out.empty() ? " -> no answer" : " -> answered") +
                    (reply.faults.empty() ? "" : " [" + Joined(reply.faults) + "]"));
            for (const sim::Outgoing& o : reply.out) {
                Wait(o.delay_ms);
                if (g_stop) break;
                if (!line.Write(o.bytes, opt.pace ? opt.baud : 0, g_stop)) {
                    Log(std::string("write error: ") + std::strerror(errno));
                    return 1;
                }
            }
        }
    }
    if (opt.verbosity > 0) Log("stopped after round " + std::to_string(responder.Round()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    sim::Options opt;
    try {
        opt = sim::ParseOptions(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pmbus-sim: %s\n%s", e.what(), sim::Usage());
        return 2;
    }
    if (opt.help) {
        std::fputs(sim::Usage(), stdout);
        return 0;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return Serve(opt);
    } catch (const std::exception& e) {
        Log(e.what());
        return 2;
    }
}
