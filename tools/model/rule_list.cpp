#include "tools/model/rule_list.h"

#include "tools/model/round_json.h"

namespace model {

const std::string& RuleList::Text() const {
    std::call_once(textOnce_, [this] { AppendRules(text_, *rules_); });
    return text_;
}

const std::shared_ptr<const RuleList>& RuleList::None() {
    static const auto* none = new std::shared_ptr<const RuleList>(std::make_shared<const RuleList>(std::vector<rule_value>{}));
    return *none;
}

std::shared_ptr<const RuleList> RuleList::Share(rt::RuleListRef rules, const std::shared_ptr<const RuleList>& previous) {
    if (!rules) return None();
    if (previous && previous->rules_ == rules) return previous;
    return std::make_shared<const RuleList>(std::move(rules));
}

}  // namespace model
