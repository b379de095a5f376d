// model-host: the host runtime the monitor uses, driving a bus device of a
// model the plug-in does not export (QZL4200, the base model), so that its
// rounds can be timed against the paced simulator as well.
//
//   model-host --config SITE --port PATH --rounds N [--log FILE]
//
// Prints one line per round: "round N round_s SECONDS answers A".
// The site's "protocol_version" is left out: the model sets its own.
#include "bus/bus_models.h"
#include "tools/runtime/host_runtime.h"
#include "tools/runtime/log_sink.h"

#include <boost/asio/io_context.hpp>
#include <json/reader.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    std::string config, port, logFile;
    unsigned long rounds = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--config") config = argv[i + 1];
        else if (a == "--port") port = argv[i + 1];
        else if (a == "--rounds") rounds = std::strtoul(argv[i + 1], nullptr, 10);
        else if (a == "--log") logFile = argv[i + 1];
    }
    if (config.empty() || port.empty() || rounds == 0) {
        std::fprintf(stderr, "usage: model-host --config SITE --port PATH --rounds N [--log FILE]\n");
        return 2;
    }
    try {
        std::ifstream in(config);
        Json::Value site;
        Json::CharReaderBuilder b;
        std::string err;
        if (!in || !Json::parseFromStream(b, in, &site, &err)) throw std::runtime_error("cannot read " + config);
        site["port"] = port;
        site.removeMember("protocol_version");
        const rt::RuntimeOptions options = rt::OptionsFromJson(site);

        // The plug-in's trace lines go to the log too.
        std::FILE* out = stdout;
        rt::LogSink log;
        if (!logFile.empty()) {
            if (!log.Open(logFile)) throw std::runtime_error("cannot open " + logFile);
            const int fd = ::dup(1);
            if (!std::freopen(logFile.c_str(), "a", stdout)) throw std::runtime_error("cannot redirect stdout");
            out = ::fdopen(fd, "w");
        }

        boost::asio::io_context io;
        auto host = std::make_shared<rt::HostRuntime>(io, options, log);
        auto bus = std::make_shared<QZL4200>();
        bus->Init(host, options.data_id, site);
        if (!bus->InitSetting(site)) throw std::runtime_error("the bus device refused the configuration");
        host->Attach(bus);
        host->OnRoundEnd([&](const rt::RoundEnd& end) {
            std::fprintf(out, "round %llu round_s %.6f answers %llu\n", static_cast<unsigned long long>(end.round),
                         end.seconds, static_cast<unsigned long long>(end.stats.answers));
            std::fflush(out);
            if (end.round >= rounds) host->Stop();
        });
        host->Start();
        io.run();
        host->Shutdown();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "model-host: %s\n", e.what());
        return 1;
    }
    return 0;
}
