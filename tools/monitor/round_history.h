#pragma once
// What the dashboard remembers from round to round: since when each active
// alarm is active, the last decoded fields of every device (a round that
// published no snapshot keeps showing the last one), and the last few line
// and alarm events, derived from the differences between rounds (alarms
// that began or ended, line counters that grew).
#include "tools/model/rule_identity.h"

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace monitor {

class RoundHistory {
public:
    static constexpr std::size_t kEvents = 8;

    // round: the JSON round object (BuildRound + AddActiveAlarms).
    void Add(const Json::Value& round);

    // "HH:MM:SS" of the round in which the alarm (an "active_alarms" entry)
    // was first seen active; "" when unknown.
    std::string Since(const Json::Value& alarm) const;
    // The round of that time (0 when unknown), to order alarms by age.
    std::uint64_t SinceRound(const Json::Value& alarm) const;
    // Newest first, at most kEvents: "HH:MM:SS text".
    const std::deque<std::string>& Events() const { return events_; }
    // The newest decoded fields of a device; null when it never published.
    const Json::Value& Fields(std::uint32_t dataId, int typeNumber) const;

private:
    using AlarmKey = model::RuleIdentity;
    struct Active {
        std::uint64_t round;  // first seen active
        std::string clock;    // of that round
        std::string text;     // name and text, for its end
    };
    void Event(const std::string& clock, const std::string& text);
    const Active* Find(const Json::Value& alarm) const;

    bool first_ = true;
    Json::Value lastStats_;
    std::map<AlarmKey, Active> active_;
    std::map<std::pair<std::uint32_t, int>, Json::Value> fields_;
    std::deque<std::string> events_;
};

// "HH:MM:SS" of a round's "YYYY-MM-DD HH:MM:SS.mmm" time.
std::string Clock(const std::string& time);

}  // namespace monitor
