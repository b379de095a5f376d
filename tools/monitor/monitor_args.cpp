#include "tools/monitor/monitor_args.h"

#include <cerrno>
#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace monitor {

const char* Usage() {
    return "usage: monitor --config FILE [--port PATH] [--plugin PATH] [--rounds N] [--duration S]\n"
           "               [--json | --view dashboard|fields|none] [--log FILE] [--database FILE]\n"
           "               [--mqtt URL] [--http [ADDR:]PORT] [--www DIR] [--trace]\n"
           "       monitor check SITE [--plugin PATH] [--database FILE] [--log FILE]\n"
           "       monitor scan PORT [--baud 9600,19200,4800,2400,1200] [--address 1-254] [--timeout-ms N]\n"
           "               [--plugin PATH] [--write-site FILE [--force]]\n"
           "  --config FILE   site configuration (JSON)\n"
           "  --port PATH     serial device, overrides the configuration's \"port\"\n"
           "  --plugin PATH   the plug-in to load (default: the one built with the monitor)\n"
           "  --rounds N      end after N completed rounds\n"
           "  --duration S    end after S seconds\n"
           "  --json          one JSON object per completed round on standard output\n"
           "  --view V        dashboard (default): the plant at a glance, redrawn in place on a\n"
           "                  terminal (keys: Up/Down, PgUp/PgDn, Home/End, q), plain text once a\n"
           "                  round otherwise; fields: every signal and decoded snapshot field;\n"
           "                  none: nothing on standard output (a service)\n"
           "  --log FILE      log lines to FILE instead of standard error\n"
           "  --database FILE history and alarm database, overrides the configuration's \"database\"\n"
           "  --mqtt URL      publish to this broker (mqtt://host[:port] or mqtts://...),\n"
           "                  overrides the configuration's \"mqtt\" \"url\"\n"
           "  --http [ADDR:]PORT  serve the web page, the HTTP API and /metrics (127.0.0.1 unless ADDR is given)\n"
           "  --www DIR       the web page's files (default: the ones installed or built with the monitor)\n"
           "  --trace         keep the plug-in's own trace lines, in the log with a time and their line\n"
           "check: every problem of the site file, one a line with its key's path; exit status 0 when\n"
           "       there is none (--database and --log as the monitor would be given them)\n"
           "scan:  asks every address at every speed for its model, one request at a time, and lists\n"
           "       what answers\n"
           "  --baud LIST     speeds to try, in order (default 9600,19200,4800,2400,1200)\n"
           "  --address N-M   addresses to try (default 1-254)\n"
           "  --timeout-ms N  answer timeout (default 1000): what a silent address costs\n"
           "  --write-site FILE  write a site file for what answered (--force: overwrite FILE)\n";
}

namespace {

unsigned long Whole(const std::string& option, const std::string& v, unsigned long lo, unsigned long hi) {
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(v.c_str(), &end, 10);
    if (v.empty() || *end || errno || v[0] == '-' || n < lo || n > hi)
        throw std::invalid_argument(option + " needs a whole number from " + std::to_string(lo) + " to " +
                                    std::to_string(hi) + ", not '" + v + "'");
    return n;
}

// The options of monitor scan, after PORT.
void ScanOption(Args& a, const std::vector<std::string>& argv, std::size_t& i) {
    const std::string& o = argv[i];
    auto value = [&]() -> const std::string& {
        if (i + 1 >= argv.size()) throw std::invalid_argument(o + " needs a value");
        return argv[++i];
    };
    if (o == "--baud") {
        a.bauds.clear();
        std::string list = value();
        for (std::size_t at = 0; at <= list.size();) {
            const std::size_t comma = std::min(list.find(',', at), list.size());
            a.bauds.push_back(static_cast<unsigned>(Whole("--baud", list.substr(at, comma - at), 50, 4000000)));
            at = comma + 1;
        }
    } else if (o == "--address") {
        const std::string& v = value();
        const std::size_t dash = v.find('-');
        a.firstAddress = static_cast<unsigned>(Whole("--address", v.substr(0, dash), 1, 254));
        a.lastAddress = dash == std::string::npos ? a.firstAddress
                                                  : static_cast<unsigned>(Whole("--address", v.substr(dash + 1), 1, 254));
        if (a.lastAddress < a.firstAddress) throw std::invalid_argument("--address N-M needs N <= M, not '" + v + "'");
    } else if (o == "--timeout-ms") {
        a.timeoutMs = static_cast<unsigned>(Whole("--timeout-ms", value(), 10, 600000));
    } else if (o == "--write-site") {
        a.writeSite = value();
    } else if (o == "--force") {
        a.force = true;
    } else {
        throw std::invalid_argument("unknown option '" + o + "' of monitor scan");
    }
}

}  // namespace

Args ParseArgs(const std::vector<std::string>& argv, const std::string& defaultPlugin) {
    Args a;
    a.plugin = defaultPlugin;
    auto value = [&](std::size_t& i) -> const std::string& {
        if (i + 1 >= argv.size()) throw std::invalid_argument(argv[i] + " needs a value");
        return argv[++i];
    };
    std::size_t i = 1;
    // monitor check SITE ..., monitor scan PORT ...
    if (argv.size() > 1 && (argv[1] == "check" || argv[1] == "scan")) {
        const bool check = argv[1] == "check";
        a.command = check ? Args::Command::kCheck : Args::Command::kScan;
        if (argv.size() < 3 || argv[2].rfind("--", 0) == 0)
            throw std::invalid_argument(std::string("monitor ") + argv[1] + (check ? " needs SITE" : " needs PORT"));
        (check ? a.config : a.scanPort) = argv[2];
        for (i = 3; i < argv.size(); ++i) {
            const std::string& o = argv[i];
            if (o == "--plugin" || (check && (o == "--database" || o == "--log"))) {
                if (i + 1 >= argv.size()) throw std::invalid_argument(o + " needs a value");
                (o == "--plugin" ? a.plugin : o == "--log" ? a.log.emplace() : a.database.emplace()) = argv[++i];
            } else if (o == "--help" || o == "-h") {
                a.help = true;
            } else if (check) {
                throw std::invalid_argument("unknown option '" + o + "' of monitor check");
            } else {
                ScanOption(a, argv, i);
            }
        }
        if (a.force && !a.writeSite) throw std::invalid_argument("--force goes with --write-site FILE");
        return a;
    }
    for (; i < argv.size(); ++i) {
        const std::string& o = argv[i];
        if (o == "--config") {
            a.config = value(i);
        } else if (o == "--port") {
            a.port = value(i);
        } else if (o == "--plugin") {
            a.plugin = value(i);
        } else if (o == "--log") {
            a.log = value(i);
        } else if (o == "--database") {
            a.database = value(i);
        } else if (o == "--mqtt") {
            a.mqtt = value(i);
        } else if (o == "--http") {
            a.http = value(i);
        } else if (o == "--www") {
            a.www = value(i);
        } else if (o == "--json") {
            a.json = true;
        } else if (o == "--view") {
            const std::string& v = value(i);
            if (v == "dashboard")
                a.view = Args::View::kDashboard;
            else if (v == "fields")
                a.view = Args::View::kFields;
            else if (v == "none")
                a.view = Args::View::kNone;
            else
                throw std::invalid_argument("--view is dashboard, fields or none, not '" + v + "'");
        } else if (o == "--trace") {
            a.trace = true;
        } else if (o == "--help" || o == "-h") {
            a.help = true;
        } else if (o == "--rounds") {
            const std::string& v = value(i);
            char* end = nullptr;
            errno = 0;
            const unsigned long n = std::strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end || errno || n == 0 || v[0] == '-')
                throw std::invalid_argument("--rounds needs a whole number of at least 1, not '" + v + "'");
            a.rounds = n;
        } else if (o == "--duration") {
            const std::string& v = value(i);
            char* end = nullptr;
            const double s = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !std::isfinite(s) || s <= 0)
                throw std::invalid_argument("--duration needs a number of seconds above 0, not '" + v + "'");
            a.duration = s;
        } else {
            throw std::invalid_argument("unknown option '" + o + "'");
        }
    }
    if (!a.help && a.config.empty()) throw std::invalid_argument("--config FILE is required");
    return a;
}

}  // namespace monitor
