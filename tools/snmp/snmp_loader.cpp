#include "tools/snmp/snmp_service.h"

#include <dlfcn.h>
#include <unistd.h>

#include <stdexcept>

namespace snmp {

std::unique_ptr<Service> StartAgent(const SnmpConfig& config, rt::LogSink& log) {
    const char* path = ::access(PMB_SNMP_MODULE_BUILT, R_OK) == 0 ? PMB_SNMP_MODULE_BUILT : PMB_SNMP_MODULE_INSTALLED;
    // Never closed: net-snmp keeps handlers of its own for the process's end.
    void* module = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module) throw std::runtime_error(std::string("snmp: cannot load the subagent: ") + ::dlerror());
    const auto start = reinterpret_cast<StartFn>(::dlsym(module, kStartSymbol));
    if (!start) throw std::runtime_error(std::string("snmp: ") + path + " has no " + kStartSymbol);
    std::string error;
    std::unique_ptr<Service> agent(start(&config, &log, &error));
    if (!agent) throw std::runtime_error(error);
    return agent;
}

}  // namespace snmp
