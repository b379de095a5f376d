#pragma once
// Settings of the monitor's HTTP service: the command line's --http and
// --www, and the site's "http" object.
#include "tools/runtime/config_problems.h"

#include <json/value.h>

#include <optional>
#include <string>
#include <vector>

namespace http {

struct HttpConfig {
    std::string address = "127.0.0.1";  // loopback unless another address is named
    unsigned short port = 0;
    std::string token;                   // empty: no Authorization needed
    std::string www;                     // the page's files
    std::string chartjs;                 // Chart.js as Debian installs it
    std::string database;                // history database ("" : /api/history and /api/alarms answer 503)
    int timeout_s = 10;                  // idle, slow and stuck connections are closed after this
    int health_rounds = 3;               // /healthz: the power system answered within this many rounds
};

// The page's folder: the source tree's tools/web when it is there, else the
// installed one.
std::string DefaultWww();

// "[ADDR:]PORT"; throws std::invalid_argument.
void ParseListen(const std::string& text, HttpConfig& c);

// The keys of the site's "http" object.
const std::vector<std::string>& HttpKeys();
// The service's settings, or nothing when neither --http nor the site's
// "http" object asks for it. Every bad member is reported (path
// "http.KEY"), an unreadable or empty token file included.
std::optional<HttpConfig> ConfigFromSite(const Json::Value& site, const std::optional<std::string>& listen,
                                         const std::string& www, const std::string& database,
                                         rt::ConfigProblems& problems);
// The same; the first bad member throws rt::ConfigError.
std::optional<HttpConfig> ConfigFromSite(const Json::Value& site, const std::optional<std::string>& listen,
                                         const std::string& www, const std::string& database);

}  // namespace http
