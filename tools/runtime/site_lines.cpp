#include "tools/runtime/site_lines.h"

#include <map>
#include <stdexcept>

namespace rt {
namespace {

// Keys that belong to a line; next to "lines" they would be ambiguous.
const char* const kLineKeys[] = {"port",        "baud",        "data_bits", "parity",           "stop_bits",
                                 "address",     "data_id",     "timeout_ms", "refresh_ms",      "lost_after_timeouts",
                                 "acSetting",   "dcSetting",   "rcSetting",  "protocol_version", "reopen_min_ms",
                                 "reopen_max_ms"};
const char* const kChildKeys[] = {"acSetting", "dcSetting", "rcSetting"};

std::string Prefix(const std::string& where) { return where == "site" ? "" : where + "."; }

void Claim(std::map<std::uint32_t, std::string>& ids, std::uint32_t id, const std::string& place) {
    const auto [it, fresh] = ids.emplace(id, place);
    if (!fresh)
        throw std::invalid_argument("configuration: " + it->second + " and " + place + " are both " +
                                    std::to_string(id) + "; data ids must be unique across the site");
}

void ClaimIds(std::map<std::uint32_t, std::string>& ids, const SiteLine& line) {
    const std::string pre = Prefix(line.where);
    Claim(ids, line.options.data_id, pre + "data_id");
    for (const char* key : kChildKeys) {
        const Json::Value& children = line.config[key];
        if (!children.isArray()) continue;
        for (Json::ArrayIndex i = 0; i < children.size(); ++i) {
            const Json::Value& id = children[i]["data_id"];
            if (id.isNull()) continue;
            const std::string place = pre + key + "[" + std::to_string(i) + "].data_id";
            if (!id.isUInt()) throw std::invalid_argument("configuration: " + place + " must be a number");
            Claim(ids, id.asUInt(), place);
        }
    }
}

bool SameSettings(const LineSettings& a, const LineSettings& b) {
    return a.baud == b.baud && a.data_bits == b.data_bits && a.parity == b.parity && a.stop_bits == b.stop_bits &&
           a.reopen_min == b.reopen_min && a.reopen_max == b.reopen_max;
}

unsigned AddressOf(const SiteLine& line) {
    const Json::Value& a = line.config["address"];
    return a.isUInt() ? a.asUInt() : 1;
}

SiteLine MakeLine(std::string where, const Json::Value& config, const std::string& database,
                  const HistoryLimits& history) {
    SiteLine line;
    line.where = std::move(where);
    line.config = config;
    try {
        line.options = OptionsFromJson(config);
    } catch (const std::invalid_argument& e) {
        std::string msg = e.what();
        const std::string head = "configuration: ";
        if (line.where != "site" && msg.compare(0, head.size(), head) == 0)
            msg = head + line.where + ": " + msg.substr(head.size());
        throw std::invalid_argument(msg);
    }
    line.options.database = database;
    line.options.history = history;
    return line;
}

}  // namespace

std::vector<SiteLine> SiteLines(const Json::Value& site) {
    if (!site.isObject()) throw std::invalid_argument("configuration: not a JSON object");
    if (site.isMember("database") && !site["database"].isString())
        throw std::invalid_argument("configuration: \"database\" must be a string");
    const std::string database = site.get("database", "").asString();
    const HistoryLimits history = HistoryLimitsFromJson(site);
    std::vector<SiteLine> lines;
    if (!site.isMember("lines")) {
        lines.push_back(MakeLine("site", site, database, history));
    } else {
        const Json::Value& list = site["lines"];
        if (!list.isArray() || list.empty())
            throw std::invalid_argument("configuration: \"lines\" must be a list of one or more line objects");
        for (const char* key : kLineKeys)
            if (site.isMember(key))
                throw std::invalid_argument(std::string("configuration: \"") + key +
                                            "\" belongs in each element of \"lines\", not at the top");
        for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
            const std::string where = "lines[" + std::to_string(i) + "]";
            if (!list[i].isObject()) throw std::invalid_argument("configuration: " + where + " must be an object");
            lines.push_back(MakeLine(where, list[i], database, history));
        }
    }
    std::map<std::uint32_t, std::string> ids;
    for (const SiteLine& line : lines) ClaimIds(ids, line);
    // Lines on one port share its link: one setting, one address each.
    for (std::size_t a = 0; a < lines.size(); ++a) {
        for (std::size_t b = a + 1; b < lines.size(); ++b) {
            const SiteLine& x = lines[a];
            const SiteLine& y = lines[b];
            if (x.options.line.path.empty() || x.options.line.path != y.options.line.path) continue;
            if (AddressOf(x) == AddressOf(y))
                throw std::invalid_argument("configuration: " + x.where + " and " + y.where + " are both address " +
                                            std::to_string(AddressOf(x)) + " on " + x.options.line.path);
            if (!SameSettings(x.options.line, y.options.line))
                throw std::invalid_argument("configuration: " + x.where + " and " + y.where + " share " +
                                            x.options.line.path + " but not its line settings");
        }
    }
    return lines;
}

}  // namespace rt
