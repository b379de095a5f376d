// The subagent module's one exported symbol.
#include "tools/snmp/snmp_agent.h"

#include <exception>

extern "C" __attribute__((visibility("default"))) snmp::Service* pmbus_snmp_start(const snmp::SnmpConfig* config,
                                                                                   rt::LogSink* log,
                                                                                   std::string* error) {
    try {
        return new snmp::Agent(*config, *log);
    } catch (const std::exception& e) {
        *error = e.what();
        return nullptr;
    }
}
