#include "tools/runtime/runtime_options.h"

namespace rt {
namespace {

// Reads one key of a line object, reporting a bad value at its path.
struct Keys {
    const Json::Value& site;
    ConfigProblems& problems;
    const std::string& path;

    unsigned UInt(const char* key, unsigned def, unsigned lo, unsigned hi) const {
        if (!site.isMember(key)) return def;
        const Json::Value& v = site[key];
        if (!v.isUInt() || v.asUInt() < lo || v.asUInt() > hi) {
            problems.Add(KeyPath(path, key),
                         "must be a number from " + std::to_string(lo) + " to " + std::to_string(hi));
            return def;
        }
        return v.asUInt();
    }

    std::string String(const char* key, const std::string& def) const {
        if (!site.isMember(key)) return def;
        if (!site[key].isString()) {
            problems.Add(KeyPath(path, key), "must be a string");
            return def;
        }
        return site[key].asString();
    }
};

}  // namespace

HistoryLimits HistoryLimitsFromJson(const Json::Value& site, ConfigProblems& problems) {
    HistoryLimits h;
    if (!site.isObject() || !site.isMember("history")) return h;
    const Json::Value& v = site["history"];
    if (!v.isObject()) {
        problems.Add("history", "must be an object");
        return h;
    }
    CheckKnownKeys(v, "history", HistoryKeys(), problems);
    const std::string path = "history";
    const Keys k{v, problems, path};
    h.raw_days = k.UInt("raw_days", h.raw_days, 1, 3650);
    h.minute_days = k.UInt("minute_days", h.minute_days, 1, 36500);
    h.hour_days = k.UInt("hour_days", h.hour_days, 1, 36500);
    h.event_days = k.UInt("event_days", h.event_days, 1, 36500);
    h.max_mb = k.UInt("max_mb", h.max_mb, 0, 1000000);
    return h;
}

HistoryLimits HistoryLimitsFromJson(const Json::Value& site) {
    ConfigProblems throwing;
    return HistoryLimitsFromJson(site, throwing);
}

const std::vector<std::string>& HistoryKeys() {
    static const std::vector<std::string> keys = {"raw_days", "minute_days", "hour_days", "event_days", "max_mb"};
    return keys;
}

RuntimeOptions OptionsFromJson(const Json::Value& site, ConfigProblems& problems, const std::string& path) {
    RuntimeOptions o;
    if (!site.isObject()) {
        problems.Add(path, "not a JSON object");
        return o;
    }
    const Keys k{site, problems, path};
    o.line.path = k.String("port", "");
    o.line.baud = k.UInt("baud", 9600, 50, 4000000);
    o.line.data_bits = k.UInt("data_bits", 8, 5, 8);
    o.line.stop_bits = k.UInt("stop_bits", 1, 1, 2);
    const std::string parity = k.String("parity", "none");
    if (parity == "none") o.line.parity = 'N';
    else if (parity == "even") o.line.parity = 'E';
    else if (parity == "odd") o.line.parity = 'O';
    else problems.Add(KeyPath(path, "parity"), "must be \"none\", \"even\" or \"odd\"");
    o.address = k.UInt("address", 1, 1, 254);
    o.protocol_version = k.UInt("protocol_version", 33, 0, 255);
    o.line.reopen_min = std::chrono::milliseconds(k.UInt("reopen_min_ms", 500, 10, 600000));
    o.line.reopen_max = std::chrono::milliseconds(
        k.UInt("reopen_max_ms", 8000, static_cast<unsigned>(o.line.reopen_min.count()), 3600000));
    o.data_id = k.UInt("data_id", 0, 0, 0xFFFFFFFFu);
    o.timeout = std::chrono::milliseconds(k.UInt("timeout_ms", 1000, 10, 600000));
    o.refresh = std::chrono::milliseconds(k.UInt("refresh_ms", 250, 10, 60000));
    o.lost_after = k.UInt("lost_after_timeouts", 3, 1, 1000);
    o.database = k.String("database", "");
    return o;
}

RuntimeOptions OptionsFromJson(const Json::Value& site) {
    ConfigProblems throwing;
    return OptionsFromJson(site, throwing);
}

}  // namespace rt
