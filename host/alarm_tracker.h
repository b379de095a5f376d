#pragma once
// Last known state of every alarm rule, keyed by (device, rule key,
// sequence number); a change of state is an alarm begin or end event.
#include "host/rule_value.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

struct AlarmEvent {
    rule_value rule;
    bool begin = false;  // true: the condition became active; false: it ended
};

class AlarmTracker {
public:
    // Applies one rule's state; returns true and fills *event when it changed.
    // A rule seen for the first time counts as a change only when active.
    bool Apply(const rule_value& rule, AlarmEvent* event);
    // Rules currently active, ordered by device, key and sequence number.
    std::vector<rule_value> Active() const;

private:
    using Key = std::tuple<std::uint32_t, std::string, std::uint32_t>;
    using States = std::map<Key, rule_value, std::less<>>;  // found by a key of views as well
    static bool Is(States::iterator it, const rule_value& rule);
    States::iterator Find(const rule_value& rule, bool& inOrder);
    void Learn(States::iterator it);

    States states_;
    std::vector<States::iterator> order_;  // the rules in the order they came last
    std::size_t cursor_ = 0;               // where the next is expected in order_
};
