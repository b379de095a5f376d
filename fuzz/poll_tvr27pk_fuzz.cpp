// The tvr27pk polling cycle under arbitrary host events and answers; the
// rules checked are listed in support/poll_cycle.h.
#include "fuzz/support/poll_cycle.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return poll::RunTarget<tvr27pk>(data, size, true);
}
