#include "tests/soak/live_heap.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace soak {
namespace {

// Work items may run on a worker thread (--worker): relaxed atomic
// counters, word-sized so that they stay lock-free on a 32-bit target
// without libatomic. Each block carries its size in a header so that delete
// can subtract it.
std::atomic<std::size_t> liveBlocks{0};
std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> allocations{0};
constexpr auto kRelaxed = std::memory_order_relaxed;

constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t size) {
    void* p = std::malloc(size + kHeader);
    if (p == nullptr) throw std::bad_alloc();
    *static_cast<std::size_t*>(p) = size;
    liveBlocks.fetch_add(1, kRelaxed);
    allocations.fetch_add(1, kRelaxed);
    liveBytes.fetch_add(size, kRelaxed);
    return static_cast<char*>(p) + kHeader;
}

void Release(void* block) noexcept {
    if (block == nullptr) return;
    void* p = static_cast<char*>(block) - kHeader;
    liveBlocks.fetch_sub(1, kRelaxed);
    liveBytes.fetch_sub(*static_cast<std::size_t*>(p), kRelaxed);
    std::free(p);
}

}  // namespace

HeapCount Heap() { return {liveBlocks.load(), liveBytes.load(), allocations.load()}; }

}  // namespace soak

void* operator new(std::size_t size) { return soak::Allocate(size); }
void* operator new[](std::size_t size) { return soak::Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return soak::Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p) noexcept { soak::Release(p); }
void operator delete[](void* p) noexcept { soak::Release(p); }
void operator delete(void* p, std::size_t) noexcept { soak::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { soak::Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { soak::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { soak::Release(p); }
