#pragma once
// Command-line options of pmbus-sim.
#include "tools/sim/faults.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Options {
    std::string scenario;             // empty: the built-in scenario
    std::optional<std::string> model; // overrides the scenario's
    std::string port;                 // empty: open a pseudo-terminal
    unsigned baud = 9600;
    bool pace = false;                // send answers at the line rate of baud
    int latency_ms = 0;
    int repeat = 0;                   // rounds after which the timeline plays again; 0: once
    int address = 1;
    std::vector<FaultRule> faults;
    int verbosity = 1;                // 0 quiet, 1 rounds and faults, 2 every frame
    bool help = false;
};

// Throws std::runtime_error with a message for the user.
Options ParseOptions(int argc, const char* const* argv);
const char* Usage();

}  // namespace sim
