#include "host/alarm_tracker.h"

#include <string_view>

namespace {

bool SameState(const rule_value& a, const rule_value& b) {
    return a.level == b.level && a.active == b.active && a.alarm_id == b.alarm_id && a.name == b.name &&
           a.text == b.text;
}

}  // namespace

bool AlarmTracker::Is(States::iterator it, const rule_value& rule) {
    return std::get<0>(it->first) == rule.data_id && std::get<2>(it->first) == rule.seq &&
           std::get<1>(it->first) == rule.key;
}

// Rules come in the same order round after round: the one after the last
// found is tried first, then the first of a round, and only then the map.
AlarmTracker::States::iterator AlarmTracker::Find(const rule_value& rule, bool& inOrder) {
    inOrder = true;
    if (cursor_ < order_.size() && Is(order_[cursor_], rule)) return order_[cursor_++];
    if (!order_.empty() && Is(order_[0], rule)) {
        cursor_ = 1;
        return order_[0];
    }
    inOrder = false;
    return states_.find(std::tuple<std::uint32_t, std::string_view, std::uint32_t>{rule.data_id, rule.key, rule.seq});
}

void AlarmTracker::Learn(States::iterator it) {
    if (cursor_ > states_.size()) cursor_ = 0;  // never more places than rules
    if (cursor_ < order_.size())
        order_[cursor_] = it;
    else
        order_.push_back(it);
    ++cursor_;
}

bool AlarmTracker::Apply(const rule_value& rule, AlarmEvent* event) {
    // A rule reported as before (the rule, round after round) is neither
    // looked up in the map nor copied again.
    bool inOrder = false;
    auto it = Find(rule, inOrder);
    const bool found = it != states_.end();
    const bool wasActive = found && it->second.active != 0;
    const bool isActive = rule.active != 0;
    if (!found)
        it = states_.emplace(Key{rule.data_id, rule.key, rule.seq}, rule).first;
    else if (!SameState(it->second, rule))
        it->second = rule;
    if (!inOrder) Learn(it);  // found in the map, or new
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
