#pragma once
// The site file's "snmp" object: {"agentx": "unix:/var/agentx/master"} or
// {"agentx": "tcp:127.0.0.1:705"}, the master agent's AgentX socket. Absent:
// no SNMP.
#include <json/value.h>

#include <optional>
#include <string>

namespace snmp {

struct SnmpConfig {
    std::string agentx;    // as net-snmp's agentXSocket takes it
    int reconnect_s = 1;   // AgentX ping and reconnect period
};

// Nothing without "snmp"; throws std::runtime_error naming the bad member.
std::optional<SnmpConfig> SnmpConfigFromSite(const Json::Value& site);

}  // namespace snmp
