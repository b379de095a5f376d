#pragma once
// Fault injection: rules that spoil selected answers, from the scenario's
// "faults" list or from --fault options, and the plan that picks the fault
// for each request.
#include <json/value.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class FaultKind {
    drop,                 // no answer at all
    delay,                // the answer comes after delay_ms instead of the latency
    bad_checksum,         // CHKSUM off by one
    bad_length_checksum,  // LCHKSUM nibble off by one (CHKSUM made to match)
    wrong_cid1,           // the answer carries another CID1
    truncate,             // INFO cut to `keep` bytes, framed correctly
    error_rtn,            // RTN `rtn`, no INFO
    noise,                // `noise` junk bytes (never '~') before the answer
};

struct FaultRule {
    FaultKind kind = FaultKind::drop;
    std::string command = "*";  // "CC_DD" or "*" for every request
    int from_round = 0;         // rounds in which the rule is armed, inclusive
    int to_round = INT_MAX;
    int every = 1;              // hit every Nth matching request (1: each one)
    int times = 0;              // at most this many hits; 0: no limit
    int delay_ms = 1500;
    int cid1 = -1;              // wrong_cid1: the CID1 to send; -1: the next group's
    std::uint8_t rtn = 0x06;
    int keep = -1;              // truncate: INFO bytes kept; -1: half of them
    int noise = 16;

    // Progress, kept by the plan.
    int seen = 0;
    int hits = 0;
};

// Parses one rule from the scenario. A rule with "round" and no "until" is
// armed in that round only and, unless "times" says otherwise, hits once.
// Throws std::runtime_error on unknown kinds or keys of the wrong type.
FaultRule FaultFromJson(const Json::Value& v);
// Parses "KIND[:COMMAND][:key=value,...]", keys as in the scenario
// (round, until, every, times, ms, cid1, rtn, keep, noise); e.g.
// "drop:41_43:every=3" or "error_rtn:*:rtn=4,times=2". Throws on errors.
FaultRule FaultFromOption(const std::string& text);

const char* FaultName(FaultKind kind);
std::optional<FaultKind> FaultKindFromName(const std::string& name);

// Chooses the faults of each request. Several rules may hit the same
// request (e.g. noise and a bad checksum); each rule's counters advance
// only on requests it matches.
class FaultPlan {
public:
    void Add(FaultRule rule) { rules_.push_back(std::move(rule)); }
    // The rules that hit this request, in the order they were added.
    std::vector<FaultRule> Select(const std::string& command, int round);
    const std::vector<FaultRule>& Rules() const { return rules_; }
    // Forgets what the rules have seen and hit, as for a fresh start.
    void Restart() {
        for (FaultRule& r : rules_) r.seen = r.hits = 0;
    }

private:
    std::vector<FaultRule> rules_;
};

}  // namespace sim
