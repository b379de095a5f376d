#include "host/alarm_tracker.h"

bool AlarmTracker::Apply(const rule_value& rule, AlarmEvent* event) {
    Key k{rule.data_id, rule.key, rule.seq};
    auto it = states_.find(k);
    const bool wasActive = it != states_.end() && it->second.active != 0;
    const bool isActive = rule.active != 0;
    if (it == states_.end())
        states_.emplace(std::move(k), rule);
    else
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
