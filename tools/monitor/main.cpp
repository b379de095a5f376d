// monitor: loads the plug-in like the closed host, runs the host loop on a
// serial line and shows every round (a live view, or JSON lines).
#include "tools/http/http_server.h"
#include "tools/monitor/monitor_args.h"
#include "tools/monitor/plugin_loader.h"
#include "tools/monitor/round_output.h"
#include "tools/monitor/round_view.h"
#include "tools/monitor/site_services.h"
#include "tools/runtime/host_runtime.h"
#include "tools/runtime/log_sink.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <json/reader.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#ifndef PMB_DEFAULT_PLUGIN
#define PMB_DEFAULT_PLUGIN "libtvr27pk.so"
#endif

namespace {

Json::Value ReadConfig(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read configuration " + path);
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string err;
    if (!Json::parseFromStream(b, in, &v, &err)) throw std::runtime_error("configuration " + path + ": " + err);
    if (!v.isObject()) throw std::runtime_error("configuration " + path + ": not a JSON object");
    return v;
}

// The real standard output is kept for the view; file descriptor 1, where
// the plug-in's trace lines go, is pointed at the log (or standard error).
std::FILE* TakeStdout(const std::string& logFile) {
    std::fflush(stdout);
    std::cout.flush();
    const int fd = ::dup(1);
    if (fd < 0) throw std::runtime_error("cannot duplicate standard output");
    int target = 2;
    if (!logFile.empty()) {
        target = ::open(logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (target < 0) throw std::runtime_error("cannot open log file " + logFile);
    }
    ::dup2(target, 1);
    if (target != 2) ::close(target);
    std::FILE* out = ::fdopen(fd, "w");
    if (!out) throw std::runtime_error("cannot reopen standard output");
    return out;
}

int Run(const monitor::Args& args) {
    Json::Value site = ReadConfig(args.config);
    if (args.port) site["port"] = *args.port;
    if (args.database) site["database"] = *args.database;
    const rt::RuntimeOptions options = rt::OptionsFromJson(site);
    if (options.line.path.empty()) throw std::runtime_error("no serial port: give \"port\" or --port");
    const std::string logFile = args.log ? *args.log : site.get("log_file", "").asString();

    std::FILE* out = TakeStdout(logFile);
    rt::LogSink log;
    if (!logFile.empty() && !log.Open(logFile)) throw std::runtime_error("cannot open log file " + logFile);

    const auto httpConfig = http::ConfigFromSite(site, args.http, args.www ? *args.www : http::DefaultWww(),
                                                 site.get("database", "").asString());
    std::unique_ptr<http::Server> web;
    if (httpConfig) web = std::make_unique<http::Server>(*httpConfig, log);

    boost::asio::io_context io;
    monitor::Plugin plugin(args.plugin);
    monitor::SiteServices services(site, args.mqtt, log);
    int status = 0;
    {
        auto host = std::make_shared<rt::HostRuntime>(io, options, log);
        std::shared_ptr<PMBusProtocol> bus = plugin.CreateBus();
        log.Write("monitor: plug-in " + args.plugin + ", bus device " + bus->DeviceType() + " " +
                  std::to_string(options.data_id));
        bus->Init(host, options.data_id, site);
        if (!bus->InitSetting(site)) throw std::runtime_error("the bus device refused the configuration");
        host->Attach(bus);
        const int restored = host->RestoreChildren();
        log.Write("monitor: " + std::to_string(restored) + " of " + std::to_string(bus->GetAllChildVDevices().size()) +
                  " child devices restored from the database");

        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        boost::asio::steady_timer deadline(io);
        bool stopping = false;
        bool bySignal = false;
        auto stopAll = [&](const std::string& why) {
            if (stopping) return;
            stopping = true;
            log.Write("monitor: stopping (" + why + ")");
            host->Stop();
            boost::system::error_code ec;
            signals.cancel(ec);
            deadline.cancel(ec);
        };
        signals.async_wait([&](const boost::system::error_code& ec, int sig) {
            if (ec) return;
            bySignal = true;
            stopAll(sig == SIGINT ? "SIGINT" : "SIGTERM");
        });
        if (args.duration) {
            deadline.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(*args.duration)));
            deadline.async_wait([&](const boost::system::error_code& ec) {
                if (!ec) stopAll("duration reached");
            });
        }
        // Every service hears every event, in the runtime's order.
        host->OnEvent([&](const rt::RuntimeEvent& e) {
            services.Event(e, options.data_id);
            if (web) web->PublishEvent(e);
        });
        monitor::RoundOutput output(args, out, [&host] { return host->Stats(); },
                                    [&] { boost::asio::post(io, [&] { stopAll("q pressed"); }); });
        host->OnRoundEnd([&](const rt::RoundEnd& end) {
            if (args.rounds && end.round > *args.rounds) return;
            Json::Value round = monitor::BuildRound(end, *bus, restored, options.line.path);
            // Printed on the worker after this round's work items, so that
            // the active alarms include this round's.
            host->Work().Post([&, round]() mutable {
                monitor::AddActiveAlarms(round, host->Alarms().Active());
                if (web) web->PublishRound(round);
                services.Round(round);
                output.Print(round);
            });
            if (args.rounds && end.round == *args.rounds) stopAll(std::to_string(end.round) + " rounds done");
        });


        host->Start();
        io.run();
        host->Shutdown();
        services.Stop();
        const rt::LineStats s = host->Stats();
        log.Write("monitor: done after " + std::to_string(s.rounds) + " rounds, " + std::to_string(s.requests) +
                  " requests, " + std::to_string(s.answers) + " answers, " + std::to_string(s.timeouts) +
                  " timeouts, " + std::to_string(s.bad_frames) + " bad frames");
        // --duration ended it before --rounds was reached.
        if (args.rounds && s.rounds < *args.rounds && !bySignal) status = 3;
        // The devices go before the controller and the plug-in.
        bus.reset();
    }
    plugin.Release();
    std::fflush(out);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
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
        return Run(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s monitor: %s\n", rt::LocalTimestamp().c_str(), e.what());
        return 1;
    }
}
