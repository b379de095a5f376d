#pragma once
// What the HTTP service serves, kept on its own thread: every line's latest
// round as an immutable shared object and its health, the recent events for
// Server-Sent Events replay and every alarm rule's last state.
#include "tools/model/round.h"
#include "tools/model/rule_identity.h"
#include "tools/runtime/runtime_event.h"

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace http {

struct RoundShot {
    model::RoundPtr round;  // shared with the other services
    std::chrono::steady_clock::time_point at;
    std::uint64_t event_id = 0;  // its id in the event stream
};

// One Server-Sent Event, ready for the wire ("id:", "event:", "data:").
struct SseEvent {
    std::uint64_t id = 0;
    std::shared_ptr<const std::string> frame;  // null for a round nobody streams
};

struct RuleState {
    std::string name;
    std::string text;  // names the channel, fuse or module
    int level = 0;
    bool active = false;
    std::uint32_t line = 0;  // the bus data id of the rule's line
};
// One rule of one device, channels apart.
using RuleId = model::RuleIdentity;

struct Health {
    bool ok = false;
    std::string reason;
};

// When a line counts as healthy: a round ended within maxQuiet, and the
// power system answered within the last `rounds` rounds.
struct HealthRule {
    int rounds = 3;
    std::chrono::seconds maxQuiet{60};
};

// One line of the site, named by its bus device's data id.
struct LineState {
    std::uint32_t data_id = 0;
    std::string port;
    std::shared_ptr<const RoundShot> latest;  // null before its first round
    bool up = true;                           // no loss of the power system or the port pending
    std::string lostText;
    std::uint64_t lastAnswered = 0;  // round number of the last round with a new answer
    std::uint64_t lastAnswers = 0;
    // The rule list last taken into the rule states, while no alarm event
    // has changed them since (a round that shares it changes nothing).
    model::RuleListPtr rulesTaken;

    Health Check(const HealthRule& rule, std::chrono::steady_clock::time_point now) const;
};

class ServedState {
public:
    // The replay buffer keeps at most replayEvents alarm and line events and
    // replayBytes of memory for them, the newest always. Rounds are not kept
    // there: a client that comes back gets the events it missed and each
    // line's latest round.
    explicit ServedState(std::size_t replayEvents = 256, std::size_t replayBytes = 256 << 10)
        : replayMax_(replayEvents), replayMaxBytes_(replayBytes) {}

    // Names a line before its first round, so that lines keep the site's
    // order and one that never ends a round still counts for the health.
    // A line first met in a round or event is added at the end.
    void AddLine(std::uint32_t busDataId, const std::string& port);
    // Each returns the event as it goes to the streams; a round's frame is
    // made only when streamed is true (some stream is open).
    SseEvent AddRound(model::RoundPtr round, std::chrono::steady_clock::time_point at, bool streamed);
    SseEvent AddEvent(const rt::RuntimeEvent& ev);

    // The newest round of any line.
    const std::shared_ptr<const RoundShot>& Latest() const { return newest_; }
    const std::vector<LineState>& Lines() const { return lines_; }
    const LineState* FindLine(std::uint32_t busDataId) const;
    const std::map<RuleId, RuleState>& Rules() const { return rules_; }
    // The events after lastId still held and the latest round of each line
    // newer than lastId, concatenated in id order; "" when none. missed is
    // set when some alarm or line events after lastId are gone from the buffer.
    std::string ReplayAfter(std::uint64_t lastId, bool& missed) const;
    // Healthy when every line is; the reason names each line that is not
    // (a one-line site's reasons read as they always did).
    Health Check(const HealthRule& rule, std::chrono::steady_clock::time_point now) const;

private:
    SseEvent Push(const char* type, const std::string& data);
    static std::shared_ptr<const std::string> Frame(std::uint64_t id, const char* type, const std::string& data);
    LineState& Line(std::uint32_t busDataId, const std::string& port);

    std::size_t replayMax_;
    std::size_t replayMaxBytes_;
    std::size_t replayBytes_ = 0;  // what the frames in replay_ hold, capacity counted
    std::uint64_t nextId_ = 1;
    std::uint64_t droppedUpTo_ = 0;  // the newest event id gone from replay_
    std::deque<SseEvent> replay_;
    std::vector<LineState> lines_;  // in the site's order; a handful
    std::shared_ptr<const RoundShot> newest_;
    std::map<RuleId, RuleState> rules_;
};

// The JSON of an alarm or line event, as sent in the stream.
Json::Value EventJson(const rt::RuntimeEvent& ev);

}  // namespace http
