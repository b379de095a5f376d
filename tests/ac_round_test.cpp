// The AC round end: the published snapshot, the alarm rules with their exact
// arguments and numbering, and the work item that evaluates the batch and
// saves the round's image.
#include "ac/ac_models.h"
#include "host/ttime.h"
#include "tests/support/test_host.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testhost::FloatBytes;

// The rule rows as the host must receive them. Channel rows: text after the label.
struct Row {
    int level;
    const char* key;
    const char* id;
    const char* name;
    const char* text;
};
const Row kChannelRows[] = {
    {3, "AC_0", "06015", "交流输入电压过低告警", "输入线/相电压AB/A"},
    {3, "AC_1", "06015", "交流输入电压过低告警", "输入线/相电压BC/B"},
    {3, "AC_2", "06015", "交流输入电压过低告警", "输入线/相电压CA/C"},
    {3, "AC_3", "06019", "交流输入频率过低告警", "频率"},
    {2, "AC_4", "06014", "交流输入电压过高告警", "输入线/相电压AB/A"},
    {2, "AC_5", "06014", "交流输入电压过高告警", "输入线/相电压BC/B"},
    {2, "AC_6", "06014", "交流输入电压过高告警", "输入线/相电压CA/C"},
    {2, "AC_7", "06018", "交流输入频率过高告警", "频率"},
    {2, "AC_8", "06017", "交流输入缺相告警", "输入线/相电压AB/A"},
    {2, "AC_9", "06017", "交流输入缺相告警", "输入线/相电压BC/B"},
    {2, "AC_10", "06017", "交流输入缺相告警", "输入线/相电压CA/C"},
};
const Row kPanelRows[] = {
    {3, "AC_12", "06029", "A相输入电流低于下限", "其他告警"},
    {3, "AC_13", "06029", "B相输入电流低于下限", "其他告警"},
    {3, "AC_14", "06029", "C相输入电流低于下限", "其他告警"},
    {3, "AC_15", "06029", "A相输入电流高于上限", "其他告警"},
    {3, "AC_16", "06029", "B相输入电流高于上限", "其他告警"},
    {3, "AC_17", "06029", "C相输入电流高于上限", "其他告警"},
    {3, "AC_18", "06029", "A相输入电流缺项", "其他告警"},
    {3, "AC_19", "06029", "B相输入电流缺项", "其他告警"},
    {3, "AC_20", "06029", "C相输入电流缺项", "其他告警"},
};

template <typename T>
std::vector<std::uint8_t> ImageOf(const T& r) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
    return std::vector<std::uint8_t>(p, p + sizeof r);
}

std::vector<std::uint8_t> State(const QZL4200AC& d) {
    auto s = ImageOf(d.Record());
    for (const auto& ch : d.Channels()) {
        const auto c = ImageOf(ch);
        s.insert(s.end(), c.begin(), c.end());
    }
    return s;
}

std::set<std::uint32_t> ActiveSeqs(const std::vector<rule_value>& rules) {
    std::set<std::uint32_t> s;
    for (const auto& r : rules)
        if (r.active) s.insert(r.seq);
    return s;
}

template <typename Dev>
class AcRoundT : public ::testing::Test {
protected:
    void SetUp() override {
        dev = std::make_shared<Dev>();
        dev->SetTraceStream(&trace);
        ASSERT_TRUE(dev->InitV(host.parent.get(), 7, Json::Value(Json::objectValue)));
    }
    // Channel i carries voltages base + 10 i and the phase currents ia, ia + 1, ia + 2.
    void Values(int channels, float base = 220.0f, float ia = 5.0f) {
        std::vector<std::uint8_t> p = {static_cast<std::uint8_t>(channels)};
        auto put = [&](float f) {
            const auto b = FloatBytes(f);
            p.insert(p.end(), b.begin(), b.end());
        };
        for (int i = 0; i < channels; ++i) {
            const float v = base + 10.0f * static_cast<float>(i);
            put(v);
            put(v + 1.0f);
            put(v + 2.0f);
            put(50.0f);
            p.push_back(0);
        }
        put(ia);
        put(ia + 1.0f);
        put(ia + 2.0f);
        ASSERT_EQ(dev->parse40_41(p.data(), static_cast<int>(p.size())), static_cast<int>(p.size()));
    }
    void States(const std::vector<std::array<std::uint8_t, 4>>& channels, std::array<std::uint8_t, 3> panel) {
        std::vector<std::uint8_t> p = {static_cast<std::uint8_t>(channels.size())};
        for (const auto& c : channels) {
            p.insert(p.end(), c.begin(), c.end());
            p.push_back(0);
            p.push_back(8);
            p.insert(p.end(), 8, 0x5A);
        }
        p.insert(p.end(), panel.begin(), panel.end());
        ASSERT_EQ(dev->parse40_44(p.data(), static_cast<int>(p.size())), static_cast<int>(p.size()));
    }
    testhost::TestController& ctl() { return *host.ctl; }

    testhost::Host host;
    std::shared_ptr<Dev> dev;
    std::ostringstream trace;
};

using AcRound = AcRoundT<tvr27pkAC>;

void ExpectRules(const std::vector<rule_value>& rules, int channels) {
    ASSERT_EQ(rules.size(), static_cast<std::size_t>(11 * channels + 9));
    std::size_t n = 0;
    auto expect = [&](const Row& row, const std::string& text) {
        const rule_value& r = rules[n];
        SCOPED_TRACE(std::string(row.key) + " at " + std::to_string(n));
        EXPECT_EQ(r.level, row.level);
        EXPECT_EQ(r.key, row.key);
        EXPECT_EQ(r.alarm_id, row.id);
        EXPECT_EQ(r.name, row.name);
        EXPECT_EQ(r.text, text);
        EXPECT_EQ(r.data_id, 7u);
        EXPECT_EQ(r.seq, n + 1);
        ++n;
    };
    for (int i = 0; i < channels; ++i)
        for (const Row& row : kChannelRows) expect(row, "交流屏" + std::to_string(i + 1) + row.text);
    for (const Row& row : kPanelRows) expect(row, row.text);
}

TEST_F(AcRound, TwoChannelsReportThirtyOneRules) {
    Values(2);
    dev->RoundDone();
    ExpectRules(ctl().rules, 2);
    EXPECT_TRUE(ActiveSeqs(ctl().rules).empty()) << "no alarm state decoded yet";
}

TEST_F(AcRound, NoChannelReportsThePanelRulesOnly) {
    dev->RoundDone();
    ExpectRules(ctl().rules, 0);
    ASSERT_EQ(ctl().published.size(), 1u);
    EXPECT_EQ(ctl().published[0].bytes.size(), 32u);
    EXPECT_EQ(dev->SnapshotLength(), 32);
}

TEST_F(AcRound, MultiDigitChannelLabels) {
    Values(10);
    dev->RoundDone();
    ExpectRules(ctl().rules, 10);
    EXPECT_EQ(ctl().rules[99].text, "交流屏10输入线/相电压AB/A");
}

TEST(AcRoundBase, BaseModelAddsNoRules) {
    testhost::Host host;
    auto d = std::make_shared<QZL4200AC>();
    std::ostringstream os;
    d->SetTraceStream(&os);
    ASSERT_TRUE(d->InitV(host.parent.get(), 7, Json::Value()));
    std::vector<std::uint8_t> part(1 + 17 * 2 + 12, 0);
    part[0] = 2;
    ASSERT_EQ(d->parse40_41(part.data(), static_cast<int>(part.size())), 47);
    d->RoundDone();
    d->RoundDone();
    ASSERT_EQ(host.ctl->rules.size(), 62u);
    EXPECT_EQ(host.ctl->rules[31].seq, 1u) << "numbering restarts every round";
    EXPECT_EQ(host.ctl->rules[61].seq, 31u);
    EXPECT_TRUE(host.ctl->logs.empty());
}

TEST_F(AcRound, StateBytesMakeTheirRulesActive) {
    using Ch = std::array<std::uint8_t, 4>;
    struct Case {
        const char* what;
        std::vector<Ch> channels;
        std::array<std::uint8_t, 3> panel;
        std::set<std::uint32_t> active;  // sequence numbers: channel i row k is 1 + 11 i + k
    };
    const Case cases[] = {
        {"nothing", {{0, 0, 0, 0}, {0, 0, 0, 0}}, {0, 0, 0}, {}},
        {"c high on the first", {{0, 0, 2, 0}, {0, 0, 0, 0}}, {0, 0, 0}, {7}},
        {"b high on the first", {{0, 2, 0, 0}, {0, 0, 0, 0}}, {0, 0, 0}, {6}},
        {"every low on the second", {{0, 0, 0, 0}, {1, 1, 1, 1}}, {0, 0, 0}, {12, 13, 14, 15}},
        {"every high on the second", {{0, 0, 0, 0}, {2, 2, 2, 2}}, {0, 0, 0}, {16, 17, 18, 19}},
        {"phase loss, none for f", {{3, 3, 3, 3}, {0, 0, 0, 0}}, {0, 0, 0}, {9, 10, 11}},
        {"a loss on the second", {{0, 0, 0, 0}, {3, 0, 0, 0}}, {0, 0, 0}, {20}},
        {"values above 3", {{4, 5, 200, 255}, {4, 4, 4, 4}}, {4, 9, 255}, {}},
        {"ia missing", {{0, 0, 0, 0}, {0, 0, 0, 0}}, {3, 0, 0}, {29}},
        {"ib low", {{0, 0, 0, 0}, {0, 0, 0, 0}}, {0, 1, 0}, {24}},
        {"ic high", {{0, 0, 0, 0}, {0, 0, 0, 0}}, {0, 0, 2}, {28}},
        {"panel all kinds", {{0, 0, 0, 0}, {0, 0, 0, 0}}, {1, 2, 3}, {23, 27, 31}},
    };
    Values(2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ctl().Clear();
        States(c.channels, c.panel);
        dev->RoundDone();
        ASSERT_EQ(ctl().rules.size(), 31u);
        EXPECT_EQ(ActiveSeqs(ctl().rules), c.active);
    }
    // The rule that fires for c high on the first channel, in full.
    ctl().Clear();
    States({{0, 0, 2, 0}, {0, 0, 0, 0}}, {0, 0, 0});
    dev->RoundDone();
    const rule_value& r = ctl().rules[6];
    EXPECT_EQ(r.key, "AC_6");
    EXPECT_EQ(r.text, "交流屏1输入线/相电压CA/C");
    EXPECT_EQ(r.level, 2);
    EXPECT_EQ(r.active, 1u);
}

TEST_F(AcRound, SnapshotIsStampedPublishedAndSaved) {
    Values(2, 230.0f, 7.5f);
    States({{1, 0, 0, 0}, {0, 2, 0, 0}}, {0, 0, 3});
    ttime expected{};
    testhost::InOneSecond([&] {
        ctl().Clear();
        dev->RoundDone();
        expected = get_ttime(boost::posix_time::second_clock::local_time());
    });
    EXPECT_EQ(std::memcmp(dev->Record().ttime, &expected, 7), 0);
    EXPECT_EQ(dev->DataValid(), 1);

    const auto image = State(*dev);
    ASSERT_EQ(image.size(), 92u);
    ASSERT_EQ(ctl().published.size(), 1u);
    const auto& sp = ctl().published[0];
    EXPECT_EQ(sp.type_number, 5106);
    EXPECT_FALSE(sp.flag);
    EXPECT_EQ(sp.data_id, 7u);
    EXPECT_EQ(sp.bytes, image);
    EXPECT_EQ(dev->SnapshotLength(), 92);
    EXPECT_EQ(std::vector<std::uint8_t>(dev->SnapshotBuffer(), dev->SnapshotBuffer() + 92), image);
    // The image carries the id, the count and the channel values where a restore expects them.
    std::uint32_t id;
    std::memcpy(&id, sp.bytes.data(), 4);
    EXPECT_EQ(id, 7u);
    EXPECT_EQ(sp.bytes[16], 2);
    float b1;
    std::memcpy(&b1, sp.bytes.data() + 32 + 30 + 4, 4);
    EXPECT_EQ(b1, 241.0f);
    EXPECT_EQ(sp.bytes[32 + 30 + 18], 2) << "b_alert of the second channel";
    ASSERT_EQ(ctl().saved.size(), 1u);
    EXPECT_EQ(ctl().saved[0].bytes, image);

    // The image restores into a new device as it stands.
    auto other = std::make_shared<tvr27pkAC>();
    ASSERT_TRUE(other->LoadFromCache(sp.bytes.data(), static_cast<int>(sp.bytes.size())));
    EXPECT_EQ(State(*other), image);
}

TEST_F(AcRound, BufferIsReusedUntilTheCountChanges) {
    dev->RoundDone();
    const unsigned char* first = dev->SnapshotBuffer();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(dev->SnapshotLength(), 32);
    Values(3);
    dev->RoundDone();
    EXPECT_EQ(dev->SnapshotLength(), 122);
    ASSERT_EQ(ctl().published.size(), 2u);
    EXPECT_EQ(ctl().published[1].bytes.size(), 122u);
    EXPECT_EQ(ctl().published[1].bytes, State(*dev));
    const unsigned char* second = dev->SnapshotBuffer();
    dev->RoundDone();
    EXPECT_EQ(dev->SnapshotBuffer(), second);
}

TEST_F(AcRound, PendingRulesAreHandedOverAndKeepTheirRoom) {
    Values(2);
    ctl().queue_work = true;
    dev->RoundDone();
    EXPECT_TRUE(dev->PendingRules().empty());
    EXPECT_GE(dev->PendingRules().capacity(), 31u);
    ASSERT_EQ(ctl().queued.size(), 1u);
    EXPECT_TRUE(ctl().saved.empty()) << "nothing is saved before the item runs";
    EXPECT_EQ(dev->ThresholdResult(), 0);
}

TEST_F(AcRound, WorkItemSavesItsOwnRoundsImage) {
    ctl().queue_work = true;
    Values(2, 220.0f, 1.0f);
    dev->RoundDone();
    const auto first = State(*dev);
    // A later round rewrites the same buffer before the first item runs.
    Values(2, 300.0f, 2.0f);
    States({{3, 3, 3, 3}, {1, 1, 1, 1}}, {2, 2, 2});
    const unsigned char* buffer = dev->SnapshotBuffer();
    dev->RoundDone();
    ASSERT_EQ(dev->SnapshotBuffer(), buffer);
    const auto second = State(*dev);
    ASSERT_NE(first, second);

    std::weak_ptr<tvr27pkAC> watch = dev;
    dev.reset();
    EXPECT_FALSE(watch.expired()) << "the queued items keep the device alive";
    ctl().RunQueued();
    EXPECT_TRUE(watch.expired());
    ASSERT_EQ(ctl().saved.size(), 2u);
    EXPECT_EQ(ctl().saved[0].bytes, first);
    EXPECT_EQ(ctl().saved[1].bytes, second);
    EXPECT_EQ(ctl().saved[0].data_id, 7u);
}

TEST_F(AcRound, WorkItemSurvivesAReplacedBuffer) {
    ctl().queue_work = true;
    dev->RoundDone();
    const auto first = State(*dev);
    ASSERT_EQ(first.size(), 32u);
    Values(4);
    dev->RoundDone();
    ctl().RunQueued();
    ASSERT_EQ(ctl().saved.size(), 2u);
    EXPECT_EQ(ctl().saved[0].bytes, first);
    EXPECT_EQ(ctl().saved[1].bytes.size(), 32u + 4 * 30);
}

TEST_F(AcRound, ThresholdResultRisesWithAChangeAndStays) {
    Values(1);
    ctl().queue_work = true;
    dev->RoundDone();
    ctl().RunQueued();
    EXPECT_EQ(dev->ThresholdResult(), 0) << "all rules inactive: nothing changed";

    States({{0, 0, 0, 0}}, {3, 0, 0});
    dev->RoundDone();
    EXPECT_EQ(dev->ThresholdResult(), 0) << "raised only when the item runs";
    ctl().RunQueued();
    EXPECT_EQ(dev->ThresholdResult(), 1);
    ASSERT_EQ(ctl().events.size(), 1u);
    EXPECT_TRUE(ctl().events[0].begin);
    EXPECT_EQ(ctl().events[0].rule.key, "AC_18");
    EXPECT_EQ(ctl().events[0].rule.seq, 1u + 11 + 6);

    dev->RoundDone();
    ctl().RunQueued();
    EXPECT_EQ(dev->ThresholdResult(), 1) << "never cleared by an unchanged batch";
    EXPECT_EQ(ctl().events.size(), 1u);
}

}  // namespace
