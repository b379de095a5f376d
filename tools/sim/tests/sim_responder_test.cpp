// The simulated unit's answers: every command of the set, round counting,
// DATAFLAG bits of what changed, injected faults, and error RTNs for
// malformed or unknown requests.
#include "tools/sim/responder.h"

#include "host/frame_codec.h"
#include "tools/sim/command_set.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

std::string Body(const std::string& frame) { return frame.substr(1, frame.size() - 2); }

std::string Request(std::uint8_t cid1, std::uint8_t cid2, const Bytes& info = {}, std::uint8_t adr = 1,
                    std::uint8_t ver = 0x21) {
    return Body(frame::EncodeRequest(ver, adr, cid1, cid2, info.data(), info.size()));
}

const Bytes kGroup{0xFF};

// The answer frame of a reply: its last item.
frame::DecodeEvent Decoded(const Reply& r) {
    EXPECT_FALSE(r.out.empty());
    if (r.out.empty()) return {};
    return frame::DecodeBody(Body(r.out.back().bytes));
}

const char* kPlant = R"({
  "ac": [{"channels": [{"a": 230, "b": 231, "c": 229, "f": 50}], "currents": [1, 2, 3]}],
  "dc": [{"v": 53.5, "i": 10}],
  "rectifiers": {"group_value": 53.5, "modules": [{"value": 30}, {"value": 31}]},
  "timeline": [
    {"round": 3, "set": "ac/0/channels/0/alarms/0", "value": 3},
    {"round": 4, "set": "rectifiers/modules/1/fault", "value": 1},
    {"round": 5, "set": "rectifiers/modules/0/state/2", "value": 1},
    {"round": 6, "set": "dc/0/alarms/1", "value": 3}
  ]})";

struct Sim {
    explicit Sim(const std::string& doc = kPlant, ResponderOptions opt = {}) : r(ParseScenario(doc), opt) {}
    Reply Ask(std::uint8_t cid1, std::uint8_t cid2, const Bytes& info = {}) { return r.OnFrame(Request(cid1, cid2, info)); }
    // INFO of a normal answer.
    Bytes Info(std::uint8_t cid1, std::uint8_t cid2, const Bytes& info = {}) {
        const frame::DecodeEvent e = Decoded(Ask(cid1, cid2, info));
        EXPECT_TRUE(e.ok);
        EXPECT_EQ(e.frame.rtn, 0);
        return e.frame.info;
    }
    // Asks one whole tvr27pk round, everything read.
    void FullRound() {
        for (auto [c1, c2, group] : {std::tuple{0x40, 0x41, true}, {0x40, 0x44, true}, {0x41, 0x41, false},
                                     {0x41, 0x43, false}, {0x41, 0x44, false}, {0x42, 0x41, true},
                                     {0x42, 0x44, true}, {0x40, 0x46, false}, {0x42, 0x46, false}})
            Ask(static_cast<std::uint8_t>(c1), static_cast<std::uint8_t>(c2), group ? kGroup : Bytes{});
    }
    Responder r;
};

TEST(SimResponder, EveryCommandIsAnsweredWithItsCid1AndTheBuiltInfo) {
    Sim s;
    const Scenario sc = ParseScenario(kPlant);
    const Plant p = BuildPlant(sc.doc);
    struct Row {
        std::uint8_t cid1, cid2;
        Bytes payload;
        Bytes expected;  // with the DATAFLAG the first round sends
    };
    const BuildOptions opt;
    const Row rows[] = {
        {0x40, 0x51, {}, Info40_51(p)},
        {0x40, 0x41, kGroup, Info40_41(p, opt, 0x11)},
        {0x40, 0x43, kGroup, Info40_43(p, opt, 0x11)},
        {0x40, 0x44, kGroup, Info40_44(p, opt, 0x01)},  // 40_43 now delivered
        {0x41, 0x41, {}, Info41_41(p, 0x11)},
        {0x41, 0x43, {}, Info41_43(p, 0x11)},
        {0x41, 0x44, {}, Info41_44(p, 0x01)},
        {0x42, 0x41, kGroup, Info42_41(p, opt, 0x01)},
        {0x42, 0x41, {}, Info42_41(p, opt, 0x01)},  // without the group byte too
        {0x42, 0x44, {}, Info42_44(p, opt, 0x01)},
        {0x42, 0x41, kGroup, Info42_41(p, opt, 0x00)},
        {0x40, 0x46, {}, Info40_46(p)},
        {0x42, 0x46, {}, Info42_46(p)},
    };
    for (const Row& row : rows) {
        const Reply rep = s.Ask(row.cid1, row.cid2, row.payload);
        SCOPED_TRACE(rep.request);
        ASSERT_EQ(rep.out.size(), 1u);
        EXPECT_EQ(rep.out[0].delay_ms, 0);
        const frame::DecodeEvent e = Decoded(rep);
        ASSERT_TRUE(e.ok);
        EXPECT_EQ(e.frame.ver, 0x21);
        EXPECT_EQ(e.frame.adr, 1);
        EXPECT_EQ(e.frame.cid1, row.cid1);
        EXPECT_EQ(e.frame.rtn, 0);
        EXPECT_EQ(e.frame.info, row.expected);
    }
}

TEST(SimResponder, RoundsStartAt4041OrAt4141WithoutAcRequests) {
    Sim s;
    EXPECT_FALSE(s.Ask(0x40, 0x51).round_started);
    EXPECT_EQ(s.r.Round(), 0);
    EXPECT_TRUE(s.Ask(0x40, 0x41, kGroup).round_started);
    EXPECT_FALSE(s.Ask(0x40, 0x41, kGroup).round_started);  // repeated after a lost answer
    EXPECT_FALSE(s.Ask(0x40, 0x44, kGroup).round_started);
    EXPECT_FALSE(s.Ask(0x41, 0x41).round_started);
    EXPECT_FALSE(s.Ask(0x42, 0x46).round_started);
    EXPECT_EQ(s.r.Round(), 1);
    EXPECT_TRUE(s.Ask(0x40, 0x41, kGroup).round_started);
    EXPECT_EQ(s.r.Round(), 2);
    // A host without AC devices starts its rounds with 41_41.
    EXPECT_FALSE(s.Ask(0x41, 0x41).round_started);
    EXPECT_TRUE(s.Ask(0x41, 0x41).round_started == false);
    s.Ask(0x42, 0x46);
    EXPECT_TRUE(s.Ask(0x41, 0x41).round_started);
    EXPECT_FALSE(s.Ask(0x41, 0x41).round_started);
    EXPECT_EQ(s.r.Round(), 3);
    EXPECT_EQ(s.r.CurrentPlant().ac[0].channels[0].alarms[0], 3);  // the timeline moved on
}

TEST(SimResponder, DataflagAnnouncesWhatChangedSinceItWasLastDelivered) {
    Sim s;
    EXPECT_EQ(s.Info(0x40, 0x41, kGroup)[0], 0x11);  // nothing delivered yet
    s.Ask(0x40, 0x44, kGroup);
    s.Ask(0x40, 0x43, kGroup);
    EXPECT_EQ(s.Info(0x41, 0x41)[0], 0x11);
    s.Ask(0x41, 0x43);
    s.Ask(0x41, 0x44);
    EXPECT_EQ(s.Info(0x42, 0x41, kGroup)[0], 0x01);
    s.Ask(0x42, 0x44, kGroup);
    s.Ask(0x40, 0x46);
    s.Ask(0x42, 0x46);
    EXPECT_EQ(s.r.Round(), 1);
    s.FullRound();  // round 2: nothing changes
    struct Expect {
        int round;
        std::uint8_t ac, rc, dc;
    };
    // Rounds 3..6 change the phase alarm, a module fault, a module state and a fuse.
    for (const Expect& e : {Expect{3, 0x01, 0, 0}, Expect{4, 0, 0x01, 0}, Expect{5, 0, 0x10, 0}, Expect{6, 0, 0, 0x01},
                            Expect{7, 0, 0, 0}}) {
        SCOPED_TRACE(e.round);
        EXPECT_EQ(s.Info(0x40, 0x41, kGroup)[0], e.ac);
        EXPECT_EQ(s.r.Round(), e.round);
        EXPECT_EQ(s.Info(0x41, 0x41)[0], e.rc);
        EXPECT_EQ(s.Info(0x42, 0x41, kGroup)[0], e.dc);
        s.Ask(0x40, 0x44, kGroup);
        s.Ask(0x41, 0x43);
        s.Ask(0x41, 0x44);
        s.Ask(0x42, 0x44, kGroup);
        s.Ask(0x42, 0x46);
    }
}

TEST(SimResponder, ScenarioFlagBitsAreAlwaysSet) {
    Sim s(R"({"ac": [{}], "dataflag": {"ac": 16}})");
    s.FullRound();
    s.Ask(0x40, 0x43, kGroup);
    EXPECT_EQ(s.Info(0x40, 0x41, kGroup)[0], 0x10);
}

TEST(SimResponder, InjectedFaultsSpoilTheAnswerAsNamed) {
    struct Row {
        const char* fault;
        void (*check)(const Reply&);
    };
    const Row rows[] = {
        {"drop", [](const Reply& r) { EXPECT_TRUE(r.out.empty()); }},
        {"delay:*:ms=1700",
         [](const Reply& r) {
             ASSERT_EQ(r.out.size(), 1u);
             EXPECT_EQ(r.out[0].delay_ms, 1700);
             EXPECT_TRUE(Decoded(r).ok);
         }},
        {"bad_checksum", [](const Reply& r) { EXPECT_EQ(Decoded(r).fault, frame::Fault::kBadChecksum); }},
        {"bad_length_checksum",
         [](const Reply& r) { EXPECT_EQ(Decoded(r).fault, frame::Fault::kBadLengthChecksum); }},
        {"wrong_cid1",
         [](const Reply& r) {
             ASSERT_TRUE(Decoded(r).ok);
             EXPECT_EQ(Decoded(r).frame.cid1, 0x42);
         }},
        {"wrong_cid1:*:cid1=0x40", [](const Reply& r) { EXPECT_EQ(Decoded(r).frame.cid1, 0x40); }},
        {"truncate",
         [](const Reply& r) {
             ASSERT_TRUE(Decoded(r).ok);
             EXPECT_EQ(Decoded(r).frame.info.size(), (6u + 2 * 21) / 2);
         }},
        {"truncate:*:keep=2", [](const Reply& r) { EXPECT_EQ(Decoded(r).frame.info, (Bytes{0x11, 0x00})); }},
        {"error_rtn",
         [](const Reply& r) {
             ASSERT_TRUE(Decoded(r).ok);
             EXPECT_EQ(Decoded(r).frame.rtn, 0x06);
             EXPECT_TRUE(Decoded(r).frame.info.empty());
         }},
        {"error_rtn:*:rtn=0x04", [](const Reply& r) { EXPECT_EQ(Decoded(r).frame.rtn, 0x04); }},
        {"noise:*:noise=40",
         [](const Reply& r) {
             ASSERT_EQ(r.out.size(), 2u);
             EXPECT_EQ(r.out[0].bytes.size(), 40u);
             EXPECT_EQ(r.out[0].bytes.find('~'), std::string::npos);
             EXPECT_TRUE(Decoded(r).ok);
             EXPECT_EQ(Decoded(r).frame.info.size(), 6u + 2 * 21);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        Sim s;
        s.r.AddFault(FaultFromOption(row.fault));
        const Reply r = s.Ask(0x41, 0x41);
        ASSERT_EQ(r.faults.size(), 1u);
        row.check(r);
    }
}

TEST(SimResponder, ScenarioFaultsHitTheirRoundAndASpoiledGatedAnswerStaysAnnounced) {
    Sim s(R"({"rectifiers": {"modules": [{}]}, "faults": [{"fault": "bad_checksum", "command": "41_44", "round": 1}]})");
    EXPECT_EQ(s.Info(0x41, 0x41)[0], 0x11);  // round 1
    s.Ask(0x41, 0x43);
    EXPECT_EQ(Decoded(s.Ask(0x41, 0x44)).fault, frame::Fault::kBadChecksum);
    EXPECT_TRUE(Decoded(s.Ask(0x41, 0x44)).ok);  // once only
    s.Ask(0x42, 0x46);
    EXPECT_EQ(s.Info(0x41, 0x41)[0], 0x00);  // round 2: the good 41_44 was delivered

    Sim t(R"({"rectifiers": {"modules": [{}]}, "faults": [{"fault": "drop", "command": "41_44"}]})");
    t.Info(0x41, 0x41);
    t.Ask(0x41, 0x43);
    EXPECT_TRUE(t.Ask(0x41, 0x44).out.empty());
    t.Ask(0x42, 0x46);
    EXPECT_EQ(t.Info(0x41, 0x41)[0], 0x01);  // never delivered: still new
}

// With repeat the plant, the timeline and the round-bound faults start again.
TEST(SimResponder, RepeatPlaysTheTimelineAndFaultsAgain) {
    ResponderOptions opt;
    opt.repeat = 2;
    Sim s(R"({"dc": [{"v": 50}], "timeline": [{"round": 1, "until": 2, "add": "dc/0/v", "value": 1}],
              "faults": [{"fault": "drop", "command": "42_41", "round": 2}]})",
          opt);
    const float volts[] = {51, 52, 51, 52, 51};
    for (int k = 0; k < 5; ++k) {
        EXPECT_TRUE(s.Ask(0x41, 0x41).round_started);
        EXPECT_EQ(s.r.Round(), k % 2 + 1) << k;
        EXPECT_EQ(s.r.Pass(), k / 2 + 1) << k;
        EXPECT_FLOAT_EQ(s.r.CurrentPlant().dc[0].v.value, volts[k]) << k;
        EXPECT_EQ(s.Ask(0x42, 0x41, kGroup).out.empty(), k % 2 == 1) << k;  // dropped in round 2 of every pass
    }
}

TEST(SimResponder, LatencyAndAnswerVersion) {
    ResponderOptions opt;
    opt.latency_ms = 35;
    Sim s(R"({"answer_version": 32})", opt);
    const Reply r = s.Ask(0x40, 0x51);
    ASSERT_EQ(r.out.size(), 1u);
    EXPECT_EQ(r.out[0].delay_ms, 35);
    EXPECT_EQ(Decoded(r).frame.ver, 0x20);
    s.r.AddFault(FaultFromOption("noise"));
    const Reply n = s.Ask(0x40, 0x51);
    ASSERT_EQ(n.out.size(), 2u);
    EXPECT_EQ(n.out[0].delay_ms, 35);
    EXPECT_EQ(n.out[1].delay_ms, 0);
}

TEST(SimResponder, MalformedAndUnknownRequestsGetTheirErrorRtn) {
    std::string badSum = Request(0x41, 0x41);
    badSum[badSum.size() - 1] = badSum[badSum.size() - 1] == '0' ? '1' : '0';
    std::string badLen = Request(0x40, 0x41, kGroup);
    badLen[8] = badLen[8] == '0' ? '1' : '0';
    std::string nonHex = Request(0x41, 0x41);
    nonHex[9] = 'x';
    const std::string cut = Request(0x40, 0x41, kGroup).substr(0, 14);
    struct Row {
        const char* what;
        std::string body;
        int rtn;  // -1: no answer
        std::uint8_t cid1;
    };
    const Row rows[] = {
        {"checksum", badSum, 0x02, 0x41},
        {"length checksum", badLen, 0x03, 0x40},
        {"non-hex", nonHex, 0x05, 0x41},
        {"cut short", cut, 0x05, 0x40},
        {"unknown CID2", Request(0x40, 0x99), 0x04, 0x40},
        {"unknown CID1", Request(0x47, 0x41), 0x04, 0x47},
        {"40_41 without group byte", Request(0x40, 0x41), 0x05, 0x40},
        {"41_41 with a payload", Request(0x41, 0x41, kGroup), 0x05, 0x41},
        {"42_41 with two bytes", Request(0x42, 0x41, {0xFF, 0xFF}), 0x05, 0x42},
        {"group byte not 0xFF", Request(0x40, 0x44, {0x01}), 0x06, 0x40},
        {"another address", Request(0x40, 0x51, {}, 2), -1, 0},
        {"unreadable header", "zz" + Request(0x40, 0x51).substr(2), -1, 0},
        {"empty", "", -1, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Sim s;
        const Reply r = s.r.OnFrame(row.body);
        EXPECT_FALSE(r.round_started);
        if (row.rtn < 0) {
            EXPECT_TRUE(r.out.empty());
            continue;
        }
        const frame::DecodeEvent e = Decoded(r);
        ASSERT_TRUE(e.ok);
        EXPECT_EQ(e.frame.rtn, row.rtn);
        EXPECT_EQ(e.frame.cid1, row.cid1);
        EXPECT_TRUE(e.frame.info.empty());
    }
}

}  // namespace
}  // namespace sim
