#include "host/alarm_tracker.h"

#include <string_view>

namespace {

bool SameState(const rule_value& a, const rule_value& b) {
    return a.level == b.level && a.active == b.active && a.alarm_id == b.alarm_id && a.name == b.name &&
           a.text == b.text;
}

}  // namespace

bool AlarmTracker::Apply(const rule_value& rule, AlarmEvent* event) {
    // Looked up without copying the key; a rule reported as before (the
    // rule, round after round) is not copied again either.
    auto it = states_.find(std::tuple<std::uint32_t, std::string_view, std::uint32_t>{rule.data_id, rule.key, rule.seq});
    const bool wasActive = it != states_.end() && it->second.active != 0;
    const bool isActive = rule.active != 0;
    if (it == states_.end())
        states_.emplace(Key{rule.data_id, rule.key, rule.seq}, rule);
    else if (!SameState(it->second, rule))
        it->second = rule;
    if (wasActive == isActive) return false;
    if (event) {
        event->rule = rule;
        event->begin = isActive;
    }
    return true;
}

std::vector<rule_value> AlarmTracker::Active() const {
    std::vector<rule_value> out;
    for (const auto& kv : states_)
        if (kv.second.active) out.push_back(kv.second);
    return out;
}
