#include "tools/http/served_state.h"

#include "tools/monitor/round_view.h"

namespace http {

Json::Value EventJson(const rt::RuntimeEvent& ev) {
    Json::Value j(Json::objectValue);
    j["id"] = static_cast<Json::UInt64>(ev.id);
    j["kind"] = rt::EventKindName(ev.kind);
    j["time"] = ev.time;
    j["data_id"] = ev.data_id;
    j["port"] = ev.port;
    if (rt::IsAlarmEvent(ev.kind))
        j["rule"] = monitor::RuleJson(ev.rule);
    else
        j["text"] = ev.text;
    return j;
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

SseEvent ServedState::AddRound(std::shared_ptr<const RoundShot> shot) {
    const Json::Value& r = shot->round;
    const std::uint64_t answers = r["stats"]["answers"].asUInt64();
    if (answers > lastAnswers_ || !latest_) {
        if (answers > lastAnswers_) lastAnswered_ = r["round"].asUInt64();
        lastAnswers_ = answers;
    }
    for (const Json::Value& rule : r["rules"]) {
        RuleState& s = rules_[RuleId(rule["data_id"].asUInt(), rule["key"].asString(), rule["id"].asString())];
        s.name = rule["name"].asString();
        s.active = rule["active"].asBool();
    }
    latest_ = std::move(shot);
    return Push("round", latest_->json);
}

SseEvent ServedState::AddEvent(const rt::RuntimeEvent& ev) {
    switch (ev.kind) {
        case rt::EventKind::kLineLost:
        case rt::EventKind::kPortLost:
            lineUp_ = false;
            lineText_ = ev.text;
            break;
        case rt::EventKind::kLineBack:
        case rt::EventKind::kPortBack: lineUp_ = true; break;
        case rt::EventKind::kAlarmBegin:
        case rt::EventKind::kAlarmEnd: {
            RuleState& s = rules_[RuleId(ev.rule.data_id, ev.rule.key, ev.rule.alarm_id)];
            s.name = ev.rule.name;
            s.active = ev.kind == rt::EventKind::kAlarmBegin;
            break;
        }
    }
    return Push(rt::IsAlarmEvent(ev.kind) ? "alarm" : "line", monitor::JsonLine(EventJson(ev)));
}

std::string ServedState::ReplayAfter(std::uint64_t lastId, bool& missed) const {
    missed = !replay_.empty() && replay_.front().id > lastId + 1;
    std::string out;
    for (const SseEvent& e : replay_)
        if (e.id > lastId) out += *e.frame;
    return out;
}

Health ServedState::Check(int rounds, std::chrono::steady_clock::time_point now, std::chrono::seconds maxQuiet) const {
    if (!latest_) return {false, "no round completed yet"};
    if (!lineUp_) return {false, "power system lost: " + lineText_};
    const auto quiet = std::chrono::duration_cast<std::chrono::seconds>(now - latest_->at);
    if (quiet > maxQuiet) return {false, "no round ended for " + std::to_string(quiet.count()) + " s"};
    const std::uint64_t round = latest_->round["round"].asUInt64();
    if (round >= lastAnswered_ + static_cast<std::uint64_t>(rounds))
        return {false, "the power system has not answered in the last " + std::to_string(rounds) + " rounds"};
    return {true, "ok: round " + std::to_string(round)};
}

}  // namespace http
