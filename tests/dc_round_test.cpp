// The DC device's round end: stamped snapshot, the voltage and battery-fuse
// rules with their sequence numbers, the model hook and the work item.
#include "ac/ac_models.h"
#include "dc/dc_models.h"
#include "rc/rc_models.h"
#include "host/ttime.h"
#include "tests/support/test_host.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using boost::posix_time::second_clock;
using testhost::FloatBytes;
using testhost::InOneSecond;
using testhost::ParseJson;

// A 42_44 block: v_alert, then the alarm list and the user list as given.
std::vector<std::uint8_t> Block44(std::uint8_t vAlert, const std::vector<std::uint8_t>& m,
                                  const std::vector<std::uint8_t>& p = {}) {
    std::vector<std::uint8_t> b{vAlert, static_cast<std::uint8_t>(m.size())};
    b.insert(b.end(), m.begin(), m.end());
    b.push_back(static_cast<std::uint8_t>(p.size()));
    b.insert(b.end(), p.begin(), p.end());
    return b;
}

// A 42_41 block with empty lists.
std::vector<std::uint8_t> Block41(float v, float i) {
    std::vector<std::uint8_t> b = FloatBytes(v);
    const auto ib = FloatBytes(i);
    b.insert(b.end(), ib.begin(), ib.end());
    b.insert(b.end(), {0, 0, 0});
    return b;
}

std::vector<std::uint8_t> ImageOf(const tele_c_qzl4200_dc& r) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
    return std::vector<std::uint8_t>(p, p + sizeof r);
}

using RuleView = std::tuple<int, std::string, std::string, std::string, std::string, bool, std::uint32_t,
                            std::uint32_t>;
RuleView View(const rule_value& r) {
    return RuleView(r.level, r.key, r.alarm_id, r.name, r.text, r.active != 0, r.seq, r.data_id);
}

class DcRound : public ::testing::Test {
protected:
    std::shared_ptr<tvr27pkDC> Make(std::uint32_t id) {
        auto d = std::make_shared<tvr27pkDC>("dc");
        EXPECT_TRUE(d->InitV(host.parent.get(), id, ParseJson("{}")));
        return d;
    }
    void Feed44(tvr27pkDC& d, const std::vector<std::uint8_t>& block) {
        ASSERT_EQ(d.parse42_44(block.data(), static_cast<int>(block.size())), static_cast<int>(block.size()));
    }
    void Feed41(tvr27pkDC& d, const std::vector<std::uint8_t>& block) {
        testing::internal::CaptureStdout();
        const int r = d.parse42_41(block.data(), static_cast<int>(block.size()));
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(r, static_cast<int>(block.size()));
    }

    testhost::Host host;
};

TEST_F(DcRound, VoltageRulesFollowTheVoltageAlarmState) {
    const std::string low = "输出电压过低告警", high = "输出电压过高告警";
    struct Case {
        std::uint8_t vAlert;
        bool lowActive, highActive;
    };
    const Case cases[] = {{0, false, false}, {1, true, false}, {2, false, true}, {3, false, false},
                          {255, false, false}};
    auto dev = Make(7);
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.vAlert));
        host.ctl->Clear();
        Feed44(*dev, Block44(c.vAlert, {}));
        dev->RoundDone();
        const std::vector<RuleView> expected = {
            RuleView(3, "DC_0", "06008", low, low, c.lowActive, 1, 7),
            RuleView(3, "DC_1", "06009", high, high, c.highActive, 2, 7),
        };
        ASSERT_EQ(host.ctl->rules.size(), expected.size());
        for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(View(host.ctl->rules[k]), expected[k]);
        EXPECT_TRUE(host.ctl->logs.empty());
    }
}

TEST_F(DcRound, FuseRulesOnlyForAFullAlarmList) {
    struct Case {
        std::size_t reported;
        std::size_t rules;
    };
    const Case cases[] = {{0, 2}, {1, 2}, {63, 2}, {64, 66}, {65, 2}, {70, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reported);
        host.ctl->Clear();
        auto dev = Make(9);
        Feed44(*dev, Block44(0, std::vector<std::uint8_t>(c.reported, 3)));
        dev->RoundDone();
        EXPECT_EQ(host.ctl->rules.size(), c.rules);
    }
}

TEST_F(DcRound, FullAlarmListReportsOneFuseRulePerEntry) {
    auto dev = Make(9);
    std::vector<std::uint8_t> m(64, 0);
    m[5] = 3;  // the sixth fuse has failed
    m[6] = 1;
    m[7] = 2;
    m[8] = 4;
    m[63] = 0x03;
    Feed44(*dev, Block44(1, m));
    dev->RoundDone();
    ASSERT_EQ(host.ctl->rules.size(), 66u);
    EXPECT_EQ(host.ctl->rules[0].key, "DC_0");
    EXPECT_EQ(host.ctl->rules[1].key, "DC_1");
    const std::string name = "电池熔丝故障告警";
    for (std::size_t j = 0; j < 64; ++j) {
        SCOPED_TRACE(j);
        const bool active = j == 5 || j == 63;
        EXPECT_EQ(View(host.ctl->rules[2 + j]),
                  RuleView(1, "DC_3", "06001", name, "直流" + std::to_string(j + 1) + name, active,
                           static_cast<std::uint32_t>(3 + j), 9));
    }
    EXPECT_EQ(host.ctl->rules[7].text, "直流6电池熔丝故障告警");
    EXPECT_EQ(host.ctl->rules[7].seq, 8u);
    EXPECT_GE(dev->PendingRules().capacity(), 66u) << "room kept for the next round";
    EXPECT_TRUE(dev->PendingRules().empty());
}

TEST_F(DcRound, SnapshotIsTheStampedRecord) {
    auto dev = Make(12);
    Feed41(*dev, Block41(53.5f, 17.0f));
    boost::posix_time::ptime now;
    InOneSecond([&] {
        host.ctl->Clear();
        now = second_clock::local_time();
        dev->RoundDone();
    });
    const ttime t = get_ttime(now);
    std::vector<std::uint8_t> stamp(7);
    std::memcpy(stamp.data(), &t, 7);
    const auto& rec = dev->Record();
    EXPECT_EQ(std::vector<std::uint8_t>(rec.ttime, rec.ttime + 7), stamp);
    EXPECT_EQ(dev->DataValid(), 1);
    EXPECT_EQ(dev->LastUpdate(), now);

    ASSERT_EQ(host.ctl->published.size(), 1u);
    const auto& sp = host.ctl->published[0];
    EXPECT_EQ(sp.type_number, 5108);
    EXPECT_FALSE(sp.flag);
    EXPECT_EQ(sp.data_id, 12u);
    EXPECT_EQ(sp.bytes, ImageOf(rec));
    ASSERT_EQ(sp.bytes.size(), 166u);
    EXPECT_EQ(std::vector<std::uint8_t>(sp.bytes.begin() + 159, sp.bytes.end()), stamp);
    ASSERT_EQ(host.ctl->saved.size(), 1u) << "work items run at once here";
    EXPECT_EQ(host.ctl->saved[0].bytes, sp.bytes);
    EXPECT_EQ(dev->Get_Value(0, "v"), 53.5f);
    EXPECT_EQ(dev->Get_Value(0, "i"), 17.0f);
}

TEST_F(DcRound, SequenceNumbersStartAtOnePerRoundAndPerUnit) {
    auto a = Make(21);
    auto b = Make(22);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        host.ctl->Clear();
        a->RoundDone();
        b->RoundDone();
        ASSERT_EQ(host.ctl->rules.size(), 4u);
        const std::uint32_t ids[] = {21, 21, 22, 22}, seqs[] = {1, 2, 1, 2};
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(host.ctl->rules[k].data_id, ids[k]);
            EXPECT_EQ(host.ctl->rules[k].seq, seqs[k]);
            EXPECT_FALSE(host.ctl->rules[k].active) << "no 42_44 yet: all inactive";
        }
    }
}

TEST_F(DcRound, WorkItemSavesItsOwnRoundsImage) {
    host.ctl->queue_work = true;
    auto dev = Make(30);
    Feed41(*dev, Block41(10.0f, 1.0f));
    Feed44(*dev, Block44(1, {}));
    dev->RoundDone();
    const auto round1 = host.ctl->published.at(0).bytes;
    EXPECT_EQ(host.ctl->queued.size(), 1u);
    EXPECT_TRUE(host.ctl->saved.empty());
    EXPECT_TRUE(dev->PendingRules().empty()) << "the rules moved into the item";
    EXPECT_EQ(dev->ThresholdResult(), 0);

    // The next round's decoding begins before the host runs the item.
    Feed41(*dev, Block41(20.0f, 2.0f));
    Feed44(*dev, Block44(1, {}));
    dev->RoundDone();
    const auto round2 = host.ctl->published.at(1).bytes;
    Feed41(*dev, Block41(30.0f, 3.0f));
    ASSERT_NE(round1, round2);
    ASSERT_NE(ImageOf(dev->Record()), round2);

    // The device may be gone by the time the items run: they keep it alive.
    std::weak_ptr<tvr27pkDC> watch = dev;
    dev.reset();
    ASSERT_FALSE(watch.expired());
    host.ctl->RunQueued();
    EXPECT_TRUE(watch.expired());

    ASSERT_EQ(host.ctl->saved.size(), 2u);
    EXPECT_EQ(host.ctl->saved[0].bytes, round1);
    EXPECT_EQ(host.ctl->saved[1].bytes, round2);
    EXPECT_EQ(host.ctl->saved[0].data_id, 30u);
    // DC_0 became active in the first batch; the second changed nothing.
    ASSERT_EQ(host.ctl->events.size(), 1u);
    EXPECT_EQ(host.ctl->events[0].rule.key, "DC_0");
    EXPECT_TRUE(host.ctl->events[0].begin);
}

TEST_F(DcRound, ThresholdResultIsRaisedAndNeverCleared) {
    auto dev = Make(31);
    dev->RoundDone();
    EXPECT_EQ(dev->ThresholdResult(), 0) << "nothing active, nothing changed";
    Feed44(*dev, Block44(2, {}));
    dev->RoundDone();
    EXPECT_EQ(dev->ThresholdResult(), 1);
    dev->RoundDone();
    EXPECT_EQ(dev->ThresholdResult(), 1) << "an unchanged batch keeps the byte";
}

// A model with a rule of its own.
class ExtraRuleDC : public QZL4200DC {
public:
    using QZL4200DC::QZL4200DC;
    void DoImpCheckAlert() override { Report(2, "DC_X", "09999", "extra", "extra text", data_.i < 0.0f); }
};

TEST_F(DcRound, ModelRulesJoinTheSameBatchAfterTheBuiltInOnes) {
    host.ctl->queue_work = true;
    auto dev = std::make_shared<ExtraRuleDC>("x");
    ASSERT_TRUE(dev->InitV(host.parent.get(), 40, ParseJson("{}")));
    const auto b41 = Block41(1.0f, -5.0f);
    testing::internal::CaptureStdout();
    ASSERT_EQ(dev->parse42_41(b41.data(), static_cast<int>(b41.size())), 11);
    testing::internal::GetCapturedStdout();
    std::vector<std::uint8_t> b44 = Block44(0, std::vector<std::uint8_t>(64, 0));
    ASSERT_EQ(dev->parse42_44(b44.data(), static_cast<int>(b44.size())), 67);
    dev->RoundDone();
    ASSERT_EQ(host.ctl->rules.size(), 67u);
    EXPECT_EQ(View(host.ctl->rules.back()), RuleView(2, "DC_X", "09999", "extra", "extra text", true, 67, 40));
    EXPECT_TRUE(host.ctl->events.empty());
    host.ctl->RunQueued();
    ASSERT_EQ(host.ctl->events.size(), 1u);
    EXPECT_EQ(host.ctl->events[0].rule.key, "DC_X");
}

// The host calls in the order publish, rules, hand-over; the item evaluates, then saves.
class OrderController : public testhost::TestController {
public:
    void Publish(VNQVDevice& d, int t, const std::uint8_t* p, unsigned n, bool f) override {
        order.push_back("publish");
        TestController::Publish(d, t, p, n, f);
    }
    void RuleReported(VNQVDevice& d, const rule_value& r) override {
        order.push_back("rule " + r.key);
        TestController::RuleReported(d, r);
    }
    void Submit(std::function<void()> work) override {
        order.push_back("submit");
        TestController::Submit(std::move(work));
    }
    void AlarmChanged(const AlarmEvent& e) override {
        order.push_back("event " + e.rule.key);
        TestController::AlarmChanged(e);
    }
    void SaveHistory(VNQVDevice& d, const std::uint8_t* p, unsigned n) override {
        order.push_back("save");
        TestController::SaveHistory(d, p, n);
    }
    std::vector<std::string> order;
};

// Both kinds of device with alarm rules of their own: the round end stamps
// the record (the published snapshot carries this second's time record),
// publishes, reports one rule per condition and hands over the batch; the
// work item evaluates, then saves.
TEST(RoundOrder, HostOperationsComeInRoundOrder) {
    struct Case {
        const char* what;
        std::function<std::shared_ptr<VNQSPDevice>(VNQVDevice* parent)> make;
        std::size_t ttimeOffset;  // of the time record in the snapshot
        std::vector<std::string> order;
    };
    const Case cases[] = {
        {"DC", [](VNQVDevice* parent) -> std::shared_ptr<VNQSPDevice> {
             auto dev = std::make_shared<QZL4200DC>("dc");
             EXPECT_TRUE(dev->InitV(parent, 3, ParseJson("{}")));
             const auto b44 = Block44(1, {});
             EXPECT_EQ(dev->parse42_44(b44.data(), static_cast<int>(b44.size())), 3);
             return dev;
         },
         offsetof(tele_c_qzl4200_dc, ttime), {"publish", "rule DC_0", "rule DC_1", "submit", "event DC_0", "save"}},
        {"rectifiers, module 1 in fault", [](VNQVDevice* parent) -> std::shared_ptr<VNQSPDevice> {
             auto dev = std::make_shared<QZL4200RC>();
             EXPECT_TRUE(dev->InitV(parent, 3, ParseJson("{}")));
             std::vector<std::uint8_t> info41 = {0x00, 0xA0, 0xA1, 0xA2, 0xA3, 2};
             for (int k = 0; k < 2; ++k) {
                 info41.insert(info41.end(), {1, 2, 3, 4, 4});
                 info41.insert(info41.end(), 16, 0);
             }
             EXPECT_EQ(dev->parse41_41(info41.data(), static_cast<int>(info41.size())),
                       static_cast<int>(info41.size()));
             const std::vector<std::uint8_t> info44 = {0x00, 2, 0, 4, 0, 0, 0, 0, 1, 4, 0, 0, 0, 0};
             EXPECT_EQ(dev->parse41_44(info44.data(), static_cast<int>(info44.size())),
                       static_cast<int>(info44.size()));
             return dev;
         },
         offsetof(tele_c_qzl4200_rc, ttime), {"publish", "rule RC_0", "rule RC_0", "submit", "event RC_0", "save"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto ctl = std::make_shared<OrderController>();
        auto parent = std::make_shared<testhost::ParentDevice>();
        parent->Init(ctl, 100, Json::Value(Json::objectValue));
        auto dev = c.make(parent.get());
        const ttime before = get_ttime(boost::posix_time::second_clock::local_time());
        dev->RoundDone();
        const ttime after = get_ttime(boost::posix_time::second_clock::local_time());
        EXPECT_EQ(ctl->order, c.order);
        ASSERT_EQ(ctl->published.size(), 1u);
        ASSERT_GE(ctl->published[0].bytes.size(), c.ttimeOffset + 7);
        const std::uint8_t* stamp = ctl->published[0].bytes.data() + c.ttimeOffset;
        EXPECT_TRUE(std::memcmp(stamp, &before, 7) == 0 || std::memcmp(stamp, &after, 7) == 0)
            << "the record is stamped before it is published";
    }
}

// Every round end, not only the first, makes the data fresh again.
TEST(RoundEnd, EveryRoundEndRefreshesTheLastUpdateTime) {
    struct Case {
        const char* what;
        std::function<std::shared_ptr<VNQSPDevice>()> make;
        const char* name;
        const char* fresh;  // "" when a value is answered
    };
    const Case cases[] = {
        {"AC", [] { return std::shared_ptr<VNQSPDevice>(std::make_shared<tvr27pkAC>()); }, "ia", ""},
        {"DC", [] { return std::shared_ptr<VNQSPDevice>(std::make_shared<tvr27pkDC>("dc")); }, "v", ""},
        {"rectifiers", [] { return std::shared_ptr<VNQSPDevice>(std::make_shared<tvr27pkRC>()); }, "v",
         "数据未就绪"},
    };
    const auto answer = [](const VNQSPDevice& d, const char* name) -> std::string {
        try {
            d.Get_Value(0, name);
            return "";
        } catch (const std::out_of_range& e) {
            return e.what();
        }
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testhost::Host host;
        auto dev = c.make();
        ASSERT_TRUE(dev->InitV(host.parent.get(), 5, ParseJson("{}")));
        for (int round = 1; round <= 3; ++round) {
            dev->RoundDone();
            EXPECT_EQ(answer(*dev, c.name), c.fresh) << "after round " << round;
            dev->SetLastUpdate(second_clock::local_time() - boost::posix_time::seconds(120));
            EXPECT_EQ(answer(*dev, c.name), "数据已超时");
        }
    }
}

TEST_F(DcRound, TwoUnitsThroughOneRound) {
    // The DC part of a round as the bus device drives it: both units' blocks
    // of each answer walked in order, then the round end on each unit.
    auto a = Make(51);
    auto b = Make(52);
    std::vector<std::uint8_t> info41 = Block41(53.0f, 100.0f), second41 = Block41(54.0f, 200.0f);
    info41.insert(info41.end(), second41.begin(), second41.end());
    std::vector<std::uint8_t> fuses(64, 0);
    fuses[0] = 3;
    std::vector<std::uint8_t> info44 = Block44(2, {1, 2}, {7}), second44 = Block44(0, fuses);
    info44.insert(info44.end(), second44.begin(), second44.end());

    testing::internal::CaptureStdout();
    int used = a->parse42_41(info41.data(), static_cast<int>(info41.size()));
    ASSERT_GT(used, 0);
    used += b->parse42_41(info41.data() + used, static_cast<int>(info41.size()) - used);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(used, static_cast<int>(info41.size()));
    used = a->parse42_44(info44.data(), static_cast<int>(info44.size()));
    ASSERT_GT(used, 0);
    used += b->parse42_44(info44.data() + used, static_cast<int>(info44.size()) - used);
    EXPECT_EQ(used, static_cast<int>(info44.size()));

    a->RoundDone();
    b->RoundDone();
    ASSERT_EQ(host.ctl->published.size(), 2u);
    EXPECT_EQ(host.ctl->published[0].data_id, 51u);
    EXPECT_EQ(host.ctl->published[1].data_id, 52u);
    EXPECT_EQ(host.ctl->published[1].bytes.size(), 166u);
    ASSERT_EQ(host.ctl->rules.size(), 2u + 66u);
    EXPECT_TRUE(host.ctl->rules[1].active) << "unit a: voltage too high";
    EXPECT_EQ(host.ctl->rules[2].data_id, 52u);
    EXPECT_EQ(host.ctl->rules[2].seq, 1u);
    EXPECT_TRUE(host.ctl->rules[4].active) << "unit b: first fuse";
    EXPECT_EQ(host.ctl->rules[4].text, "直流1电池熔丝故障告警");
    EXPECT_EQ(a->Get_Value(0, "v"), 53.0f);
    EXPECT_EQ(b->Get_Value(0, "i"), 200.0f);
    EXPECT_EQ(a->Record().alert_p[0], 7);
}

}  // namespace
