// Decoding of an AC unit's 40_41, 40_43 and 40_44 parts: values, the invalid-
// value marker, count mismatches, the learned channel count, and parts cut
// short at every length (each cut part lives in a buffer of exactly its
// length, so a read past it is caught by ASan).
#include "ac/ac_models.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testhost::FloatBytes;
using Panel = tele_c_qzl4200_ac;
using Channel = tele_c_qzl4200_ac_channel;

// A unit with room for two breakers and two user-defined values per channel,
// to drive the paths the model's zero capacities leave unused.
using WidePanel = tele_c_pmbuspower_ac<2, 3>;
using WideChannel = tele_c_pmbuspower_ac_channel<2, 8>;
class WideAC : public PMBusPowerAC<WidePanel, WideChannel, 5106> {
public:
    void DoImpCheckAlert() override {}
};

struct Bytes {
    std::vector<std::uint8_t> b;
    Bytes& u8(std::uint8_t x) {
        b.push_back(x);
        return *this;
    }
    Bytes& f(float x) { return raw(FloatBytes(x)); }
    Bytes& raw(const std::vector<std::uint8_t>& r) {
        b.insert(b.end(), r.begin(), r.end());
        return *this;
    }
    Bytes& fill(int n, std::uint8_t x) {
        b.insert(b.end(), static_cast<std::size_t>(n), x);
        return *this;
    }
};

struct Ch41 {
    float a, b, c, f;
    std::vector<float> user;  // P = its size
};

// A 40_41 part: M, the channel blocks, then the three phase currents.
std::vector<std::uint8_t> Part41(const std::vector<Ch41>& chs, float ia = 1.5f, float ib = 2.5f,
                                 float ic = 3.5f) {
    Bytes p;
    p.u8(static_cast<std::uint8_t>(chs.size()));
    for (const auto& c : chs) {
        p.f(c.a).f(c.b).f(c.c).f(c.f).u8(static_cast<std::uint8_t>(c.user.size()));
        for (float u : c.user) p.f(u);
    }
    p.f(ia).f(ib).f(ic);
    return p.b;
}

std::vector<Ch41> Channels(int n, float base = 220.0f) {
    std::vector<Ch41> v;
    for (int i = 0; i < n; ++i) {
        const float x = base + 10.0f * static_cast<float>(i);
        v.push_back({x, x + 1.0f, x + 2.0f, 50.0f + static_cast<float>(i), {}});
    }
    return v;
}

struct Ch44 {
    std::array<std::uint8_t, 4> states;
    int extra = 0;  // m
    int user = 8;   // p
};

// A 40_44 part: a count byte, the channel blocks, then the three current states.
std::vector<std::uint8_t> Part44(std::uint8_t countByte, const std::vector<Ch44>& chs,
                                 std::array<std::uint8_t, 3> panel = {0, 0, 0}) {
    Bytes p;
    p.u8(countByte);
    for (const auto& c : chs) {
        for (auto s : c.states) p.u8(s);
        p.u8(static_cast<std::uint8_t>(c.extra)).fill(c.extra, 0xEE);
        p.u8(static_cast<std::uint8_t>(c.user));
        for (int k = 0; k < c.user; ++k) p.u8(static_cast<std::uint8_t>(0x40 + k));
    }
    for (auto s : panel) p.u8(s);
    return p.b;
}

// Packed fields may be unaligned: read them as values, never bind a reference.
float Val(float f) { return f; }

std::uint32_t Bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

template <typename T>
std::vector<std::uint8_t> ImageOf(const T& r) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
    return std::vector<std::uint8_t>(p, p + sizeof r);
}

// The records' bytes, to show that a refused part changed nothing.
template <typename Dev>
std::vector<std::uint8_t> State(const Dev& d) {
    auto s = ImageOf(d.Record());
    for (const auto& ch : d.Channels()) {
        const auto c = ImageOf(ch);
        s.insert(s.end(), c.begin(), c.end());
    }
    return s;
}

template <typename Dev>
class AcParseT : public ::testing::Test {
protected:
    void SetUp() override {
        dev = std::make_shared<Dev>();
        dev->SetTraceStream(&trace);
        ASSERT_TRUE(dev->InitV(host.parent.get(), 7, testhost::ParseJson("{}")));
    }
    // Each decoder runs on an exactly sized heap copy of the bytes.
    static int Run(int (Dev::*op)(const unsigned char*, int), Dev& d, const std::vector<std::uint8_t>& bytes,
                   int length) {
        std::unique_ptr<unsigned char[]> copy(new unsigned char[bytes.size()]);
        if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
        return (d.*op)(bytes.empty() ? nullptr : copy.get(), length);
    }
    int P41(const std::vector<std::uint8_t>& b, int len = kWhole) {
        return Run(&Dev::parse40_41, *dev, b, len == kWhole ? static_cast<int>(b.size()) : len);
    }
    int P43(const std::vector<std::uint8_t>& b, int len = kWhole) {
        return Run(&Dev::parse40_43, *dev, b, len == kWhole ? static_cast<int>(b.size()) : len);
    }
    int P44(const std::vector<std::uint8_t>& b, int len = kWhole) {
        return Run(&Dev::parse40_44, *dev, b, len == kWhole ? static_cast<int>(b.size()) : len);
    }
    std::vector<std::string>& logs() { return host.ctl->logs; }
    static constexpr int kWhole = -1000;  // the length of the bytes given

    testhost::Host host;
    std::shared_ptr<Dev> dev;
    std::ostringstream trace;
};

using AcParse = AcParseT<tvr27pkAC>;
using AcParseWide = AcParseT<WideAC>;

// ------------------------------------------------------------------ 40_41

TEST_F(AcParse, TwoChannelPartFillsTheRecordsAndLearnsTheCount) {
    auto part = Part41(Channels(2), 10.25f, 11.5f, 12.75f);
    ASSERT_EQ(part.size(), 47u);
    part.push_back(0x02);  // the next unit's first byte is not consumed
    EXPECT_EQ(P41(part), 47);
    EXPECT_TRUE(logs().empty());
    ASSERT_EQ(dev->Channels().size(), 2u);
    EXPECT_EQ(dev->Record().channel_num, 2);
    const auto& c0 = dev->Channels()[0];
    const auto& c1 = dev->Channels()[1];
    EXPECT_EQ(Val(c0.a), 220.0f);
    EXPECT_EQ(Val(c0.b), 221.0f);
    EXPECT_EQ(Val(c0.c), 222.0f);
    EXPECT_EQ(Val(c0.f), 50.0f);
    EXPECT_EQ(Val(c1.a), 230.0f);
    EXPECT_EQ(Val(c1.b), 231.0f);
    EXPECT_EQ(Val(c1.c), 232.0f);
    EXPECT_EQ(Val(c1.f), 51.0f);
    EXPECT_EQ(c0.p40_41_num, 0);
    EXPECT_EQ(Val(dev->Record().ia), 10.25f);
    EXPECT_EQ(Val(dev->Record().ib), 11.5f);
    EXPECT_EQ(Val(dev->Record().ic), 12.75f);
    EXPECT_EQ(dev->Record().data_id, 7u);
    EXPECT_EQ(dev->DataValid(), 0) << "decoding does not make the data valid";
    EXPECT_EQ(trace.str(), "a:220 b:221 c:222 f:50\na:230 b:231 c:232 f:51\n");
}

TEST_F(AcParse, TraceLineGoesToStandardOutputByDefault) {
    auto d = std::make_shared<tvr27pkAC>();
    ASSERT_TRUE(d->InitV(host.parent.get(), 8, Json::Value()));
    const auto part = Part41({{230.5f, 0.0f, -1.25f, 49.875f, {}}});
    testing::internal::CaptureStdout();
    const int r = Run(&tvr27pkAC::parse40_41, *d, part, static_cast<int>(part.size()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a:230.5 b:0 c:-1.25 f:49.875\n");
    EXPECT_EQ(r, 30);

    const auto odd = Part41({{1.0f / 3.0f, 1e7f, 123456.7f, 0.0001f, {}}});
    d->SetTraceStream(nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Run(&tvr27pkAC::parse40_41, *d, odd, 30), 30);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "a null stream silences the trace";
    // The stream's default float format: six significant digits.
    std::ostringstream os;
    d->SetTraceStream(&os);
    EXPECT_EQ(Run(&tvr27pkAC::parse40_41, *d, odd, 30), 30);
    EXPECT_EQ(os.str(), "a:0.333333 b:1e+07 c:123457 f:0.0001\n");
}

TEST_F(AcParse, InvalidMarkerSubstitutesDependOnTheField) {
    struct Case {
        std::vector<std::uint8_t> wire;
        std::uint32_t voltage;  // stored in a channel field
        std::uint32_t current;  // stored in a phase current
    };
    const Case cases[] = {
        {{0x20, 0x20, 0x20, 0x20}, 0x00000000u, 0xBDCCCCCDu},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0x00000000u, 0xBDCCCCCDu},
        {{0x01, 0x01, 0x01, 0x01}, 0x00000000u, 0xBDCCCCCDu},
        {{0x00, 0x00, 0x00, 0x00}, 0x00000000u, 0x00000000u},
        {{0x00, 0x20, 0x20, 0x20}, 0x20202000u, 0x20202000u},
        {{0x20, 0x20, 0x20, 0x21}, 0x21202020u, 0x21202020u},
        {{0x00, 0x00, 0x5C, 0x43}, 0x435C0000u, 0x435C0000u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.wire));
        Bytes p;
        p.u8(1);
        p.raw(c.wire).raw(c.wire).raw(c.wire).raw(c.wire).u8(0);
        p.raw(c.wire).raw(c.wire).raw(c.wire);
        ASSERT_EQ(P41(p.b), 30);
        const auto& ch = dev->Channels()[0];
        EXPECT_EQ(Bits(ch.a), c.voltage);
        EXPECT_EQ(Bits(ch.b), c.voltage);
        EXPECT_EQ(Bits(ch.c), c.voltage);
        EXPECT_EQ(Bits(ch.f), c.voltage);
        EXPECT_EQ(Bits(dev->Record().ia), c.current);
        EXPECT_EQ(Bits(dev->Record().ib), c.current);
        EXPECT_EQ(Bits(dev->Record().ic), c.current);
    }
}

TEST_F(AcParse, UnexpectedUserCountIsLoggedAndPassedOver) {
    auto chs = Channels(2);
    chs[0].user = {7.0f, 8.0f};
    const auto part = Part41(chs, 4.0f, 5.0f, 6.0f);
    EXPECT_EQ(P41(part), 55);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 40_41 p is 2 not 0"});
    EXPECT_EQ(dev->Channels()[0].p40_41_num, 2);
    EXPECT_EQ(dev->Channels()[1].p40_41_num, 0);
    EXPECT_EQ(Val(dev->Channels()[1].a), 230.0f) << "decoding goes on after the passed-over values";
    EXPECT_EQ(Val(dev->Record().ic), 6.0f);
}

TEST_F(AcParse, LearnedChannelCountRefusesOtherCounts) {
    ASSERT_EQ(P41(Part41(Channels(2))), 47);
    const auto before = State(*dev);
    for (int m : {0, 1, 3, 255}) {
        SCOPED_TRACE(m);
        EXPECT_EQ(P41(Part41(Channels(m, 100.0f))), -1);
        EXPECT_EQ(State(*dev), before);
        EXPECT_TRUE(logs().empty());
        EXPECT_TRUE(trace.str().find("a:100") == std::string::npos);
    }
    EXPECT_EQ(P41(Part41(Channels(2, 300.0f))), 47);
    EXPECT_EQ(Val(dev->Channels()[1].a), 310.0f);
}

TEST_F(AcParse, ZeroChannelPartLeavesTheCountOpen) {
    EXPECT_EQ(P41(Part41({}, 1.0f, 2.0f, 3.0f)), 13);
    EXPECT_TRUE(dev->Channels().empty());
    EXPECT_EQ(dev->Record().channel_num, 0);
    EXPECT_EQ(Val(dev->Record().ib), 2.0f);
    EXPECT_EQ(P41(Part41(Channels(3))), 64);
    EXPECT_EQ(dev->Channels().size(), 3u);
    EXPECT_EQ(dev->Record().channel_num, 3);
}

// The position a cut part needs next: the first boundary past its length.
int NeededAfter(const std::vector<int>& boundaries, int length) {
    for (int b : boundaries)
        if (b > length) return b;
    return -1;
}

TEST_F(AcParse, CutPartIsRefusedAndLearnsNothing) {
    auto withUser = Channels(2);
    withUser[0].user = {9.0f};
    struct Case {
        const char* what;
        std::vector<std::uint8_t> part;
        std::vector<int> boundaries;
        std::vector<std::string> before;  // lines logged ahead of the overflow line
    };
    const Case cases[] = {
        {"two channels", Part41(Channels(2)), {1, 18, 35, 47}, {}},
        {"no channel", Part41({}), {1, 13}, {}},
        {"user values in the first", Part41(withUser), {1, 18, 22, 39, 51},
         {"PMBusPowerAC:ProcotolError 7 read 40_41 p is 1 not 0"}},
    };
    for (const auto& c : cases) {
        const int full = static_cast<int>(c.part.size());
        ASSERT_EQ(c.boundaries.back(), full);
        for (int len = 0; len < full; ++len) {
            SCOPED_TRACE(std::string(c.what) + " cut at " + std::to_string(len));
            auto d = std::make_shared<tvr27pkAC>();
            std::ostringstream os;
            d->SetTraceStream(&os);
            ASSERT_TRUE(d->InitV(host.parent.get(), 7, Json::Value()));
            host.ctl->Clear();
            const std::vector<std::uint8_t> cut(c.part.begin(), c.part.begin() + len);
            const auto before = State(*d);
            EXPECT_EQ(Run(&tvr27pkAC::parse40_41, *d, cut, len), -1);
            auto expected = len >= 18 ? c.before : std::vector<std::string>{};
            expected.push_back("PMBusPowerAC:ProcotolError 7 read 40_41 read overflow " +
                               std::to_string(NeededAfter(c.boundaries, len)) + " - " + std::to_string(len));
            EXPECT_EQ(host.ctl->logs, expected);
            EXPECT_EQ(State(*d), before);
            EXPECT_TRUE(d->Channels().empty()) << "a part that does not fit fixes no channel count";
            EXPECT_EQ(os.str(), "");
            // The device still learns its count from the first complete part.
            EXPECT_EQ(Run(&tvr27pkAC::parse40_41, *d, Part41(Channels(3)), 64), 64);
            EXPECT_EQ(d->Channels().size(), 3u);
        }
    }
}

TEST_F(AcParse, CutPartOnAKnownCountKeepsTheOldValues) {
    ASSERT_EQ(P41(Part41(Channels(2), 1.0f, 2.0f, 3.0f)), 47);
    const auto before = State(*dev);
    const auto part = Part41(Channels(2, 400.0f), 7.0f, 8.0f, 9.0f);
    EXPECT_EQ(P41(part, 46), -1);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 47 - 46"});
    EXPECT_EQ(State(*dev), before);
    EXPECT_EQ(P41(part, -5), -1) << "a negative length reads nothing";
}

TEST_F(AcParseWide, UserValuesFollowTheFloatRule) {
    Bytes p;
    p.u8(1).f(1.0f).f(2.0f).f(3.0f).f(4.0f).u8(2).raw({0x20, 0x20, 0x20, 0x20}).f(6.5f);
    p.f(0.0f).f(0.0f).f(0.0f);
    EXPECT_EQ(P41(p.b), 38);
    const auto& ch = dev->Channels()[0];
    EXPECT_EQ(ch.p40_41_num, 2);
    EXPECT_EQ(Bits(ch.p40_41[0]), 0xBDCCCCCDu);
    EXPECT_EQ(Val(ch.p40_41[1]), 6.5f);
    EXPECT_TRUE(logs().empty());

    // A count other than the capacity is passed over and keeps the old values.
    Bytes q;
    q.u8(1).f(1.0f).f(2.0f).f(3.0f).f(4.0f).u8(1).f(9.0f).f(0.0f).f(0.0f).f(0.0f);
    EXPECT_EQ(P41(q.b), 34);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 40_41 p is 1 not 2"});
    EXPECT_EQ(dev->Channels()[0].p40_41_num, 1);
    EXPECT_EQ(Val(dev->Channels()[0].p40_41[1]), 6.5f);
}

// ------------------------------------------------------------------ 40_43

TEST_F(AcParse, StatusPartTable) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> part;
        int result;
        std::vector<std::string> logs;
        std::uint8_t airlockNum, userNum;
        std::array<std::uint8_t, 3> user;  // p40_43 afterwards (it starts as 1 2 3)
    };
    const Case cases[] = {
        {"m0 p3", {0, 3, 9, 8, 7, 0xAA}, 5, {}, 0, 3, {9, 8, 7}},
        {"m0 p2", {0, 2, 9, 8}, 4, {"PMBusPowerAC:ProcotolError P7 read 40_43 p is 2 not 3"}, 0, 2, {1, 2, 3}},
        {"m0 p0", {0, 0}, 2, {"PMBusPowerAC:ProcotolError P7 read 40_43 p is 0 not 3"}, 0, 0, {1, 2, 3}},
        {"m0 p4", {0, 4, 9, 8, 7, 6}, 6, {"PMBusPowerAC:ProcotolError P7 read 40_43 p is 4 not 3"}, 0, 4,
         {1, 2, 3}},
        {"m1", {1, 5, 3, 9, 8, 7}, -1, {"ProcotolError 7 read 40_43 m is 1 max 0"}, 1, 3, {1, 2, 3}},
        {"m200", {200}, -1, {"ProcotolError 7 read 40_43 m is 200 max 0"}, 200, 3, {1, 2, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(P43({0, 3, 1, 2, 3}), 5);
        host.ctl->Clear();
        EXPECT_EQ(P43(c.part), c.result);
        EXPECT_EQ(logs(), c.logs);
        EXPECT_EQ(dev->Record().airlock_num, c.airlockNum);
        EXPECT_EQ(dev->Record().p40_43_num, c.userNum);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(dev->Record().p40_43[k], c.user[k]);
    }
}

TEST_F(AcParse, CutStatusPartIsRefusedUnchanged) {
    const std::vector<std::uint8_t> part = {0, 3, 9, 8, 7};
    const std::vector<int> boundaries = {1, 2, 5};
    ASSERT_EQ(P43({0, 3, 1, 2, 3}), 5);
    const auto before = State(*dev);
    for (int len = 0; len < 5; ++len) {
        SCOPED_TRACE(len);
        host.ctl->Clear();
        EXPECT_EQ(P43(std::vector<std::uint8_t>(part.begin(), part.begin() + len)), -1);
        EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 40_43 read overflow " +
                                                   std::to_string(NeededAfter(boundaries, len)) + " - " +
                                                   std::to_string(len)});
        EXPECT_EQ(State(*dev), before);
    }
}

TEST_F(AcParseWide, BreakerBytesAreKeptUpToTheCapacity) {
    EXPECT_EQ(P43({2, 0x11, 0x22, 3, 4, 5, 6}), 7);
    EXPECT_EQ(dev->Record().airlock_num, 2);
    EXPECT_EQ(dev->Record().airlock[0], 0x11);
    EXPECT_EQ(dev->Record().airlock[1], 0x22);
    EXPECT_EQ(dev->Record().p40_43[2], 6);
    EXPECT_EQ(P43({1, 0x33, 3, 4, 5, 6}), 6);
    EXPECT_EQ(dev->Record().airlock_num, 1);
    EXPECT_EQ(dev->Record().airlock[0], 0x33);
    EXPECT_EQ(dev->Record().airlock[1], 0x22);
    EXPECT_EQ(P43({3, 1, 2, 3, 3, 4, 5, 6}), -1);
    EXPECT_EQ(logs(), std::vector<std::string>{"ProcotolError 7 read 40_43 m is 3 max 2"});
    // Breakers that do not fit: the overflow position counts the user count byte.
    host.ctl->Clear();
    EXPECT_EQ(P43({2, 0x44}), -1);
    EXPECT_EQ(logs(), std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 40_43 read overflow 4 - 2"});
    EXPECT_EQ(dev->Record().airlock[0], 0x33);
}

// ------------------------------------------------------------------ 40_44

TEST_F(AcParse, AlarmPartWalksTheLearnedChannelCount) {
    ASSERT_EQ(P41(Part41(Channels(2))), 47);
    for (std::uint8_t countByte : {2, 5, 0}) {
        SCOPED_TRACE(static_cast<int>(countByte));
        const auto part = Part44(countByte, {{{1, 2, 3, 4}}, {{3, 0, 2, 1}}}, {3, 2, 1});
        ASSERT_EQ(part.size(), 32u);
        EXPECT_EQ(P44(part), 32);
        EXPECT_TRUE(logs().empty());
        const auto& c0 = dev->Channels()[0];
        const auto& c1 = dev->Channels()[1];
        EXPECT_EQ(c0.a_alert, 1);
        EXPECT_EQ(c0.b_alert, 2);
        EXPECT_EQ(c0.c_alert, 3);
        EXPECT_EQ(c0.f_alert, 4);
        EXPECT_EQ(c1.a_alert, 3);
        EXPECT_EQ(c1.b_alert, 0);
        EXPECT_EQ(c1.c_alert, 2);
        EXPECT_EQ(c1.f_alert, 1);
        EXPECT_EQ(c1.p40_44_num, 8);
        for (int k = 0; k < 8; ++k) EXPECT_EQ(c1.p40_44[k], 0x40 + k);
        EXPECT_EQ(dev->Record().ia_alert, 3);
        EXPECT_EQ(dev->Record().ib_alert, 2);
        EXPECT_EQ(dev->Record().ic_alert, 1);
    }
}

TEST_F(AcParse, AlarmPartWithoutChannelsIsFourBytes) {
    EXPECT_EQ(P44({2, 1, 2, 3, 0xFF}), 4);
    EXPECT_EQ(dev->Record().ia_alert, 1);
    EXPECT_EQ(dev->Record().ic_alert, 3);
}

TEST_F(AcParse, AlarmBlockCountMismatchesAreLoggedAndPassedOver) {
    ASSERT_EQ(P41(Part41(Channels(2))), 47);
    ASSERT_EQ(P44(Part44(2, {{{0, 0, 0, 0}}, {{0, 0, 0, 0}}})), 32);
    const auto part = Part44(2, {{{1, 1, 1, 1}, 2, 4}, {{2, 2, 2, 2}, 0, 8}}, {1, 1, 1});
    EXPECT_EQ(P44(part), 30);
    EXPECT_EQ(logs(), (std::vector<std::string>{"PMBusPowerAC:ProcotolError 7 read 40_44 m is 2",
                                                "PMBusPowerAC:ProcotolError 7 read 40_44 p is 4 not 8"}));
    const auto& c0 = dev->Channels()[0];
    EXPECT_EQ(c0.a_alert, 1);
    EXPECT_EQ(c0.p40_44_num, 4);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(c0.p40_44[k], 0x40 + k) << "kept from the earlier part";
    EXPECT_EQ(dev->Channels()[1].a_alert, 2);
    EXPECT_EQ(dev->Record().ia_alert, 1);
}

TEST_F(AcParse, CutAlarmPartIsRefusedUnchanged) {
    ASSERT_EQ(P41(Part41(Channels(2))), 47);
    ASSERT_EQ(P44(Part44(2, {{{1, 1, 1, 1}}, {{1, 1, 1, 1}}}, {1, 1, 1})), 32);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> part;
        std::vector<int> boundaries;
        std::vector<std::pair<int, std::string>> before;  // (logged from length, line)
    };
    const Case cases[] = {
        {"plain", Part44(2, {{{2, 2, 2, 2}}, {{2, 2, 2, 2}}}, {2, 2, 2}), {1, 6, 7, 15, 20, 21, 29, 32}, {}},
        {"extra bytes", Part44(2, {{{2, 2, 2, 2}, 2, 8}, {{2, 2, 2, 2}}}, {2, 2, 2}), {1, 6, 9, 17, 22, 23, 31, 34},
         {{6, "PMBusPowerAC:ProcotolError 7 read 40_44 m is 2"}}},
    };
    for (const auto& c : cases) {
        const auto before = State(*dev);
        const int full = static_cast<int>(c.part.size());
        ASSERT_EQ(c.boundaries.back(), full);
        for (int len = 0; len < full; ++len) {
            SCOPED_TRACE(std::string(c.what) + " cut at " + std::to_string(len));
            host.ctl->Clear();
            EXPECT_EQ(P44(std::vector<std::uint8_t>(c.part.begin(), c.part.begin() + len)), -1);
            std::vector<std::string> expected;
            for (const auto& b : c.before)
                if (len >= b.first) expected.push_back(b.second);
            expected.push_back("PMBusPowerAC:ProcotolError 7 read 40_44 read overflow " +
                               std::to_string(NeededAfter(c.boundaries, len)) + " - " + std::to_string(len));
            EXPECT_EQ(logs(), expected);
            EXPECT_EQ(State(*dev), before);
        }
    }
}

}  // namespace
