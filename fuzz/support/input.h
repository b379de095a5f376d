#pragma once
// Takes a fuzz input apart: bytes, lengths and chunks, never past its end
// (missing bytes read as zero, chunks are cut at the end).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    std::size_t Left() const { return size_ - pos_; }

    std::uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }
    std::uint16_t Word() {
        const std::uint16_t lo = Byte();
        return static_cast<std::uint16_t>(lo | (Byte() << 8));
    }
    // Up to n bytes.
    std::vector<std::uint8_t> Bytes(std::size_t n) {
        if (n > Left()) n = Left();
        std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    std::vector<std::uint8_t> Rest() { return Bytes(Left()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace fuzz
