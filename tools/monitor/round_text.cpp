#include "tools/monitor/round_text.h"

#include <json/writer.h>

#include <cstdio>
#include <sstream>
#include <vector>

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
