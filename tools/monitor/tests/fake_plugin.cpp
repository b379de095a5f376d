// A stand-in plug-in for the monitor tests: exports get_providers, whose
// first provider makes the runtime tests' fake bus device. It writes a
// trace line to standard output for every answer, as the real devices'
// diagnostic lines do.
#include "host/provider.h"
#include "tools/runtime/tests/fake_bus.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace {

class TracingBus : public rttest::FakeBus {
public:
    int process_payload() override {
        std::printf("fake trace: answer with CID1 %02X\n", response_[2]);
        std::fflush(stdout);
        return FakeBus::process_payload();
    }
};

class FakeBusProvider : public VNQSPDeviceProvider {
public:
    VNQSPDevice* create() const override { return new TracingBus(); }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers() {
    return {std::make_shared<FakeBusProvider>()};
}
