#pragma once
// What tells one alarm rule from another, for every service that keeps a
// rule's state or names a rule (HTTP state and /metrics, the dashboard's
// round history, an SNMP agent's table index).
//
// A rule key and alarm id name a kind of alarm, not one rule: every AC input
// channel reports the same "AC_8" / "06017" for its phase loss, every DC fuse
// and every rectifier module theirs. A device reports its rules in the same
// order every round and numbers them 1, 2, ... in that order (the rule's
// "seq" in the round object, rule_value::seq), so the position tells the
// channels apart; it is also what the host's alarm tracker keys on. The key
// and alarm id stay in the identity so that a device whose rule list changed
// shape (another channel count) gives new identities rather than old ones
// with another meaning.
#include "host/rule_value.h"

#include <json/value.h>

#include <cstdint>
#include <string>
#include <tuple>

namespace model {

struct RuleIdentity {
    std::uint32_t data_id = 0;  // the reporting device
    std::string key;            // rule key, e.g. "AC_8"
    std::string alarm_id;       // e.g. "06017"
    std::uint32_t index = 0;    // position in the device's rule list, from 1

    bool operator<(const RuleIdentity& o) const {
        return std::tie(data_id, key, alarm_id, index) < std::tie(o.data_id, o.key, o.alarm_id, o.index);
    }
    bool operator==(const RuleIdentity& o) const {
        return std::tie(data_id, key, alarm_id, index) == std::tie(o.data_id, o.key, o.alarm_id, o.index);
    }
};

inline RuleIdentity IdentityOf(const rule_value& r) { return {r.data_id, r.key, r.alarm_id, r.seq}; }

// Of an entry of a round's "rules" or "active_alarms" (model::RuleJson).
inline RuleIdentity IdentityOf(const Json::Value& rule) {
    return {rule["data_id"].asUInt(), rule["key"].asString(), rule["id"].asString(), rule["seq"].asUInt()};
}

}  // namespace model
