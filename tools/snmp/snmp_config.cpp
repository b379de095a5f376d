#include "tools/snmp/snmp_config.h"

#include <stdexcept>

namespace snmp {
namespace {

[[noreturn]] void Bad(const std::string& what) { throw std::runtime_error("snmp: " + what); }

}  // namespace

std::optional<SnmpConfig> SnmpConfigFromSite(const Json::Value& site) {
    if (!site.isMember("snmp")) return std::nullopt;
    const Json::Value& s = site["snmp"];
    if (!s.isObject()) Bad("site \"snmp\" must be an object");
    for (const std::string& k : s.getMemberNames())
        if (k != "agentx" && k != "reconnect_s") Bad("unknown member \"" + k + "\" (agentx, reconnect_s)");
    SnmpConfig c;
    if (!s["agentx"].isString() || s["agentx"].asString().empty())
        Bad("\"agentx\" must name the master's socket: \"unix:/var/agentx/master\" or \"tcp:127.0.0.1:705\"");
    c.agentx = s["agentx"].asString();
    const bool unixPath = c.agentx.rfind("unix:/", 0) == 0 || c.agentx.front() == '/';
    const bool tcp = c.agentx.rfind("tcp:", 0) == 0 && c.agentx.size() > 4;
    if (!unixPath && !tcp)
        Bad("\"agentx\" '" + c.agentx + "': give unix:/path or tcp:host:port");
    if (s.isMember("reconnect_s")) {
        if (!s["reconnect_s"].isInt() || s["reconnect_s"].asInt() < 1 || s["reconnect_s"].asInt() > 3600)
            Bad("\"reconnect_s\" must be a whole number of seconds, 1 to 3600");
        c.reconnect_s = s["reconnect_s"].asInt();
    }
    return c;
}

}  // namespace snmp
