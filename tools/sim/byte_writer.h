#pragma once
// Appends answer fields to a byte vector: bytes, counted lists and 4-byte
// values least significant byte first.
#include "tools/sim/plant.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

// The invalid-value marker the simulator sends: four blanks.
constexpr std::uint8_t kInvalidMarkerByte = 0x20;

class ByteWriter {
public:
    explicit ByteWriter(Bytes& out) : out_(out) {}

    void Byte(std::uint8_t b) { out_.push_back(b); }

    void Value(const Value4& v) {
        if (v.invalid) {
            out_.insert(out_.end(), 4, kInvalidMarkerByte);
            return;
        }
        std::uint32_t bits = 0;
        std::memcpy(&bits, &v.value, sizeof bits);
        for (int k = 0; k < 4; ++k) out_.push_back(static_cast<std::uint8_t>(bits >> (8 * k)));
    }

    // A count byte followed by the items; the scenario loader keeps lists
    // within 255 items, longer ones are cut here rather than miscounted.
    void CountedBytes(const std::vector<std::uint8_t>& items) {
        const std::size_t n = Clamp(items.size());
        Byte(static_cast<std::uint8_t>(n));
        out_.insert(out_.end(), items.begin(), items.begin() + static_cast<long>(n));
    }
    void CountedValues(const std::vector<Value4>& items) {
        const std::size_t n = Clamp(items.size());
        Byte(static_cast<std::uint8_t>(n));
        for (std::size_t k = 0; k < n; ++k) Value(items[k]);
    }
    // A count byte for a list of n items.
    void Count(std::size_t n) { Byte(static_cast<std::uint8_t>(Clamp(n))); }

    static std::size_t Clamp(std::size_t n) { return n > 255 ? 255 : n; }

private:
    Bytes& out_;
};

}  // namespace sim
