#pragma once
// What the host runtime tells the services around it (web, MQTT,
// notifications): alarm begins and ends, and the power system or the serial
// port lost and back. Every event is numbered (1, 2, ... across the site) and
// handed over on the worker thread in that order, after the work items
// submitted before it.
#include "host/rule_value.h"

#include <cstdint>
#include <string>

namespace rt {

enum class EventKind {
    kAlarmBegin,  // an alarm rule became active
    kAlarmEnd,    // it is no longer active
    kLineLost,    // the power system does not answer ("lost_after_timeouts" in a row)
    kLineBack,    // it answers again
    kPortLost,    // the serial port failed and was closed
    kPortBack,    // the port is open again
};

// "alarm_begin", "alarm_end", "line_lost", "line_back", "port_lost", "port_back".
const char* EventKindName(EventKind kind);
inline bool IsAlarmEvent(EventKind kind) { return kind == EventKind::kAlarmBegin || kind == EventKind::kAlarmEnd; }

struct RuntimeEvent {
    std::uint64_t id = 0;   // 1, 2, ... in the order of delivery
    EventKind kind = EventKind::kAlarmBegin;
    std::string time;       // local time, "YYYY-MM-DD HH:MM:SS.mmm"
    std::uint32_t data_id = 0;  // the rule's device for alarms, the bus device for the line
    std::string port;       // the serial device of the line
    rule_value rule;        // alarm events only
    std::string text;       // line events: what happened, as logged
    std::uint32_t bus_data_id = 0;  // the line: its bus device
};

}  // namespace rt
