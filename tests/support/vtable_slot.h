#pragma once
// The vtable index behind a pointer to a virtual member function (Itanium
// C++ ABI). On x86 the pointer holds 1 + the slot's byte offset; on MIPS and
// ARM, where code addresses may be odd, it holds the byte offset and marks
// "virtual" in the low bit of the adjustment instead. -1 for a non-virtual.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace testhost {

template <typename PMF>
long SlotOf(PMF pmf) {
    struct Rep {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof(PMF) == sizeof(Rep), "Itanium member-function pointer");
    std::memcpy(&rep, &pmf, sizeof rep);
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
    if ((rep.adj & 1) == 0) return -1;
    return static_cast<long>(rep.ptr / sizeof(void*));
#else
    if ((rep.ptr & 1u) == 0) return -1;
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
#endif
}

}  // namespace testhost
