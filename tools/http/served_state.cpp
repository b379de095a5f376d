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
    const std::uint64_t round = latest->round["round"].asUInt64();
    if (round >= lastAnswered + static_cast<std::uint64_t>(rule.rounds))
        return {false, "the power system has not answered in the last " + std::to_string(rule.rounds) + " rounds"};
    return {true, "ok: round " + std::to_string(round)};
}

SseEvent ServedState::Push(const char* type, const std::string& data) {
    SseEvent e;
    e.id = nextId_++;
    e.frame = std::make_shared<const std::string>("id: " + std::to_string(e.id) + "\nevent: " + type +
                                                  "\ndata: " + data + "\n\n");
    replay_.push_back(e);
    replayBytes_ += e.frame->size();
    while (replay_.size() > 1 && (replay_.size() > replayMax_ || replayBytes_ > replayMaxBytes_)) {
        replayBytes_ -= replay_.front().frame->size();
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

SseEvent ServedState::AddRound(std::shared_ptr<const RoundShot> shot) {
    const Json::Value& r = shot->round;
    const std::uint32_t busId = r["bus"]["data_id"].asUInt();
    LineState& line = Line(busId, r["port"].asString());
    const std::uint64_t answers = r["stats"]["answers"].asUInt64();
    if (answers > line.lastAnswers || !line.latest) {
        if (answers > line.lastAnswers) line.lastAnswered = r["round"].asUInt64();
        line.lastAnswers = answers;
    }
    for (const Json::Value& rule : r["rules"])
        rules_[model::IdentityOf(rule)] = RuleState{rule["name"].asString(), rule["text"].asString(),
                                                    rule["level"].asInt(), rule["active"].asBool(), busId};
    line.latest = shot;
    newest_ = std::move(shot);
    return Push("round", newest_->json);
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
            break;
    }
    return Push(rt::IsAlarmEvent(ev.kind) ? "alarm" : "line", model::JsonLine(EventJson(ev)));
}

std::string ServedState::ReplayAfter(std::uint64_t lastId, bool& missed) const {
    missed = !replay_.empty() && replay_.front().id > lastId + 1;
    std::string out;
    for (const SseEvent& e : replay_)
        if (e.id > lastId) out += *e.frame;
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
