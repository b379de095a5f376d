#pragma once
// The SNMP subagent as the monitor sees it. The subagent and net-snmp's
// libraries it needs live in a module of their own, loaded only for a site
// with "snmp": a site without it maps none of them.
#include "tools/model/round.h"
#include "tools/runtime/log_sink.h"
#include "tools/runtime/runtime_event.h"
#include "tools/snmp/snmp_config.h"

#include <cstdint>
#include <memory>
#include <string>

namespace snmp {

class Service {
public:
    virtual ~Service() = default;
    // Before the first round of the line (the lines keep the site's order).
    virtual void AddLine(std::uint32_t busDataId, const std::string& port) = 0;
    // Any thread; neither waits for the SNMP thread.
    virtual void Event(const rt::RuntimeEvent& e) = 0;
    virtual void Round(model::RoundPtr round) = 0;
    // Ends the thread (the master drops the subagent's registrations).
    virtual void Stop() = 0;
};

// The module's entry point, by name: a new subagent, or null with the
// reason in *error.
using StartFn = Service* (*)(const SnmpConfig* config, rt::LogSink* log, std::string* error);
constexpr const char* kStartSymbol = "pmbus_snmp_start";

// Loads the module (the one of this build tree, else the installed one)
// and starts the subagent; throws std::runtime_error saying what failed.
std::unique_ptr<Service> StartAgent(const SnmpConfig& config, rt::LogSink& log);

}  // namespace snmp
