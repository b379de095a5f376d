#pragma once
// The host's own keys of the site configuration.
#include "tools/runtime/history_store.h"
#include "tools/runtime/serial_link.h"

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace rt {

struct RuntimeOptions {
    LineSettings line;                        // "port", "baud", "data_bits", "parity", "stop_bits",
                                              // "reopen_min_ms", "reopen_max_ms"
    std::uint32_t data_id = 0;                // "data_id": the bus device's id
    std::chrono::milliseconds timeout{1000};  // "timeout_ms": answer timeout
    std::chrono::milliseconds refresh{250};   // "refresh_ms": RefreshStatus period
    unsigned lost_after = 3;                  // "lost_after_timeouts": timeouts in a row that clear data-valid
    std::string database;                     // "database": SQLite file; empty: no history
    HistoryLimits history;                    // "history": what the store keeps (site key)
};

// Reads the keys above from a site configuration; missing keys keep their
// defaults. Throws std::invalid_argument naming a key of the wrong type or
// out of range.
RuntimeOptions OptionsFromJson(const Json::Value& site);

// The site's "history" object: {"raw_days", "minute_days", "hour_days",
// "event_days", "max_mb"}, each optional. Throws std::invalid_argument
// naming a member of the wrong type or out of range, or an unknown one.
HistoryLimits HistoryLimitsFromJson(const Json::Value& site);

}  // namespace rt
