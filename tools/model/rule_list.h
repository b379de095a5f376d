#pragma once
// A round's rule reports, in reporting order. A line reports the same
// rules round after round, and the runtime hands consecutive rounds that
// report the same the same list (rt::RuleCollector); such rounds share one
// RuleList, whose JSON text, most of a round's text, is written once for
// all of them, the first time one of them is read as text.
#include "host/rule_value.h"
#include "tools/runtime/rule_collector.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace model {

class RuleList {
public:
    explicit RuleList(rt::RuleListRef rules) : rules_(std::move(rules)) {}
    explicit RuleList(std::vector<rule_value> rules)
        : rules_(std::make_shared<const std::vector<rule_value>>(std::move(rules))) {}
    RuleList(const RuleList&) = delete;
    RuleList& operator=(const RuleList&) = delete;

    const std::vector<rule_value>& Rules() const { return *rules_; }
    // The round object's "rules" array; from any thread.
    const std::string& Text() const;

    // The list of no rules (one for the process).
    static const std::shared_ptr<const RuleList>& None();
    // rules as a list: previous itself when it holds the same list.
    static std::shared_ptr<const RuleList> Share(rt::RuleListRef rules, const std::shared_ptr<const RuleList>& previous);

private:
    const rt::RuleListRef rules_;
    mutable std::once_flag textOnce_;
    mutable std::string text_;
};

using RuleListPtr = std::shared_ptr<const RuleList>;

}  // namespace model
