#include "host/vnq_controller.h"

VNQController::VNQController() = default;
VNQController::~VNQController() = default;

void VNQController::Log(const std::string&) {}
void VNQController::Request(PMBusProtocol&, std::uint8_t, std::uint8_t, const std::uint8_t*, int) {}
bool VNQController::AcceptAnswer(PMBusProtocol&, const frame::Frame&) { return true; }
void VNQController::AnswerHandled(PMBusProtocol&, std::uint32_t, const frame::Frame&, int) {}
void VNQController::ExchangeReset(VNQSPDevice&) {}
bool VNQController::LinkReady(VNQSPDevice&) { return true; }
void VNQController::Publish(VNQVDevice&, int, const std::uint8_t*, unsigned, bool) {}
void VNQController::SaveHistory(VNQVDevice&, const std::uint8_t*, unsigned) {}
void VNQController::RuleReported(VNQVDevice&, const rule_value&) {}
void VNQController::AlarmChanged(const AlarmEvent&) {}
void VNQController::Submit(std::function<void()> work) {
    if (work) work();
}

bool VNQController::EvaluateBatch(const std::vector<rule_value>& rules) {
    bool changed = false;
    AlarmEvent ev;
    for (const auto& r : rules) {
        if (alarms_.Apply(r, &ev)) {
            changed = true;
            AlarmChanged(ev);
        }
    }
    return changed;
}
