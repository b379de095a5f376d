#include "tools/monitor/round_history.h"

#include "tools/model/line_counters.h"

#include <algorithm>
#include <set>

namespace monitor {

std::string Clock(const std::string& time) { return time.size() >= 19 ? time.substr(11, 8) : time; }

void RoundHistory::Event(const std::string& clock, const std::string& text) {
    events_.push_front(clock + " " + text);
    while (events_.size() > kEvents) events_.pop_back();
}

void RoundHistory::Add(const Json::Value& round) {
    const std::string clock = Clock(round["time"].asString());
    for (const auto& d : round["devices"])
        if (d.isMember("fields")) fields_[{d["data_id"].asUInt(), d["type_number"].asInt()}] = d["fields"];

    // Line counters that grew since the last round (cumulative counts).
    const Json::Value& st = round["stats"];
    if (!first_) {
        std::string grew;
        for (const model::LineCounter& c : model::kLineCounters) {
            if (!c.one) continue;
            const Json::UInt64 n = st[c.key].asUInt64() - std::min(st[c.key].asUInt64(), lastStats_[c.key].asUInt64());
            if (n == 0) continue;
            grew += (grew.empty() ? "" : ", ") + (n == 1 ? std::string(c.one) : std::to_string(n) + " " + c.many);
        }
        if (!grew.empty()) Event(clock, "line: " + grew);
    }
    lastStats_ = st;

    std::set<AlarmKey> now;
    for (const auto& a : round["active_alarms"]) {
        const AlarmKey k = model::IdentityOf(a);
        now.insert(k);
        if (active_.count(k)) continue;
        Active& added = active_[k];
        added = {round["round"].asUInt64(), clock, a["name"].asString() + " " + a["text"].asString()};
        Event(clock, "begins: " + added.text);
    }
    for (auto it = active_.begin(); it != active_.end();) {
        if (now.count(it->first)) {
            ++it;
            continue;
        }
        Event(clock, "ends: " + it->second.text);
        it = active_.erase(it);
    }
    first_ = false;
}

const RoundHistory::Active* RoundHistory::Find(const Json::Value& alarm) const {
    auto it = active_.find(model::IdentityOf(alarm));
    return it == active_.end() ? nullptr : &it->second;
}

std::string RoundHistory::Since(const Json::Value& alarm) const {
    const Active* a = Find(alarm);
    return a ? a->clock : "";
}

std::uint64_t RoundHistory::SinceRound(const Json::Value& alarm) const {
    const Active* a = Find(alarm);
    return a ? a->round : 0;
}

const Json::Value& RoundHistory::Fields(std::uint32_t dataId, int typeNumber) const {
    static const Json::Value kNull;
    auto it = fields_.find({dataId, typeNumber});
    return it == fields_.end() ? kNull : it->second;
}

}  // namespace monitor
