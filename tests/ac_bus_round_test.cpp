// Whole polling rounds of the tvr27pk bus device with two real AC children:
// the answers reach the AC records, every AC child publishes its snapshot,
// reports its rules numbered from 1 and answers its signal names.
#include "bus/bus_models.h"
#include "tests/support/test_host.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Info = std::vector<std::uint8_t>;

void Put(Info& b, float f) {
    const auto fb = testhost::FloatBytes(f);
    b.insert(b.end(), fb.begin(), fb.end());
}

// One AC unit's 40_41 part: channel i has voltages base + 10 i (+1, +2) and 50 Hz.
Info Part41(int channels, float base, float ia) {
    Info b = {static_cast<std::uint8_t>(channels)};
    for (int i = 0; i < channels; ++i) {
        const float v = base + 10.0f * static_cast<float>(i);
        Put(b, v);
        Put(b, v + 1.0f);
        Put(b, v + 2.0f);
        Put(b, 50.0f);
        b.push_back(0);
    }
    Put(b, ia);
    Put(b, ia + 1.0f);
    Put(b, ia + 2.0f);
    return b;
}

// One AC unit's 40_44 part: every channel with the given states, then the panel states.
Info Part44(int channels, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t f, std::uint8_t iaAlert) {
    Info p = {static_cast<std::uint8_t>(channels)};
    for (int i = 0; i < channels; ++i) {
        p.insert(p.end(), {a, b, c, f, 0, 8});
        p.insert(p.end(), 8, 0);
    }
    p.insert(p.end(), {iaAlert, 0, 0});
    return p;
}

Info Cat(std::uint8_t first, const std::vector<Info>& parts) {
    Info b = {first};
    for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

class AcBusRound : public ::testing::Test {
protected:
    void SetUp() override {
        cfg = testhost::ParseJson(R"({"protocol_version": 33,
            "acSetting": [{"data_id": 11}, {"data_id": 12, "appSetting": {"diff_v": 3}}],
            "dcSetting": [], "rcSetting": {}})");
        bus = std::make_shared<tvr27pk>();
        bus->Init(ctl, 7, cfg);
        ASSERT_TRUE(bus->InitSetting(cfg));
        bus->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::hours(1));
        for (std::uint32_t id : {11u, 12u}) {
            auto ac = std::dynamic_pointer_cast<tvr27pkAC>(bus->GetChildVDevice(id));
            ASSERT_NE(ac, nullptr);
            ac->SetTraceStream(&trace);
            acs.push_back(ac);
        }
    }

    // Answers every request from the table by its CID1/CID2 until the round ends.
    void RunRound(const std::map<std::pair<int, int>, Info>& answers) {
        ASSERT_TRUE(bus->RefreshStatus());
        for (int i = 0; i < 16; ++i) {
            ASSERT_FALSE(ctl->requests.empty());
            const auto& req = ctl->requests.back();
            const auto it = answers.find({req.cid1, req.cid2});
            ASSERT_NE(it, answers.end()) << std::hex << int(req.cid1) << "_" << int(req.cid2);
            const auto a = testhost::Answer(req.cid1, it->second);
            const std::size_t sent = ctl->requests.size();
            const int r = bus->DeliverAnswer(a.data(), static_cast<unsigned>(a.size()));
            if (r == 0) return;
            ASSERT_GT(ctl->requests.size(), sent) << "answer refused";
        }
        FAIL() << "the round did not end";
    }

    std::map<std::pair<int, int>, Info> Answers(float base, std::uint8_t cAlert, std::uint8_t iaAlert) {
        Info model(20, 0);
        std::memcpy(model.data(), "tvr27pk", 7);
        Info p40_46(20, 0);
        p40_46.push_back(0);
        Info p42_46(8, 0);
        p42_46.push_back(5);
        p42_46.insert(p42_46.end(), 20, 0);
        return {
            {{0x40, 0x51}, model},
            {{0x40, 0x41}, Cat(0x01, {Part41(2, base, 5.0f), Part41(1, base + 100.0f, 8.0f)})},
            {{0x40, 0x44}, Cat(0x00, {Part44(2, 0, 0, cAlert, 0, 0), Part44(1, 0, 0, 0, 0, iaAlert)})},
            {{0x41, 0x41}, {0x11, 1, 2, 3, 4, 0}},
            {{0x41, 0x43}, {0, 0}},
            {{0x41, 0x44}, {0, 0}},
            {{0x42, 0x41}, {0, 0}},
            {{0x42, 0x44}, {0, 0}},
            {{0x40, 0x46}, p40_46},
            {{0x42, 0x46}, p42_46},
        };
    }

    std::vector<const rule_value*> RulesOf(std::uint32_t id) const {
        std::vector<const rule_value*> v;
        for (const auto& r : ctl->rules)
            if (r.data_id == id) v.push_back(&r);
        return v;
    }
    const testhost::Snapshot* PublishedBy(std::uint32_t id) const {
        for (const auto& s : ctl->published)
            if (s.data_id == id) return &s;
        return nullptr;
    }

    std::shared_ptr<testhost::TestController> ctl = std::make_shared<testhost::TestController>();
    Json::Value cfg;
    std::shared_ptr<tvr27pk> bus;
    std::vector<std::shared_ptr<tvr27pkAC>> acs;
    std::ostringstream trace;
};

TEST_F(AcBusRound, RoundReachesEveryAcChild) {
    RunRound(Answers(220.0f, 2, 3));
    EXPECT_EQ(acs[1]->DiffV(), 3.0f);

    const int channels[] = {2, 1};
    for (int u = 0; u < 2; ++u) {
        const std::uint32_t id = 11 + u;
        SCOPED_TRACE(id);
        const auto* sp = PublishedBy(id);
        ASSERT_NE(sp, nullptr);
        EXPECT_EQ(sp->type_number, 5106);
        EXPECT_EQ(sp->bytes.size(), 32u + 30u * channels[u]);
        const auto rules = RulesOf(id);
        ASSERT_EQ(rules.size(), 11u * channels[u] + 9u);
        for (std::size_t k = 0; k < rules.size(); ++k) EXPECT_EQ(rules[k]->seq, k + 1);
    }

    // Values and states went to the unit they belong to.
    const VNQVDevice& first = *acs[0];
    const VNQVDevice& second = *acs[1];
    EXPECT_EQ(first.Get_Value(0, "channel_1_b"), 231.0f);
    EXPECT_EQ(first.Get_Value(0, "ic"), 7.0f);
    EXPECT_EQ(second.Get_Value(0, "channel_0_a"), 320.0f);
    EXPECT_EQ(second.Get_Value(0, "ia"), 8.0f);
    EXPECT_EQ(second.Get_Value(0, "ia_alert"), 3.0f);
    EXPECT_THROW(second.Get_Value(0, "channel_1_a"), std::out_of_range);
    const auto r11 = RulesOf(11);
    EXPECT_EQ(r11[6]->key, "AC_6");
    EXPECT_EQ(r11[6]->text, "交流屏1输入线/相电压CA/C");
    EXPECT_TRUE(r11[6]->active);
    EXPECT_TRUE(r11[17]->active) << "AC_6 of the second channel";
    const auto r12 = RulesOf(12);
    EXPECT_EQ(r12[11 + 6]->key, "AC_18");
    EXPECT_TRUE(r12[11 + 6]->active);
    EXPECT_EQ(ctl->saved.size(), 3u) << "two AC snapshots and the rectifiers'";
}

TEST_F(AcBusRound, LaterRoundRenumbersAndRefreshes) {
    RunRound(Answers(220.0f, 0, 0));
    ctl->Clear();
    bus->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::hours(1));
    RunRound(Answers(240.0f, 0, 0));
    const auto rules = RulesOf(11);
    ASSERT_EQ(rules.size(), 31u);
    EXPECT_EQ(rules.front()->seq, 1u);
    EXPECT_EQ(static_cast<const VNQVDevice&>(*acs[0]).Get_Value(0, "channel_0_a"), 240.0f);
    ASSERT_NE(PublishedBy(12), nullptr);
    EXPECT_EQ(PublishedBy(12)->bytes.size(), 62u);
}

}  // namespace

TEST_F(AcBusRound, AStatesAnswerShorterThanItsSkippedByteReachesTheFirstChild) {
    // The empty INFO leaves the first AC unit -1 bytes: it logs its own
    // overflow and refuses, so the second is not asked and nothing is sent.
    auto answers = Answers(220.0f, 0, 0);
    answers[{0x40, 0x44}] = {};
    ASSERT_TRUE(bus->RefreshStatus());
    for (int i = 0; i < 3; ++i) {
        const auto& req = ctl->requests.back();
        const auto a = testhost::Answer(req.cid1, answers.at({req.cid1, req.cid2}));
        const std::size_t sent = ctl->requests.size();
        const bool states = req.cid2 == 0x44;
        ctl->logs.clear();
        EXPECT_EQ(bus->DeliverAnswer(a.data(), static_cast<unsigned>(a.size())), 1);
        if (!states) continue;
        EXPECT_EQ(ctl->requests.size(), sent) << "nothing sent after the refusal";
        ASSERT_EQ(ctl->logs.size(), 1u);
        EXPECT_EQ(ctl->logs[0].rfind("PMBusPowerAC:ProcotolError 11 read 40_44 read overflow", 0), 0u) << ctl->logs[0];
        return;
    }
    FAIL() << "no 40_44 was asked";
}
