#pragma once
// The host's own keys of the site configuration.
#include "tools/runtime/config_problems.h"
#include "tools/runtime/history_store.h"
#include "tools/runtime/serial_link.h"

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace rt {

struct RuntimeOptions {
    LineSettings line;                        // "port", "baud", "data_bits", "parity", "stop_bits",
                                              // "reopen_min_ms", "reopen_max_ms"
    unsigned address = 1;                     // "address": ADR of the power system (the bus device reads it)
    unsigned protocol_version = 33;           // "protocol_version": VER of the requests (likewise)
    std::uint32_t data_id = 0;                // "data_id": the bus device's id
    std::chrono::milliseconds timeout{1000};  // "timeout_ms": answer timeout
    std::chrono::milliseconds refresh{250};   // "refresh_ms": RefreshStatus period
    unsigned lost_after = 3;                  // "lost_after_timeouts": timeouts in a row that clear data-valid
    std::string database;                     // "database": SQLite file; empty: no history
    HistoryLimits history;                    // "history": what the store keeps (site key)
};

// Reads the keys above from a site configuration (a line's object at path);
// missing keys keep their defaults, and so do keys reported to problems as
// of the wrong type or out of range.
RuntimeOptions OptionsFromJson(const Json::Value& site, ConfigProblems& problems, const std::string& path = "");
// The same; the first bad key throws ConfigError.
RuntimeOptions OptionsFromJson(const Json::Value& site);

// The site's "history" object: {"raw_days", "minute_days", "hour_days",
// "event_days", "max_mb"}, each optional; a member of the wrong type or out
// of range, or an unknown one, is reported (and keeps its default).
HistoryLimits HistoryLimitsFromJson(const Json::Value& site, ConfigProblems& problems);
// The same; the first problem throws ConfigError.
HistoryLimits HistoryLimitsFromJson(const Json::Value& site);
// The members of "history".
const std::vector<std::string>& HistoryKeys();

}  // namespace rt
