#pragma once
// One runtime event as the services outside the monitor see it (MQTT
// payloads, the notify command's environment): a flat JSON object whose
// members are strings and numbers only.
//
//   event        "alarm_begin", "alarm_end", "line_lost", "line_back",
//                "port_lost", "port_back"
//   seq          the monitor's sequence number of the event (1, 2, ... per
//                start, across every line of the site): a consumer drops a
//                message whose seq it has seen
//   event_id     the same number, as the runtime gave it
//   time         local time, "YYYY-MM-DD HH:MM:SS.mmm"
//   bus_data_id  the line's bus device
//   port         the line's serial device
//   data_id      the alarm's device (line events: the bus device)
//   text         alarm text, or what happened to the line
//   alarm events also: rule_key, alarm_id, rule_index (the rule's position
//                in its device's rule list: channels sharing a key and alarm
//                id differ in it), level (1..3), name
#include "tools/runtime/runtime_event.h"

#include <json/value.h>

#include <cstdint>

namespace rt {

Json::Value EventRecord(const RuntimeEvent& e);

}  // namespace rt
