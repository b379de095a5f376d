#pragma once
// Command line of the monitor.
#include <optional>
#include <string>
#include <vector>

namespace monitor {

struct Args {
    enum class View { kDashboard, kFields, kNone };
    // monitor --config ..., monitor check SITE, monitor scan PORT
    enum class Command { kRun, kCheck, kScan };
    Command command = Command::kRun;
    std::string config;                 // --config FILE (required), the SITE of check
    std::optional<std::string> port;    // --port PATH
    std::string plugin;                 // --plugin PATH
    std::optional<unsigned long> rounds;  // --rounds N (N >= 1)
    std::optional<double> duration;     // --duration S (S > 0)
    bool json = false;                  // --json
    View view = View::kDashboard;       // --view dashboard|fields|none
    bool trace = false;                 // --trace
    std::optional<std::string> log;     // --log FILE
    std::optional<std::string> database;  // --database FILE
    std::optional<std::string> mqtt;    // --mqtt URL
    std::optional<std::string> http;    // --http [ADDR:]PORT
    std::optional<std::string> www;     // --www DIR
    bool help = false;                  // --help

    // scan
    std::string scanPort;               // PORT
    std::vector<unsigned> bauds = {9600, 19200, 4800, 2400, 1200};  // --baud A,B,...
    unsigned firstAddress = 1, lastAddress = 254;                    // --address N or N-M
    unsigned timeoutMs = 1000;          // --timeout-ms N: the answer timeout
    std::optional<std::string> writeSite;  // --write-site FILE
    bool force = false;                 // --force: --write-site may overwrite
};

// Throws std::invalid_argument with a message for the user.
Args ParseArgs(const std::vector<std::string>& argv, const std::string& defaultPlugin);
const char* Usage();

}  // namespace monitor
