#include "tools/http/served_state.h"

#include "tools/model/round_view.h"

#include <algorithm>

namespace http {

Json::Value EventJson(const rt::RuntimeEvent& ev) {
    Json::Value j(Json::objectValue);
    j["id"] = static_cast<Json::UInt64>(ev.id);
    j["kind"] = rt::EventKindName(ev.kind);
    j["time"] = ev.time;
    j["data_id"] = ev.data_id;
    j["bus_data_id"] = ev.bus_data_id;
    j["port"] = ev.port;
    if (rt::IsAlarmEvent(ev.kind))
        j["rule"] = model::RuleJson(ev.rule);
    else
        j["text"] = ev.text;
    return j;
}

Health LineState::Check(const HealthRule& rule, std::chrono::steady_clock::time_point now) const {
    if (!latest) return {false, "no round completed yet"};
    if (!up) return {false, "power system lost: " + lostText};
    const auto quiet = std::chrono::duration_cast<std::chrono::seconds>(now - latest->at);
    if (quiet > rule.maxQuiet) return {false, "no round ended for " + std::to_string(quiet.count()) + " s"};
    const std::uint64_t round = latest->round->Data().round;
    if (round >= lastAnswered + static_cast<std::uint64_t>(rule.rounds))
        return {false, "the power system has not answered in the last " + std::to_string(rule.rounds) + " rounds"};
    return {true, "ok: round " + std::to_string(round)};
}

std::shared_ptr<const std::string> ServedState::Frame(std::uint64_t id, const char* type, const std::string& data) {
    const std::string head = "id: " + std::to_string(id) + "\nevent: " + type + "\ndata: ";
    auto frame = std::make_shared<std::string>();
    frame->reserve(head.size() + data.size() + 2);
    *frame += head;
    *frame += data;
    *frame += "\n\n";
    return frame;
}

SseEvent ServedState::Push(const char* type, const std::string& data) {
    SseEvent e;
    e.id = nextId_++;
    e.frame = Frame(e.id, type, data);
    replay_.push_back(e);
    replayBytes_ += sizeof(SseEvent) + e.frame->capacity();
    while (replay_.size() > 1 && (replay_.size() > replayMax_ || replayBytes_ > replayMaxBytes_)) {
        replayBytes_ -= sizeof(SseEvent) + replay_.front().frame->capacity();
        droppedUpTo_ = replay_.front().id;
        replay_.pop_front();
    }
    return e;
}

LineState& ServedState::Line(std::uint32_t busDataId, const std::string& port) {
    auto it = std::find_if(lines_.begin(), lines_.end(), [&](const LineState& l) { return l.data_id == busDataId; });
    if (it != lines_.end()) return *it;
    lines_.emplace_back();
    lines_.back().data_id = busDataId;
    lines_.back().port = port;
    return lines_.back();
}

const LineState* ServedState::FindLine(std::uint32_t busDataId) const {
    auto it = std::find_if(lines_.begin(), lines_.end(), [&](const LineState& l) { return l.data_id == busDataId; });
    return it == lines_.end() ? nullptr : &*it;
}

void ServedState::AddLine(std::uint32_t busDataId, const std::string& port) { Line(busDataId, port); }

SseEvent ServedState::AddRound(model::RoundPtr round, std::chrono::steady_clock::time_point at, bool streamed) {
    auto shot = std::make_shared<RoundShot>();
    shot->round = std::move(round);
    shot->at = at;
    shot->event_id = nextId_++;
    const model::RoundData& r = shot->round->Data();
    LineState& line = Line(r.bus_data_id, r.port);
    const std::uint64_t answers = r.stats.answers;
    if (answers > line.lastAnswers || !line.latest) {
        if (answers > line.lastAnswers) line.lastAnswered = r.round;
        line.lastAnswers = answers;
    }
    if (line.rulesTaken != r.rules) {
        for (const rule_value& rule : r.rules->Rules()) {
            RuleState& s = rules_[model::IdentityOf(rule)];
            if (s.name != rule.name) s.name = rule.name;
            if (s.text != rule.text) s.text = rule.text;
            s.level = rule.level;
            s.active = rule.active != 0;
            s.line = r.bus_data_id;
        }
        line.rulesTaken = r.rules;
    }
    line.latest = shot;
    newest_ = std::move(shot);
    SseEvent e;
    e.id = newest_->event_id;
    if (streamed) e.frame = Frame(e.id, "round", newest_->round->Text());
    return e;
}

SseEvent ServedState::AddEvent(const rt::RuntimeEvent& ev) {
    LineState& line = Line(ev.bus_data_id, ev.port);
    switch (ev.kind) {
        case rt::EventKind::kLineLost:
        case rt::EventKind::kPortLost:
            line.up = false;
            line.lostText = ev.text;
            break;
        case rt::EventKind::kLineBack:
        case rt::EventKind::kPortBack: line.up = true; break;
        case rt::EventKind::kAlarmBegin:
        case rt::EventKind::kAlarmEnd:
            rules_[model::IdentityOf(ev.rule)] = RuleState{ev.rule.name, ev.rule.text, ev.rule.level,
                                                           ev.kind == rt::EventKind::kAlarmBegin, ev.bus_data_id};
            // Any line's rule (identities are site-wide): every line's next round is taken again.
            for (LineState& l : lines_) l.rulesTaken = nullptr;
            break;
    }
    return Push(rt::IsAlarmEvent(ev.kind) ? "alarm" : "line", model::JsonLine(EventJson(ev)));
}

std::string ServedState::ReplayAfter(std::uint64_t lastId, bool& missed) const {
    missed = droppedUpTo_ > lastId;
    std::vector<const RoundShot*> rounds;
    for (const LineState& l : lines_)
        if (l.latest && l.latest->event_id > lastId) rounds.push_back(l.latest.get());
    std::sort(rounds.begin(), rounds.end(),
              [](const RoundShot* a, const RoundShot* b) { return a->event_id < b->event_id; });
    std::string out;
    auto round = rounds.begin();
    auto roundsUpTo = [&](std::uint64_t id) {
        for (; round != rounds.end() && (*round)->event_id < id; ++round)
            out += *Frame((*round)->event_id, "round", (*round)->round->Text());
    };
    for (const SseEvent& e : replay_) {
        if (e.id <= lastId) continue;
        roundsUpTo(e.id);
        out += *e.frame;
    }
    roundsUpTo(nextId_);
    return out;
}

Health ServedState::Check(const HealthRule& rule, std::chrono::steady_clock::time_point now) const {
    if (lines_.empty()) return {false, "no round completed yet"};
    if (lines_.size() == 1) return lines_.front().Check(rule, now);
    Health all{true, ""};
    std::string ok;
    for (const LineState& l : lines_) {
        const Health h = l.Check(rule, now);
        const std::string name = "line " + std::to_string(l.data_id) + " (" + l.port + "): ";
        if (h.ok) {
            ok += (ok.empty() ? "" : "; ") + name + h.reason;
        } else {
            all.reason += (all.ok ? "" : "; ") + name + h.reason;
            all.ok = false;
        }
    }
    if (all.ok) all.reason = ok;
    return all;
}

}  // namespace http
