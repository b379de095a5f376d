// The base model's process_payload waits 20 ms through usleep before each
// answer. This replacement counts the waits made while a target has
// counting set and skips them, so the cycle is fuzzed at full rate and the
// wait itself is checked; any other caller still sleeps.
#include "fuzz/support/poll_cycle.h"

#include <time.h>
#include <unistd.h>

namespace poll {
unsigned long sleeps = 0;
bool counting = false;
}  // namespace poll

extern "C" int usleep(useconds_t us) {
    if (poll::counting) {
        ++poll::sleeps;
        return 0;
    }
    const timespec t{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    return nanosleep(&t, nullptr);
}
