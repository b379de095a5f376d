#pragma once
// The rules a line reports in a round, in order. A line reports the same
// rules round after round (only an alarm's begin or end changes one), so
// the collector keeps the last round's list and copies rules only once a
// round departs from it: a round that reports the same rules gets the last
// round's list itself, and every reader can tell so by the pointer.
#include "host/rule_value.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace rt {

using RuleListRef = std::shared_ptr<const std::vector<rule_value>>;

bool SameRule(const rule_value& a, const rule_value& b);

class RuleCollector {
public:
    void Add(const rule_value& rule);
    // The round's list (the last round's when the same); starts the next round.
    RuleListRef Take();

private:
    void Depart();

    RuleListRef last_;
    std::size_t same_ = 0;         // leading rules equal to last_'s
    bool departed_ = false;        // own_ holds the round's rules so far
    std::vector<rule_value> own_;
};

}  // namespace rt
