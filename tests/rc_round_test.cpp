// The rectifier device's round end: the stamped snapshot, one fault rule per
// module, the model hook and the work item; and a whole round of answers as
// the bus device hands them over.
#include "host/ttime.h"
#include "rc/rc_models.h"
#include "tests/support/test_host.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using boost::posix_time::second_clock;
using Bytes = std::vector<std::uint8_t>;
using testhost::InOneSecond;
using testhost::ParseJson;

constexpr std::uint32_t kId = 300;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Seq(std::uint8_t first, int n) {
    Bytes b;
    for (int k = 0; k < n; ++k) b.push_back(static_cast<std::uint8_t>(first + k));
    return b;
}

// A complete 41_41 INFO for n modules; module k's value bytes start at 0x10 * (k + 1).
Bytes Values41(std::uint8_t n) {
    Bytes b{0x11, 0xA0, 0xA1, 0xA2, 0xA3, n};
    for (int k = 0; k < n; ++k) b = Cat({b, Seq(static_cast<std::uint8_t>(0x10 * (k + 1)), 4), {4}, Seq(0x80, 16)});
    return b;
}

// A 41_44 INFO giving each module the fault byte listed.
Bytes Alarms44(const Bytes& faults) {
    Bytes b{0x00, static_cast<std::uint8_t>(faults.size())};
    for (std::uint8_t f : faults) b = Cat({b, {f, 4}, {0xC1, 0xC2, 0xC3, 0xC4}});
    return b;
}

Bytes Now7() {
    const ttime t = get_ttime(second_clock::local_time());
    Bytes b(7);
    std::memcpy(b.data(), &t, 7);
    return b;
}

template <typename T>
Bytes ImageOf(const T& rec) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&rec);
    return Bytes(p, p + sizeof rec);
}

Bytes DeviceImage(const tvr27pkRC& d) {
    Bytes b = ImageOf(d.Record());
    for (const auto& ch : d.Channels()) b = Cat({b, ImageOf(ch)});
    return b;
}

using RuleView = std::tuple<int, std::string, std::string, std::string, std::string, bool, std::uint32_t,
                            std::uint32_t>;
RuleView View(const rule_value& r) {
    return RuleView(r.level, r.key, r.alarm_id, r.name, r.text, r.active != 0, r.seq, r.data_id);
}
RuleView Fault(int module, bool active) {
    return RuleView(2, "RC_0", "06024", "整流模块故障告警", "模块" + std::to_string(module) + "整流模块故障告警",
                    active, static_cast<std::uint32_t>(module), kId);
}

class RcRound : public ::testing::Test {
protected:
    void SetUp() override {
        dev = std::make_shared<tvr27pkRC>();
        ASSERT_TRUE(dev->InitV(host.parent.get(), kId, ParseJson("{}")));
    }
    void Feed41(std::uint8_t n) {
        const Bytes info = Values41(n);
        ASSERT_EQ(dev->parse41_41(info.data(), static_cast<int>(info.size())), static_cast<int>(info.size()));
    }
    void Feed44(const Bytes& faults) {
        const Bytes info = Alarms44(faults);
        ASSERT_EQ(dev->parse41_44(info.data(), static_cast<int>(info.size())), static_cast<int>(info.size()));
    }
    std::vector<RuleView> Rules() const {
        std::vector<RuleView> v;
        for (const auto& r : host.ctl->rules) v.push_back(View(r));
        return v;
    }

    testhost::Host host;
    std::shared_ptr<tvr27pkRC> dev;
};

TEST_F(RcRound, OneFaultRulePerModuleNumberedFromOne) {
    Feed41(3);
    Feed44({0, 1, 2});
    dev->RoundDone();
    EXPECT_EQ(Rules(), (std::vector<RuleView>{Fault(1, false), Fault(2, true), Fault(3, false)}));
    // Only the active rule raised an alarm, and the batch result was kept.
    ASSERT_EQ(host.ctl->events.size(), 1u);
    EXPECT_TRUE(host.ctl->events[0].begin);
    EXPECT_EQ(host.ctl->events[0].rule.text, "模块2整流模块故障告警");
    EXPECT_EQ(dev->ThresholdResult(), 1);
    EXPECT_TRUE(dev->PendingRules().empty());
    EXPECT_GE(dev->PendingRules().capacity(), 3u);

    // The fault byte decides each round anew; the numbering restarts at 1.
    host.ctl->Clear();
    Feed44({0xFF, 0, 1});
    dev->RoundDone();
    EXPECT_EQ(Rules(), (std::vector<RuleView>{Fault(1, false), Fault(2, false), Fault(3, true)}));
    EXPECT_EQ(dev->ThresholdResult(), 1);  // raised, never cleared
}

TEST_F(RcRound, SnapshotIsTheStampedRecordsUnder5107) {
    Feed41(2);
    Feed44({1, 0});
    Bytes now;
    boost::posix_time::ptime nowTime;
    InOneSecond([&] {
        host.ctl->Clear();
        dev->RoundDone();
        now = Now7();
        nowTime = second_clock::local_time();
    });
    EXPECT_EQ(dev->DataValid(), 1);
    EXPECT_EQ(dev->LastUpdate(), nowTime);
    EXPECT_EQ(Bytes(dev->Record().ttime, dev->Record().ttime + 7), now);

    ASSERT_EQ(host.ctl->published.size(), 1u);
    const auto& sp = host.ctl->published[0];
    EXPECT_EQ(sp.type_number, 5107);
    EXPECT_FALSE(sp.flag);
    EXPECT_EQ(sp.data_id, kId);
    ASSERT_EQ(sp.bytes.size(), 65u + 2 * 32u);
    EXPECT_EQ(sp.bytes, DeviceImage(*dev));
    std::uint32_t id;
    std::memcpy(&id, sp.bytes.data(), 4);
    EXPECT_EQ(id, kId);
    EXPECT_EQ(sp.bytes[57], 2);
    EXPECT_EQ(Bytes(sp.bytes.begin() + 58, sp.bytes.begin() + 65), now);
    EXPECT_EQ(sp.bytes[65 + 26], 1);       // module 1 fault
    EXPECT_EQ(sp.bytes[65 + 32 + 26], 0);  // module 2 fault
    EXPECT_EQ(Bytes(sp.bytes.begin() + 65, sp.bytes.begin() + 69), Seq(0x10, 4));
    EXPECT_EQ(Bytes(sp.bytes.begin() + 97, sp.bytes.begin() + 101), Seq(0x20, 4));
    // The device's own buffer holds the same bytes.
    ASSERT_EQ(dev->SnapshotLength(), sp.bytes.size());
    EXPECT_EQ(Bytes(dev->Snapshot(), dev->Snapshot() + dev->SnapshotLength()), sp.bytes);

    // The work item saved the same image.
    ASSERT_EQ(host.ctl->saved.size(), 1u);
    EXPECT_EQ(host.ctl->saved[0].bytes, sp.bytes);
}

TEST_F(RcRound, NoModulesGiveTheGroupRecordAlone) {
    dev->RoundDone();
    ASSERT_EQ(host.ctl->published.size(), 1u);
    EXPECT_EQ(host.ctl->published[0].bytes.size(), 65u);
    EXPECT_EQ(host.ctl->published[0].bytes, DeviceImage(*dev));
    EXPECT_TRUE(host.ctl->rules.empty());
    ASSERT_EQ(host.ctl->saved.size(), 1u);
    EXPECT_EQ(host.ctl->saved[0].bytes.size(), 65u);
    EXPECT_EQ(dev->DataValid(), 1);
    EXPECT_EQ(dev->ThresholdResult(), 0);
}

TEST_F(RcRound, BufferGrowsWhenTheCountIsAdoptedLater) {
    dev->RoundDone();
    ASSERT_EQ(dev->SnapshotLength(), 65u);
    Feed41(3);
    dev->RoundDone();
    ASSERT_EQ(host.ctl->published.size(), 2u);
    EXPECT_EQ(host.ctl->published[1].bytes.size(), 65u + 3 * 32u);
    EXPECT_EQ(host.ctl->published[1].bytes, DeviceImage(*dev));
    EXPECT_EQ(dev->SnapshotLength(), 65u + 3 * 32u);
    EXPECT_EQ(host.ctl->rules.size(), 3u);

    // A restore with fewer modules shrinks it again.
    const Bytes image = Cat({Bytes(57, 0x5A), {1}, Bytes(7, 0), Bytes(32, 0)});
    testing::internal::CaptureStdout();
    ASSERT_TRUE(dev->LoadFromCache(image.data(), static_cast<int>(image.size())));
    testing::internal::GetCapturedStdout();
    dev->RoundDone();
    EXPECT_EQ(dev->SnapshotLength(), 97u);
    EXPECT_EQ(host.ctl->published.back().bytes.size(), 97u);
}

TEST_F(RcRound, RestoredSnapshotIsPublishedAndEvaluated) {
    // An image of two modules, the second one faulty, from another device.
    Bytes image = Cat({{1, 0, 0, 0}, Seq(0x40, 53), {2}, Bytes(7, 0x33)});
    Bytes m0 = Seq(0x01, 32), m1 = Seq(0x21, 32);
    m0[26] = 0;
    m1[26] = 1;
    image = Cat({image, m0, m1});
    testing::internal::CaptureStdout();
    ASSERT_TRUE(dev->LoadFromCache(image.data(), static_cast<int>(image.size())));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "rc data_len:129 vs 65\nrc channelLen 32 and 2 left:64\n");

    Bytes now;
    InOneSecond([&] {
        host.ctl->Clear();
        dev->RoundDone();
        now = Now7();
    });
    ASSERT_EQ(host.ctl->published.size(), 1u);
    Bytes expected = image;
    std::memcpy(expected.data() + 58, now.data(), 7);  // only the stamp is new
    EXPECT_EQ(host.ctl->published[0].bytes, expected);
    EXPECT_EQ(Rules(), (std::vector<RuleView>{RuleView(2, "RC_0", "06024", "整流模块故障告警",
                                                       "模块1整流模块故障告警", false, 1, kId),
                                              RuleView(2, "RC_0", "06024", "整流模块故障告警",
                                                       "模块2整流模块故障告警", true, 2, kId)}));
}

TEST_F(RcRound, ConsecutiveRoundsRepeatTheSameImageAndRules) {
    Feed41(2);
    Feed44({1, 0});
    dev->RoundDone();
    dev->RoundDone();
    ASSERT_EQ(host.ctl->published.size(), 2u);
    Bytes a = host.ctl->published[0].bytes, b = host.ctl->published[1].bytes;
    std::fill(a.begin() + 58, a.begin() + 65, 0);
    std::fill(b.begin() + 58, b.begin() + 65, 0);
    EXPECT_EQ(a, b);
    const auto rules = Rules();
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[0], rules[2]);
    EXPECT_EQ(rules[1], rules[3]);
    EXPECT_EQ(rules[0], Fault(1, true));
}

TEST_F(RcRound, QueuedWorkItemSavesItsOwnRoundsImage) {
    host.ctl->queue_work = true;
    // Round 1 without modules, round 2 after the count was adopted (the
    // buffer is replaced), round 3 with new alarm bytes (the buffer is rewritten).
    dev->RoundDone();
    Feed41(2);
    dev->RoundDone();
    Feed44({1, 1});
    dev->RoundDone();
    EXPECT_TRUE(host.ctl->saved.empty());
    ASSERT_EQ(host.ctl->queued.size(), 3u);
    EXPECT_TRUE(dev->PendingRules().empty());

    // The items run after the device changed again and hold it alive themselves.
    Feed44({0, 0});
    std::weak_ptr<tvr27pkRC> weak = dev;
    dev.reset();
    EXPECT_FALSE(weak.expired());
    host.ctl->RunQueued();
    EXPECT_TRUE(weak.expired());

    ASSERT_EQ(host.ctl->saved.size(), 3u);
    ASSERT_EQ(host.ctl->published.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(host.ctl->saved[k].bytes, host.ctl->published[k].bytes);
        EXPECT_EQ(host.ctl->saved[k].data_id, kId);
    }
    EXPECT_EQ(host.ctl->saved[0].bytes.size(), 65u);
    EXPECT_EQ(host.ctl->saved[1].bytes[65 + 26], 0);
    EXPECT_EQ(host.ctl->saved[2].bytes[65 + 26], 1);
    // Each item evaluated its own round's rules: round 3 raised both alarms.
    EXPECT_EQ(host.ctl->events.size(), 2u);
}

// A model that reports one rule of its own, as a derived model may.
class HookRC : public tvr27pkRC {
public:
    void DoImpCheckAlert() override {
        ++calls;
        modulesSeen = PendingRules().size();
        Report(3, "RC_X", "09999", "模型告警", "模型告警", true);
    }
    int calls = 0;
    std::size_t modulesSeen = 0;
};

TEST_F(RcRound, ModelHookRunsAfterTheModuleRulesInTheSameBatch) {
    auto hook = std::make_shared<HookRC>();
    ASSERT_TRUE(hook->InitV(host.parent.get(), kId, ParseJson("{}")));
    host.ctl->queue_work = true;
    hook->RoundDone();  // no modules: the hook still runs
    EXPECT_EQ(hook->calls, 1);
    EXPECT_EQ(hook->modulesSeen, 0u);
    const Bytes info = Values41(2);
    ASSERT_EQ(hook->parse41_41(info.data(), static_cast<int>(info.size())), 48);
    hook->RoundDone();
    EXPECT_EQ(hook->calls, 2);
    EXPECT_EQ(hook->modulesSeen, 2u);
    ASSERT_EQ(host.ctl->rules.size(), 4u);
    EXPECT_EQ(host.ctl->rules[0].seq, 1u);
    EXPECT_EQ(host.ctl->rules[0].key, "RC_X");
    EXPECT_EQ(host.ctl->rules[3].seq, 3u);
    EXPECT_EQ(host.ctl->rules[3].key, "RC_X");
    ASSERT_EQ(host.ctl->queued.size(), 2u);
    host.ctl->RunQueued();
    EXPECT_EQ(host.ctl->saved.size(), 2u);
    EXPECT_EQ(hook->ThresholdResult(), 1);
}

TEST_F(RcRound, BaseModelAddsNoRuleOfItsOwn) {
    auto base = std::make_shared<QZL4200RC>();
    ASSERT_TRUE(base->InitV(host.parent.get(), kId, ParseJson("{}")));
    base->RoundDone();
    EXPECT_TRUE(host.ctl->rules.empty());
    EXPECT_EQ(host.ctl->published.size(), 1u);
    EXPECT_EQ(host.ctl->saved.size(), 1u);
}

// The five answers of a round as the bus device hands them over: the INFO of
// each decoded answer and its INFO length, then the round end.
TEST_F(RcRound, FullRoundThroughTheHost) {
    struct Step {
        std::uint8_t cid1;
        Bytes info;
        int (tvr27pkRC::*parse)(const unsigned char*, int);
        int result;
    };
    const Bytes values = Values41(2);
    const Bytes states = Cat({{0x00, 2}, {0xD1, 0xD2, 0xD3, 1, 0xD4}, {0xE1, 0xE2, 0xE3, 1, 0xE4}});
    const Bytes alarms = Alarms44({0, 1});
    const Bytes acParams = Cat({Seq(0x30, 20), {0}});
    const Bytes dcParams = Cat({Seq(0x50, 8), {5}, Seq(0x60, 20)});
    const Step steps[] = {
        {0x41, values, &tvr27pkRC::parse41_41, 48},   {0x41, states, &tvr27pkRC::parse41_43, 12},
        {0x41, alarms, &tvr27pkRC::parse41_44, 14},   {0x40, acParams, &tvr27pkRC::parse40_46, 21},
        {0x42, dcParams, &tvr27pkRC::parse42_46, 29},
    };
    for (const auto& s : steps) {
        const Bytes answer = testhost::Answer(s.cid1, s.info);
        const int infoLength = (answer[4] | answer[5] << 8) >> 1;
        ASSERT_EQ(answer[2], s.cid1);
        EXPECT_EQ(((*dev).*s.parse)(answer.data() + 6, infoLength), s.result);
    }
    EXPECT_TRUE(host.ctl->logs.empty());
    Bytes now;
    InOneSecond([&] {
        dev->RoundDone();
        now = Now7();
    });

    const auto& rec = dev->Record();
    EXPECT_EQ(Bytes(rec.p40_46, rec.p40_46 + 20), Seq(0x30, 20));
    EXPECT_EQ(Bytes(rec.p42_46_fixed, rec.p42_46_fixed + 8), Seq(0x50, 8));
    EXPECT_EQ(rec.p42_46_num, 5);
    EXPECT_EQ(Bytes(rec.p42_46, rec.p42_46 + 20), Seq(0x60, 20));
    EXPECT_EQ(Bytes(rec.group_value, rec.group_value + 4), (Bytes{0xA0, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(rec.channel_num, 2);
    EXPECT_EQ(Bytes(rec.ttime, rec.ttime + 7), now);
    const auto& c1 = dev->Channels()[1];
    EXPECT_EQ(Bytes(c1.value, c1.value + 4), Seq(0x20, 4));
    EXPECT_EQ(Bytes(c1.p41_41, c1.p41_41 + 16), Seq(0x80, 16));
    EXPECT_EQ(Bytes(c1.state, c1.state + 3), (Bytes{0xE1, 0xE2, 0xE3}));
    EXPECT_EQ(c1.p41_43[0], 0xE4);
    EXPECT_EQ(c1.fault, 1);
    EXPECT_EQ(Bytes(c1.p41_44, c1.p41_44 + 4), (Bytes{0xC1, 0xC2, 0xC3, 0xC4}));

    ASSERT_EQ(host.ctl->published.size(), 1u);
    EXPECT_EQ(host.ctl->published[0].type_number, 5107);
    EXPECT_EQ(host.ctl->published[0].bytes, DeviceImage(*dev));
    EXPECT_EQ(Rules(), (std::vector<RuleView>{Fault(1, false), Fault(2, true)}));
    ASSERT_EQ(host.ctl->saved.size(), 1u);
    EXPECT_EQ(host.ctl->saved[0].bytes, host.ctl->published[0].bytes);
}

}  // namespace
