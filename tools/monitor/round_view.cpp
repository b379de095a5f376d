#include "tools/monitor/round_view.h"

#include "tools/monitor/line_counters.h"
#include "tools/monitor/signal_catalog.h"
#include "tools/monitor/snapshot_fields.h"
#include "tools/runtime/log_sink.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/writer.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

namespace monitor {
namespace {

std::string Num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f", v);
    std::string s = b;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

std::string Scalar(const Json::Value& v) {
    if (v.isString()) return v.asString();
    if (v.isBool()) return v.asBool() ? "true" : "false";
    if (v.isDouble()) return Num(v.asDouble());
    if (v.isIntegral()) return std::to_string(v.asLargestInt());
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

void Flatten(const Json::Value& v, const std::string& prefix, std::vector<std::string>& out) {
    if (v.isObject()) {
        for (const auto& k : v.getMemberNames()) Flatten(v[k], prefix.empty() ? k : prefix + "." + k, out);
    } else if (v.isArray()) {
        bool scalars = true;
        for (const auto& e : v) scalars = scalars && !e.isObject() && !e.isArray();
        if (scalars) {
            std::string s = prefix + "=[";
            for (Json::ArrayIndex i = 0; i < v.size(); ++i) s += (i ? " " : "") + Scalar(v[i]);
            out.push_back(s + "]");
        } else {
            for (Json::ArrayIndex i = 0; i < v.size(); ++i) Flatten(v[i], prefix + "[" + std::to_string(i) + "]", out);
        }
    } else {
        out.push_back(prefix + "=" + Scalar(v));
    }
}

// Lines of at most width characters from space-separated items.
void Wrap(std::ostringstream& os, const std::vector<std::string>& items, const char* indent, std::size_t width = 100) {
    std::string line;
    for (const auto& it : items) {
        if (!line.empty() && line.size() + 3 + it.size() > width) {
            os << indent << line << "\n";
            line.clear();
        }
        line += (line.empty() ? "" : "   ") + it;
    }
    if (!line.empty()) os << indent << line << "\n";
}

}  // namespace

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
    return j;
}

void AddActiveAlarms(Json::Value& round, const std::vector<rule_value>& active) {
    Json::Value a(Json::arrayValue);
    for (const auto& r : active) a.append(RuleJson(r));
    round["active_alarms"] = a;
}

std::string RenderText(const Json::Value& r) {
    std::ostringstream os;
    const Json::Value& st = r["stats"];
    os << "round " << r["round"].asUInt64() << "   " << r["time"].asString() << "   " << r["bus"]["type"].asString()
       << " " << r["bus"]["data_id"].asUInt() << " on " << r["port"].asString() << "   round time "
       << Num(st["round_s"].asDouble()) << " s\n";
    os << "line: requests " << st["requests"].asUInt64() << "  answers " << st["answers"].asUInt64()
       << "  timeouts " << st["timeouts"].asUInt64() << "  bad frames " << st["bad_frames"].asUInt64()
       << "  error answers " << st["error_answers"].asUInt64() << "  late " << st["late_frames"].asUInt64()
       << "  stray " << st["stray_frames"].asUInt64() << "  port losses " << st["port_losses"].asUInt64()
       << "  rounds " << st["rounds"].asUInt64() << "\n";
    for (const auto& d : r["devices"]) {
        os << "\n" << d["type"].asString() << " " << d["data_id"].asUInt() << "   age "
           << (d["age_s"].isNull() ? std::string("-") : std::to_string(d["age_s"].asInt64()) + " s") << "\n";
        std::vector<std::string> items;
        for (const auto& k : d["signals"].getMemberNames()) items.push_back(k + "=" + Scalar(d["signals"][k]));
        Wrap(os, items, "  ");
        if (d.isMember("fields")) {
            std::vector<std::string> fields;
            Flatten(d["fields"], "", fields);
            os << "  snapshot:\n";
            Wrap(os, fields, "    ");
        }
    }
    os << "\nactive alarms: " << r["active_alarms"].size() << "\n";
    for (const auto& a : r["active_alarms"])
        os << "  [" << a["level"].asUInt() << "] " << a["data_id"].asUInt() << " " << a["key"].asString() << " "
           << a["id"].asString() << " " << a["name"].asString() << ": " << a["text"].asString() << "\n";
    unsigned activeRules = 0;
    for (const auto& x : r["rules"]) activeRules += x["active"].asBool() ? 1 : 0;
    os << "rules this round: " << r["rules"].size() << " (" << activeRules << " active)\n";
    return os.str();
}

}  // namespace monitor
