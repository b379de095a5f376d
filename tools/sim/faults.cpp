#include "tools/sim/faults.h"

#include <stdexcept>

namespace sim {
namespace {

struct KindName {
    FaultKind kind;
    const char* name;
};

const KindName kKinds[] = {
    {FaultKind::drop, "drop"},
    {FaultKind::delay, "delay"},
    {FaultKind::bad_checksum, "bad_checksum"},
    {FaultKind::bad_length_checksum, "bad_length_checksum"},
    {FaultKind::wrong_cid1, "wrong_cid1"},
    {FaultKind::truncate, "truncate"},
    {FaultKind::error_rtn, "error_rtn"},
    {FaultKind::noise, "noise"},
};

int ToInt(const std::string& key, const std::string& text) {
    std::size_t used = 0;
    int v = 0;
    try {
        v = std::stoi(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size()) throw std::runtime_error("fault key " + key + ": not a number: " + text);
    return v;
}

// Applies one key; the values are range-checked here for both sources.
void SetKey(FaultRule& r, const std::string& key, int v, bool& untilGiven, bool& timesGiven) {
    auto need = [&](bool ok) {
        if (!ok) throw std::runtime_error("fault key " + key + ": value out of range: " + std::to_string(v));
    };
    if (key == "round") {
        need(v >= 0);
        r.from_round = v;
    } else if (key == "until") {
        need(v >= 0);
        r.to_round = v;
        untilGiven = true;
    } else if (key == "every") {
        need(v >= 1);
        r.every = v;
    } else if (key == "times") {
        need(v >= 0);
        r.times = v;
        timesGiven = true;
    } else if (key == "ms") {
        need(v >= 0);
        r.delay_ms = v;
    } else if (key == "cid1") {
        need(v >= 0 && v <= 0xFF);
        r.cid1 = v;
    } else if (key == "rtn") {
        need(v >= 1 && v <= 0xFF);
        r.rtn = static_cast<std::uint8_t>(v);
    } else if (key == "keep") {
        need(v >= 0);
        r.keep = v;
    } else if (key == "noise") {
        need(v >= 1 && v <= 4096);
        r.noise = v;
    } else {
        throw std::runtime_error("unknown fault key: " + key);
    }
}

void CheckCommand(const std::string& c) {
    const bool ok = c == "*" || (c.size() == 5 && c[2] == '_');
    if (!ok) throw std::runtime_error("fault command must be CC_DD or *: " + c);
}

void FinishRound(FaultRule& r, bool roundGiven, bool untilGiven, bool timesGiven) {
    if (roundGiven && !untilGiven) {
        r.to_round = r.from_round;
        if (!timesGiven) r.times = 1;
    }
    if (r.to_round < r.from_round) throw std::runtime_error("fault: until before round");
}

}  // namespace

const char* FaultName(FaultKind kind) {
    for (const KindName& k : kKinds)
        if (k.kind == kind) return k.name;
    return "?";
}

std::optional<FaultKind> FaultKindFromName(const std::string& name) {
    for (const KindName& k : kKinds)
        if (name == k.name) return k.kind;
    return std::nullopt;
}

FaultRule FaultFromJson(const Json::Value& v) {
    if (!v.isObject()) throw std::runtime_error("fault entry is not an object");
    FaultRule r;
    const auto kind = FaultKindFromName(v.get("fault", "").asString());
    if (!kind) throw std::runtime_error("unknown fault: " + v.get("fault", "").asString());
    r.kind = *kind;
    if (v.isMember("command")) r.command = v["command"].asString();
    CheckCommand(r.command);
    bool untilGiven = false, timesGiven = false;
    for (const std::string& key : v.getMemberNames()) {
        if (key == "fault" || key == "command") continue;
        if (!v[key].isIntegral()) throw std::runtime_error("fault key " + key + ": not an integer");
        SetKey(r, key, v[key].asInt(), untilGiven, timesGiven);
    }
    FinishRound(r, v.isMember("round"), untilGiven, timesGiven);
    return r;
}

FaultRule FaultFromOption(const std::string& text) {
    FaultRule r;
    const std::size_t c1 = text.find(':');
    const std::string kindName = text.substr(0, c1);
    const auto kind = FaultKindFromName(kindName);
    if (!kind) throw std::runtime_error("unknown fault: " + kindName);
    r.kind = *kind;
    bool roundGiven = false, untilGiven = false, timesGiven = false;
    if (c1 != std::string::npos) {
        const std::size_t c2 = text.find(':', c1 + 1);
        const std::string cmd = text.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
        if (!cmd.empty()) r.command = cmd;
        CheckCommand(r.command);
        if (c2 != std::string::npos) {
            std::string keys = text.substr(c2 + 1);
            std::size_t pos = 0;
            while (pos <= keys.size()) {
                std::size_t comma = keys.find(',', pos);
                if (comma == std::string::npos) comma = keys.size();
                const std::string kv = keys.substr(pos, comma - pos);
                const std::size_t eq = kv.find('=');
                if (eq == std::string::npos) throw std::runtime_error("fault option needs key=value: " + kv);
                const std::string key = kv.substr(0, eq);
                if (key == "round") roundGiven = true;
                SetKey(r, key, ToInt(key, kv.substr(eq + 1)), untilGiven, timesGiven);
                pos = comma + 1;
            }
        }
    }
    FinishRound(r, roundGiven, untilGiven, timesGiven);
    return r;
}

std::vector<FaultRule> FaultPlan::Select(const std::string& command, int round) {
    std::vector<FaultRule> hit;
    for (FaultRule& r : rules_) {
        if (r.command != "*" && r.command != command) continue;
        if (round < r.from_round || round > r.to_round) continue;
        if (r.times != 0 && r.hits >= r.times) continue;
        ++r.seen;
        if (r.seen % r.every != 0) continue;
        ++r.hits;
        hit.push_back(r);
    }
    return hit;
}

}  // namespace sim
