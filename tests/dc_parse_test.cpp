// Decoding of a DC unit's 42_41 and 42_44 blocks: values, oversized lists,
// markers, and blocks cut short at every boundary (each cut block lives in a
// buffer of exactly its length, so a read past it is caught by ASan).
#include "dc/dc_models.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Packed record fields are read by value: gtest takes its arguments by reference.
template <typename T>
T Val(T x) {
    return x;
}

using testhost::FloatBytes;
using Rec = tele_c_qzl4200_dc;

struct Bytes {
    std::vector<std::uint8_t> b;
    Bytes& u8(std::uint8_t x) {
        b.push_back(x);
        return *this;
    }
    Bytes& f(float x) {
        const auto fb = FloatBytes(x);
        b.insert(b.end(), fb.begin(), fb.end());
        return *this;
    }
    Bytes& raw(const std::vector<std::uint8_t>& r) {
        b.insert(b.end(), r.begin(), r.end());
        return *this;
    }
    // count floats start, start + 1, ...
    Bytes& floats(int count, float start) {
        for (int k = 0; k < count; ++k) f(start + static_cast<float>(k));
        return *this;
    }
};

// A 42_41 block with the counts as given and values counting up from base.
std::vector<std::uint8_t> Block41(float v, float i, int m, int n, int p, float base = 1.0f) {
    Bytes b;
    b.f(v).f(i).u8(static_cast<std::uint8_t>(m)).floats(m, base);
    b.u8(static_cast<std::uint8_t>(n)).floats(n, base + 100.0f);
    b.u8(static_cast<std::uint8_t>(p)).floats(p, base + 200.0f);
    return b.b;
}

std::vector<std::uint8_t> Block44(std::uint8_t vAlert, int m, int p, std::uint8_t base = 1) {
    Bytes b;
    b.u8(vAlert).u8(static_cast<std::uint8_t>(m));
    for (int k = 0; k < m; ++k) b.u8(static_cast<std::uint8_t>(base + k));
    b.u8(static_cast<std::uint8_t>(p));
    for (int k = 0; k < p; ++k) b.u8(static_cast<std::uint8_t>(base + 100 + k));
    return b.b;
}

std::uint32_t Bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

std::vector<std::uint8_t> ImageOf(const Rec& r) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
    return std::vector<std::uint8_t>(p, p + sizeof r);
}

class DcParse : public ::testing::Test {
protected:
    void SetUp() override {
        dev = std::make_shared<tvr27pkDC>("dc");
        ASSERT_TRUE(dev->InitV(host.parent.get(), 7, testhost::ParseJson("{}")));
    }
    // Runs the decoder on an exactly sized heap copy of the bytes.
    int Parse41(const std::vector<std::uint8_t>& bytes, int length = -2) {
        std::vector<std::uint8_t> copy(bytes);
        testing::internal::CaptureStdout();
        const int r = dev->parse42_41(copy.empty() ? nullptr : copy.data(),
                                      length == -2 ? static_cast<int>(copy.size()) : length);
        stdoutText = testing::internal::GetCapturedStdout();
        return r;
    }
    int Parse44(const std::vector<std::uint8_t>& bytes) {
        std::vector<std::uint8_t> copy(bytes);
        return dev->parse42_44(copy.empty() ? nullptr : copy.data(), static_cast<int>(copy.size()));
    }
    const Rec& rec() const { return dev->Record(); }

    testhost::Host host;
    std::shared_ptr<tvr27pkDC> dev;
    std::string stdoutText;
};

TEST_F(DcParse, FullCapacityBlockFillsEveryAnalogField) {
    auto block = Block41(53.5f, 120.25f, 4, 9, 3);
    block.push_back(0xEE);  // the next unit's first byte is not consumed
    EXPECT_EQ(Parse41(block), 75);
    EXPECT_EQ(Val(rec().v), 53.5f);
    EXPECT_EQ(Val(rec().i), 120.25f);
    EXPECT_EQ(rec().dc_m, 4);
    EXPECT_EQ(rec().dc_n, 9);
    EXPECT_EQ(rec().p_count, 3);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(Val(rec().m_value[k]), 1.0f + k);
    for (int k = 0; k < 9; ++k) EXPECT_EQ(Val(rec().n_value[k]), 101.0f + k);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(Val(rec().user_p[k]), 201.0f + k);
    EXPECT_EQ(Val(rec().data_id), 7u);
    EXPECT_TRUE(host.ctl->logs.empty());
    EXPECT_EQ(dev->DataValid(), 0) << "decoding does not make the data valid";
}

TEST_F(DcParse, ShorterListsKeepTheOlderSlots) {
    ASSERT_EQ(Parse41(Block41(1.0f, 2.0f, 4, 9, 3, 1.0f)), 75);
    EXPECT_EQ(Parse41(Block41(3.0f, 4.0f, 2, 3, 0, 50.0f)), 31);
    EXPECT_EQ(rec().dc_m, 2);
    EXPECT_EQ(Val(rec().m_value[0]), 50.0f);
    EXPECT_EQ(Val(rec().m_value[1]), 51.0f);
    EXPECT_EQ(Val(rec().m_value[2]), 3.0f);
    EXPECT_EQ(Val(rec().m_value[3]), 4.0f);
    EXPECT_EQ(rec().dc_n, 3);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(Val(rec().n_value[k]), 150.0f + k);
    for (int k = 3; k < 9; ++k) EXPECT_EQ(Val(rec().n_value[k]), 101.0f + k);
    EXPECT_EQ(rec().p_count, 0);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(Val(rec().user_p[k]), 201.0f + k);
}

TEST_F(DcParse, TraceLineShowsTheFirstFourBytesInHex) {
    // 100.0f is 00 00 c8 42.
    ASSERT_EQ(Parse41(Block41(100.0f, 0.0f, 0, 0, 0)), 11);
    EXPECT_EQ(stdoutText, "parse 42 41: 0 0 c8 42\n");
    Bytes b;
    b.raw({0x0A, 0xFF, 0x10, 0x01}).f(0).u8(0).u8(0).u8(0);
    ASSERT_EQ(Parse41(b.b), 11);
    EXPECT_EQ(stdoutText, "parse 42 41: a ff 10 1\n");
}

TEST_F(DcParse, OversizedMeasuredListsArePassedOverAndLogged) {
    struct Case {
        const char* what;
        int m, n;
        const char* line;
    };
    const Case cases[] = {
        {"m", 5, 9, "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read dc_m is 5, MAX_M is 4"},
        {"n", 4, 10, "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read dc_n is 10, MAX_N is 9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        host.ctl->Clear();
        ASSERT_EQ(Parse41(Block41(1.0f, 2.0f, 4, 9, 0, 1.0f)), 63);
        const auto block = Block41(5.0f, 6.0f, c.m, c.n, 1, 30.0f);
        EXPECT_EQ(Parse41(block), static_cast<int>(block.size()));
        EXPECT_EQ(host.ctl->logs, std::vector<std::string>{c.line});
        EXPECT_EQ(Val(rec().v), 5.0f);
        EXPECT_EQ(rec().dc_m, c.m);
        EXPECT_EQ(rec().dc_n, c.n);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(Val(rec().m_value[k]), (c.m > 4 ? 1.0f : 30.0f) + k);
        for (int k = 0; k < 9; ++k) EXPECT_EQ(Val(rec().n_value[k]), (c.n > 9 ? 101.0f : 130.0f) + k);
        EXPECT_EQ(Val(rec().user_p[0]), 230.0f) << "decoding goes on after the passed-over list";
    }
}

TEST_F(DcParse, TooManyUserValuesConsumeTheRestOfTheBlock) {
    // p = 4 with only two of its values present: the count check comes first.
    auto block = Block41(9.0f, 8.0f, 1, 1, 0);
    block.back() = 4;
    Bytes tail;
    tail.f(1.0f).f(2.0f);
    block.insert(block.end(), tail.b.begin(), tail.b.end());
    EXPECT_EQ(Parse41(block), static_cast<int>(block.size()));
    EXPECT_EQ(host.ctl->logs, std::vector<std::string>{
                                  "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read p_count is 4, "
                                  "support user_p max is 3"});
    EXPECT_EQ(Val(rec().v), 9.0f);
    EXPECT_EQ(rec().p_count, 4);
    EXPECT_EQ(Val(rec().m_value[0]), 1.0f);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(Bits(rec().user_p[k]), 0u) << "user_p untouched";
}

TEST_F(DcParse, InvalidUserValuesAreStoredAsMinusPointOne) {
    struct Case {
        std::vector<std::uint8_t> wire;
        std::uint32_t stored;
    };
    const Case cases[] = {
        {{0x20, 0x20, 0x20, 0x20}, 0xBDCCCCCDu},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0xBDCCCCCDu},
        {{0x00, 0x00, 0x00, 0x00}, 0x00000000u},
        {{0x20, 0x20, 0x20, 0x21}, 0x21202020u},
        {{0x00, 0x00, 0xC8, 0x42}, 0x42C80000u},
    };
    for (const auto& c : cases) {
        Bytes b;
        b.f(1.0f).f(2.0f).u8(0).u8(0).u8(3).f(7.0f).raw(c.wire).f(9.0f);
        ASSERT_EQ(Parse41(b.b), 23);
        EXPECT_EQ(Bits(rec().user_p[0]), Bits(7.0f));
        EXPECT_EQ(Bits(rec().user_p[1]), c.stored) << std::hex << c.stored;
        EXPECT_EQ(Bits(rec().user_p[2]), Bits(9.0f));
    }
    // The measured values are copied as they stand, markers included.
    Bytes b;
    b.raw({0x20, 0x20, 0x20, 0x20}).f(2.0f).u8(1).raw({0x20, 0x20, 0x20, 0x20}).u8(0).u8(0);
    ASSERT_EQ(Parse41(b.b), 15);
    EXPECT_EQ(Bits(rec().v), 0x20202020u);
    EXPECT_EQ(Bits(rec().m_value[0]), 0x20202020u);
}

// The position a cut block needs next: the first boundary past its length.
int NeededAfter(const std::vector<int>& boundaries, int length) {
    for (int b : boundaries)
        if (b > length) return b;
    return -1;
}

TEST_F(DcParse, AnalogBlockCutAtEveryLengthIsRefusedUnchanged) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> block;
        std::vector<int> boundaries;  // where each part of the layout ends
        std::vector<std::string> before;  // lines logged before the overflow line
    };
    const Case cases[] = {
        {"m2 n3 p2", Block41(11.0f, 12.0f, 2, 3, 2, 40.0f), {9, 17, 18, 30, 31, 39}, {}},
        {"empty lists", Block41(11.0f, 12.0f, 0, 0, 0), {9, 10, 11}, {}},
        {"m5 passed over", Block41(11.0f, 12.0f, 5, 0, 0), {9, 29, 30, 31},
         {"PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read dc_m is 5, MAX_M is 4"}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(NeededAfter(c.boundaries, static_cast<int>(c.block.size()) - 1),
                  static_cast<int>(c.block.size()));
        for (int len = 0; len < static_cast<int>(c.block.size()); ++len) {
            SCOPED_TRACE(std::string(c.what) + " cut at " + std::to_string(len));
            host.ctl->Clear();
            ASSERT_EQ(Parse41(Block41(1.0f, 2.0f, 4, 9, 3)), 75);
            const auto before = ImageOf(rec());
            const std::vector<std::uint8_t> cut(c.block.begin(), c.block.begin() + len);
            EXPECT_EQ(Parse41(cut), -1);
            EXPECT_EQ(ImageOf(rec()), before) << "a refused block leaves the record as it was";
            // The dc_m line of an oversized list is logged once dc_m has been read.
            std::vector<std::string> lines = len >= 9 ? c.before : std::vector<std::string>{};
            lines.push_back("PMBusPowerAC:ProcotolError 7 read 42_41 read overflow " +
                            std::to_string(NeededAfter(c.boundaries, len)) + " - " + std::to_string(len));
            EXPECT_EQ(host.ctl->logs, lines);
            EXPECT_EQ(stdoutText.empty(), len < 4) << stdoutText;
        }
    }
}

TEST_F(DcParse, CountsRunningFarPastTheBlockAreRefused) {
    struct Case {
        std::vector<std::uint8_t> block;
        int needed;
    };
    Bytes bigM, bigN, bigP;
    bigM.f(1).f(2).u8(4).f(3);                                  // m = 4, one value there
    bigN.f(1).f(2).u8(0).u8(9).f(3).f(4);                      // n = 9, two values there
    bigP.f(1).f(2).u8(0).u8(0).u8(3).f(5);                     // p = 3, one value there
    const Case cases[] = {{bigM.b, 25}, {bigN.b, 46}, {bigP.b, 23}};
    for (const auto& c : cases) {
        host.ctl->Clear();
        EXPECT_EQ(Parse41(c.block), -1);
        EXPECT_EQ(host.ctl->logs, std::vector<std::string>{
                                      "PMBusPowerAC:ProcotolError 7 read 42_41 read overflow " +
                                      std::to_string(c.needed) + " - " + std::to_string(c.block.size())});
    }
    // A negative length reads nothing.
    host.ctl->Clear();
    const auto full = Block41(1.0f, 2.0f, 0, 0, 0);
    EXPECT_EQ(Parse41(full, -3), -1);
    EXPECT_TRUE(stdoutText.empty());
    EXPECT_TRUE(host.ctl->Logged("PMBusPowerAC:ProcotolError 7 read 42_41 read overflow 9 - -3"));
}

TEST_F(DcParse, AlarmBlockTakesListsUpToTheirCapacity) {
    struct Case {
        const char* what;
        int m, p;
        int result;
        std::vector<std::string> logs;
    };
    const Case cases[] = {
        {"full list", 64, 0, 67, {}},
        {"longer alarm list taken in part, no line", 70, 0, 73, {}},
        {"short lists", 3, 2, 8, {}},
        {"all user alarms", 0, 13, 16, {}},
        {"too many user alarms", 5, 15, 23,
         {"PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read 42_44 p is 15,  alert_p is 13"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        host.ctl->Clear();
        ASSERT_EQ(Parse44(Block44(9, 64, 13, 200)), 80);  // earlier contents 200.. / 44..
        EXPECT_EQ(Parse44(Block44(2, c.m, c.p, 1)), c.result);
        EXPECT_EQ(host.ctl->logs, c.logs);
        EXPECT_EQ(rec().v_alert, 2);
        EXPECT_EQ(rec().alert_m_num, c.m);
        EXPECT_EQ(rec().alert_p_num, c.p);
        for (int k = 0; k < 64; ++k)
            EXPECT_EQ(rec().alert_m[k], static_cast<std::uint8_t>(k < c.m ? 1 + k : 200 + k)) << k;
        for (int k = 0; k < 13; ++k)
            EXPECT_EQ(rec().alert_p[k], static_cast<std::uint8_t>(k < c.p ? 101 + k : 300 + k)) << k;
    }
}

TEST_F(DcParse, AlarmBlockCutAtEveryLengthIsRefusedUnchanged) {
    const char* kTooManyP = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read 42_44 p is 15,  alert_p is 13";
    struct Case {
        const char* what;
        std::vector<std::uint8_t> block;
        std::vector<int> boundaries;
        int pLinedFrom;  // from this length on the p line precedes the overflow line (-1: never)
    };
    const Case cases[] = {
        {"m3 p2", Block44(1, 3, 2), {2, 5, 6, 8}, -1},
        {"m70", Block44(1, 70, 0), {2, 72, 73}, -1},
        {"p15", Block44(1, 1, 15), {2, 3, 4, 19}, 4},
        {"empty", Block44(0, 0, 0), {2, 3}, -1},
    };
    for (const auto& c : cases) {
        for (int len = 0; len < static_cast<int>(c.block.size()); ++len) {
            SCOPED_TRACE(std::string(c.what) + " cut at " + std::to_string(len));
            host.ctl->Clear();
            ASSERT_EQ(Parse44(Block44(9, 64, 13, 200)), 80);
            const auto before = ImageOf(rec());
            const std::vector<std::uint8_t> cut(c.block.begin(), c.block.begin() + len);
            EXPECT_EQ(Parse44(cut), -1);
            EXPECT_EQ(ImageOf(rec()), before);
            std::vector<std::string> lines;
            if (c.pLinedFrom >= 0 && len >= c.pLinedFrom) lines.push_back(kTooManyP);
            lines.push_back("PMBusPowerAC:ProcotolError 7 read 42_44 read overflow " +
                            std::to_string(NeededAfter(c.boundaries, len)) + " - " + std::to_string(len));
            EXPECT_EQ(host.ctl->logs, lines);
        }
        EXPECT_EQ(Parse44(c.block), static_cast<int>(c.block.size())) << c.what;
    }
}

TEST_F(DcParse, ConsecutiveUnitsTakeTheirOwnBlocks) {
    // Two units in one INFO, walked as the bus device does.
    auto second = std::make_shared<QZL4200DC>("dc2");
    ASSERT_TRUE(second->InitV(host.parent.get(), 8, testhost::ParseJson("{}")));
    std::vector<std::uint8_t> info = Block41(48.0f, 10.0f, 1, 0, 0);
    const auto b2 = Block41(49.0f, 20.0f, 0, 2, 1);
    info.insert(info.end(), b2.begin(), b2.end());
    testing::internal::CaptureStdout();
    const int r1 = dev->parse42_41(info.data(), static_cast<int>(info.size()));
    ASSERT_EQ(r1, 15);
    const int r2 = second->parse42_41(info.data() + r1, static_cast<int>(info.size()) - r1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r1 + r2, static_cast<int>(info.size()));
    EXPECT_EQ(Val(dev->Record().v), 48.0f);
    EXPECT_EQ(Val(second->Record().v), 49.0f);
    EXPECT_EQ(Val(second->Record().n_value[1]), 102.0f);
    EXPECT_EQ(Val(second->Record().user_p[0]), 201.0f);
    EXPECT_EQ(out, "parse 42 41: 0 0 40 42\nparse 42 41: 0 0 44 42\n");
}

}  // namespace
