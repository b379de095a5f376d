#include "tools/e2e/plant_plan.h"

#include "ac/ac_alarm_rules.h"
#include "dc/dc_alarm_rules.h"
#include "rc/rc_alarm_rule.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace e2e {
namespace {

PlantState Base(int dcUnits) {
    PlantState s{};
    s.channels[0] = {231.5, 229.8, 230.6, 50.02, {0, 0, 0, 0}};
    s.channels[1] = {228.9, 230.1, 232.0, 49.98, {0, 0, 0, 0}};
    s.currents[0] = 18.4;
    s.currents[1] = 17.9;
    s.currents[2] = 19.1;
    const double v[] = {53.5, 53.4, 53.3};
    const double i[] = {86.2, 41.7, 20.5};
    for (int u = 0; u < dcUnits; ++u) {
        DcState d;
        d.v = v[u];
        d.i = i[u];
        d.m = {12.5 - u, -3.0, 0.0, 0.0};
        d.n = {10.1, 9.8, 11.2, 8.7, 10.4, 12.0, 7.9, 8.3, 7.8 + u};
        d.user = {25.0 - 0.2 * u, 24.5, u == 0 ? kInvalid : 0.0};
        d.fuses.assign(64, 0);
        s.dc.push_back(d);
    }
    s.groupValue = 53.5;
    s.modules = {{32.1, {53.5, 41.0, 0.0, 0.0}, 0}, {31.8, {53.5, 40.5, 0.0, 0.0}, 0}, {32.4, {53.4, 41.5, 0.0, 0.0}, 0}};
    s.p40_46 = {286.0, 154.0, 0.0, 55.0, 45.0};
    s.p42_46 = {57.6, 45.0};
    s.p42_46User = {53.5, 56.4, 43.2, 10.0, 0.15};
    return s;
}

// Values that change every round from round 1 on: value(r) = base + step * r.
struct Drift {
    std::string path;
    double step;
    double& (*at)(PlantState&, int lastDc);
};

std::vector<Drift> Drifts(int dcUnits) {
    const std::string last = std::to_string(dcUnits - 1);
    return {
        {"ac/0/channels/0/b", 0.5, [](PlantState& s, int) -> double& { return s.channels[0].b; }},
        {"ac/0/channels/1/f", 0.01, [](PlantState& s, int) -> double& { return s.channels[1].f; }},
        {"ac/0/currents/0", 0.25, [](PlantState& s, int) -> double& { return s.currents[0]; }},
        {"ac/0/currents/2", -0.2, [](PlantState& s, int) -> double& { return s.currents[2]; }},
        {"dc/0/v", -0.05, [](PlantState& s, int) -> double& { return s.dc[0].v; }},
        {"dc/" + last + "/i", 0.5, [](PlantState& s, int l) -> double& { return s.dc[l].i; }},
        {"rectifiers/modules/0/value", 0.1, [](PlantState& s, int) -> double& { return s.modules[0].value; }},
        {"rectifiers/group_value", -0.02, [](PlantState& s, int) -> double& { return s.groupValue; }},
    };
}

Json::Value Num(double v) { return v == kInvalid ? Json::Value("invalid") : Json::Value(v); }

Json::Value Nums(const std::vector<double>& v) {
    Json::Value a(Json::arrayValue);
    for (double x : v) a.append(Num(x));
    return a;
}

Json::Value Ints(std::size_t n, int value = 0) {
    Json::Value a(Json::arrayValue);
    for (std::size_t k = 0; k < n; ++k) a.append(value);
    return a;
}

Json::Value Event(int round, const std::string& path, const Json::Value& value) {
    Json::Value e(Json::objectValue);
    e["round"] = round;
    e["set"] = path;
    e["value"] = value;
    return e;
}

}  // namespace

std::vector<std::uint32_t> Plan::ChildIds() const {
    std::vector<std::uint32_t> ids{AcId()};
    for (int u = 0; u < dcUnits; ++u) ids.push_back(DcId(u));
    ids.push_back(busId);
    return ids;
}

std::vector<int> Plan::ChildTypeNumbers() const {
    std::vector<int> t{5106};
    t.insert(t.end(), static_cast<std::size_t>(dcUnits), 5108);
    t.push_back(5107);
    return t;
}

std::vector<std::string> Plan::ChildTypes() const {
    const std::string m = ModelName();
    std::vector<std::string> t{m + "-ac"};
    t.insert(t.end(), static_cast<std::size_t>(dcUnits), m + "-dc");
    t.push_back(m + "-rc");
    return t;
}

Json::Value Plan::Scenario() const {
    const PlantState s = Base(dcUnits);
    Json::Value doc(Json::objectValue);
    doc["model"] = ModelName();
    doc["model_fill"] = "nul";

    Json::Value ac(Json::objectValue);
    for (const AcChannelState& c : s.channels) {
        Json::Value ch(Json::objectValue);
        ch["a"] = c.a;
        ch["b"] = c.b;
        ch["c"] = c.c;
        ch["f"] = c.f;
        ch["alarms"] = Ints(4);
        ch["user_alarms"] = Ints(8);
        ac["channels"].append(ch);
    }
    for (double i : s.currents) ac["currents"].append(i);
    ac["current_alarms"] = Ints(3);
    ac["breakers"] = Json::Value(Json::arrayValue);
    ac["status"] = Ints(3);
    doc["ac"].append(ac);

    for (const DcState& d : s.dc) {
        Json::Value u(Json::objectValue);
        u["v"] = d.v;
        u["i"] = d.i;
        u["m"] = Nums(d.m);
        u["n"] = Nums(d.n);
        u["user"] = Nums(d.user);
        u["v_alert"] = 0;
        u["alarms"] = Ints(64);
        u["user_alarms"] = Ints(13);
        doc["dc"].append(u);
    }

    Json::Value& rc = doc["rectifiers"];
    rc["group_value"] = s.groupValue;
    for (const ModuleState& m : s.modules) {
        Json::Value j(Json::objectValue);
        j["value"] = m.value;
        j["user"] = Nums(m.user);
        j["state"] = Ints(3);
        j["user_state"] = Ints(1);
        j["fault"] = m.fault;
        j["user_alarms"] = Ints(4);
        rc["modules"].append(j);
    }
    Json::Value& p = doc["parameters"];
    p["p40_46"] = Nums(s.p40_46);
    p["p40_46_user"] = Json::Value(Json::arrayValue);
    p["p42_46"] = Nums(s.p42_46);
    p["p42_46_user"] = Nums(s.p42_46User);

    Json::Value& tl = doc["timeline"];
    tl = Json::Value(Json::arrayValue);
    for (const Drift& d : Drifts(dcUnits)) {
        Json::Value e(Json::objectValue);
        e["round"] = 1;
        e["add"] = d.path;
        e["value"] = d.step;
        tl.append(e);
    }
    const std::string fuse = "dc/" + std::to_string(dcUnits - 1) + "/alarms/2";
    tl.append(Event(phaseLoss.begin, "ac/0/channels/0/a", 0.0));
    tl.append(Event(phaseLoss.begin, "ac/0/channels/0/alarms/0", ac_rules::kPhaseLoss));
    tl.append(Event(phaseLoss.end, "ac/0/channels/0/a", s.channels[0].a));
    tl.append(Event(phaseLoss.end, "ac/0/channels/0/alarms/0", 0));
    tl.append(Event(moduleFault.begin, "rectifiers/modules/1/fault", rc_rules::kFaultActive));
    tl.append(Event(moduleFault.begin, "rectifiers/modules/1/value", 0.0));
    tl.append(Event(moduleFault.end, "rectifiers/modules/1/fault", 0));
    tl.append(Event(moduleFault.end, "rectifiers/modules/1/value", s.modules[1].value));
    tl.append(Event(fuseFault.begin, fuse, dc_rules::kFuseFault));
    tl.append(Event(fuseFault.end, fuse, 0));

    Json::Value& faultList = doc["faults"];
    faultList = Json::Value(Json::arrayValue);
    for (const Fault& f : faults) {
        Json::Value j(Json::objectValue);
        j["fault"] = f.kind;
        j["command"] = f.command;
        j["round"] = f.round;
        if (f.kind == "delay") j["ms"] = delayMs;
        if (f.kind == "noise") j["noise"] = noiseBytes;
        faultList.append(j);
    }
    return doc;
}

Json::Value Plan::Site(const std::string& database) const {
    Json::Value site(Json::objectValue);
    site["data_id"] = busId;
    site["timeout_ms"] = timeoutMs;
    site["database"] = database;
    site["acSetting"][0]["data_id"] = AcId();
    for (int u = 0; u < dcUnits; ++u) site["dcSetting"][u]["data_id"] = DcId(u);
    site["rcSetting"] = Json::Value(Json::objectValue);
    return site;
}

PlantState Plan::At(int round) const {
    PlantState s = Base(dcUnits);
    for (const Drift& d : Drifts(dcUnits)) d.at(s, dcUnits - 1) += d.step * round;
    if (phaseLoss.Covers(round)) {
        s.channels[0].a = 0.0;
        s.channels[0].alarms[0] = ac_rules::kPhaseLoss;
    }
    if (moduleFault.Covers(round)) {
        s.modules[1].fault = rc_rules::kFaultActive;
        s.modules[1].value = 0.0;
    }
    if (fuseFault.Covers(round)) s.dc.back().fuses[2] = dc_rules::kFuseFault;
    return s;
}

Alarm Plan::PhaseLoss() const {
    std::size_t k = 0;
    while (!(ac_rules::kRules[k].state == ac_rules::StateByte::A && ac_rules::kRules[k].value == ac_rules::kPhaseLoss))
        ++k;
    const ac_rules::Rule& r = ac_rules::kRules[k];
    // Channel 1's rows are numbered first.
    return {AcId(), r.key, static_cast<std::uint32_t>(k + 1), r.alarmId, r.level, r.name,
            std::string(ac_rules::kChannelLabel) + "1" + r.text};
}

Alarm Plan::ModuleFault() const {
    return {busId, rc_rules::kFaultKey, 2, rc_rules::kFaultAlarmId, rc_rules::kFaultLevel, rc_rules::kFaultName,
            std::string(rc_rules::kModuleLabel) + "2" + rc_rules::kFaultName};
}

Alarm Plan::FuseFault() const {
    // The voltage rules come first, then one fuse rule per entry.
    const auto seq = static_cast<std::uint32_t>(std::size(dc_rules::kVoltage) + 3);
    return {DcId(dcUnits - 1), dc_rules::kFuseKey, seq, dc_rules::kFuseAlarmId, dc_rules::kFuseLevel,
            dc_rules::kFuseName, std::string(dc_rules::kFuseLabel) + "3" + dc_rules::kFuseName};
}

std::vector<Alarm> Plan::ActiveAt(int round) const {
    std::vector<Alarm> a;
    if (phaseLoss.Covers(round)) a.push_back(PhaseLoss());
    if (moduleFault.Covers(round)) a.push_back(ModuleFault());
    if (fuseFault.Covers(round)) a.push_back(FuseFault());
    std::sort(a.begin(), a.end(), [](const Alarm& x, const Alarm& y) {
        return std::tie(x.dataId, x.key, x.seq) < std::tie(y.dataId, y.key, y.seq);
    });
    return a;
}

std::vector<AlarmChange> Plan::Changes() const {
    // Child order within a round: AC, DC units, rectifiers.
    struct Item {
        Window w;
        Alarm alarm;
        int child;
    };
    const Item items[] = {{phaseLoss, PhaseLoss(), 0}, {fuseFault, FuseFault(), 1 + dcUnits - 1},
                          {moduleFault, ModuleFault(), 1 + dcUnits}};
    std::vector<std::tuple<int, int, AlarmChange>> all;
    for (const Item& it : items) {
        all.emplace_back(it.w.begin, it.child, AlarmChange{it.w.begin, true, it.alarm});
        if (it.w.end <= rounds) all.emplace_back(it.w.end, it.child, AlarmChange{it.w.end, false, it.alarm});
    }
    std::stable_sort(all.begin(), all.end(), [](const auto& x, const auto& y) {
        return std::tie(std::get<0>(x), std::get<1>(x)) < std::tie(std::get<0>(y), std::get<1>(y));
    });
    std::vector<AlarmChange> out;
    for (const auto& t : all) out.push_back(std::get<2>(t));
    return out;
}

LineCounts Plan::CountsAfter(int round) const {
    LineCounts c;
    for (int r = 1; r <= round; ++r) {
        if (r == 1) {
            // 40_51, then every group in full (the base model reads 40_43 as well).
            c.requests += model == Model::kTvr27pk ? 10 : 11;
        } else {
            // 40_41, 41_41, 42_41, 40_46, 42_46, and each gated answer whose content changed.
            c.requests += 5 + (phaseLoss.Changes(r) ? 1 : 0) + (moduleFault.Changes(r) ? 1 : 0) +
                          (fuseFault.Changes(r) ? 1 : 0);
        }
        for (const Fault& f : faults) {
            if (f.round != r) continue;
            if (f.kind == "noise") {
                c.noiseBytes += static_cast<std::uint64_t>(noiseBytes);
                continue;
            }
            ++c.requests;  // every other kind makes the bus device ask again
            const bool noAnswer =
                f.kind == "drop" || f.kind == "delay" || f.kind == "bad_checksum" || f.kind == "bad_length_checksum";
            if (noAnswer) ++c.timeouts;
            if (f.kind == "bad_checksum" || f.kind == "bad_length_checksum") ++c.badFrames;
            if (f.kind == "delay") ++c.lateFrames;
            if (f.kind == "error_rtn") ++c.errorAnswers;
        }
    }
    c.answers = c.requests - c.timeouts;
    return c;
}

std::size_t Plan::RulesPerRound() const {
    const std::size_t ac = 2 * ac_rules::kChannelRows + (ac_rules::kRuleCount - ac_rules::kChannelRows);
    const std::size_t dc = std::size(dc_rules::kVoltage) + 64;
    return ac + dc * static_cast<std::size_t>(dcUnits) + 3;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace e2e
