#pragma once
// The lines of a site configuration. A site file either holds one line at
// its top level (today's form) or "lines": [ {...}, ... ], each element with
// a line's own keys (port and line settings, address, protocol_version,
// data_id, timeouts, the bus device's "acSetting"/"dcSetting"/"rcSetting").
// The site's own keys ("database", "log_file", ...) stay at the top.
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

// Splits and checks the site. Throws std::invalid_argument naming the place:
// a malformed "lines", a line key also given at the top next to "lines", a
// data id used twice (bus devices and children, across all lines), two lines
// on one port with the same address or with different line settings.
std::vector<SiteLine> SiteLines(const Json::Value& site);

}  // namespace rt
