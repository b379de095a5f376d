#pragma once
// The site file's "notify" object:
//   {"command": "/path/to/script", "timeout_s": 10, "max_running": 4, "queue_size": 64}
#include <json/value.h>

#include <cstddef>
#include <optional>
#include <string>

namespace notify {

struct NotifyConfig {
    std::string command;          // absolute path of an executable; run without a shell
    double timeout_s = 10;        // then SIGTERM to its process group, SIGKILL 2 s later
    unsigned max_running = 4;     // commands at once
    std::size_t queue_size = 64;  // events waiting beyond max_running; more are dropped
};

// Nothing when the site has no "notify"; throws std::runtime_error naming
// the bad member otherwise.
std::optional<NotifyConfig> NotifyConfigFromSite(const Json::Value& site);

}  // namespace notify
