#include "tools/runtime/runtime_options.h"

#include <stdexcept>

namespace rt {
namespace {

unsigned UIntKey(const Json::Value& site, const char* key, unsigned def, unsigned lo, unsigned hi) {
    if (!site.isMember(key)) return def;
    const Json::Value& v = site[key];
    if (!v.isUInt() || v.asUInt() < lo || v.asUInt() > hi)
        throw std::invalid_argument(std::string("configuration: \"") + key + "\" must be a number from " +
                                    std::to_string(lo) + " to " + std::to_string(hi));
    return v.asUInt();
}

std::string StringKey(const Json::Value& site, const char* key, const std::string& def) {
    if (!site.isMember(key)) return def;
    if (!site[key].isString())
        throw std::invalid_argument(std::string("configuration: \"") + key + "\" must be a string");
    return site[key].asString();
}

}  // namespace

HistoryLimits HistoryLimitsFromJson(const Json::Value& site) {
    HistoryLimits h;
    if (!site.isMember("history")) return h;
    const Json::Value& v = site["history"];
    if (!v.isObject()) throw std::invalid_argument("configuration: \"history\" must be an object");
    static const char* const kKeys[] = {"raw_days", "minute_days", "hour_days", "event_days", "max_mb"};
    for (const std::string& name : v.getMemberNames()) {
        bool known = false;
        for (const char* k : kKeys) known = known || name == k;
        if (!known) throw std::invalid_argument("configuration: \"history\" has no member \"" + name + "\"");
    }
    try {
        h.raw_days = UIntKey(v, "raw_days", h.raw_days, 1, 3650);
        h.minute_days = UIntKey(v, "minute_days", h.minute_days, 1, 36500);
        h.hour_days = UIntKey(v, "hour_days", h.hour_days, 1, 36500);
        h.event_days = UIntKey(v, "event_days", h.event_days, 1, 36500);
        h.max_mb = UIntKey(v, "max_mb", h.max_mb, 0, 1000000);
    } catch (const std::invalid_argument& e) {
        const std::string msg = e.what(), head = "configuration: ";
        throw std::invalid_argument(head + "history." + msg.substr(head.size()));
    }
    return h;
}

RuntimeOptions OptionsFromJson(const Json::Value& site) {
    if (!site.isObject()) throw std::invalid_argument("configuration: not a JSON object");
    RuntimeOptions o;
    o.line.path = StringKey(site, "port", "");
    o.line.baud = UIntKey(site, "baud", 9600, 50, 4000000);
    o.line.data_bits = UIntKey(site, "data_bits", 8, 5, 8);
    o.line.stop_bits = UIntKey(site, "stop_bits", 1, 1, 2);
    const std::string parity = StringKey(site, "parity", "none");
    if (parity == "none") o.line.parity = 'N';
    else if (parity == "even") o.line.parity = 'E';
    else if (parity == "odd") o.line.parity = 'O';
    else throw std::invalid_argument("configuration: \"parity\" must be \"none\", \"even\" or \"odd\"");
    o.line.reopen_min = std::chrono::milliseconds(UIntKey(site, "reopen_min_ms", 500, 10, 600000));
    o.line.reopen_max = std::chrono::milliseconds(
        UIntKey(site, "reopen_max_ms", 8000, static_cast<unsigned>(o.line.reopen_min.count()), 3600000));
    o.data_id = UIntKey(site, "data_id", 0, 0, 0xFFFFFFFFu);
    o.timeout = std::chrono::milliseconds(UIntKey(site, "timeout_ms", 1000, 10, 600000));
    o.refresh = std::chrono::milliseconds(UIntKey(site, "refresh_ms", 250, 10, 60000));
    o.lost_after = UIntKey(site, "lost_after_timeouts", 3, 1, 1000);
    o.database = StringKey(site, "database", "");
    return o;
}

}  // namespace rt
