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
#include "tools/snmp/snmp_service.h"

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>

namespace snmp {

class Agent final : public Service {
public:
    Agent(const SnmpConfig& config, rt::LogSink& log);
    ~Agent() override;
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    void AddLine(std::uint32_t busDataId, const std::string& port) override;
    void Event(const rt::RuntimeEvent& e) override;
    void Round(model::RoundPtr round) override;
    void Stop() override;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace snmp
