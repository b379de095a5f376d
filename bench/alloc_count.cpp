#include "bench/alloc_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace bench {
namespace {

std::atomic<bool> g_counting{false};
std::atomic<std::uint64_t> g_plugin{0};
std::atomic<std::uint64_t> g_host{0};
thread_local int t_hostDepth = 0;

void Count() {
    if (!g_counting.load(std::memory_order_relaxed)) return;
    (t_hostDepth > 0 ? g_host : g_plugin).fetch_add(1, std::memory_order_relaxed);
}

void* Allocate(std::size_t size) {
    Count();
    if (size == 0) size = 1;
    for (;;) {
        if (void* p = std::malloc(size)) return p;
        std::new_handler h = std::get_new_handler();
        if (!h) throw std::bad_alloc();
        h();
    }
}

void* AllocateAligned(std::size_t size, std::align_val_t align) {
    Count();
    const std::size_t a = static_cast<std::size_t>(align);
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = (size + a - 1) / a * a;
    if (void* p = std::aligned_alloc(a, rounded == 0 ? a : rounded)) return p;
    throw std::bad_alloc();
}

}  // namespace

void StartCounting() {
    g_plugin = 0;
    g_host = 0;
    g_counting = true;
}

AllocCounts StopCounting() {
    g_counting = false;
    return {g_plugin.load(), g_host.load()};
}

HostScope::HostScope() { ++t_hostDepth; }
HostScope::~HostScope() { --t_hostDepth; }

}  // namespace bench

void* operator new(std::size_t size) { return bench::Allocate(size); }
void* operator new[](std::size_t size) { return bench::Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return bench::Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return bench::Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t a) { return bench::AllocateAligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return bench::AllocateAligned(size, a); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
