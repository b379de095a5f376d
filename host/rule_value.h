#pragma once
// One pending threshold rule as the host keeps it. Devices only move whole
// lists of these; the host's threshold machinery reads the fields.
#include <cstdint>
#include <string>

struct rule_value {
    std::uint8_t level = 0;     // 1, 2 or 3
    std::string key;            // rule key, e.g. "AC_0"
    std::string alarm_id;       // e.g. "06015"
    std::uint32_t data_id = 0;  // id of the reporting device
    std::uint32_t seq = 0;      // sequence number within the round
    std::string name;           // alarm name
    std::string text;           // alarm text
    std::uint32_t active = 0;   // 1 while the condition holds
};
