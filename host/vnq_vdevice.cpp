#include "host/vnq_vdevice.h"

VNQVDevice::VNQVDevice() = default;
VNQVDevice::~VNQVDevice() = default;

bool VNQVDevice::InitV(VNQVDevice* parent, std::uint32_t id, const Json::Value& /*config*/) {
    dataId_ = id;
    if (parent) controller_ = parent->controller_;
    return true;
}

bool VNQVDevice::InitSetting(const Json::Value& config) { return config.isObject(); }

bool VNQVDevice::IsSupportDevice(const std::string& type) const { return type == deviceType_; }

void VNQVDevice::SendSP(int typeNumber, const unsigned char* data, unsigned length, bool flag) {
    if (auto c = controller_.lock()) c->Publish(*this, typeNumber, data, length, flag);
}

void VNQVDevice::SendDelayData(int) {}
void VNQVDevice::SendDoData(int, char) {}
int VNQVDevice::ReadDi(int) { return 0; }
float VNQVDevice::ReadAi(int) { return 0.0f; }

float VNQVDevice::Get_SP_Value(std::uint32_t id, const std::string& name) {
    return Get_Value(id, name);
}

void VNQVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& alarmId,
                                    const std::string& name, const std::string& text, bool active,
                                    std::uint16_t seq) {
    rule_value r;
    r.level = static_cast<std::uint8_t>(level);
    r.key = key;
    r.alarm_id = alarmId;
    r.data_id = dataId_;
    r.seq = seq;
    r.name = name;
    r.text = text;
    r.active = active ? 1u : 0u;
    pendingRules_.push_back(std::move(r));
    if (auto c = controller_.lock()) c->RuleReported(*this, pendingRules_.back());
}

void VNQVDevice::CheckThresholdWork(std::function<void()> work) {
    if (auto c = controller_.lock())
        c->Submit(std::move(work));
    else if (work)
        work();
}

bool VNQVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    auto c = controller_.lock();
    return c ? c->EvaluateBatch(rules) : false;
}

void VNQVDevice::SaveDeviceHistory(const unsigned char* data, unsigned length) {
    if (auto c = controller_.lock()) c->SaveHistory(*this, data, length);
}
