#pragma once
// What the HTTP service serves, kept on its own thread: the latest round as
// an immutable shared object, the recent events for Server-Sent Events
// replay, every alarm rule's last state and the line's health.
#include "tools/runtime/runtime_event.h"

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <tuple>

namespace http {

struct RoundShot {
    Json::Value round;   // the --json object
    std::string json;    // the same as one line
    std::chrono::steady_clock::time_point at;
};

// One Server-Sent Event, ready for the wire ("id:", "event:", "data:").
struct SseEvent {
    std::uint64_t id = 0;
    std::shared_ptr<const std::string> frame;
};

struct RuleState {
    std::string name;
    bool active = false;
};
// (data_id, rule key, alarm id)
using RuleId = std::tuple<std::uint32_t, std::string, std::string>;

struct Health {
    bool ok = false;
    std::string reason;
};

class ServedState {
public:
    // The replay buffer keeps at most replayEvents events and replayBytes of
    // them (round objects are tens of KiB), the newest always.
    explicit ServedState(std::size_t replayEvents = 256, std::size_t replayBytes = 1 << 20)
        : replayMax_(replayEvents), replayMaxBytes_(replayBytes) {}

    // Each returns the event as it goes to the streams.
    SseEvent AddRound(std::shared_ptr<const RoundShot> shot);
    SseEvent AddEvent(const rt::RuntimeEvent& ev);

    const std::shared_ptr<const RoundShot>& Latest() const { return latest_; }
    const std::map<RuleId, RuleState>& Rules() const { return rules_; }
    bool LineUp() const { return lineUp_; }
    // The events after lastId still held, concatenated; "" when none.
    // missed is set when some of them are gone from the buffer.
    std::string ReplayAfter(std::uint64_t lastId, bool& missed) const;
    Health Check(int rounds, std::chrono::steady_clock::time_point now, std::chrono::seconds maxQuiet) const;

private:
    SseEvent Push(const char* type, const std::string& data);

    std::size_t replayMax_;
    std::size_t replayMaxBytes_;
    std::size_t replayBytes_ = 0;
    std::uint64_t nextId_ = 1;
    std::deque<SseEvent> replay_;
    std::shared_ptr<const RoundShot> latest_;
    std::map<RuleId, RuleState> rules_;
    bool lineUp_ = true;
    std::string lineText_;
    std::uint64_t lastAnswered_ = 0;  // round number of the last round with a new answer
    std::uint64_t lastAnswers_ = 0;
};

// The JSON of an alarm or line event, as sent in the stream.
Json::Value EventJson(const rt::RuntimeEvent& ev);

}  // namespace http
