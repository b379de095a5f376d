#include "fuzz/support/rig.h"

#include "fuzz/support/check.h"

#include <json/value.h>

#include <cstdio>

namespace rig {
namespace {

// A small deterministic generator, so that seeds and runs repeat.
class Lcg {
public:
    explicit Lcg(unsigned seed) : s_(seed * 2654435761u + 1u) {}
    unsigned Next() {
        s_ = s_ * 1103515245u + 12345u;
        return (s_ >> 8) & 0xFFFFFF;
    }
    float Around(float centre, float spread) {
        return centre + spread * (static_cast<float>(Next() % 2001) / 1000.0f - 1.0f);
    }
    std::uint8_t Pick(std::uint8_t n) { return static_cast<std::uint8_t>(Next() % n); }

private:
    unsigned s_;
};

sim::Value4 V(float f) { return sim::Value4{f, false}; }

}  // namespace

void QuietStdout() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::perror("/dev/null");
}

sim::Plant SamplePlant(int acUnits, int channels, int dcUnits, int modules, unsigned seed) {
    Lcg r(seed);
    sim::Plant p;
    p.model_text = "tvr27pk";
    for (int u = 0; u < acUnits; ++u) {
        sim::AcUnit unit;
        for (int c = 0; c < channels; ++c) {
            sim::AcChannel ch;
            ch.a = V(r.Around(230.0f, 15.0f));
            ch.b = V(r.Around(230.0f, 15.0f));
            ch.c = V(r.Around(230.0f, 15.0f));
            ch.f = V(r.Around(50.0f, 0.5f));
            if (r.Pick(16) == 0) ch.b.invalid = true;
            ch.alarms = {r.Pick(4), 0, 0, 0};
            ch.user_alarms.assign(tele_c_qzl4200_ac_channel::p40_44_SIZE(), 0);
            unit.channels.push_back(ch);
        }
        unit.currents = {V(r.Around(40.0f, 10.0f)), V(r.Around(40.0f, 10.0f)), V(r.Around(40.0f, 10.0f))};
        unit.current_alarms = {0, r.Pick(3), 0};
        unit.status.assign(tele_c_qzl4200_ac::P40_43_SIZE(), 1);
        p.ac.push_back(unit);
    }
    for (int u = 0; u < dcUnits; ++u) {
        sim::DcUnit d;
        d.v = V(r.Around(53.5f, 1.0f));
        d.i = V(r.Around(120.0f, 30.0f));
        d.m_values = {V(r.Around(10.0f, 5.0f)), V(r.Around(10.0f, 5.0f))};
        d.n_values = {V(r.Around(25.0f, 2.0f)), V(r.Around(25.0f, 2.0f)), V(r.Around(25.0f, 2.0f))};
        d.user = {V(1.0f), sim::Value4{0.0f, true}};
        d.v_alert = r.Pick(3);
        d.alarms.assign(tele_c_qzl4200_dc::ALERT_M_SIZE(), 0);
        d.alarms[r.Pick(64)] = 3;
        d.user_alarms.assign(4, 0);
        p.dc.push_back(d);
    }
    p.rc.group_value = V(r.Around(53.5f, 0.5f));
    for (int k = 0; k < modules; ++k) {
        sim::RcModule m;
        m.value = V(r.Around(30.0f, 5.0f));
        for (int j = 0; j < tele_c_qzl4200_rc_channel::P41_41_SIZE(); ++j) m.user.push_back(V(r.Around(1.0f, 1.0f)));
        m.state = {0, 1, 0};
        m.user_state.assign(tele_c_qzl4200_rc_channel::P41_43_SIZE(), 0);
        m.fault = r.Pick(8) == 0 ? 1 : 0;
        m.user_alarms.assign(tele_c_qzl4200_rc_channel::P41_44_SIZE(), 0);
        p.rc.modules.push_back(m);
    }
    for (auto& v : p.params.p40_46) v = V(r.Around(100.0f, 50.0f));
    for (auto& v : p.params.p42_46) v = V(r.Around(50.0f, 5.0f));
    for (int j = 0; j < tele_c_qzl4200_rc::P42_46_NUMBER(); ++j) p.params.p42_46_user.push_back(V(static_cast<float>(j)));
    return p;
}

Bytes InfoFor(const sim::Plant& plant, sim::Model model, std::uint8_t cid1, std::uint8_t cid2,
              std::uint8_t dataflag) {
    sim::BuildOptions opt;
    opt.model = model;
    const unsigned code = static_cast<unsigned>(cid1) << 8 | cid2;
    switch (code) {
        case 0x4051: return sim::Info40_51(plant);
        case 0x4041: return sim::Info40_41(plant, opt, dataflag);
        case 0x4043: return sim::Info40_43(plant, opt, dataflag);
        case 0x4044: return sim::Info40_44(plant, opt, dataflag);
        case 0x4141: return sim::Info41_41(plant, dataflag);
        case 0x4143: return sim::Info41_43(plant, dataflag);
        case 0x4144: return sim::Info41_44(plant, dataflag);
        case 0x4241: return sim::Info42_41(plant, opt, dataflag);
        case 0x4244: return sim::Info42_44(plant, opt, dataflag);
        case 0x4046: return sim::Info40_46(plant);
        case 0x4246: return sim::Info42_46(plant);
        default: return {};
    }
}

std::shared_ptr<tvr27pkAC> MakeAc(testhost::Host& host, std::uint32_t id) {
    auto ac = std::make_shared<tvr27pkAC>();
    ac->SetTraceStream(nullptr);
    ac->InitV(host.parent.get(), id, Json::Value(Json::objectValue));
    return ac;
}

std::shared_ptr<tvr27pkDC> MakeDc(testhost::Host& host, std::uint32_t id) {
    auto dc = std::make_shared<tvr27pkDC>();
    dc->InitV(host.parent.get(), id, Json::Value(Json::objectValue));
    return dc;
}

std::shared_ptr<tvr27pkRC> MakeRc(testhost::Host& host, std::uint32_t id) {
    auto rc = std::make_shared<tvr27pkRC>();
    rc->InitV(host.parent.get(), id, Json::Value(Json::objectValue));
    return rc;
}

namespace {
template <typename Dev>
void Feed(Dev& dev, int (Dev::*op)(const unsigned char*, int), const Bytes& b, const char* what) {
    const int r = (dev.*op)(b.data(), static_cast<int>(b.size()));
    FUZZ_CHECK(r == static_cast<int>(b.size()), "priming", what, "returned", r, "of", b.size());
}
}  // namespace

void PrimeAc(tvr27pkAC& ac, const sim::AcUnit& unit) {
    Feed<tvr27pkAC>(ac, &tvr27pkAC::parse40_41, sim::AcPart40_41(unit), "40_41");
    Feed<tvr27pkAC>(ac, &tvr27pkAC::parse40_43, sim::AcPart40_43(unit), "40_43");
    Feed<tvr27pkAC>(ac, &tvr27pkAC::parse40_44, sim::AcPart40_44(unit), "40_44");
}

void PrimeDc(tvr27pkDC& dc, const sim::DcUnit& unit) {
    Feed<tvr27pkDC>(dc, &tvr27pkDC::parse42_41, sim::DcBlock42_41(unit), "42_41");
    Feed<tvr27pkDC>(dc, &tvr27pkDC::parse42_44, sim::DcBlock42_44(unit), "42_44");
}

void PrimeRc(tvr27pkRC& rc, const sim::Plant& plant) {
    Feed<tvr27pkRC>(rc, &tvr27pkRC::parse41_41, sim::Info41_41(plant, 0), "41_41");
    Feed<tvr27pkRC>(rc, &tvr27pkRC::parse41_43, sim::Info41_43(plant, 0), "41_43");
    Feed<tvr27pkRC>(rc, &tvr27pkRC::parse41_44, sim::Info41_44(plant, 0), "41_44");
    Feed<tvr27pkRC>(rc, &tvr27pkRC::parse40_46, sim::Info40_46(plant), "40_46");
    Feed<tvr27pkRC>(rc, &tvr27pkRC::parse42_46, sim::Info42_46(plant), "42_46");
}

Bytes StateOf(const tvr27pkAC& ac) {
    Bytes b = BytesOf(ac.Record());
    for (const auto& ch : ac.Channels()) {
        const Bytes c = BytesOf(ch);
        b.insert(b.end(), c.begin(), c.end());
    }
    return b;
}

Bytes StateOf(const tvr27pkDC& dc) { return BytesOf(dc.Record()); }

Bytes StateOf(const tvr27pkRC& rc) {
    Bytes b = BytesOf(rc.Record());
    for (const auto& ch : rc.Channels()) {
        const Bytes c = BytesOf(ch);
        b.insert(b.end(), c.begin(), c.end());
    }
    return b;
}

}  // namespace rig
