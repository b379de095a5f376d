// The simulator's answers fed to the plug-in's own decoders, walked over the
// units as each bus-device model walks them: every part must be accepted,
// consume exactly the INFO, and decode to the scenario's values.
#include "ac/ac_models.h"
#include "dc/dc_models.h"
#include "rc/rc_models.h"
#include "tests/support/test_host.h"
#include "tools/sim/info_builder.h"
#include "tools/sim/scenario.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace sim {
namespace {

// Two AC units, four DC units (the base model's overlap case), markers in
// every kind of value.
const char* kPlant = R"({
  "ac": [
    {"channels": [{"a": 230.5, "b": "invalid", "c": 229.0, "f": 50.0, "alarms": [3, 0, 1, 2],
                   "user_alarms": [1, 2, 3, 4, 5, 6, 7, 8]}],
     "currents": [10.5, "invalid", 0.0], "current_alarms": [0, 1, 2], "status": [4, 5, 6]},
    {"channels": [{"a": 1, "b": 2, "c": 3, "f": 4}, {"a": 5, "b": 6, "c": 7, "f": 8, "alarms": [1, 1, 1, 1]}],
     "currents": [1, 2, 3]}
  ],
  "dc": [
    {"v": 53.5, "i": 12.0, "m": [1, 2, 3, 4], "n": [1, 2, 3, 4, 5, 6, 7, 8, 9], "user": [1.5, "invalid", 0],
     "v_alert": 2, "user_alarms": [9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 7]},
    {"v": 52.0, "i": 3.0, "m": [7], "n": [], "user": []},
    {"v": 51.0, "i": 4.0},
    {"v": 50.0, "i": 5.0}
  ],
  "rectifiers": {"group_value": 53.5, "modules": [
    {"value": 30.0, "user": [1, "invalid", 0, 2], "state": [1, 0, 1], "user_state": [3], "fault": 1,
     "user_alarms": [1, 2, 3, 4]},
    {"value": 31.0}]},
  "parameters": {"p40_46": [1, 2, 3, 4, 5], "p42_46": [6, 7], "p42_46_user": [8, 9, 10, 11, 12]},
  "timeline": [{"round": 1, "set": "dc/3/alarms/63", "value": 3}]
})";

float AsFloat(const std::uint8_t* p) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
}

float Expected(const Value4& v, float substitute) { return v.invalid ? substitute : v.value; }

// Walks the devices over the INFO from `skip` on; returns the bytes consumed
// (the skipped ones included), or -1.
template <typename Dev, typename Parse>
int Walk(const Bytes& info, int skip, std::vector<std::shared_ptr<Dev>>& devs, Parse parse) {
    const unsigned char* p = info.data() + skip;
    int n = static_cast<int>(info.size()) - skip;
    for (auto& d : devs) {
        const int r = ((*d).*parse)(p, n);
        if (r < 0) return -1;
        p += r;
        n -= r;
    }
    return static_cast<int>(p - info.data());
}

struct Devices {
    testhost::Host host;
    std::vector<std::shared_ptr<tvr27pkAC>> ac;
    std::vector<std::shared_ptr<tvr27pkDC>> dc;
    std::vector<std::shared_ptr<tvr27pkRC>> rc;
    Devices(std::size_t nac, std::size_t ndc) {
        for (std::size_t k = 0; k < nac; ++k) {
            ac.push_back(std::make_shared<tvr27pkAC>());
            ac.back()->InitV(host.parent.get(), 10 + static_cast<std::uint32_t>(k), Json::Value());
        }
        for (std::size_t k = 0; k < ndc; ++k) {
            dc.push_back(std::make_shared<tvr27pkDC>("dc"));
            dc.back()->InitV(host.parent.get(), 20 + static_cast<std::uint32_t>(k), Json::Value());
        }
        rc.push_back(std::make_shared<tvr27pkRC>());
        rc.back()->InitV(host.parent.get(), 100, Json::Value());
    }
};

class SimDecode : public ::testing::TestWithParam<Model> {};

TEST_P(SimDecode, AcAnswersDecodeToTheScenario) {
    Scenario s = ParseScenario(kPlant);
    OverrideModel(s, GetParam());
    const Plant plant = BuildPlant(s.doc);
    Devices d(plant.ac.size(), 0);
    const int skip = GetParam() == Model::qzl4200 ? 2 : 1;

    const Bytes i41 = Info40_41(plant, s.build, 0x11);
    ASSERT_EQ(Walk(i41, skip, d.ac, &tvr27pkAC::parse40_41), static_cast<int>(i41.size()));
    const Bytes i43 = Info40_43(plant, s.build, 0x11);
    ASSERT_EQ(Walk(i43, skip, d.ac, &tvr27pkAC::parse40_43), static_cast<int>(i43.size()));
    const Bytes i44 = Info40_44(plant, s.build, 0x11);
    ASSERT_EQ(Walk(i44, skip, d.ac, &tvr27pkAC::parse40_44), static_cast<int>(i44.size()));
    if (GetParam() == Model::qzl4200) {
        EXPECT_EQ(i41[1], plant.ac.size());
    }

    for (std::size_t u = 0; u < plant.ac.size(); ++u) {
        SCOPED_TRACE(u);
        const AcUnit& want = plant.ac[u];
        const auto rec = d.ac[u]->Record();
        const float ia = rec.ia, ib = rec.ib, ic = rec.ic;
        EXPECT_FLOAT_EQ(ia, Expected(want.currents[0], -0.1f));
        EXPECT_FLOAT_EQ(ib, Expected(want.currents[1], -0.1f));
        EXPECT_FLOAT_EQ(ic, Expected(want.currents[2], -0.1f));
        EXPECT_EQ(rec.channel_num, want.channels.size());
        EXPECT_EQ((std::vector<std::uint8_t>{rec.ia_alert, rec.ib_alert, rec.ic_alert}),
                  std::vector<std::uint8_t>(want.current_alarms.begin(), want.current_alarms.end()));
        EXPECT_EQ(std::vector<std::uint8_t>(rec.p40_43, rec.p40_43 + 3), want.status);
        ASSERT_EQ(d.ac[u]->Channels().size(), want.channels.size());
        for (std::size_t c = 0; c < want.channels.size(); ++c) {
            const auto ch = d.ac[u]->Channels()[c];
            const AcChannel& w = want.channels[c];
            const float a = ch.a, b = ch.b, cc = ch.c, f = ch.f;
            EXPECT_FLOAT_EQ(a, Expected(w.a, 0.0f));
            EXPECT_FLOAT_EQ(b, Expected(w.b, 0.0f));
            EXPECT_FLOAT_EQ(cc, Expected(w.c, 0.0f));
            EXPECT_FLOAT_EQ(f, Expected(w.f, 0.0f));
            EXPECT_EQ((std::vector<std::uint8_t>{ch.a_alert, ch.b_alert, ch.c_alert, ch.f_alert}),
                      std::vector<std::uint8_t>(w.alarms.begin(), w.alarms.end()));
            EXPECT_EQ(std::vector<std::uint8_t>(ch.p40_44, ch.p40_44 + 8), w.user_alarms);
        }
    }
    EXPECT_TRUE(d.host.ctl->logs.empty()) << d.host.ctl->logs.front();
}

TEST_P(SimDecode, DcAnswersDecodeToTheScenario) {
    Scenario s = ParseScenario(kPlant);
    OverrideModel(s, GetParam());
    Timeline t(s);
    t.Advance();
    const Plant plant = t.CurrentPlant();
    Devices d(0, plant.dc.size());
    // The base model hands the first unit its block from INFO[1] with four or more units.
    const bool overlap = GetParam() == Model::qzl4200;
    const Bytes i41 = Info42_41(plant, s.build, 0x01);
    EXPECT_EQ(i41[1], plant.dc.size());
    ASSERT_EQ(Walk(i41, overlap ? 1 : 2, d.dc, &tvr27pkDC::parse42_41), static_cast<int>(i41.size()));
    const Bytes i44 = Info42_44(plant, s.build, 0x01);
    ASSERT_EQ(Walk(i44, 2, d.dc, &tvr27pkDC::parse42_44), static_cast<int>(i44.size()));

    for (std::size_t u = 0; u < plant.dc.size(); ++u) {
        SCOPED_TRACE(u);
        const DcUnit& w = plant.dc[u];
        const auto rec = d.dc[u]->Record();
        const float v = rec.v, i = rec.i;
        if (overlap && u == 0) {
            EXPECT_NEAR(v, w.v.value, w.v.value * 1e-5);  // its lowest byte carries the count
        } else {
            EXPECT_FLOAT_EQ(v, w.v.value);
        }
        EXPECT_FLOAT_EQ(i, w.i.value);
        EXPECT_EQ(rec.dc_m, w.m_values.size());
        for (std::size_t k = 0; k < w.m_values.size(); ++k) EXPECT_FLOAT_EQ(float(rec.m_value[k]), w.m_values[k].value);
        EXPECT_EQ(rec.dc_n, w.n_values.size());
        for (std::size_t k = 0; k < w.n_values.size(); ++k) EXPECT_FLOAT_EQ(float(rec.n_value[k]), w.n_values[k].value);
        EXPECT_EQ(rec.p_count, w.user.size());
        for (std::size_t k = 0; k < w.user.size(); ++k) EXPECT_FLOAT_EQ(float(rec.user_p[k]), Expected(w.user[k], -0.1f));
        EXPECT_EQ(rec.v_alert, w.v_alert);
        EXPECT_EQ(rec.alert_m_num, 64);
        EXPECT_EQ(std::vector<std::uint8_t>(rec.alert_m, rec.alert_m + 64), w.alarms);
        EXPECT_EQ(std::vector<std::uint8_t>(rec.alert_p, rec.alert_p + 13), w.user_alarms);
    }
    EXPECT_EQ(d.dc[3]->Record().alert_m[63], 3);  // the timeline's fuse fault
}

TEST_P(SimDecode, RectifierAndParameterAnswersDecodeToTheScenario) {
    Scenario s = ParseScenario(kPlant);
    OverrideModel(s, GetParam());
    const Plant plant = BuildPlant(s.doc);
    Devices d(0, 0);
    tvr27pkRC& rc = *d.rc[0];
    for (auto [info, parse] : {std::pair{Info41_41(plant, 0x11), &tvr27pkRC::parse41_41},
                               std::pair{Info41_43(plant, 0x11), &tvr27pkRC::parse41_43},
                               std::pair{Info41_44(plant, 0x11), &tvr27pkRC::parse41_44},
                               std::pair{Info40_46(plant), &tvr27pkRC::parse40_46},
                               std::pair{Info42_46(plant), &tvr27pkRC::parse42_46}}) {
        EXPECT_EQ((rc.*parse)(info.data(), static_cast<int>(info.size())), static_cast<int>(info.size()));
    }
    const auto rec = rc.Record();
    EXPECT_EQ(rec.channel_num, 2);
    EXPECT_FLOAT_EQ(AsFloat(rec.group_value), 53.5f);
    for (int k = 0; k < 5; ++k) EXPECT_FLOAT_EQ(AsFloat(rec.p40_46 + 4 * k), float(k + 1));
    EXPECT_FLOAT_EQ(AsFloat(rec.p42_46_fixed + 4), 7.0f);
    EXPECT_EQ(rec.p42_46_num, 5);
    EXPECT_FLOAT_EQ(AsFloat(rec.p42_46 + 16), 12.0f);
    ASSERT_EQ(rc.Channels().size(), 2u);
    const auto m0 = rc.Channels()[0];
    EXPECT_FLOAT_EQ(AsFloat(m0.value), 30.0f);
    EXPECT_EQ(std::vector<std::uint8_t>(m0.p41_41 + 4, m0.p41_41 + 8), std::vector<std::uint8_t>(4, 0));  // marker
    EXPECT_FLOAT_EQ(AsFloat(m0.p41_41 + 12), 2.0f);
    EXPECT_EQ(std::vector<std::uint8_t>(m0.state, m0.state + 3), (std::vector<std::uint8_t>{1, 0, 1}));
    EXPECT_EQ(m0.p41_43[0], 3);
    EXPECT_EQ(m0.fault, 1);
    EXPECT_EQ(std::vector<std::uint8_t>(m0.p41_44, m0.p41_44 + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(rc.Channels()[1].fault, 0);
    EXPECT_TRUE(d.host.ctl->logs.empty()) << d.host.ctl->logs.front();
}

TEST_P(SimDecode, DefaultScenarioDecodesWithoutProtocolComplaints) {
    Scenario s = DefaultScenario();
    OverrideModel(s, GetParam());
    Timeline t(s);
    const int skip = GetParam() == Model::qzl4200 ? 2 : 1;
    for (int round = 1; round <= 20; ++round) {
        t.Advance();
        const Plant plant = t.CurrentPlant();
        Devices d(plant.ac.size(), plant.dc.size());
        SCOPED_TRACE(round);
        const Bytes a41 = Info40_41(plant, s.build, 0), a44 = Info40_44(plant, s.build, 0);
        EXPECT_EQ(Walk(a41, skip, d.ac, &tvr27pkAC::parse40_41), static_cast<int>(a41.size()));
        EXPECT_EQ(Walk(a44, skip, d.ac, &tvr27pkAC::parse40_44), static_cast<int>(a44.size()));
        const Bytes d41 = Info42_41(plant, s.build, 0), d44 = Info42_44(plant, s.build, 0);
        EXPECT_EQ(Walk(d41, 2, d.dc, &tvr27pkDC::parse42_41), static_cast<int>(d41.size()));
        EXPECT_EQ(Walk(d44, 2, d.dc, &tvr27pkDC::parse42_44), static_cast<int>(d44.size()));
        EXPECT_EQ(d.ac[0]->Channels()[0].a_alert, round >= 5 && round < 12 ? 3 : 0);
        EXPECT_TRUE(d.host.ctl->logs.empty()) << d.host.ctl->logs.front();
    }
}

INSTANTIATE_TEST_SUITE_P(BothModels, SimDecode, ::testing::Values(Model::tvr27pk, Model::qzl4200),
                         [](const auto& info) { return std::string(ModelName(info.param)); });

}  // namespace
}  // namespace sim
