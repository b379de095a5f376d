#pragma once
// 4-byte values of an answer. A value whose four bytes are equal and not zero
// is the power system's invalid-value marker; each record field decides what
// is stored in its place. Everything else is copied byte for byte (IEEE-754
// single precision, least significant byte first, as the record holds it).
#include <cstdint>
#include <cstring>

namespace wire {

// Stored in place of an invalid current or user-defined value (bits 0xBDCCCCCD).
constexpr float kInvalidSubstitute = -0.1f;

inline bool IsInvalidMarker(const unsigned char* p) {
    return p[0] != 0 && p[0] == p[1] && p[1] == p[2] && p[2] == p[3];
}

// Copies the 4 bytes at src to dst, or the bytes of substitute for a marker.
inline void CopyValue(void* dst, const unsigned char* src, float substitute) {
    if (IsInvalidMarker(src))
        std::memcpy(dst, &substitute, 4);
    else
        std::memcpy(dst, src, 4);
}

// Copies the 4 bytes at src to dst, or four zero bytes for a marker.
inline void CopyValueOrZero(void* dst, const unsigned char* src) {
    if (IsInvalidMarker(src))
        std::memset(dst, 0, 4);
    else
        std::memcpy(dst, src, 4);
}

inline float ReadFloat(const void* src) {
    float f;
    std::memcpy(&f, src, 4);
    return f;
}

}  // namespace wire
