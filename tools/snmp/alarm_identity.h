#pragma once
// What tells one active alarm from another: several channels of a device
// share its rule key and alarm id, and only the text names the channel.
// The one place to change when the round model gives rules an identity.
#include "host/rule_value.h"

#include <string>

namespace snmp {

inline std::string AlarmIdentity(const std::string& key, const std::string& alarmId, const std::string& text) {
    return key + '\x1f' + alarmId + '\x1f' + text;
}
inline std::string AlarmIdentity(const rule_value& r) { return AlarmIdentity(r.key, r.alarm_id, r.text); }

}  // namespace snmp
