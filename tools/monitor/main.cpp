// monitor: loads the plug-in like the closed host, runs the host loop on
// every serial line of the site and shows every round (the dashboard, the
// field dump or JSON lines), serves it over HTTP and MQTT and runs the
// notify command for its events.
#include "tools/monitor/monitor_args.h"
#include "tools/monitor/plugin_loader.h"
#include "tools/monitor/plugin_trace.h"
#include "tools/monitor/round_output.h"
#include "tools/model/round_view.h"
#include "tools/model/numeric_fields.h"
#include "tools/monitor/site_check.h"
#include "tools/monitor/scan.h"
#include "tools/monitor/site_services.h"
#include "tools/runtime/host_runtime.h"
#include "tools/runtime/log_sink.h"
#include "tools/runtime/site_lines.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <json/reader.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#ifndef PMB_DEFAULT_PLUGIN
#define PMB_DEFAULT_PLUGIN "libtvr27pk.so"
#endif

namespace {

// The real standard output is kept for the view; file descriptor 1, where
// the plug-in's trace lines go, is then the PluginTrace's.
std::FILE* TakeStdout() {
    std::fflush(stdout);
    std::cout.flush();
    const int fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) throw std::runtime_error("cannot duplicate standard output");
    std::FILE* out = ::fdopen(fd, "w");
    if (!out) throw std::runtime_error("cannot reopen standard output");
    return out;
}

// What the lines of the site share, and what the program was asked for.
struct Site {
    const monitor::Args& args;
    rt::LogSink& log;
    boost::asio::io_context& io;
    monitor::Plugin& plugin;
    rt::SiteShared& shared;
    monitor::SiteServices& services;
    monitor::PluginTrace& trace;
    // Links by port: the lines naming one port share its link.
    std::map<std::string, std::shared_ptr<rt::SharedLink>> links;
    monitor::RoundOutput* output = nullptr;  // set before the lines start
    std::size_t lineCount = 0;
    std::size_t linesDone = 0;  // lines that reached --rounds (io thread)
    std::function<void(const std::string&)> stopAll;

    // A line's round ended (io thread): stops the site once every line has
    // done the --rounds asked for.
    void roundDone(std::uint64_t round) {
        if (args.rounds && round == *args.rounds && ++linesDone == lineCount)
            stopAll(std::to_string(round) + " rounds done" + (lineCount > 1 ? " on every line" : ""));
    }
};

// One line of the site: its bus device from the plug-in and its runtime.
struct Line {
    rt::SiteLine config;
    std::shared_ptr<rt::HostRuntime> host;
    std::shared_ptr<PMBusProtocol> bus;
    int restored = 0;
    model::RuleListPtr rules;  // of its last round (shared by the next when the same)
};

// Sets up one line: its link (shared with earlier lines on the same port),
// its runtime on the site's worker and store, its bus device configured
// with the line's keys, the children restored; its rounds and events go to
// the view and the services.
std::unique_ptr<Line> SetUpLine(Site& site, const rt::SiteLine& config) {
    auto line = std::make_unique<Line>();
    line->config = config;
    const rt::RuntimeOptions& options = config.options;
    if (options.line.path.empty())
        throw std::runtime_error("no serial port for " + config.where + ": give \"port\"" +
                                 (config.where == "site" ? " or --port" : ""));
    std::shared_ptr<rt::SharedLink>& link = site.links[options.line.path];
    if (!link)
        link = std::make_shared<rt::SharedLink>(site.io, options.line,
                                                [&log = site.log](const std::string& text) { log.Write(text); });
    line->host = std::make_shared<rt::HostRuntime>(site.io, options, site.log, site.shared, link);
    line->bus = site.plugin.CreateBus();
    site.log.Write("monitor: plug-in " + site.args.plugin + ", bus device " + line->bus->DeviceType() + " " +
                   std::to_string(options.data_id) + " on " + options.line.path + " (" + config.where + ")");
    line->bus->Init(line->host, options.data_id, config.config);
    if (!line->bus->InitSetting(config.config))
        throw std::runtime_error("the bus device of " + config.where + " refused the configuration");
    line->host->Attach(line->bus);
    site.services.AddLine(options.data_id, options.line.path);
    line->restored = line->host->RestoreChildren();
    site.log.Write("monitor: " + std::to_string(line->restored) + " of " +
                   std::to_string(line->bus->GetAllChildVDevices().size()) + " child devices of " +
                   std::to_string(options.data_id) + " restored from the database");

    Line& l = *line;
    // Every service hears every event, in the runtime's order.
    line->host->OnEvent([&site](const rt::RuntimeEvent& e) { site.services.Event(e); });
    if (site.trace.Keeps())
        line->host->OnPluginReturn([&site, id = options.data_id] { site.trace.Drain(id); });
    line->host->OnRoundEnd([&site, &l](rt::RoundEnd& end) {
        const auto& rounds = site.args.rounds;
        if (rounds && end.round > *rounds) return;
        // Nobody to read it (--view none, no service): not built at all.
        if (!site.services.WantsRounds() && !site.output->WantsRounds()) {
            site.roundDone(end.round);
            return;
        }
        const std::uint64_t number = end.round;
        model::RoundData round =
            model::BuildRound(std::move(end), *l.bus, l.restored, l.config.options.line.path, l.rules);
        l.rules = round.rules;
        // Printed on the worker after this round's work items, so that
        // the active alarms include this round's.
        l.host->Work().Post([&site, &l, round = std::move(round)]() mutable {
            model::AddActiveAlarms(round, l.host->Alarms().Active());
            const auto shared = std::make_shared<const model::Round>(std::move(round));
            site.services.Round(shared);
            site.output->Print(*shared);
        });
        site.roundDone(number);
    });
    return line;
}

int Run(const monitor::Args& args) {
    Json::Value config;
    std::vector<rt::SiteLine> lineConfigs;
    try {
        rt::ConfigProblems throwing;
        config = monitor::ReadSite(args.config, throwing);
        if (args.port) {
            if (config.isMember("lines"))
                throw std::runtime_error("--port needs a single-line site; give each line's \"port\" in \"lines\"");
            config["port"] = *args.port;
        }
        if (args.database) config["database"] = *args.database;
        lineConfigs = rt::SiteLines(config);
    } catch (const rt::ConfigError& e) {
        throw std::runtime_error(args.config + ": " + e.what());
    }
    const std::string logFile = args.log ? *args.log : config.get("log_file", "").asString();

    std::FILE* out = TakeStdout();
    rt::LogSink log;
    if (!logFile.empty() && !log.Open(logFile)) throw std::runtime_error("cannot open log file " + logFile);
    monitor::PluginTrace trace(args.trace, log);

    boost::asio::io_context io;
    monitor::Plugin plugin(args.plugin);
    monitor::SiteServices services(config, args, log);
    int status = 0;
    {
        rt::SiteShared shared(lineConfigs.front().options.database, log, lineConfigs.front().options.history);
        // The store aggregates the model's numeric fields of every snapshot.
        if (shared.store) shared.store->SetDecoder(model::NumericFields);
        Site site{args, log, io, plugin, shared, services, trace, {}, nullptr, lineConfigs.size(), 0, {}};
        std::vector<std::unique_ptr<Line>> lines;
        for (const rt::SiteLine& c : lineConfigs) lines.push_back(SetUpLine(site, c));

        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        boost::asio::steady_timer deadline(io);
        boost::asio::steady_timer trim(io);
        bool stopping = false;
        bool bySignal = false;
        site.stopAll = [&](const std::string& why) {
            if (stopping) return;
            stopping = true;
            log.Write("monitor: stopping (" + why + ")");
            for (auto& line : lines) line->host->Stop();
            boost::system::error_code ec;
            signals.cancel(ec);
            deadline.cancel(ec);
            trim.cancel(ec);
        };
        // What a peak took (a broker outage's queue, a full disk's backlog,
        // a burst of web clients) goes back to the system within minutes:
        // the allocator keeps freed pages of its arenas otherwise, and a
        // process that runs for years would keep the largest peak it met.
        std::function<void()> trimLater = [&] {
            trim.expires_after(std::chrono::minutes(10));
            trim.async_wait([&](const boost::system::error_code& ec) {
                if (ec) return;
                ::malloc_trim(0);
                trimLater();
            });
        };
        trimLater();
        signals.async_wait([&](const boost::system::error_code& ec, int sig) {
            if (ec) return;
            bySignal = true;
            site.stopAll(sig == SIGINT ? "SIGINT" : "SIGTERM");
        });
        if (args.duration) {
            deadline.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(*args.duration)));
            deadline.async_wait([&](const boost::system::error_code& ec) {
                if (!ec) site.stopAll("duration reached");
            });
        }
        // After the signal handlers: the terminal view keeps them.
        monitor::RoundOutput output(
            args, out,
            [&lines](std::uint32_t busId) {
                for (const auto& line : lines)
                    if (line->config.options.data_id == busId) return line->host->Stats();
                return rt::LineStats{};
            },
            [&] { boost::asio::post(io, [&] { site.stopAll("q pressed"); }); });
        site.output = &output;

        for (auto& line : lines) line->host->Start();
        io.run();
        shared.StopUpkeep();
        shared.worker.Drain();
        for (auto& line : lines) {
            const rt::LineStats s = line->host->Stats();
            log.Write("monitor: " + std::to_string(line->config.options.data_id) + " on " +
                      line->config.options.line.path + " done after " + std::to_string(s.rounds) + " rounds, " +
                      std::to_string(s.requests) + " requests, " + std::to_string(s.answers) + " answers, " +
                      std::to_string(s.timeouts) + " timeouts, " + std::to_string(s.bad_frames) + " bad frames");
            // --duration ended it before --rounds was reached.
            if (args.rounds && s.rounds < *args.rounds && !bySignal) status = 3;
        }
        shared.worker.Stop();
        services.Stop();
        // The devices go before the controllers and the plug-in.
        for (auto& line : lines) line->bus.reset();
        lines.clear();
    }
    plugin.Release();
    std::fflush(out);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // One allocator arena for the few threads (the io thread, the worker,
    // the services'): they allocate little and seldom, and one arena keeps
    // less memory idle and gives more of it back when trimmed than one per
    // thread.
    ::mallopt(M_ARENA_MAX, 1);
    monitor::Args args;
    try {
        args = monitor::ParseArgs(std::vector<std::string>(argv, argv + argc), PMB_DEFAULT_PLUGIN);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "monitor: %s\n%s", e.what(), monitor::Usage());
        return 2;
    }
    if (args.help) {
        std::fputs(monitor::Usage(), stdout);
        return 0;
    }
    try {
        // The check's problems go to standard error (the unit discards
        // standard output); the plug-in's trace lines nowhere.
        if (args.command == monitor::Args::Command::kCheck) {
            rt::LogSink log;
            monitor::PluginTrace trace(false, log);
            return monitor::RunCheck(args, stderr);
        }
        if (args.command == monitor::Args::Command::kScan) {
            std::FILE* out = TakeStdout();
            rt::LogSink log;
            monitor::PluginTrace trace(false, log);
            return monitor::RunScan(args, out);
        }
        return Run(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s monitor: %s\n", rt::LocalTimestamp().c_str(), e.what());
        return 1;
    }
}
