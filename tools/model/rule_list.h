#pragma once
// A round's rule reports, in reporting order. A line reports the same
// rules round after round (only an alarm's begin or end changes one), so
// consecutive rounds that report the same share one list, and its JSON
// text, most of a round's text, is written once for all of them, the first
// time one of them is read as text.
#include "host/rule_value.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace model {

bool SameRule(const rule_value& a, const rule_value& b);

class RuleList {
public:
    explicit RuleList(std::vector<rule_value> rules) : rules_(std::move(rules)) {}
    RuleList(const RuleList&) = delete;
    RuleList& operator=(const RuleList&) = delete;

    const std::vector<rule_value>& Rules() const { return rules_; }
    // The round object's "rules" array; from any thread.
    const std::string& Text() const;

    // The list of no rules (one for the process).
    static const std::shared_ptr<const RuleList>& None();
    // rules as a list: previous itself when it holds the same rules.
    static std::shared_ptr<const RuleList> Share(std::vector<rule_value> rules,
                                                 const std::shared_ptr<const RuleList>& previous);

private:
    const std::vector<rule_value> rules_;
    mutable std::once_flag textOnce_;
    mutable std::string text_;
};

using RuleListPtr = std::shared_ptr<const RuleList>;

}  // namespace model
