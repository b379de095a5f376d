#include "tools/model/rule_list.h"

#include "tools/model/round_json.h"

namespace model {

bool SameRule(const rule_value& a, const rule_value& b) {
    return a.level == b.level && a.data_id == b.data_id && a.seq == b.seq && a.active == b.active && a.key == b.key &&
           a.alarm_id == b.alarm_id && a.name == b.name && a.text == b.text;
}

const std::string& RuleList::Text() const {
    std::call_once(textOnce_, [this] { AppendRules(text_, rules_); });
    return text_;
}

const std::shared_ptr<const RuleList>& RuleList::None() {
    static const auto* none = new std::shared_ptr<const RuleList>(std::make_shared<const RuleList>(std::vector<rule_value>{}));
    return *none;
}

std::shared_ptr<const RuleList> RuleList::Share(std::vector<rule_value> rules,
                                                const std::shared_ptr<const RuleList>& previous) {
    if (previous && previous->rules_.size() == rules.size()) {
        bool same = true;
        for (std::size_t i = 0; same && i < rules.size(); ++i) same = SameRule(rules[i], previous->rules_[i]);
        if (same) return previous;
    }
    return std::make_shared<const RuleList>(std::move(rules));
}

}  // namespace model
