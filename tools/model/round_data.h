#pragma once
// What a round holds, as plain values: taken from the round end and the bus
// device on the io thread, then frozen in a model::Round. The round object
// (the --json line and every copy of it) is this written as JSON by
// tools/model/round_json.h; nothing builds it as a tree on the way.
#include "host/rule_value.h"
#include "tools/model/rule_list.h"
#include "tools/model/signal_catalog.h"
#include "tools/runtime/host_runtime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace model {

struct DeviceRound {
    std::uint32_t data_id = 0;
    std::string type;                   // its device type ("...-ac")
    int type_number = 0;                // 5106, 5107, 5108; 0 unknown
    std::optional<std::int64_t> age_s;  // since its last update; none before one
    std::vector<Signal> signals;        // by name, as the object's members are ordered
    int snapshot = -1;                  // its snapshot of the round (index), or -1
};

struct RoundData {
    std::uint64_t round = 0;
    std::string time;  // local "YYYY-MM-DD HH:MM:SS.mmm"
    std::string port;
    std::uint32_t bus_data_id = 0;
    std::string bus_type;
    unsigned bus_data_valid = 0;
    int restored = 0;  // children restored from the database at start
    std::vector<rt::PublishedSnapshot> snapshots;
    std::vector<DeviceRound> devices;
    RuleListPtr rules = RuleList::None();  // reported during the round, in order
    std::vector<rule_value> active_alarms;  // after the round's work items
    rt::LineStats stats;
    double round_s = 0;  // first request to round end
    // The site's history store as the round end saw it ("history"; none
    // without a database).
    bool has_store = false;
    std::uint64_t store_failed_writes = 0;
    std::uint64_t store_bytes = 0;
};

}  // namespace model
