#pragma once
// The monitor as an AgentX subagent of the system's snmpd: on a thread of
// its own it serves the plant image (plant_image.h) built from the latest
// round of each line, and sends the alarm and line notifications through
// the master. The monitor hands rounds and events over here and never
// waits for SNMP; the subagent never calls into the devices. A master that
// is absent at start or goes away is retried every reconnect_s, logged
// once per outage.
#include "tools/model/round.h"
#include "tools/runtime/log_sink.h"
#include "tools/runtime/runtime_event.h"
#include "tools/snmp/snmp_config.h"

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>

namespace snmp {

class Agent {
public:
    Agent(const SnmpConfig& config, rt::LogSink& log);
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Before the first round of the line (the lines keep the site's order).
    void AddLine(std::uint32_t busDataId, const std::string& port);
    // Any thread; neither waits for the SNMP thread.
    void Event(const rt::RuntimeEvent& e);
    void Round(model::RoundPtr round);
    // Ends the thread (the master drops the subagent's registrations).
    void Stop();

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace snmp
