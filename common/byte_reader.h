#pragma once
// A cursor over the bytes handed to a decoder. Every read is preceded by a
// Has() check in the decoder, so no read passes the length it was given.
#include <cstdint>

namespace wire {

class ByteReader {
public:
    ByteReader(const unsigned char* data, int length)
        : data_(data), length_(length < 0 || data == nullptr ? 0 : length) {}

    int Pos() const { return pos_; }
    int Length() const { return length_; }
    // True when n more bytes (n >= 0) are left.
    bool Has(long long n) const { return n >= 0 && pos_ + n <= length_; }
    // The position n bytes further on, as reported in overflow messages.
    long long After(long long n) const { return pos_ + n; }

    // The following require Has(n) (Has(1) for Byte).
    std::uint8_t Byte() { return data_[pos_++]; }
    const unsigned char* Take(int n) {
        const unsigned char* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    void Skip(int n) { pos_ += n; }

private:
    const unsigned char* data_;
    int length_;
    int pos_ = 0;
};

}  // namespace wire
