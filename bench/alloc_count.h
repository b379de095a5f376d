#pragma once
// Counts the heap blocks the benchmark binary allocates (operator new is
// replaced in alloc_count.cpp), split by who asked: the plug-in's code, or
// the host's threshold and history calls (a HostScope is open around those).
#include <cstdint>

namespace bench {

struct AllocCounts {
    std::uint64_t plugin = 0;
    std::uint64_t host = 0;
};

// Counting is off until started; Stop returns what was counted since Start.
void StartCounting();
AllocCounts StopCounting();

// While one is alive on a thread, that thread's allocations count as the host's.
class HostScope {
public:
    HostScope();
    ~HostScope();
    HostScope(const HostScope&) = delete;
    HostScope& operator=(const HostScope&) = delete;
};

}  // namespace bench
