#pragma once
// Command line of the monitor.
#include <optional>
#include <string>
#include <vector>

namespace monitor {

struct Args {
    enum class View { kDashboard, kFields };
    // monitor --config ..., monitor check SITE
    enum class Command { kRun, kCheck };
    Command command = Command::kRun;
    std::string config;                 // --config FILE (required), the SITE of check
    std::optional<std::string> port;    // --port PATH
    std::string plugin;                 // --plugin PATH
    std::optional<unsigned long> rounds;  // --rounds N (N >= 1)
    std::optional<double> duration;     // --duration S (S > 0)
    bool json = false;                  // --json
    View view = View::kDashboard;       // --view dashboard|fields
    std::optional<std::string> log;     // --log FILE
    std::optional<std::string> database;  // --database FILE
    std::optional<std::string> mqtt;    // --mqtt URL
    std::optional<std::string> http;    // --http [ADDR:]PORT
    std::optional<std::string> www;     // --www DIR
    bool help = false;                  // --help
};

// Throws std::invalid_argument with a message for the user.
Args ParseArgs(const std::vector<std::string>& argv, const std::string& defaultPlugin);
const char* Usage();

}  // namespace monitor
