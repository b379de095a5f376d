#pragma once
// The benchmark's host: a controller whose hooks do nothing and which runs
// every work item at once, and a switch for the host's threshold and history
// entry points of VNQVDevice (CheckThresholdBool, DoBatchCheckThreshold,
// SaveDeviceHistory). Those are non-virtual host code, so the benchmark
// binary is linked with --wrap for them (bench/CMakeLists.txt) and the
// wrappers either skip them (HostWork::kNone: time and instructions are the
// plug-in's alone) or run them inside a HostScope (HostWork::kReal: the
// allocation count can tell the plug-in's blocks from the host's).
#include "host/vnq_controller.h"

#include <cstdint>
#include <functional>
#include <string>

namespace bench {

enum class HostWork { kNone, kReal };
void SetHostWork(HostWork w);
// Calls of the wrapped entry points since start-up (proves the wrap is in place).
std::uint64_t WrappedCalls();

class BenchController : public VNQController {
public:
    void Log(const std::string&) override { ++logs; }
    void Request(PMBusProtocol&, std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info,
                 int length) override {
        lastCid1 = cid1;
        lastCid2 = cid2;
        lastInfo = info;
        lastLength = length;
        ++requests;
    }
    void Submit(std::function<void()> work) override {
        if (work) work();
    }

    std::uint8_t lastCid1 = 0;
    std::uint8_t lastCid2 = 0;
    const std::uint8_t* lastInfo = nullptr;  // the bus device's own bytes (the group byte)
    int lastLength = 0;
    std::uint64_t requests = 0;
    std::uint64_t logs = 0;
};

}  // namespace bench
