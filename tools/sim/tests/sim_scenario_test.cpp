// Scenario loading and the timeline: the built-in default, defaults of
// absent members, rejected documents, and the plant as rounds go by.
#include "tools/sim/scenario.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace sim {
namespace {

Plant AtRound(const Scenario& s, int round) {
    Timeline t(s);
    while (t.Round() < round) t.Advance();
    return t.CurrentPlant();
}

TEST(SimScenario, BuiltInDefaultIsTheShippedFile) {
    std::ifstream in(PMB_SIM_DEFAULT_SCENARIO_FILE);
    ASSERT_TRUE(in.good());
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(DefaultScenarioText(), ss.str());

    const Scenario s = DefaultScenario();
    EXPECT_EQ(s.model, Model::tvr27pk);
    const Plant p = AtRound(s, 0);
    EXPECT_EQ(p.model_text, "tvr27pk");
    ASSERT_EQ(p.ac.size(), 1u);
    EXPECT_EQ(p.ac[0].channels.size(), 2u);
    ASSERT_EQ(p.dc.size(), 2u);
    EXPECT_EQ(p.dc[0].alarms.size(), 64u);
    EXPECT_TRUE(p.dc[0].user[2].invalid);
    EXPECT_EQ(p.rc.modules.size(), 3u);
    EXPECT_EQ(p.params.p42_46_user.size(), 5u);
    EXPECT_FALSE(s.faults.empty());
}

TEST(SimScenario, DefaultTimelineHasPhaseLossModuleFaultFuseAndDrift) {
    const Scenario s = DefaultScenario();
    struct Row {
        int round;
        std::uint8_t phase;
        float a;
        std::uint8_t fault;
        std::uint8_t fuse;
        float v;
    };
    const Row rows[] = {
        {1, 0, 231.5f, 0, 0, 53.5f},           {4, 0, 231.5f, 0, 0, 53.35f},
        {5, 3, 0.0f, 0, 0, 53.3f},             {8, 3, 0.0f, 1, 0, 53.15f},
        {10, 3, 0.0f, 1, 3, 53.05f},           {12, 0, 231.2f, 1, 3, 52.95f},
        {15, 0, 231.2f, 0, 3, 52.8f},          {18, 0, 231.2f, 0, 0, 52.65f},
        {30, 0, 231.2f, 0, 0, 53.5f - 29 * 0.05f}, {45, 0, 231.2f, 0, 0, 53.5f - 29 * 0.05f},
    };
    for (const Row& r : rows) {
        const Plant p = AtRound(s, r.round);
        SCOPED_TRACE(r.round);
        EXPECT_EQ(p.ac[0].channels[0].alarms[0], r.phase);
        EXPECT_FLOAT_EQ(p.ac[0].channels[0].a.value, r.a);
        EXPECT_EQ(p.rc.modules[1].fault, r.fault);
        EXPECT_EQ(p.dc[1].alarms[2], r.fuse);
        EXPECT_NEAR(p.dc[0].v.value, r.v, 1e-3);
    }
}

TEST(SimScenario, AbsentMembersTakeTheCountsTheDevicesExpect) {
    const Scenario s = ParseScenario(R"({"model": "qzl4200", "ac": [{"channels": [{}]}], "dc": [{}],
                                        "rectifiers": {"modules": [{}]}})");
    EXPECT_EQ(s.model, Model::qzl4200);
    EXPECT_EQ(s.build.model, Model::qzl4200);
    const Plant p = BuildPlant(s.doc);
    EXPECT_EQ(p.model_text, "qzl4200");
    EXPECT_TRUE(p.ac[0].channels[0].user.empty());
    EXPECT_EQ(p.ac[0].channels[0].user_alarms.size(), 8u);
    EXPECT_EQ(p.ac[0].status.size(), 3u);
    EXPECT_TRUE(p.ac[0].breakers.empty());
    EXPECT_EQ(p.dc[0].m_values.size(), 4u);
    EXPECT_EQ(p.dc[0].n_values.size(), 9u);
    EXPECT_EQ(p.dc[0].user.size(), 3u);
    EXPECT_EQ(p.dc[0].alarms.size(), 64u);
    EXPECT_EQ(p.dc[0].user_alarms.size(), 13u);
    EXPECT_EQ(p.rc.modules[0].user.size(), 4u);
    EXPECT_EQ(p.rc.modules[0].user_state.size(), 1u);
    EXPECT_EQ(p.rc.modules[0].user_alarms.size(), 4u);
    EXPECT_TRUE(p.params.p40_46_user.empty());
    EXPECT_EQ(p.params.p42_46_user.size(), 5u);
}

TEST(SimScenario, ModelTextFillAndFlags) {
    const Scenario s = ParseScenario(R"({"model_text": "other", "model_fill": "space", "answer_version": 32,
                                        "dataflag": {"ac": 17, "rc": 1, "dc": 16}})");
    const Plant p = BuildPlant(s.doc);
    EXPECT_EQ(p.model_text, "other");
    EXPECT_TRUE(p.pad_with_spaces);
    EXPECT_EQ(s.answer_version, 0x20);
    EXPECT_EQ(p.flags.ac, 0x11);
    EXPECT_EQ(p.flags.rc, 0x01);
    EXPECT_EQ(p.flags.dc, 0x10);
}

TEST(SimScenario, BadDocumentsAreRefusedNamingTheMember) {
    struct Row {
        const char* doc;
        const char* mentions;
    };
    const Row rows[] = {
        {R"([1])", "not a JSON object"},
        {R"({"model": "x1"})", "unknown model"},
        {R"({"model_fill": "zero"})", "model_fill"},
        {R"({"dc": [{"v": "high"}]})", "dc/0/v"},
        {R"({"dc": [{"alarms": [256]}]})", "dc/0/alarms/0"},
        {R"({"ac": [{"currents": [1, 2]}]})", "ac/0/currents"},
        {R"({"ac": [{"channels": [{"alarms": [0, 0, 0]}]}]})", "ac/0/channels/0/alarms"},
        {R"({"parameters": {"p40_46": [1]}})", "parameters/p40_46"},
        {R"({"dc": [{}], "timeline": [{"round": 3, "set": "dc/1/v", "value": 1}]})", "dc/1"},
        {R"({"dc": [{}], "timeline": [{"round": 3, "set": "dc/0/volts", "value": 1}]})", "dc/0/volts"},
        {R"({"dc": [{}], "timeline": [{"round": 3, "set": "dc/0/alarms", "value": 1}]})", "names a list"},
        {R"({"dc": [{}], "timeline": [{"round": 3, "set": "dc/0/v_alert", "value": 300}]})", "dc/0/v_alert"},
        {R"({"dc": [{"v": "invalid"}], "timeline": [{"round": 3, "add": "dc/0/v", "value": 1}]})", "add needs a number"},
        {R"({"dc": [{}], "timeline": [{"round": 0, "set": "dc/0/v", "value": 1}]})", "round"},
        {R"({"dc": [{}], "timeline": [{"round": 2, "until": 5, "set": "dc/0/v", "value": 1}]})", "until is for add"},
        {R"({"dc": [{}], "timeline": [{"round": 2, "until": 1, "add": "dc/0/v", "value": 1}]})", "until must"},
        {R"({"dc": [{}], "timeline": [{"round": 2, "set": "dc/0/v", "add": "dc/0/i", "value": 1}]})", "exactly one"},
        {R"({"faults": [{"fault": "melt"}]})", "unknown fault"},
        {R"({"faults": [{"fault": "drop", "command": "4141"}]})", "CC_DD"},
    };
    for (const Row& r : rows) {
        try {
            ParseScenario(r.doc);
            ADD_FAILURE() << "accepted: " << r.doc;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(r.mentions), std::string::npos) << e.what() << " for " << r.doc;
        }
    }
}

TEST(SimScenario, SetAndAddInTheSameRoundApplyInFileOrderAndKeepBytesIntegral) {
    const Scenario s = ParseScenario(R"({"dc": [{"v": 10.0, "v_alert": 0}], "timeline": [
        {"round": 2, "set": "dc/0/v", "value": 20.0},
        {"round": 2, "until": 3, "add": "dc/0/v", "value": 0.5},
        {"round": 3, "add": "dc/0/v_alert", "until": 3, "value": 2},
        {"round": 4, "set": "dc/0/v", "value": "invalid"}]})");
    EXPECT_FLOAT_EQ(AtRound(s, 1).dc[0].v.value, 10.0f);
    EXPECT_FLOAT_EQ(AtRound(s, 2).dc[0].v.value, 20.5f);
    const Plant p3 = AtRound(s, 3);
    EXPECT_FLOAT_EQ(p3.dc[0].v.value, 21.0f);
    EXPECT_EQ(p3.dc[0].v_alert, 2);
    EXPECT_TRUE(AtRound(s, 4).dc[0].v.invalid);
}

}  // namespace
}  // namespace sim

namespace sim {
namespace {

TEST(SimScenario, TimelineMayNameMembersLeftToDefaults) {
    const Scenario s = ParseScenario(R"({"dc": [{}], "rectifiers": {"modules": [{}]}, "timeline": [
        {"round": 2, "set": "dc/0/alarms/63", "value": 3},
        {"round": 2, "set": "rectifiers/modules/0/user/3", "value": "invalid"}]})");
    const Plant p = AtRound(s, 2);
    EXPECT_EQ(p.dc[0].alarms[63], 3);
    EXPECT_TRUE(p.rc.modules[0].user[3].invalid);
}

TEST(SimScenario, OverridingTheModelMovesTheDefaultModelText) {
    Scenario s = DefaultScenario();
    OverrideModel(s, Model::qzl4200);
    EXPECT_EQ(s.build.model, Model::qzl4200);
    EXPECT_EQ(BuildPlant(s.doc).model_text, "qzl4200");
    Scenario t = ParseScenario(R"({"model_text": "X9"})");
    OverrideModel(t, Model::qzl4200);
    EXPECT_EQ(BuildPlant(t.doc).model_text, "X9");
}

}  // namespace
}  // namespace sim
