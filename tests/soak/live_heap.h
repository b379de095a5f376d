#pragma once
// Counts the heap blocks of the soak program: operator new and delete are
// replaced (live_heap.cpp), so every block the plug-in, the host framework
// and the standard library take through them is counted while it lives.
#include <cstddef>
#include <cstdint>

namespace soak {

struct HeapCount {
    std::uint64_t live_blocks;
    std::uint64_t live_bytes;
    std::uint64_t allocations;  // since the start (wraps at 2^32 on a 32-bit target)
};

HeapCount Heap();

}  // namespace soak
