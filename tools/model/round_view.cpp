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
    Json::Value j(Json::objectValue);
    j["data_id"] = r.data_id;
    j["level"] = r.level;
    j["key"] = r.key;
    j["id"] = r.alarm_id;
    j["name"] = r.name;
    j["text"] = r.text;
    j["active"] = r.active != 0;
    j["seq"] = r.seq;
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

Json::Value BuildRound(const rt::RoundEnd& end, PMBusProtocol& bus, int restored, const std::string& port) {
    Json::Value j(Json::objectValue);
    j["round"] = static_cast<Json::UInt64>(end.round);
    j["time"] = rt::LocalTimestamp();
    j["port"] = port;
    j["bus"]["data_id"] = bus.DataId();
    j["bus"]["type"] = bus.DeviceType();
    j["bus"]["data_valid"] = bus.DataValid();
    j["restored"] = restored;

    std::map<std::pair<std::uint32_t, int>, const rt::PublishedSnapshot*> byDevice;
    Json::Value snaps(Json::arrayValue);
    for (const auto& s : end.snapshots) {
        Json::Value e(Json::objectValue);
        e["data_id"] = s.data_id;
        e["type_number"] = s.type_number;
        e["hex"] = Hex(s.bytes);
        e["fields"] = DecodeSnapshot(s.type_number, s.bytes.data(), s.bytes.size());
        snaps.append(e);
        byDevice[{s.data_id, s.type_number}] = &s;
    }

    const auto now = boost::posix_time::second_clock::local_time();
    Json::Value devices(Json::arrayValue);
    for (const auto& child : bus.GetAllChildVDevices()) {
        if (!child) continue;
        Json::Value d(Json::objectValue);
        d["data_id"] = child->DataId();
        d["type"] = child->DeviceType();
        d["type_number"] = rt::TypeNumberForDeviceType(child->DeviceType());
        if (child->LastUpdate().is_special())
            d["age_s"] = Json::Value();
        else
            d["age_s"] = static_cast<Json::Int64>((now - child->LastUpdate()).total_seconds());
        Json::Value sig(Json::objectValue);
        for (const auto& s : ReadSignals(*child)) {
            if (s.ok)
                sig[s.name] = s.value;
            else
                sig[s.name] = s.error;
        }
        d["signals"] = sig;
        auto it = byDevice.find({child->DataId(), d["type_number"].asInt()});
        if (it != byDevice.end())
            d["fields"] = DecodeSnapshot(it->second->type_number, it->second->bytes.data(), it->second->bytes.size());
        devices.append(d);
    }
    j["devices"] = devices;

    Json::Value rules(Json::arrayValue);
    for (const auto& r : end.rules) rules.append(RuleJson(r));
    j["rules"] = rules;
    j["snapshots"] = snaps;

    const rt::LineStats& s = end.stats;
    Json::Value st(Json::objectValue);
    for (const LineCounter& c : kLineCounters) st[c.key] = static_cast<Json::UInt64>(s.*c.value);
    st["rounds"] = static_cast<Json::UInt64>(s.rounds);
    st["round_s"] = end.seconds;
    j["stats"] = st;
    if (end.has_store) {
        Json::Value h(Json::objectValue);
        h["failed_writes"] = static_cast<Json::UInt64>(end.store_failed_writes);
        h["bytes"] = static_cast<Json::UInt64>(end.store_bytes);
        j["history"] = h;
    }
    return j;
}

void AddActiveAlarms(Json::Value& round, const std::vector<rule_value>& active) {
    Json::Value a(Json::arrayValue);
    for (const auto& r : active) a.append(RuleJson(r));
    round["active_alarms"] = a;
}

}  // namespace model
