#include "tools/runtime/rule_collector.h"

namespace rt {

bool SameRule(const rule_value& a, const rule_value& b) {
    return a.level == b.level && a.data_id == b.data_id && a.seq == b.seq && a.active == b.active && a.key == b.key &&
           a.alarm_id == b.alarm_id && a.name == b.name && a.text == b.text;
}

void RuleCollector::Depart() {
    departed_ = true;
    if (last_) own_.assign(last_->begin(), last_->begin() + static_cast<std::ptrdiff_t>(same_));
}

void RuleCollector::Add(const rule_value& rule) {
    if (!departed_) {
        if (last_ && same_ < last_->size() && SameRule(rule, (*last_)[same_])) {
            ++same_;
            return;
        }
        Depart();
    }
    own_.push_back(rule);
}

RuleListRef RuleCollector::Take() {
    if (!departed_ && last_ && same_ == last_->size()) {
        same_ = 0;
        return last_;
    }
    if (!departed_) Depart();
    last_ = std::make_shared<const std::vector<rule_value>>(std::move(own_));
    own_ = {};
    own_.reserve(last_->size());
    same_ = 0;
    departed_ = false;
    return last_;
}

}  // namespace rt
