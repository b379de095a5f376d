#include "tools/model/round_view.h"

#include "tools/model/line_counters.h"
#include "tools/model/signal_catalog.h"
#include "tools/model/snapshot_fields.h"
#include "tools/runtime/log_sink.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <map>
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

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        s.push_back(d[b >> 4]);
        s.push_back(d[b & 15]);
    }
    return s;
}

// The members are string literals, so the tree keys them by pointer
// (Json::StaticString) instead of copying every name; parts are built in
// place or moved, never copied.
Json::Value BuildRound(const rt::RoundEnd& end, PMBusProtocol& bus, int restored, const std::string& port) {
    using K = Json::StaticString;
    Json::Value j(Json::objectValue);
    j[K("round")] = static_cast<Json::UInt64>(end.round);
    j[K("time")] = rt::LocalTimestamp();
    j[K("port")] = port;
    Json::Value& b = j[K("bus")];
    b[K("data_id")] = bus.DataId();
    b[K("type")] = bus.DeviceType();
    b[K("data_valid")] = bus.DataValid();
    j[K("restored")] = restored;

    // Each snapshot decoded once: its fields go to the snapshot and to its device.
    std::map<std::pair<std::uint32_t, int>, const Json::Value*> byDevice;
    Json::Value& snaps = j[K("snapshots")];
    snaps = Json::Value(Json::arrayValue);
    snaps.resize(static_cast<Json::ArrayIndex>(end.snapshots.size()));
    Json::ArrayIndex n = 0;
    for (const auto& s : end.snapshots) {
        Json::Value& e = snaps[n++];
        e[K("data_id")] = s.data_id;
        e[K("type_number")] = s.type_number;
        e[K("hex")] = Hex(s.bytes);
        Json::Value& fields = e[K("fields")];
        fields = DecodeSnapshot(s.type_number, s.bytes.data(), s.bytes.size());
        byDevice[{s.data_id, s.type_number}] = &fields;
    }

    const auto now = boost::posix_time::second_clock::local_time();
    Json::Value& devices = j[K("devices")];
    devices = Json::Value(Json::arrayValue);
    for (const auto& child : bus.GetAllChildVDevices()) {
        if (!child) continue;
        Json::Value& d = devices.append(Json::Value(Json::objectValue));
        const int typeNumber = rt::TypeNumberForDeviceType(child->DeviceType());
        d[K("data_id")] = child->DataId();
        d[K("type")] = child->DeviceType();
        d[K("type_number")] = typeNumber;
        Json::Value& age = d[K("age_s")];
        if (!child->LastUpdate().is_special())
            age = static_cast<Json::Int64>((now - child->LastUpdate()).total_seconds());
        Json::Value& sig = d[K("signals")];
        sig = Json::Value(Json::objectValue);
        for (auto& s : ReadSignals(*child)) {
            if (s.ok)
                sig[s.name] = s.value;
            else
                sig[s.name] = std::move(s.error);
        }
        auto it = byDevice.find({child->DataId(), typeNumber});
        if (it != byDevice.end()) d[K("fields")] = *it->second;
    }

    Json::Value& rules = j[K("rules")];
    rules = Json::Value(Json::arrayValue);
    rules.resize(static_cast<Json::ArrayIndex>(end.rules.size()));
    n = 0;
    for (const auto& r : end.rules) rules[n++] = RuleJson(r);

    const rt::LineStats& s = end.stats;
    Json::Value& st = j[K("stats")];
    for (const LineCounter& c : kLineCounters) st[K(c.key)] = static_cast<Json::UInt64>(s.*c.value);
    st[K("rounds")] = static_cast<Json::UInt64>(s.rounds);
    st[K("round_s")] = end.seconds;
    return j;
}

void AddActiveAlarms(Json::Value& round, const std::vector<rule_value>& active) {
    Json::Value& a = round[Json::StaticString("active_alarms")];
    a = Json::Value(Json::arrayValue);
    for (const auto& r : active) a.append(RuleJson(r));
}

}  // namespace model
