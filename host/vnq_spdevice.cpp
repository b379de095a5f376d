#include "host/vnq_spdevice.h"

VNQSPDevice::VNQSPDevice() = default;
VNQSPDevice::~VNQSPDevice() = default;

void VNQSPDevice::Reset() {
    refresh_ = 0;
    if (auto c = controller_.lock()) c->ExchangeReset(*this);
}

bool VNQSPDevice::Init(std::weak_ptr<VNQController> controller, std::uint32_t id,
                       const Json::Value& /*config*/) {
    controller_ = std::move(controller);
    dataId_ = id;
    return true;
}

bool VNQSPDevice::RefreshStatus() {
    auto c = controller_.lock();
    if (c && !c->LinkReady(*this)) return false;
    refresh_ = 1;
    return true;
}

int VNQSPDevice::process(const unsigned char*, unsigned) { return 0; }
bool VNQSPDevice::IsProcessing() { return false; }
bool VNQSPDevice::IsStalled() { return false; }
int VNQSPDevice::SendData(const unsigned char*, unsigned length) { return static_cast<int>(length); }
int VNQSPDevice::SendParityData(const unsigned char* data, unsigned length, EnumParity) {
    return SendData(data, length);
}
bool VNQSPDevice::OpenPort() { return true; }
void VNQSPDevice::ClosePort() {}
