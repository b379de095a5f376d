// Fault rules from options and scenario entries, and which requests the
// plan hits.
#include "tools/sim/faults.h"

#include <json/reader.h>

#include <gtest/gtest.h>

#include <sstream>

namespace sim {
namespace {

Json::Value Parse(const std::string& text) {
    Json::Value v;
    std::istringstream in(text);
    std::string err;
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &err)) << err;
    return v;
}

TEST(SimFaults, OptionsParse) {
    FaultRule r = FaultFromOption("drop:41_43:every=3");
    EXPECT_EQ(r.kind, FaultKind::drop);
    EXPECT_EQ(r.command, "41_43");
    EXPECT_EQ(r.every, 3);
    EXPECT_EQ(r.times, 0);
    EXPECT_EQ(r.from_round, 0);
    EXPECT_EQ(r.to_round, INT_MAX);

    r = FaultFromOption("error_rtn:*:rtn=4,times=2");
    EXPECT_EQ(r.kind, FaultKind::error_rtn);
    EXPECT_EQ(r.command, "*");
    EXPECT_EQ(r.rtn, 4);
    EXPECT_EQ(r.times, 2);

    r = FaultFromOption("delay::ms=2500,round=4");
    EXPECT_EQ(r.command, "*");
    EXPECT_EQ(r.delay_ms, 2500);
    EXPECT_EQ(r.from_round, 4);
    EXPECT_EQ(r.to_round, 4);
    EXPECT_EQ(r.times, 1);  // one round, once by default

    r = FaultFromOption("wrong_cid1:40_44:cid1=0x43,round=2,until=6");
    EXPECT_EQ(r.cid1, 0x43);
    EXPECT_EQ(r.to_round, 6);
    EXPECT_EQ(r.times, 0);

    r = FaultFromOption("noise");
    EXPECT_EQ(r.kind, FaultKind::noise);
    EXPECT_EQ(r.command, "*");
    EXPECT_EQ(FaultFromOption("truncate:42_41:keep=3").keep, 3);
    EXPECT_EQ(FaultFromOption("bad_length_checksum").kind, FaultKind::bad_length_checksum);
    EXPECT_EQ(FaultFromOption("bad_checksum:40_41").kind, FaultKind::bad_checksum);
}

TEST(SimFaults, BadOptionsAreRefused) {
    for (const char* bad : {"explode", "drop:4141", "drop:41_43:every=0", "drop:41_43:every", "drop:41_43:foo=1",
                            "drop:41_43:every=x", "error_rtn:*:rtn=0", "error_rtn:*:rtn=256", "delay:*:ms=-1",
                            "drop:*:round=5,until=4", "noise:*:noise=0"}) {
        EXPECT_THROW(FaultFromOption(bad), std::runtime_error) << bad;
    }
}

TEST(SimFaults, ScenarioEntries) {
    FaultRule r = FaultFromJson(Parse(R"({"fault": "drop", "command": "42_41", "round": 7})"));
    EXPECT_EQ(r.from_round, 7);
    EXPECT_EQ(r.to_round, 7);
    EXPECT_EQ(r.times, 1);
    r = FaultFromJson(Parse(R"({"fault": "delay", "round": 2, "until": 9, "every": 2, "ms": 1800})"));
    EXPECT_EQ(r.to_round, 9);
    EXPECT_EQ(r.times, 0);
    EXPECT_EQ(r.every, 2);
    EXPECT_EQ(r.delay_ms, 1800);
    EXPECT_THROW(FaultFromJson(Parse(R"({"fault": "drop", "every": "2"})")), std::runtime_error);
    EXPECT_THROW(FaultFromJson(Parse(R"({"fault": "drop", "color": 2})")), std::runtime_error);
    EXPECT_THROW(FaultFromJson(Parse(R"([1])")), std::runtime_error);
}

TEST(SimFaults, PlanHitsMatchingRequestsByCountWindowAndLimit) {
    FaultPlan plan;
    plan.Add(FaultFromOption("drop:41_43:every=3"));
    plan.Add(FaultFromOption("noise:*:round=2,until=3,times=2"));
    struct Step {
        const char* command;
        int round;
        std::vector<FaultKind> hits;
    };
    const std::vector<Step> steps = {
        {"41_43", 1, {}},
        {"41_41", 1, {}},
        {"41_43", 1, {}},
        {"41_43", 2, {FaultKind::drop, FaultKind::noise}},
        {"40_41", 2, {FaultKind::noise}},
        {"40_41", 3, {}},  // noise used up
        {"41_43", 4, {}},
        {"41_43", 4, {}},
        {"41_43", 4, {FaultKind::drop}},
    };
    for (std::size_t k = 0; k < steps.size(); ++k) {
        std::vector<FaultKind> got;
        for (const FaultRule& r : plan.Select(steps[k].command, steps[k].round)) got.push_back(r.kind);
        EXPECT_EQ(got, steps[k].hits) << "step " << k;
    }
}

}  // namespace
}  // namespace sim
