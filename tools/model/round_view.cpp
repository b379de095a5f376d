#include "tools/model/round_view.h"

#include "tools/model/line_counters.h"
#include "tools/model/signal_catalog.h"
#include "tools/runtime/log_sink.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <algorithm>
#include <memory>

namespace model {

Json::Value RuleJson(const rule_value& r) {
    using K = Json::StaticString;
    Json::Value j(Json::objectValue);
    j[K("data_id")] = r.data_id;
    j[K("level")] = r.level;
    j[K("key")] = r.key;
    j[K("id")] = r.alarm_id;
    j[K("name")] = r.name;
    j[K("text")] = r.text;
    j[K("active")] = r.active != 0;
    j[K("seq")] = r.seq;
    return j;
}

void AppendHex(std::string& out, const std::vector<std::uint8_t>& bytes) {
    static const char d[] = "0123456789ABCDEF";
    std::size_t at = out.size();
    out.resize(at + bytes.size() * 2);
    for (const auto b : bytes) {
        out[at++] = d[b >> 4];
        out[at++] = d[b & 15];
    }
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    AppendHex(s, bytes);
    return s;
}

RoundData BuildRound(rt::RoundEnd end, PMBusProtocol& bus, int restored, const std::string& port,
                     const RuleListPtr& previousRules) {
    RoundData r;
    r.round = end.round;
    r.time = rt::LocalTimestamp();
    r.port = port;
    r.bus_data_id = bus.DataId();
    r.bus_type = bus.DeviceType();
    r.bus_data_valid = bus.DataValid();
    r.restored = restored;
    r.snapshots = std::move(end.snapshots);
    r.rules = RuleList::Share(std::move(end.rules), previousRules);
    r.stats = end.stats;
    r.round_s = end.seconds;

    const auto now = boost::posix_time::second_clock::local_time();
    for (const auto& child : bus.GetAllChildVDevices()) {
        if (!child) continue;
        DeviceRound& d = r.devices.emplace_back();
        d.data_id = child->DataId();
        d.type = child->DeviceType();
        d.type_number = rt::TypeNumberForDeviceType(d.type);
        if (!child->LastUpdate().is_special()) d.age_s = (now - child->LastUpdate()).total_seconds();
        d.signals = ReadSignals(*child);
        // An object's members by name; a name given twice counts once (the last).
        std::stable_sort(d.signals.begin(), d.signals.end(),
                         [](const Signal& a, const Signal& b) { return a.name < b.name; });
        // (unique over the reversed list keeps each name's last, at the end.)
        d.signals.erase(d.signals.begin(),
                        std::unique(d.signals.rbegin(), d.signals.rend(),
                                    [](const Signal& a, const Signal& b) { return a.name == b.name; })
                            .base());
        for (std::size_t i = 0; i < r.snapshots.size(); ++i)
            if (r.snapshots[i].data_id == d.data_id && r.snapshots[i].type_number == d.type_number)
                d.snapshot = static_cast<int>(i);  // the last one, as the tree kept it
    }
    r.has_store = end.has_store;
    r.store_failed_writes = end.store_failed_writes;
    r.store_bytes = end.store_bytes;
    return r;
}

namespace {

rule_value RuleFromJson(const Json::Value& j) {
    rule_value r;
    r.data_id = j["data_id"].asUInt();
    r.level = static_cast<std::uint8_t>(j["level"].asUInt());
    r.key = j["key"].asString();
    r.alarm_id = j["id"].asString();
    r.name = j["name"].asString();
    r.text = j["text"].asString();
    r.active = j["active"].asBool() ? 1 : 0;
    r.seq = j["seq"].asUInt();
    return r;
}

std::vector<std::uint8_t> FromHex(const std::string& hex) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c & ~0x20) - 'A' + 10; };
    std::vector<std::uint8_t> b;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    return b;
}

}  // namespace

RoundData RoundFromJson(const Json::Value& j) {
    RoundData r;
    r.round = j["round"].asUInt64();
    r.time = j["time"].asString();
    r.port = j["port"].asString();
    r.bus_data_id = j["bus"]["data_id"].asUInt();
    r.bus_type = j["bus"]["type"].asString();
    r.bus_data_valid = j["bus"]["data_valid"].asUInt();
    r.restored = j["restored"].asInt();
    for (const Json::Value& s : j["snapshots"])
        r.snapshots.push_back({s["data_id"].asUInt(), s["type_number"].asInt(), FromHex(s["hex"].asString())});
    for (const Json::Value& d : j["devices"]) {
        DeviceRound& dev = r.devices.emplace_back();
        dev.data_id = d["data_id"].asUInt();
        dev.type = d["type"].asString();
        dev.type_number = d["type_number"].asInt();
        if (d["age_s"].isNumeric()) dev.age_s = d["age_s"].asInt64();
        for (const std::string& name : d["signals"].getMemberNames()) {
            const Json::Value& v = d["signals"][name];
            dev.signals.push_back({name, v.isNumeric(), v.isNumeric() ? v.asFloat() : 0.0f, v.isString() ? v.asString() : ""});
        }
        for (std::size_t i = 0; i < r.snapshots.size(); ++i)
            if (r.snapshots[i].data_id == dev.data_id && r.snapshots[i].type_number == dev.type_number)
                dev.snapshot = static_cast<int>(i);
    }
    std::vector<rule_value> rules;
    for (const Json::Value& x : j["rules"]) rules.push_back(RuleFromJson(x));
    r.rules = std::make_shared<const RuleList>(std::move(rules));
    for (const Json::Value& x : j["active_alarms"]) r.active_alarms.push_back(RuleFromJson(x));
    for (const LineCounter& c : kLineCounters) r.stats.*c.value = j["stats"][c.key].asUInt64();
    r.stats.rounds = j["stats"]["rounds"].asUInt64();
    r.round_s = j["stats"]["round_s"].asDouble();
    if (j.isMember("history")) {
        r.has_store = true;
        r.store_failed_writes = j["history"]["failed_writes"].asUInt64();
        r.store_bytes = j["history"]["bytes"].asUInt64();
    }
    return r;
}

void AddActiveAlarms(RoundData& round, const std::vector<rule_value>& active) { round.active_alarms = active; }

}  // namespace model
