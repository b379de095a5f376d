#pragma once
// The lines of a site configuration. A site file either holds one line at
// its top level (today's form) or "lines": [ {...}, ... ], each element with
// a line's own keys (port and line settings, address, protocol_version,
// data_id, timeouts, the bus device's "acSetting"/"dcSetting"/"rcSetting").
// The site's own keys ("database", "log_file", ...) stay at the top.
#include "tools/runtime/config_problems.h"
#include "tools/runtime/runtime_options.h"

#include <json/value.h>

#include <string>
#include <vector>

namespace rt {

struct SiteLine {
    std::string where;     // "lines[1]", or "site" for a single-line file
    Json::Value config;    // handed to the bus device (Init, InitSetting)
    RuntimeOptions options;  // its host keys; "database" is the site's
};

// The keys of a line (its own and its bus device's), and the site's own
// keys at the top of the file.
const std::vector<std::string>& LineKeys();
const std::vector<std::string>& SiteKeys();
// "" for the single line of a file without "lines", else "lines[i]": the
// line's part of a key's path.
std::string LinePath(const SiteLine& line);

// Splits and checks the site, reporting to problems with the place named: a
// malformed "lines", a line key also given at the top next to "lines", a bad
// line key, a data id used twice (bus devices and children, across all
// lines), two lines on one port with the same address or with different
// line settings. A line whose element is not an object is left out.
std::vector<SiteLine> SiteLines(const Json::Value& site, ConfigProblems& problems);
// The same; the first problem throws ConfigError.
std::vector<SiteLine> SiteLines(const Json::Value& site);

}  // namespace rt
