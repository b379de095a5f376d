// Rectifier decoding: module values, states and alarms, the two parameter
// answers, the invalid-value marker, adoption of the module count and answers
// cut at every byte boundary. Cut answers are handed over in buffers of
// exactly their length, so the sanitizer build catches any read past them.
#include "rc/rc_models.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using testhost::ParseJson;

constexpr std::uint32_t kId = 7;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One 41_41 module block: value, the user count as sent, then the user bytes.
Bytes Module41(const Bytes& value, std::uint8_t p, const Bytes& user) { return Cat({value, {p}, user}); }

// Four distinct user values of a module, numbered from base.
Bytes User41(std::uint8_t base) {
    Bytes b;
    for (int j = 0; j < 16; ++j) b.push_back(static_cast<std::uint8_t>(base + j));
    return b;
}

// A 41_41 INFO: DATAFLAG, group value, module count, blocks.
Bytes Info41(std::uint8_t count, const Bytes& blocks, const Bytes& group = {0x11, 0x22, 0x33, 0x44}) {
    return Cat({{0x10}, group, {count}, blocks});
}

// The standard two-module 41_41 INFO (48 bytes).
Bytes TwoModules41() {
    return Info41(2, Cat({Module41({1, 2, 3, 4}, 4, User41(0x20)), Module41({5, 6, 7, 8}, 4, User41(0x40))}));
}

Bytes Field(const std::uint8_t* p, std::size_t n) { return Bytes(p, p + n); }

template <typename T>
Bytes ImageOf(const T& rec) {
    return Field(reinterpret_cast<const std::uint8_t*>(&rec), sizeof rec);
}

std::string Overflow(const char* what, long long reached, int length) {
    return std::string("PMBusPowerAC:ProcotolError 7 read ") + what + " " + std::to_string(reached) + " - " +
           std::to_string(length);
}

class RcParse : public ::testing::Test {
protected:
    void SetUp() override {
        dev = std::make_shared<tvr27pkRC>();
        ASSERT_TRUE(dev->InitV(host.parent.get(), kId, ParseJson("{}")));
    }
    // Hands the decoder a buffer of exactly the bytes given.
    template <typename Parse>
    int Feed(Parse parse, const Bytes& info) {
        std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[info.size() + 1]);
        if (!info.empty()) std::memcpy(exact.get(), info.data(), info.size());
        return ((*dev).*parse)(info.empty() ? nullptr : exact.get(), static_cast<int>(info.size()));
    }
    void Adopt2() {
        ASSERT_EQ(Feed(&tvr27pkRC::parse41_41, TwoModules41()), 48);
        host.ctl->Clear();
    }
    std::vector<std::string>& Logs() { return host.ctl->logs; }

    testhost::Host host;
    std::shared_ptr<tvr27pkRC> dev;
};

// --- 41_41 -------------------------------------------------------------------

TEST_F(RcParse, FirstModuleValuesAnswerAdoptsTheCount) {
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, TwoModules41()), 48);
    EXPECT_TRUE(Logs().empty());
    const auto& rec = dev->Record();
    EXPECT_EQ(rec.channel_num, 2);
    EXPECT_EQ(Field(rec.group_value, 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
    ASSERT_EQ(dev->Channels().size(), 2u);
    const auto& c0 = dev->Channels()[0];
    const auto& c1 = dev->Channels()[1];
    EXPECT_EQ(Field(c0.value, 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(c0.p41_41_num, 4);
    EXPECT_EQ(Field(c0.p41_41, 16), User41(0x20));
    EXPECT_EQ(Field(c1.value, 4), (Bytes{5, 6, 7, 8}));
    EXPECT_EQ(Field(c1.p41_41, 16), User41(0x40));
    // The other answers' fields are untouched.
    EXPECT_EQ(Field(c0.state, 3), (Bytes{0, 0, 0}));
    EXPECT_EQ(c0.fault, 0);
}

TEST_F(RcParse, CountZeroLeavesTheCountOpen) {
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, Info41(0, {})), 6);
    EXPECT_EQ(dev->Record().channel_num, 0);
    EXPECT_TRUE(dev->Channels().empty());
    EXPECT_EQ(Field(dev->Record().group_value, 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
    // A later answer still adopts its count.
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, TwoModules41()), 48);
    EXPECT_EQ(dev->Record().channel_num, 2);
    EXPECT_EQ(dev->Channels().size(), 2u);
}

TEST_F(RcParse, AnotherCountIsRefusedSilently) {
    Adopt2();
    const auto before = dev->Channels();
    for (std::uint8_t n : {0, 1, 3}) {
        SCOPED_TRACE(int(n));
        Bytes blocks;
        for (int k = 0; k < n; ++k) blocks = Cat({blocks, Module41({9, 9, 9, 8}, 4, User41(0x60))});
        EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, Info41(n, blocks)), -1);
        EXPECT_TRUE(Logs().empty());
        EXPECT_EQ(dev->Record().channel_num, 2);
        ASSERT_EQ(dev->Channels().size(), 2u);
        EXPECT_EQ(ImageOf(dev->Channels()[0]), ImageOf(before[0]));
        EXPECT_EQ(ImageOf(dev->Channels()[1]), ImageOf(before[1]));
    }
    // The adopted count still decodes.
    const Bytes again = Info41(2, Cat({Module41({0xA, 0, 0, 0}, 4, User41(0x70)),
                                       Module41({0xB, 0, 0, 0}, 4, User41(0x80))}));
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, again), 48);
    EXPECT_EQ(dev->Channels()[1].value[0], 0xB);
    EXPECT_EQ(Field(dev->Channels()[1].p41_41, 16), User41(0x80));
}

TEST_F(RcParse, UserValueMarkerIsStoredAsZeros) {
    struct Case {
        Bytes sent;
        Bytes stored;
    };
    const Case cases[] = {
        {{0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0}},
        {{0x01, 0x01, 0x01, 0x01}, {0, 0, 0, 0}},
        {{0x80, 0x80, 0x80, 0x80}, {0, 0, 0, 0}},
        {{0x00, 0x00, 0x00, 0x00}, {0, 0, 0, 0}},
        {{0xFF, 0xFF, 0xFF, 0xFE}, {0xFF, 0xFF, 0xFF, 0xFE}},
        {{0x00, 0x01, 0x01, 0x01}, {0x00, 0x01, 0x01, 0x01}},
        {{0x01, 0x01, 0x01, 0x00}, {0x01, 0x01, 0x01, 0x00}},
        {{0x00, 0x00, 0xC8, 0x42}, {0x00, 0x00, 0xC8, 0x42}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.sent));
        // The value sits in each of the four user slots in turn; the others are plain.
        for (int slot = 0; slot < 4; ++slot) {
            Bytes user = User41(0x20);
            std::memcpy(user.data() + 4 * slot, c.sent.data(), 4);
            auto fresh = std::make_shared<tvr27pkRC>();
            const Bytes info = Info41(1, Module41({0xFF, 0xFF, 0xFF, 0xFF}, 4, user), {0xFF, 0xFF, 0xFF, 0xFF});
            ASSERT_EQ(fresh->parse41_41(info.data(), static_cast<int>(info.size())), 27);
            Bytes expected = User41(0x20);
            std::memcpy(expected.data() + 4 * slot, c.stored.data(), 4);
            EXPECT_EQ(Field(fresh->Channels()[0].p41_41, 16), expected) << "slot " << slot;
            // Only the user values follow the marker rule.
            EXPECT_EQ(Field(fresh->Channels()[0].value, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
            EXPECT_EQ(Field(fresh->Record().group_value, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
        }
    }
}

TEST_F(RcParse, WrongUserCountIsLoggedAndSkipped) {
    struct Case {
        std::uint8_t p;
        int result;
    };
    for (const Case c : {Case{3, 6 + 5 + 12 + 21}, Case{0, 6 + 5 + 21}, Case{5, 6 + 5 + 20 + 21}}) {
        SCOPED_TRACE(int(c.p));
        SetUp();
        Adopt2();
        const Bytes oldUser = Field(dev->Channels()[0].p41_41, 16);
        Bytes skipped(4 * c.p, 0x99);
        const Bytes info =
            Info41(2, Cat({Module41({1, 1, 1, 2}, c.p, skipped), Module41({3, 3, 3, 4}, 4, User41(0x50))}));
        EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, info), c.result);
        ASSERT_EQ(Logs().size(), 1u);
        EXPECT_EQ(Logs()[0], "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_41 p is " +
                                 std::to_string(c.p) + " not 4");
        const auto& c0 = dev->Channels()[0];
        EXPECT_EQ(Field(c0.value, 4), (Bytes{1, 1, 1, 2}));
        EXPECT_EQ(c0.p41_41_num, c.p);
        EXPECT_EQ(Field(c0.p41_41, 16), oldUser);
        // The next module is decoded from the byte after the skipped ones.
        EXPECT_EQ(Field(dev->Channels()[1].value, 4), (Bytes{3, 3, 3, 4}));
        EXPECT_EQ(Field(dev->Channels()[1].p41_41, 16), User41(0x50));
    }
}

TEST_F(RcParse, ModuleValuesResultIsNotComparedWithTheLength) {
    Bytes info = TwoModules41();
    info.insert(info.end(), {0xEE, 0xEE, 0xEE});
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, info), 48);
    EXPECT_EQ(dev->Record().channel_num, 2);
    EXPECT_TRUE(Logs().empty());
}

// The overflow line expected when the two-module answer is cut to `length` bytes.
std::string Cut41Line(int length) {
    if (length < 6) return Overflow("41_41 read overflow", 6, length);
    if (length < 11) return Overflow("41_41 read overflow", 11, length);
    if (length < 27) return Overflow("41_41 in channel overflow", 27, length);
    if (length < 32) return Overflow("41_41 read overflow", 32, length);
    return Overflow("41_41 in channel overflow", 48, length);
}

TEST_F(RcParse, CutFirstModuleValuesAnswerAdoptsNothing) {
    const Bytes full = TwoModules41();
    for (int len = 0; len < static_cast<int>(full.size()); ++len) {
        SCOPED_TRACE(len);
        host.ctl->Clear();
        EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, Bytes(full.begin(), full.begin() + len)), -1);
        ASSERT_EQ(Logs().size(), 1u);
        EXPECT_EQ(Logs()[0], Cut41Line(len));
        EXPECT_EQ(dev->Record().channel_num, 0);
        EXPECT_TRUE(dev->Channels().empty());
    }
    // A complete answer afterwards adopts its count.
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, full), 48);
    EXPECT_EQ(dev->Record().channel_num, 2);
}

TEST_F(RcParse, CutModuleValuesAnswerOnAnAdoptedCount) {
    Adopt2();
    const Bytes full = TwoModules41();
    for (int len = 0; len < static_cast<int>(full.size()); ++len) {
        SCOPED_TRACE(len);
        host.ctl->Clear();
        EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, Bytes(full.begin(), full.begin() + len)), -1);
        ASSERT_EQ(Logs().size(), 1u);
        EXPECT_EQ(Logs()[0], Cut41Line(len));
        EXPECT_EQ(dev->Record().channel_num, 2);
        EXPECT_EQ(dev->Channels().size(), 2u);
    }
}

TEST_F(RcParse, SkippedUserValuesRunningOffTheEnd) {
    // The last module announces three values but the answer ends after one.
    const Bytes info = Info41(1, Module41({1, 2, 3, 4}, 3, {9, 9, 9, 9}));
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_41, info), -1);
    ASSERT_EQ(Logs().size(), 2u);
    EXPECT_EQ(Logs()[0], "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_41 p is 3 not 4");
    EXPECT_EQ(Logs()[1], Overflow("41_41 read overflow", 23, 15));
    EXPECT_TRUE(dev->Channels().empty());
}

// --- 41_43 -------------------------------------------------------------------

Bytes Module43(const Bytes& state, std::uint8_t p, const Bytes& user) { return Cat({state, {p}, user}); }

TEST_F(RcParse, ModuleStatesFillTheFirstModules) {
    Adopt2();
    const auto values0 = Field(dev->Channels()[0].p41_41, 16);
    const Bytes one = Cat({{0x00, 1}, Module43({0xA1, 0xA2, 0xA3}, 1, {0xA4})});
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_43, one), 7);
    const auto& c0 = dev->Channels()[0];
    EXPECT_EQ(Field(c0.state, 3), (Bytes{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(c0.p41_43_num, 1);
    EXPECT_EQ(c0.p41_43[0], 0xA4);
    EXPECT_EQ(Field(c0.p41_41, 16), values0);
    // The second module keeps its values.
    EXPECT_EQ(Field(dev->Channels()[1].state, 3), (Bytes{0, 0, 0}));
    EXPECT_EQ(dev->Channels()[1].p41_43_num, 0);

    const Bytes two = Cat({{0x00, 2}, Module43({1, 2, 3}, 1, {4}), Module43({5, 6, 7}, 1, {8})});
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_43, two), 12);
    EXPECT_EQ(Field(dev->Channels()[1].state, 3), (Bytes{5, 6, 7}));
    EXPECT_EQ(dev->Channels()[1].p41_43[0], 8);
    EXPECT_TRUE(Logs().empty());

    // No modules reported: nothing but the two leading bytes.
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_43, Bytes{0x00, 0}), 2);
}

TEST_F(RcParse, ModuleStatesForMoreModulesAreRefusedSilently) {
    const Bytes one = Cat({{0x00, 1}, Module43({1, 2, 3}, 1, {4})});
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_43, one), -1);  // no count adopted yet
    Adopt2();
    const Bytes three = Cat({{0x00, 3}, Module43({1, 2, 3}, 1, {4}), Module43({1, 2, 3}, 1, {4}),
                             Module43({1, 2, 3}, 1, {4})});
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_43, three), -1);
    EXPECT_TRUE(Logs().empty());
    EXPECT_EQ(Field(dev->Channels()[0].state, 3), (Bytes{0, 0, 0}));
}

TEST_F(RcParse, ModuleStatesWithAnotherUserCount) {
    Adopt2();
    for (std::uint8_t p : {0, 2, 3}) {
        SCOPED_TRACE(int(p));
        host.ctl->Clear();
        const Bytes info = Cat({{0x00, 2}, Module43({1, 2, 3}, p, Bytes(p, 0x77)), Module43({5, 6, 7}, 1, {8})});
        EXPECT_EQ(Feed(&tvr27pkRC::parse41_43, info), 2 + 4 + p + 5);
        ASSERT_EQ(Logs().size(), 1u);
        EXPECT_EQ(Logs()[0], "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_43 p is " +
                                 std::to_string(p) + ", not 1");
        EXPECT_EQ(Field(dev->Channels()[0].state, 3), (Bytes{1, 2, 3}));
        EXPECT_EQ(dev->Channels()[0].p41_43_num, p);
        EXPECT_EQ(dev->Channels()[0].p41_43[0], 0);  // never stored
        EXPECT_EQ(Field(dev->Channels()[1].state, 3), (Bytes{5, 6, 7}));
        EXPECT_EQ(dev->Channels()[1].p41_43[0], 8);
    }
}

TEST_F(RcParse, CutModuleStatesAnswer) {
    Adopt2();
    const Bytes full = Cat({{0x00, 2}, Module43({1, 2, 3}, 1, {4}), Module43({5, 6, 7}, 1, {8})});
    for (int len = 0; len < static_cast<int>(full.size()); ++len) {
        SCOPED_TRACE(len);
        host.ctl->Clear();
        EXPECT_EQ(Feed(&tvr27pkRC::parse41_43, Bytes(full.begin(), full.begin() + len)), -1);
        const long long reached = len < 2 ? 2 : len < 6 ? 6 : len < 7 ? 7 : len < 11 ? 11 : 12;
        ASSERT_EQ(Logs().size(), 1u);
        EXPECT_EQ(Logs()[0], Overflow("41_43 read overflow", reached, len));
    }
}

// --- 41_44 -------------------------------------------------------------------

Bytes Module44(std::uint8_t fault, std::uint8_t p, const Bytes& user) { return Cat({{fault, p}, user}); }

TEST_F(RcParse, ModuleAlarmsFillTheFirstModules) {
    Adopt2();
    const Bytes info = Cat({{0x00, 2}, Module44(1, 4, {0xB1, 0xB2, 0xB3, 0xB4}), Module44(0, 4, {5, 6, 7, 8})});
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_44, info), 14);
    EXPECT_TRUE(Logs().empty());
    EXPECT_EQ(dev->Channels()[0].fault, 1);
    EXPECT_EQ(dev->Channels()[0].p41_44_num, 4);
    EXPECT_EQ(Field(dev->Channels()[0].p41_44, 4), (Bytes{0xB1, 0xB2, 0xB3, 0xB4}));
    EXPECT_EQ(dev->Channels()[1].fault, 0);
    EXPECT_EQ(Field(dev->Channels()[1].p41_44, 4), (Bytes{5, 6, 7, 8}));

    const Bytes one = Cat({{0x00, 1}, Module44(2, 4, {9, 9, 9, 9})});
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_44, one), 8);
    EXPECT_EQ(dev->Channels()[0].fault, 2);
    EXPECT_EQ(Field(dev->Channels()[1].p41_44, 4), (Bytes{5, 6, 7, 8}));
}

TEST_F(RcParse, ModuleAlarmsForMoreModulesAreLoggedWithResultZero) {
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_44, Cat({{0x00, 1}, Module44(1, 4, {1, 2, 3, 4})})), 0);
    ASSERT_EQ(Logs().size(), 1u);
    EXPECT_EQ(Logs()[0],
              "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 parse p41_44 channel_count not equal 1 != 0 ");
    Adopt2();
    const Bytes three = Cat({{0x00, 3}, Module44(1, 4, {1, 2, 3, 4}), Module44(1, 4, {1, 2, 3, 4}),
                             Module44(1, 4, {1, 2, 3, 4})});
    EXPECT_EQ(Feed(&tvr27pkRC::parse41_44, three), 0);
    ASSERT_EQ(Logs().size(), 1u);
    EXPECT_EQ(Logs()[0],
              "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 parse p41_44 channel_count not equal 3 != 2 ");
    EXPECT_EQ(dev->Channels()[0].fault, 0);
    EXPECT_EQ(dev->Channels()[0].p41_44_num, 0);
}

TEST_F(RcParse, ModuleAlarmsWithAnotherUserCount) {
    Adopt2();
    const Bytes first = Cat({{0x00, 1}, Module44(0, 4, {1, 2, 3, 4})});
    ASSERT_EQ(Feed(&tvr27pkRC::parse41_44, first), 8);
    for (std::uint8_t p : {0, 2, 5}) {
        SCOPED_TRACE(int(p));
        host.ctl->Clear();
        const Bytes info = Cat({{0x00, 2}, Module44(1, p, Bytes(p, 0x77)), Module44(1, 4, {5, 6, 7, 8})});
        EXPECT_EQ(Feed(&tvr27pkRC::parse41_44, info), 2 + 2 + p + 6);
        ASSERT_EQ(Logs().size(), 1u);
        EXPECT_EQ(Logs()[0], "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 read 41_44 p is " +
                                 std::to_string(p) + ", not 4");
        EXPECT_EQ(dev->Channels()[0].fault, 1);
        EXPECT_EQ(dev->Channels()[0].p41_44_num, p);
        EXPECT_EQ(Field(dev->Channels()[0].p41_44, 4), (Bytes{1, 2, 3, 4}));
        EXPECT_EQ(Field(dev->Channels()[1].p41_44, 4), (Bytes{5, 6, 7, 8}));
    }
}

TEST_F(RcParse, CutModuleAlarmsAnswer) {
    Adopt2();
    const Bytes full = Cat({{0x00, 2}, Module44(1, 4, {1, 2, 3, 4}), Module44(1, 4, {5, 6, 7, 8})});
    for (int len = 0; len < static_cast<int>(full.size()); ++len) {
        SCOPED_TRACE(len);
        host.ctl->Clear();
        EXPECT_EQ(Feed(&tvr27pkRC::parse41_44, Bytes(full.begin(), full.begin() + len)), -1);
        const long long reached = len < 2 ? 2 : len < 4 ? 4 : len < 8 ? 8 : len < 10 ? 10 : 14;
        ASSERT_EQ(Logs().size(), 1u);
        EXPECT_EQ(Logs()[0], Overflow("41_44 read overflow", reached, len));
    }
}

// --- 40_46 and 42_46 ------------------------------------------------------------

Bytes Seq(std::uint8_t first, int n) {
    Bytes b;
    for (int k = 0; k < n; ++k) b.push_back(static_cast<std::uint8_t>(first + k));
    return b;
}

TEST_F(RcParse, AcGroupParameters) {
    struct Case {
        std::uint8_t p;
        int extra;  // bytes after the count
        int result;
    };
    const Case cases[] = {
        {0, 0, 21}, {0, 9, 21}, {2, 0, 29}, {2, 8, 29}, {1, 2, 25}, {255, 0, 21 + 4 * 255},
    };
    std::uint8_t first = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.p));
        const Bytes info = Cat({Seq(first, 20), {c.p}, Bytes(c.extra, 0xEE)});
        EXPECT_EQ(Feed(&tvr27pkRC::parse40_46, info), c.result);
        EXPECT_EQ(Field(dev->Record().p40_46, 20), Seq(first, 20));
        first = static_cast<std::uint8_t>(first + 20);
    }
    EXPECT_TRUE(Logs().empty());
}

TEST_F(RcParse, CutAcGroupParameters) {
    const Bytes good = Cat({Seq(1, 20), {0}});
    ASSERT_EQ(Feed(&tvr27pkRC::parse40_46, good), 21);
    const Bytes other = Cat({Seq(100, 20), {2}});
    for (int len = 0; len < 21; ++len) {
        SCOPED_TRACE(len);
        host.ctl->Clear();
        EXPECT_EQ(Feed(&tvr27pkRC::parse40_46, Bytes(other.begin(), other.begin() + len)), -1);
        ASSERT_EQ(Logs().size(), 1u);
        EXPECT_EQ(Logs()[0], Overflow("40_46 read overflow", 21, len));
        EXPECT_EQ(Field(dev->Record().p40_46, 20), Seq(1, 20));
    }
}

TEST_F(RcParse, DcGroupParameters) {
    const Bytes full = Cat({Seq(1, 8), {5}, Seq(0x40, 20)});
    EXPECT_EQ(Feed(&tvr27pkRC::parse42_46, full), 29);
    EXPECT_TRUE(Logs().empty());
    const auto& rec = dev->Record();
    EXPECT_EQ(Field(rec.p42_46_fixed, 8), Seq(1, 8));
    EXPECT_EQ(rec.p42_46_num, 5);
    EXPECT_EQ(Field(rec.p42_46, 20), Seq(0x40, 20));

    // Longer: only the 20 bytes kept are consumed.
    EXPECT_EQ(Feed(&tvr27pkRC::parse42_46, Cat({Seq(2, 8), {5}, Seq(0x60, 24)})), 29);
    EXPECT_EQ(Field(rec.p42_46, 20), Seq(0x60, 20));

    // Shorter: what is there is taken, the rest keeps its old bytes.
    EXPECT_EQ(Feed(&tvr27pkRC::parse42_46, Cat({Seq(3, 8), {5}, Seq(0x80, 6)})), 15);
    EXPECT_EQ(Field(rec.p42_46, 20), Cat({Seq(0x80, 6), Seq(0x60 + 6, 14)}));
    EXPECT_EQ(Feed(&tvr27pkRC::parse42_46, Cat({Seq(4, 8), {5}})), 9);
    EXPECT_EQ(Field(rec.p42_46_fixed, 8), Seq(4, 8));
    EXPECT_EQ(Field(rec.p42_46, 20), Cat({Seq(0x80, 6), Seq(0x60 + 6, 14)}));
    EXPECT_TRUE(Logs().empty());
}

TEST_F(RcParse, DcGroupParametersWithAnotherCount) {
    ASSERT_EQ(Feed(&tvr27pkRC::parse42_46, Cat({Seq(1, 8), {5}, Seq(0x40, 20)})), 29);
    struct Case {
        std::uint8_t num;
        int sent;  // user bytes present
        int result;
    };
    for (const Case c : {Case{4, 16, 25}, Case{0, 0, 9}, Case{6, 0, 33}, Case{255, 4, 9 + 4 * 255}}) {
        SCOPED_TRACE(int(c.num));
        host.ctl->Clear();
        EXPECT_EQ(Feed(&tvr27pkRC::parse42_46, Cat({Seq(9, 8), {c.num}, Bytes(c.sent, 0x55)})), c.result);
        ASSERT_EQ(Logs().size(), 1u);
        EXPECT_EQ(Logs()[0], "WKB09F:ProcotolError parse42_46 7 p:" + std::to_string(c.num) + " != 5");
        EXPECT_EQ(Field(dev->Record().p42_46_fixed, 8), Seq(9, 8));
        EXPECT_EQ(dev->Record().p42_46_num, c.num);
        EXPECT_EQ(Field(dev->Record().p42_46, 20), Seq(0x40, 20));
    }
}

TEST_F(RcParse, CutDcGroupParameters) {
    ASSERT_EQ(Feed(&tvr27pkRC::parse42_46, Cat({Seq(1, 8), {5}, Seq(0x40, 20)})), 29);
    const Bytes other = Cat({Seq(100, 8), {5}});
    for (int len = 0; len < 9; ++len) {
        SCOPED_TRACE(len);
        host.ctl->Clear();
        EXPECT_EQ(Feed(&tvr27pkRC::parse42_46, Bytes(other.begin(), other.begin() + len)), -1);
        ASSERT_EQ(Logs().size(), 1u);
        EXPECT_EQ(Logs()[0], Overflow("42_46 read overflow", 9, len));
        EXPECT_EQ(Field(dev->Record().p42_46_fixed, 8), Seq(1, 8));
        EXPECT_EQ(dev->Record().p42_46_num, 5);
        EXPECT_EQ(Field(dev->Record().p42_46, 20), Seq(0x40, 20));
    }
}

TEST_F(RcParse, DecodersNeverTouchTheDataIdOrTheTime) {
    Adopt2();
    Feed(&tvr27pkRC::parse40_46, Cat({Seq(1, 20), {0}}));
    Feed(&tvr27pkRC::parse42_46, Cat({Seq(1, 8), {5}, Seq(0x40, 20)}));
    Feed(&tvr27pkRC::parse41_43, Cat({{0x00, 2}, Module43({1, 2, 3}, 1, {4}), Module43({5, 6, 7}, 1, {8})}));
    Feed(&tvr27pkRC::parse41_44, Cat({{0x00, 2}, Module44(1, 4, {1, 2, 3, 4}), Module44(1, 4, {5, 6, 7, 8})}));
    EXPECT_EQ(dev->Record().data_id, kId);
    EXPECT_EQ(Field(dev->Record().ttime, 7), Bytes(7, 0));
    EXPECT_EQ(dev->DataValid(), 0);
    EXPECT_TRUE(dev->LastUpdate().is_special());
}

}  // namespace
