#include "tools/runtime/site_lines.h"

#include <map>

namespace rt {
namespace {

const char* const kChildKeys[] = {"acSetting", "dcSetting", "rcSetting"};

void Claim(std::map<std::uint32_t, std::string>& ids, std::uint32_t id, const std::string& place,
           ConfigProblems& problems) {
    const auto [it, fresh] = ids.emplace(id, place);
    if (!fresh)
        problems.Add(place, std::to_string(id) + " is also " + it->second +
                                "; data ids must be unique across the site");
}

void ClaimIds(std::map<std::uint32_t, std::string>& ids, const SiteLine& line, ConfigProblems& problems) {
    const std::string pre = LinePath(line);
    Claim(ids, line.options.data_id, KeyPath(pre, "data_id"), problems);
    for (const char* key : kChildKeys) {
        const Json::Value& children = line.config[key];
        if (!children.isArray()) continue;
        for (Json::ArrayIndex i = 0; i < children.size(); ++i) {
            if (!children[i].isObject()) continue;
            const Json::Value& id = children[i]["data_id"];
            if (id.isNull()) continue;
            const std::string place = KeyPath(IndexPath(KeyPath(pre, key), i), "data_id");
            if (!id.isUInt()) problems.Add(place, "must be a number from 0 to 4294967295");
            else Claim(ids, id.asUInt(), place, problems);
        }
    }
}

bool SameSettings(const LineSettings& a, const LineSettings& b) {
    return a.baud == b.baud && a.data_bits == b.data_bits && a.parity == b.parity && a.stop_bits == b.stop_bits &&
           a.reopen_min == b.reopen_min && a.reopen_max == b.reopen_max;
}

SiteLine MakeLine(std::string where, const Json::Value& config, const std::string& database,
                  const HistoryLimits& history, ConfigProblems& problems) {
    SiteLine line;
    line.where = std::move(where);
    line.config = config;
    line.options = OptionsFromJson(config, problems, LinePath(line));
    line.options.database = database;
    line.options.history = history;
    return line;
}

}  // namespace

const std::vector<std::string>& LineKeys() {
    static const std::vector<std::string> keys = {
        "port",       "baud",       "data_bits",           "parity",        "stop_bits",    "address",
        "data_id",    "timeout_ms", "refresh_ms",          "lost_after_timeouts", "acSetting", "dcSetting",
        "rcSetting",  "protocol_version", "reopen_min_ms", "reopen_max_ms"};
    return keys;
}

const std::vector<std::string>& SiteKeys() {
    static const std::vector<std::string> keys = {"lines", "database", "log_file", "history",
                                                  "http",  "mqtt",     "notify",   "snmp"};
    return keys;
}

std::string LinePath(const SiteLine& line) { return line.where == "site" ? "" : line.where; }

std::vector<SiteLine> SiteLines(const Json::Value& site, ConfigProblems& problems) {
    std::vector<SiteLine> lines;
    if (!site.isObject()) {
        problems.Add("", "not a JSON object");
        return lines;
    }
    std::string database;
    if (site.isMember("database") && !site["database"].isString()) problems.Add("database", "must be a string");
    else database = site.get("database", "").asString();
    const HistoryLimits history = HistoryLimitsFromJson(site, problems);
    if (site.isMember("log_file") && !site["log_file"].isString()) problems.Add("log_file", "must be a string");
    if (!site.isMember("lines")) {
        lines.push_back(MakeLine("site", site, database, history, problems));
    } else {
        const Json::Value& list = site["lines"];
        if (!list.isArray() || list.empty()) problems.Add("lines", "must be a list of one or more line objects");
        for (const std::string& key : LineKeys())
            if (site.isMember(key)) problems.Add(key, "belongs in each element of \"lines\", not at the top");
        for (Json::ArrayIndex i = 0; list.isArray() && i < list.size(); ++i) {
            const std::string where = IndexPath("lines", i);
            if (!list[i].isObject()) problems.Add(where, "must be an object");
            else lines.push_back(MakeLine(where, list[i], database, history, problems));
        }
    }
    std::map<std::uint32_t, std::string> ids;
    for (const SiteLine& line : lines) ClaimIds(ids, line, problems);
    // Lines on one port share its link: one setting, one address each.
    for (std::size_t a = 0; a < lines.size(); ++a) {
        for (std::size_t b = a + 1; b < lines.size(); ++b) {
            const SiteLine& x = lines[a];
            const SiteLine& y = lines[b];
            if (x.options.line.path.empty() || x.options.line.path != y.options.line.path) continue;
            if (x.options.address == y.options.address)
                problems.Add(y.where, "address " + std::to_string(y.options.address) + " on " + y.options.line.path +
                                          " is also " + x.where + "'s");
            else if (!SameSettings(x.options.line, y.options.line))
                problems.Add(y.where, "shares " + y.options.line.path + " with " + x.where +
                                          " but not its line settings");
        }
    }
    return lines;
}

std::vector<SiteLine> SiteLines(const Json::Value& site) {
    ConfigProblems throwing;
    return SiteLines(site, throwing);
}

}  // namespace rt
