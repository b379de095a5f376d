#include "tools/sim/options.h"

#include "tools/sim/serial_line.h"

#include <stdexcept>

namespace sim {
namespace {

long Number(const std::string& opt, const std::string& text, long lo, long hi) {
    std::size_t used = 0;
    long v = 0;
    try {
        v = std::stol(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || v < lo || v > hi)
        throw std::runtime_error(opt + ": expected a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                                 ", got '" + text + "'");
    return v;
}

}  // namespace

const char* Usage() {
    return "usage: pmbus-sim [options]\n"
           "Simulates a power system on a serial line: answers the power-bus requests from a scenario.\n"
           "  --scenario FILE     plant, timeline and faults (JSON); default: the built-in scenario\n"
           "  --model NAME        answer layout and model text: tvr27pk or qzl4200 (default: the scenario's)\n"
           "  --port PATH         serve on this serial device; default: open a pseudo-terminal and print\n"
           "                      the path to connect to as the first line of standard output\n"
           "  --baud N            line speed (default 9600); requests sent at another speed get no answer\n"
           "  --pace              send answers at the line rate of --baud (10 bits per byte)\n"
           "  --latency-ms N      wait N ms before each answer (default 0)\n"
           "  --repeat N          after N rounds start the plant, timeline and round-bound faults again\n"
           "  --address N         the unit's ADR (default 1); frames for other addresses are ignored\n"
           "  --fault RULE        inject a fault, repeatable: KIND[:CMD][:key=value,...]\n"
           "                      KIND: drop delay bad_checksum bad_length_checksum wrong_cid1 truncate\n"
           "                            error_rtn noise; CMD: CC_DD such as 41_43, or * (default)\n"
           "                      keys: every=N times=N round=N until=N ms=N cid1=N rtn=N keep=N noise=N\n"
           "                      e.g. --fault drop:41_43:every=3  --fault error_rtn:*:rtn=4,times=2\n"
           "  --verbose           log every frame;  --quiet  log errors only\n"
           "  --help\n";
}

Options ParseOptions(int argc, const char* const* argv) {
    Options o;
    for (int k = 1; k < argc; ++k) {
        const std::string opt = argv[k];
        auto value = [&]() -> std::string {
            if (k + 1 >= argc) throw std::runtime_error(opt + " needs a value");
            return argv[++k];
        };
        if (opt == "--scenario") {
            o.scenario = value();
        } else if (opt == "--model") {
            o.model = value();
        } else if (opt == "--port") {
            o.port = value();
        } else if (opt == "--baud") {
            o.baud = static_cast<unsigned>(Number(opt, value(), 1, 4000000));
            if (!KnownBaud(o.baud)) throw std::runtime_error("--baud: unsupported rate " + std::to_string(o.baud));
        } else if (opt == "--pace") {
            o.pace = true;
        } else if (opt == "--latency-ms") {
            o.latency_ms = static_cast<int>(Number(opt, value(), 0, 60000));
        } else if (opt == "--repeat") {
            o.repeat = static_cast<int>(Number(opt, value(), 1, 1000000));
        } else if (opt == "--address") {
            o.address = static_cast<int>(Number(opt, value(), 0, 255));
        } else if (opt == "--fault") {
            o.faults.push_back(FaultFromOption(value()));
        } else if (opt == "--verbose") {
            o.verbosity = 2;
        } else if (opt == "--quiet") {
            o.verbosity = 0;
        } else if (opt == "--help" || opt == "-h") {
            o.help = true;
        } else {
            throw std::runtime_error("unknown option " + opt);
        }
    }
    return o;
}

}  // namespace sim
