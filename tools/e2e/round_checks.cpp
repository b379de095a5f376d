#include "tools/e2e/round_checks.h"

#include "common/wire_value.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>
#include <tuple>

namespace e2e {
namespace {

// Values travel as single floats.
constexpr double kTolerance = 1e-3;

void Near(const Json::Value& v, double want, const std::string& what) {
    ASSERT_TRUE(v.isNumeric()) << what << " is " << rt::JsonLine(v);
    EXPECT_NEAR(v.asDouble(), want, kTolerance) << what;
}

void NearAll(const Json::Value& v, const std::vector<double>& want, double invalidAs, const std::string& what) {
    ASSERT_TRUE(v.isArray()) << what << " is " << rt::JsonLine(v);
    ASSERT_EQ(v.size(), want.size()) << what;
    for (Json::ArrayIndex k = 0; k < v.size(); ++k)
        Near(v[k], want[k] == kInvalid ? invalidAs : want[k], what + "[" + std::to_string(k) + "]");
}

void ExpectAc(const PlantState& s, const Json::Value& f) {
    EXPECT_EQ(f["channel_num"].asInt(), 2);
    ASSERT_EQ(f["channels"].size(), 2u) << rt::JsonLine(f);
    for (Json::ArrayIndex i = 0; i < 2; ++i) {
        const Json::Value& ch = f["channels"][i];
        const AcChannelState& want = s.channels[i];
        const std::string at = "channel " + std::to_string(i) + " ";
        Near(ch["a"], want.a, at + "a");
        Near(ch["b"], want.b, at + "b");
        Near(ch["c"], want.c, at + "c");
        Near(ch["f"], want.f, at + "f");
        EXPECT_EQ(ch["a_alert"].asInt(), want.alarms[0]) << at;
        EXPECT_EQ(ch["b_alert"].asInt(), want.alarms[1]) << at;
        EXPECT_EQ(ch["c_alert"].asInt(), want.alarms[2]) << at;
        EXPECT_EQ(ch["f_alert"].asInt(), want.alarms[3]) << at;
        EXPECT_EQ(ch["p40_44_num"].asInt(), 8) << at;
    }
    Near(f["ia"], s.currents[0], "ia");
    Near(f["ib"], s.currents[1], "ib");
    Near(f["ic"], s.currents[2], "ic");
    EXPECT_EQ(f["ia_alert"].asInt() + f["ib_alert"].asInt() + f["ic_alert"].asInt(), 0);
}

void ExpectDc(const DcState& d, const Json::Value& f) {
    Near(f["v"], d.v, "v");
    Near(f["i"], d.i, "i");
    NearAll(f["m_value"], d.m, 0, "m_value");
    NearAll(f["n_value"], d.n, 0, "n_value");
    NearAll(f["user_p"], d.user, wire::kInvalidSubstitute, "user_p");
    EXPECT_EQ(f["v_alert"].asInt(), 0);
    EXPECT_EQ(f["alert_m_num"].asInt(), 64);
    ASSERT_EQ(f["alert_m"].size(), d.fuses.size());
    for (Json::ArrayIndex k = 0; k < f["alert_m"].size(); ++k)
        EXPECT_EQ(f["alert_m"][k].asInt(), d.fuses[k]) << "fuse " << k + 1;
}

void ExpectRc(const PlantState& s, const Json::Value& f) {
    Near(f["group_value"], s.groupValue, "group_value");
    NearAll(f["p40_46"], s.p40_46, 0, "p40_46");
    NearAll(f["p42_46_fixed"], s.p42_46, 0, "p42_46_fixed");
    // The user parameters are kept as their wire bytes.
    ASSERT_EQ(f["p42_46_num"].asUInt(), s.p42_46User.size());
    ASSERT_EQ(f["p42_46"].size(), 4 * s.p42_46User.size());
    for (std::size_t k = 0; k < s.p42_46User.size(); ++k) {
        unsigned char b[4];
        for (int j = 0; j < 4; ++j) b[j] = static_cast<unsigned char>(f["p42_46"][static_cast<int>(4 * k + j)].asUInt());
        float v;
        std::memcpy(&v, b, 4);
        EXPECT_NEAR(v, s.p42_46User[k], kTolerance) << "p42_46 user " << k;
    }
    EXPECT_EQ(f["channel_num"].asUInt(), s.modules.size());
    ASSERT_EQ(f["modules"].size(), s.modules.size());
    for (Json::ArrayIndex k = 0; k < f["modules"].size(); ++k) {
        const Json::Value& m = f["modules"][k];
        const std::string at = "module " + std::to_string(k + 1) + " ";
        Near(m["value"], s.modules[k].value, at + "value");
        NearAll(m["p41_41"], s.modules[k].user, 0, at + "p41_41");
        EXPECT_EQ(m["fault"].asInt(), s.modules[k].fault) << at;
        EXPECT_EQ(rt::JsonLine(m["state"]), "[0,0,0]") << at;
    }
}

using AlarmKey = std::tuple<std::uint32_t, std::string, std::uint32_t>;

// The active rules of a rule list, with the plug-in's texts checked against the plan.
std::vector<AlarmKey> ActiveOf(const Json::Value& rules, const std::vector<Alarm>& plan, bool onlyActive) {
    std::vector<AlarmKey> out;
    for (const Json::Value& r : rules) {
        if (onlyActive && !r["active"].asBool()) continue;
        const AlarmKey key{r["data_id"].asUInt(), r["key"].asString(), r["seq"].asUInt()};
        out.push_back(key);
        for (const Alarm& a : plan) {
            if (AlarmKey{a.dataId, a.key, a.seq} != key) continue;
            EXPECT_EQ(r["id"].asString(), a.alarmId);
            EXPECT_EQ(r["level"].asInt(), a.level);
            EXPECT_EQ(r["name"].asString(), a.name);
            EXPECT_EQ(r["text"].asString(), a.text);
        }
    }
    return out;
}

std::vector<AlarmKey> Keys(const std::vector<Alarm>& alarms) {
    std::vector<AlarmKey> out;
    for (const Alarm& a : alarms) out.emplace_back(a.dataId, a.key, a.seq);
    return out;
}

void ExpectSignals(const Plan& plan, const PlantState& s, std::size_t child, const Json::Value& sig) {
    if (child == 0) {
        for (int i = 0; i < 2; ++i) {
            const std::string p = "channel_" + std::to_string(i) + "_";
            Near(sig[p + "a"], s.channels[i].a, p + "a");
            Near(sig[p + "b"], s.channels[i].b, p + "b");
            Near(sig[p + "c"], s.channels[i].c, p + "c");
            Near(sig[p + "f"], s.channels[i].f, p + "f");
        }
        EXPECT_FALSE(sig.isMember("channel_2_a")) << "only two channels";
        Near(sig["ia"], s.currents[0], "ia");
        Near(sig["ib"], s.currents[1], "ib");
        Near(sig["ic"], s.currents[2], "ic");
    } else if (child <= static_cast<std::size_t>(plan.dcUnits)) {
        Near(sig["v"], s.dc[child - 1].v, "v");
        Near(sig["i"], s.dc[child - 1].i, "i");
    } else {
        EXPECT_TRUE(sig["v"].isString()) << "the rectifier device answers no signal";
    }
}

}  // namespace

Json::Value ParseLine(const std::string& line) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string err;
    std::istringstream in(line);
    if (!Json::parseFromStream(b, in, &v, &err)) {
        ADD_FAILURE() << "not JSON: " << line << ": " << err;
        return Json::Value();
    }
    return v;
}

void ExpectFields(const Plan& plan, int round, std::size_t child, const Json::Value& fields) {
    SCOPED_TRACE("child " + std::to_string(child) + " fields");
    ASSERT_TRUE(fields.isObject());
    EXPECT_FALSE(fields.isMember("error")) << fields["error"].asString();
    EXPECT_EQ(fields["data_id"].asUInt(), plan.ChildIds()[child]);
    const PlantState s = plan.At(round);
    if (child == 0)
        ExpectAc(s, fields);
    else if (child <= static_cast<std::size_t>(plan.dcUnits))
        ExpectDc(s.dc[child - 1], fields);
    else
        ExpectRc(s, fields);
}

void ExpectRound(const Plan& plan, int round, const Json::Value& r) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(r.isObject());
    EXPECT_EQ(r["round"].asInt(), round);
    EXPECT_EQ(r["bus"]["data_id"].asUInt(), plan.busId);
    EXPECT_EQ(r["bus"]["type"].asString(), plan.ModelName());
    EXPECT_EQ(r["bus"]["data_valid"].asInt(), 1);

    const auto ids = plan.ChildIds();
    const auto types = plan.ChildTypes();
    const auto numbers = plan.ChildTypeNumbers();
    const PlantState s = plan.At(round);
    // Every child ended the round: each published a snapshot of it.
    ASSERT_EQ(r["devices"].size(), ids.size());
    ASSERT_EQ(r["snapshots"].size(), ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k) {
        const Json::Value& d = r["devices"][static_cast<Json::ArrayIndex>(k)];
        const Json::Value& snap = r["snapshots"][static_cast<Json::ArrayIndex>(k)];
        EXPECT_EQ(d["data_id"].asUInt(), ids[k]);
        EXPECT_EQ(d["type"].asString(), types[k]);
        EXPECT_EQ(d["type_number"].asInt(), numbers[k]);
        EXPECT_EQ(snap["data_id"].asUInt(), ids[k]);
        EXPECT_EQ(snap["type_number"].asInt(), numbers[k]);
        ASSERT_TRUE(d["age_s"].isIntegral()) << rt::JsonLine(d["age_s"]);
        EXPECT_LE(d["age_s"].asInt(), 1);
        ASSERT_TRUE(d.isMember("fields")) << types[k] << " published nothing";
        ExpectFields(plan, round, k, d["fields"]);
        ExpectSignals(plan, s, k, d["signals"]);
    }

    const std::vector<Alarm> active = plan.ActiveAt(round);
    EXPECT_EQ(r["rules"].size(), plan.RulesPerRound());
    // The rules come in reporting order (child by child), the alarms by data id.
    std::vector<AlarmKey> activeRules = ActiveOf(r["rules"], active, true);
    std::sort(activeRules.begin(), activeRules.end());
    EXPECT_EQ(activeRules, Keys(active)) << "active rules of the round";
    EXPECT_EQ(ActiveOf(r["active_alarms"], active, false), Keys(active)) << "active alarms after the round";

    const LineCounts want = plan.CountsAfter(round);
    const Json::Value& st = r["stats"];
    EXPECT_EQ(st["rounds"].asUInt64(), static_cast<std::uint64_t>(round));
    EXPECT_EQ(st["requests"].asUInt64(), want.requests);
    EXPECT_EQ(st["answers"].asUInt64(), want.answers);
    EXPECT_EQ(st["timeouts"].asUInt64(), want.timeouts);
    EXPECT_EQ(st["bad_frames"].asUInt64(), want.badFrames);
    EXPECT_EQ(st["error_answers"].asUInt64(), want.errorAnswers);
    EXPECT_EQ(st["late_frames"].asUInt64(), want.lateFrames);
    EXPECT_EQ(st["noise_bytes"].asUInt64(), want.noiseBytes);
    for (const char* zero : {"stray_frames", "echoes", "foreign_frames", "port_losses", "reopens"})
        EXPECT_EQ(st[zero].asUInt64(), 0u) << zero;
}

void ExpectFaultsInjected(const Plan& plan, const std::string& simLog) {
    std::vector<std::string> hits;
    std::istringstream in(simLog);
    for (std::string line; std::getline(in, line);)
        if (line.find(" -> ") != std::string::npos && line.find(" [") != std::string::npos) hits.push_back(line);
    EXPECT_EQ(hits.size(), plan.faults.size()) << simLog;
    for (const Fault& f : plan.faults) {
        const std::string what = "round " + std::to_string(f.round) + " " + f.command + " -> ";
        int n = 0;
        for (const std::string& h : hits)
            if (h.find(what) != std::string::npos && h.find("[" + f.kind + "]") != std::string::npos) ++n;
        EXPECT_EQ(n, 1) << f.kind << " on " << f.command << " in round " << f.round << "\n" << simLog;
    }
    // The simulator counted the same rounds as the host: none was started twice or skipped.
    for (int r = 1; r <= plan.rounds; ++r)
        EXPECT_NE(simLog.find("pmbus-sim: round " + std::to_string(r) + "\n"), std::string::npos) << r;
    EXPECT_EQ(simLog.find("pmbus-sim: round " + std::to_string(plan.rounds + 1) + "\n"), std::string::npos);
    EXPECT_NE(simLog.find("stopped after round " + std::to_string(plan.rounds) + "\n"), std::string::npos) << simLog;
}

}  // namespace e2e
