// Pins the answer layouts the simulator builds: byte order of values, the
// marker, counts, DATAFLAG and unit-count placement per model, lengths.
#include "tools/sim/info_builder.h"

#include <gtest/gtest.h>

#include <cstring>

namespace sim {
namespace {

using B = Bytes;

Value4 V(float f) { return Value4{f, false}; }
Value4 Invalid() { return Value4{0.0f, true}; }

B Slice(const B& b, std::size_t from, std::size_t n) { return B(b.begin() + from, b.begin() + from + n); }

AcChannel Channel(float a) {
    AcChannel ch;
    ch.a = V(a);
    ch.b = V(0.0f);
    ch.c = Invalid();
    ch.f = V(50.0f);
    ch.alarms = {3, 1, 2, 0};
    ch.user_alarms = B(8, 0x07);
    return ch;
}

AcUnit Unit(int channels) {
    AcUnit u;
    for (int k = 0; k < channels; ++k) u.channels.push_back(Channel(53.5f));
    u.currents = {V(1.0f), Invalid(), V(-2.0f)};
    u.current_alarms = {4, 5, 6};
    u.status = {9, 8, 7};
    return u;
}

DcUnit Dc(std::size_t m, std::size_t n, std::size_t p) {
    DcUnit d;
    d.v = V(53.5f);
    d.i = V(1.0f);
    d.m_values.assign(m, V(2.0f));
    d.n_values.assign(n, V(0.0f));
    d.user.assign(p, Invalid());
    d.v_alert = 2;
    d.alarms.assign(64, 0);
    d.alarms[5] = 3;
    d.user_alarms.assign(13, 1);
    return d;
}

TEST(SimInfoLayout, ValuesTravelLeastSignificantByteFirstAndMarkersAsBlanks) {
    B out;
    ByteWriter w(out);
    w.Value(V(53.5f));
    w.Value(Invalid());
    w.Value(V(0.0f));
    EXPECT_EQ(out, (B{0x00, 0x00, 0x56, 0x42, 0x20, 0x20, 0x20, 0x20, 0, 0, 0, 0}));
}

TEST(SimInfoLayout, ModelTextIsTwentyBytesPaddedWithNulOrBlanks) {
    Plant p;
    p.model_text = "tvr27pk";
    B nul = Info40_51(p);
    ASSERT_EQ(nul.size(), 20u);
    EXPECT_EQ(std::string(nul.begin(), nul.begin() + 7), "tvr27pk");
    EXPECT_EQ(Slice(nul, 7, 13), B(13, 0x00));
    p.pad_with_spaces = true;
    EXPECT_EQ(Slice(Info40_51(p), 7, 13), B(13, ' '));
    p.model_text = std::string(25, 'x');
    EXPECT_EQ(Info40_51(p), B(20, 'x'));
}

TEST(SimInfoLayout, AcPart4041HoldsChannelBlocksThenPhaseCurrents) {
    AcUnit u = Unit(2);
    B part = AcPart40_41(u);
    ASSERT_EQ(part.size(), 1u + 17 * 2 + 12);  // P = 0
    EXPECT_EQ(part[0], 2);
    EXPECT_EQ(Slice(part, 1, 4), (B{0x00, 0x00, 0x56, 0x42}));   // a
    EXPECT_EQ(Slice(part, 5, 4), B(4, 0x00));                   // b = 0.0
    EXPECT_EQ(Slice(part, 9, 4), B(4, 0x20));                   // c invalid
    EXPECT_EQ(Slice(part, 13, 4), (B{0x00, 0x00, 0x48, 0x42})); // f = 50
    EXPECT_EQ(part[17], 0);                                     // P
    EXPECT_EQ(Slice(part, 35, 4), (B{0x00, 0x00, 0x80, 0x3F})); // ia = 1
    EXPECT_EQ(Slice(part, 39, 4), B(4, 0x20));                  // ib invalid
    EXPECT_EQ(Slice(part, 43, 4), (B{0x00, 0x00, 0x00, 0xC0})); // ic = -2

    u.channels[0].user = {V(1.0f), V(1.0f)};
    part = AcPart40_41(u);
    ASSERT_EQ(part.size(), 1u + 17 * 2 + 8 + 12);
    EXPECT_EQ(part[17], 2);
    EXPECT_EQ(part[18 + 8], 0x00);  // second channel's a starts after the two user values
    EXPECT_EQ(Slice(part, 26, 4), (B{0x00, 0x00, 0x56, 0x42}));
}

TEST(SimInfoLayout, AcPart4044And4043) {
    const AcUnit u = Unit(2);
    const B alarms = AcPart40_44(u);
    ASSERT_EQ(alarms.size(), 1u + 14 * 2 + 3);
    EXPECT_EQ(alarms[0], 2);
    EXPECT_EQ(Slice(alarms, 1, 6), (B{3, 1, 2, 0, 0, 8}));  // states, m = 0, p = 8
    EXPECT_EQ(Slice(alarms, 7, 8), B(8, 0x07));
    EXPECT_EQ(Slice(alarms, 29, 3), (B{4, 5, 6}));
    EXPECT_EQ(AcPart40_43(u), (B{0, 3, 9, 8, 7}));
}

TEST(SimInfoLayout, AcAnswersPerModel) {
    Plant p;
    p.ac = {Unit(1), Unit(2)};
    const B a = AcPart40_41(p.ac[0]), b = AcPart40_41(p.ac[1]);
    struct Row {
        Model model;
        std::size_t head;
    };
    for (const Row& r : {Row{Model::tvr27pk, 1}, Row{Model::qzl4200, 2}}) {
        BuildOptions opt;
        opt.model = r.model;
        const B info = Info40_41(p, opt, 0x11);
        ASSERT_EQ(info.size(), r.head + a.size() + b.size()) << static_cast<int>(r.model);
        EXPECT_EQ(info[0], 0x11);
        if (r.model == Model::qzl4200) {
            EXPECT_EQ(info[1], 2);
        }
        EXPECT_EQ(Slice(info, r.head, a.size()), a);
        EXPECT_EQ(Slice(info, r.head + a.size(), b.size()), b);
        EXPECT_EQ(Info40_44(p, opt, 0x01).size(), r.head + 2 * 1 + 14 * 3 + 2 * 3);
        EXPECT_EQ(Info40_43(p, opt, 0x00).size(), r.head + 2 * 5);
    }
}

TEST(SimInfoLayout, RectifierAnswers) {
    Plant p;
    p.rc.group_value = V(53.5f);
    for (int k = 0; k < 2; ++k) {
        RcModule m;
        m.value = V(2.0f);
        m.user = {Invalid(), V(0.0f), V(0.0f), V(0.0f)};
        m.state = {1, 2, 3};
        m.user_state = {4};
        m.fault = static_cast<std::uint8_t>(k);
        m.user_alarms = {5, 6, 7, 8};
        p.rc.modules.push_back(m);
    }
    const B v = Info41_41(p, 0x10);
    ASSERT_EQ(v.size(), 6u + 2 * 21);
    EXPECT_EQ(Slice(v, 0, 6), (B{0x10, 0x00, 0x00, 0x56, 0x42, 2}));
    EXPECT_EQ(Slice(v, 6, 9), (B{0x00, 0x00, 0x00, 0x40, 4, 0x20, 0x20, 0x20, 0x20}));
    EXPECT_EQ(Info41_43(p, 0x10), (B{0x10, 2, 1, 2, 3, 1, 4, 1, 2, 3, 1, 4}));
    EXPECT_EQ(Info41_44(p, 0x01), (B{0x01, 2, 0, 4, 5, 6, 7, 8, 1, 4, 5, 6, 7, 8}));
    p.rc.modules.clear();
    EXPECT_EQ(Info41_41(p, 0), (B{0, 0x00, 0x00, 0x56, 0x42, 0}));
}

TEST(SimInfoLayout, DcBlocks) {
    const B small = DcBlock42_41(Dc(2, 3, 0));
    ASSERT_EQ(small.size(), 31u);
    EXPECT_EQ(small[8], 2);
    EXPECT_EQ(small[17], 3);
    EXPECT_EQ(small[30], 0);
    const B full = DcBlock42_41(Dc(4, 9, 3));
    ASSERT_EQ(full.size(), 9u + 16 + 1 + 36 + 1 + 12);
    EXPECT_EQ(Slice(full, 63, 4), B(4, 0x20));  // user value 0 invalid
    const B alarms = DcBlock42_44(Dc(4, 9, 3));
    ASSERT_EQ(alarms.size(), 1u + 1 + 64 + 1 + 13);
    EXPECT_EQ(Slice(alarms, 0, 2), (B{2, 64}));
    EXPECT_EQ(alarms[2 + 5], 3);
    EXPECT_EQ(alarms[66], 13);
}

TEST(SimInfoLayout, DcAnswersCarryFlagAndCountForBothModels) {
    Plant p;
    p.dc = {Dc(4, 9, 3), Dc(2, 3, 0)};
    for (Model m : {Model::tvr27pk, Model::qzl4200}) {
        BuildOptions opt;
        opt.model = m;
        const B info = Info42_41(p, opt, 0x11);
        ASSERT_EQ(info.size(), 2u + 75 + 31);
        EXPECT_EQ(Slice(info, 0, 2), (B{0x11, 2}));
        EXPECT_EQ(Slice(info, 2, 75), DcBlock42_41(p.dc[0]));
        EXPECT_EQ(Info42_44(p, opt, 0x01).size(), 2u + 2 * 80);
    }
    p.dc.clear();
    EXPECT_EQ(Info42_41(p, BuildOptions{}, 0), (B{0, 0}));
}

TEST(SimInfoLayout, BaseModelWithFourDcUnitsOverlapsCountAndFirstBlock) {
    Plant p;
    p.dc.assign(4, Dc(2, 3, 0));
    const B block = DcBlock42_41(p.dc[0]);
    BuildOptions opt;
    opt.model = Model::qzl4200;
    const B info = Info42_41(p, opt, 0x00);
    ASSERT_EQ(info.size(), 1u + 4 * 31);
    EXPECT_EQ(info[1], 4);
    EXPECT_EQ(Slice(info, 2, 30), Slice(block, 1, 30));
    // Three units, the other model, or the overlap turned off: the plain layout.
    opt.base_dc_count_overlaps = false;
    EXPECT_EQ(Info42_41(p, opt, 0).size(), 2u + 4 * 31);
    opt.base_dc_count_overlaps = true;
    p.dc.pop_back();
    EXPECT_EQ(Info42_41(p, opt, 0).size(), 2u + 3 * 31);
    p.dc.push_back(Dc(2, 3, 0));
    opt.model = Model::tvr27pk;
    EXPECT_EQ(Info42_41(p, opt, 0).size(), 2u + 4 * 31);
    // 42_44 never overlaps.
    opt.model = Model::qzl4200;
    EXPECT_EQ(Info42_44(p, opt, 0).size(), 2u + 4 * 80);
}

TEST(SimInfoLayout, ParameterAnswers) {
    Plant p;
    p.params.p40_46 = {V(1.0f), V(0), V(0), V(0), Invalid()};
    const B a = Info40_46(p);
    ASSERT_EQ(a.size(), 21u);
    EXPECT_EQ(Slice(a, 0, 4), (B{0x00, 0x00, 0x80, 0x3F}));
    EXPECT_EQ(Slice(a, 16, 4), B(4, 0x20));
    EXPECT_EQ(a[20], 0);
    p.params.p40_46_user = {V(0), V(0)};
    EXPECT_EQ(Info40_46(p).size(), 29u);
    p.params.p42_46_user.assign(5, V(2.0f));
    const B b = Info42_46(p);
    ASSERT_EQ(b.size(), 29u);
    EXPECT_EQ(b[8], 5);
    EXPECT_EQ(Slice(b, 25, 4), (B{0x00, 0x00, 0x00, 0x40}));
}

}  // namespace
}  // namespace sim
