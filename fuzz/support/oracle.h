#pragma once
// Reference results of the child decoders, written from the answer layouts
// alone: the bytes a part takes as its counts say, -1 where it needs more
// bytes than it was given, and the few results the layouts fix otherwise
// (41_44 with more modules than adopted gives 0; 40_46 and a 42_46 with an
// unexpected count give their nominal length whatever is present; a 42_41
// user count above capacity consumes everything). The targets compare every
// decoder result with these.
#include "ac/ac_models.h"
#include "dc/dc_models.h"
#include "rc/rc_models.h"

#include <cstddef>
#include <cstdint>

namespace oracle {

using AcRec = tele_c_qzl4200_ac;
using AcChan = tele_c_qzl4200_ac_channel;
using DcRec = tele_c_qzl4200_dc;
using RcRec = tele_c_qzl4200_rc;
using RcChan = tele_c_qzl4200_rc_channel;

constexpr int kRefused = -1;

// A cursor that only answers whether the next n bytes are there.
class Span {
public:
    Span(const unsigned char* p, int len) : p_(p), len_(len < 0 ? 0 : len) {}
    bool Has(long long n) const { return pos_ + n <= len_; }
    std::uint8_t At(long long k) const { return p_[pos_ + k]; }
    void Skip(long long n) { pos_ += n; }
    int Pos() const { return static_cast<int>(pos_); }
    int Len() const { return static_cast<int>(len_); }

private:
    const unsigned char* p_;
    long long len_;
    long long pos_ = 0;
};

// 40_41: M, M x (16 bytes, P, 4P), 12. learned: the channel count once
// adopted (channels > 0), else -1.
inline int Ac40_41(const unsigned char* p, int len, int learned) {
    Span s(p, len);
    if (!s.Has(1)) return kRefused;
    const int m = s.At(0);
    if (learned > 0 && m != learned) return kRefused;
    s.Skip(1);
    for (int i = 0; i < m; ++i) {
        if (!s.Has(17)) return kRefused;
        const int user = s.At(16);
        s.Skip(17);
        if (!s.Has(4LL * user)) return kRefused;
        s.Skip(4LL * user);
    }
    if (!s.Has(12)) return kRefused;
    s.Skip(12);
    return s.Pos();
}

// 40_43: m (at most AIRLOCK_MAX), m bytes, p, p bytes.
inline int Ac40_43(const unsigned char* p, int len) {
    Span s(p, len);
    if (!s.Has(1)) return kRefused;
    const int m = s.At(0);
    if (m > AcRec::AIRLOCK_MAX()) return kRefused;
    s.Skip(1);
    if (!s.Has(m + 1LL)) return kRefused;
    s.Skip(m);
    const int user = s.At(0);
    s.Skip(1);
    if (!s.Has(user)) return kRefused;
    s.Skip(user);
    return s.Pos();
}

// 40_44: a count byte (ignored), channels x (4 states, m, m bytes, p, p bytes), 3.
inline int Ac40_44(const unsigned char* p, int len, int channels) {
    Span s(p, len);
    if (!s.Has(1)) return kRefused;
    s.Skip(1);
    for (int i = 0; i < channels; ++i) {
        if (!s.Has(5)) return kRefused;
        const int extra = s.At(4);
        s.Skip(5);
        if (!s.Has(extra + 1LL)) return kRefused;
        s.Skip(extra);
        const int user = s.At(0);
        s.Skip(1);
        if (!s.Has(user)) return kRefused;
        s.Skip(user);
    }
    if (!s.Has(3)) return kRefused;
    s.Skip(3);
    return s.Pos();
}

// 42_41: v, i, m, 4m, n, 4n, p, 4p; p above P_SIZE consumes all.
inline int Dc42_41(const unsigned char* p, int len) {
    Span s(p, len);
    if (!s.Has(9)) return kRefused;
    const int m = s.At(8);
    s.Skip(9);
    if (!s.Has(4LL * m)) return kRefused;
    s.Skip(4LL * m);
    if (!s.Has(1)) return kRefused;
    const int n = s.At(0);
    s.Skip(1);
    if (!s.Has(4LL * n)) return kRefused;
    s.Skip(4LL * n);
    if (!s.Has(1)) return kRefused;
    const int user = s.At(0);
    s.Skip(1);
    if (user > DcRec::P_SIZE()) return len;
    if (!s.Has(4LL * user)) return kRefused;
    s.Skip(4LL * user);
    return s.Pos();
}

// 42_44: v_alert, m, m bytes, p, p bytes.
inline int Dc42_44(const unsigned char* p, int len) {
    Span s(p, len);
    if (!s.Has(2)) return kRefused;
    const int m = s.At(1);
    s.Skip(2);
    if (!s.Has(m + 1LL)) return kRefused;
    s.Skip(m);
    const int user = s.At(0);
    s.Skip(1);
    if (!s.Has(user)) return kRefused;
    s.Skip(user);
    return s.Pos();
}

// 41_41: flag, 4, n, n x (4, P, 4P). adopted: the module count once
// adopted (modules > 0), else -1.
inline int Rc41_41(const unsigned char* p, int len, int adopted) {
    Span s(p, len);
    if (!s.Has(6)) return kRefused;
    const int n = s.At(5);
    if (adopted > 0 && n != adopted) return kRefused;
    s.Skip(6);
    for (int k = 0; k < n; ++k) {
        if (!s.Has(5)) return kRefused;
        const int user = s.At(4);
        s.Skip(5);
        if (!s.Has(4LL * user)) return kRefused;
        s.Skip(4LL * user);
    }
    return s.Pos();
}

// 41_43: flag, m (at most the modules adopted), m x (3, P, P).
inline int Rc41_43(const unsigned char* p, int len, int modules) {
    Span s(p, len);
    if (!s.Has(2)) return kRefused;
    const int m = s.At(1);
    if (m > modules) return kRefused;
    s.Skip(2);
    for (int k = 0; k < m; ++k) {
        if (!s.Has(4)) return kRefused;
        const int user = s.At(3);
        s.Skip(4);
        if (!s.Has(user)) return kRefused;
        s.Skip(user);
    }
    return s.Pos();
}

// 41_44: flag, m (more than adopted: 0), m x (fault, P, P).
inline int Rc41_44(const unsigned char* p, int len, int modules) {
    Span s(p, len);
    if (!s.Has(2)) return kRefused;
    const int m = s.At(1);
    if (m > modules) return 0;
    s.Skip(2);
    for (int k = 0; k < m; ++k) {
        if (!s.Has(2)) return kRefused;
        const int user = s.At(1);
        s.Skip(2);
        if (!s.Has(user)) return kRefused;
        s.Skip(user);
    }
    return s.Pos();
}

// 40_46: 20, p; the user values are not required to be present.
inline int Rc40_46(const unsigned char* p, int len) {
    Span s(p, len);
    if (!s.Has(21)) return kRefused;
    return 21 + 4 * s.At(20);
}

// 42_46: 8, p; p = P42_46_NUMBER: as many of the P42_46_SIZE bytes as there
// are; another p: its nominal length.
inline int Rc42_46(const unsigned char* p, int len) {
    Span s(p, len);
    if (!s.Has(9)) return kRefused;
    const int count = s.At(8);
    if (count != RcRec::P42_46_NUMBER()) return 9 + 4 * count;
    const int left = len - 9;
    return 9 + (left < RcRec::P42_46_SIZE() ? left : RcRec::P42_46_SIZE());
}

}  // namespace oracle
