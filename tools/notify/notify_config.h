#pragma once
// The site file's "notify" object:
//   {"command": "/path/to/script", "timeout_s": 10, "max_running": 4, "queue_size": 64}
#include "tools/runtime/config_problems.h"

#include <json/value.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace notify {

struct NotifyConfig {
    std::string command;          // absolute path of an executable; run without a shell
    double timeout_s = 10;        // then SIGTERM to its process group, SIGKILL 2 s later
    unsigned max_running = 4;     // commands at once
    std::size_t queue_size = 64;  // events waiting beyond max_running; more are dropped
};

// The keys of the site's "notify" object.
const std::vector<std::string>& NotifyKeys();
// Nothing when the site has no "notify"; every bad member is reported (path
// "notify.KEY"), a command that is not an executable file included.
std::optional<NotifyConfig> NotifyConfigFromSite(const Json::Value& site, rt::ConfigProblems& problems);
// The same; the first bad member throws rt::ConfigError.
std::optional<NotifyConfig> NotifyConfigFromSite(const Json::Value& site);

}  // namespace notify
