// The round model: the field table, snapshot field names, the signal list, the round object.
#include "ac/ac_records.h"
#include "dc/dc_record.h"
#include "rc/rc_records.h"
#include "tools/model/field_table.h"
#include "tools/model/numeric_fields.h"
#include "tools/model/round.h"
#include "tools/model/round_json.h"
#include "tools/model/round_view.h"
#include "tools/model/signal_catalog.h"
#include "tools/model/snapshot_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

using model::StateKind;

TEST(FieldTable, StateWords) {
    const struct {
        StateKind kind;
        unsigned value;
        const char* word;
    } cases[] = {
        {StateKind::kLowHighLoss, 0, ""},         {StateKind::kLowHighLoss, 1, "low"},
        {StateKind::kLowHighLoss, 3, "phase loss"}, {StateKind::kLowHighMissing, 3, "missing"},
        {StateKind::kLowHigh, 2, "high"},         {StateKind::kLowHigh, 3, "state 3"},
        {StateKind::kFuse, 3, "fuse fault"},      {StateKind::kFuse, 1, "state 1"},
        {StateKind::kModuleFault, 1, "fault"},    {StateKind::kNone, 2, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(model::StateWord(c.kind, c.value), c.word) << c.value;
}

// Every record's fields lie inside it, in order, without overlapping, and
// every value's state field exists and is an alarm-state byte.
TEST(FieldTable, RecordsAreConsistent) {
    ASSERT_EQ(model::DeviceTables().size(), 3u);
    for (const auto& t : model::DeviceTables()) {
        EXPECT_EQ(model::FindDeviceTable(t.type_number), &t);
        std::vector<const model::RecordTable*> records{&t.head};
        if (t.item) records.push_back(t.item);
        for (const model::RecordTable* r : records) {
            std::size_t end = 0;
            for (const auto& f : r->fields) {
                const std::size_t size = f.kind == model::FieldKind::kU32 || f.kind == model::FieldKind::kF32 ? 4
                                         : f.kind == model::FieldKind::kF32s ? 4 * f.count
                                         : f.kind == model::FieldKind::kU8s  ? f.count
                                         : f.kind == model::FieldKind::kTime ? 7
                                                                                : 1;
                EXPECT_GE(f.offset, end) << r->name << " " << f.name;
                end = f.offset + size;
                EXPECT_LE(end, r->size) << r->name << " " << f.name;
                if (f.state_field) {
                    const model::FieldInfo* s = model::FindField(r->fields, f.state_field);
                    ASSERT_NE(s, nullptr) << f.name;
                    EXPECT_NE(s->states, StateKind::kNone) << f.name;
                }
            }
            EXPECT_EQ(end, r->size) << r->name << " ends with its last field";
        }
    }
    EXPECT_EQ(model::FindDeviceTable(9999), nullptr);
}

template <typename T>
std::vector<std::uint8_t> Image(const T& t) {
    std::vector<std::uint8_t> b(sizeof t);
    std::memcpy(b.data(), &t, sizeof t);
    return b;
}

// Every number of a decoded tree under its dotted name, in the tree's order.
using NamedValues = std::vector<std::pair<std::string, double>>;
void Numbers(const Json::Value& v, const std::string& name, NamedValues& out) {
    if (v.isObject()) {
        for (auto it = v.begin(); it != v.end(); ++it)
            if (!(name.empty() && it.name() == "error")) Numbers(*it, name.empty() ? it.name() : name + "." + it.name(), out);
    } else if (v.isArray()) {
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) Numbers(v[i], name + "." + std::to_string(i), out);
    } else if (v.isNumeric() && !v.isBool()) {
        out.emplace_back(name, v.asDouble());
    }
}

// The decoded tree, and the checks that the round's writer and the history
// store's numeric fields give the same as the tree without building it.
Json::Value Decoded(int type, const std::uint8_t* data, std::size_t length) {
    const Json::Value tree = model::DecodeSnapshot(type, data, length);
    std::string text;
    model::AppendSnapshotFields(text, type, data, length);
    EXPECT_EQ(text, rt::JsonLine(tree)) << type << " " << length;
    NamedValues want, got;
    Numbers(tree, "", want);
    std::vector<double> values;
    const rt::FieldNames* names = model::NumericFields(type, data, length, values);
    for (std::size_t i = 0; names && i < values.size(); ++i) got.emplace_back(names->at(i), values[i]);
    EXPECT_EQ(values.size(), names ? names->size() : 0u);
    EXPECT_EQ(got, want) << type << " " << length;
    return tree;
}

TEST(SnapshotFields, AcPanelAndChannels) {
    tele_c_qzl4200_ac panel{};
    panel.data_id = 1001;
    panel.ia = 1.5f;
    panel.channel_num = 2;
    panel.ib_alert = 2;
    const std::uint8_t t[7] = {0xE8, 0x07, 3, 4, 5, 6, 7};  // 2024-03-04 05:06:07
    std::memcpy(panel.ttime, t, 7);
    tele_c_qzl4200_ac_channel ch0{}, ch1{};
    ch0.a = 230.5f;
    ch1.f = 50.0f;
    ch1.p40_44[7] = 9;
    auto bytes = Image(panel);
    for (const auto& c : {ch0, ch1}) {
        auto b = Image(c);
        bytes.insert(bytes.end(), b.begin(), b.end());
    }
    const Json::Value v = Decoded(5106, bytes.data(), bytes.size());
    EXPECT_FALSE(v.isMember("error"));
    EXPECT_EQ(v["data_id"].asUInt(), 1001u);
    EXPECT_FLOAT_EQ(v["ia"].asFloat(), 1.5f);
    EXPECT_EQ(v["ib_alert"].asUInt(), 2u);
    EXPECT_EQ(v["ttime"].asString(), "2024-03-04 05:06:07");
    ASSERT_EQ(v["channels"].size(), 2u);
    EXPECT_FLOAT_EQ(v["channels"][0]["a"].asFloat(), 230.5f);
    EXPECT_FLOAT_EQ(v["channels"][1]["f"].asFloat(), 50.0f);
    EXPECT_EQ(v["channels"][1]["p40_44"][7].asUInt(), 9u);

    // One channel short: the channels that fit, and an error.
    const Json::Value cut = Decoded(5106, bytes.data(), bytes.size() - 1);
    EXPECT_EQ(cut["channels"].size(), 1u);
    EXPECT_EQ(cut["error"].asString(), "snapshot of 91 bytes, 92 expected");
    EXPECT_TRUE(Decoded(5106, bytes.data(), 31).isMember("error"));
}

TEST(SnapshotFields, DcAndRectifiers) {
    tele_c_qzl4200_dc dc{};
    dc.v = 53.5f;
    dc.i = 120.0f;
    dc.n_value[8] = 7.0f;
    dc.alert_m[63] = 3;
    const auto d = Image(dc);
    const Json::Value v = Decoded(5108, d.data(), d.size());
    EXPECT_FLOAT_EQ(v["v"].asFloat(), 53.5f);
    EXPECT_FLOAT_EQ(v["i"].asFloat(), 120.0f);
    EXPECT_FLOAT_EQ(v["n_value"][8].asFloat(), 7.0f);
    EXPECT_EQ(v["alert_m"][63].asUInt(), 3u);
    EXPECT_TRUE(Decoded(5108, d.data(), d.size() - 1).isMember("error"));

    tele_c_qzl4200_rc rc{};
    rc.channel_num = 1;
    const float g = 55.0f;
    std::memcpy(rc.group_value, &g, 4);
    tele_c_qzl4200_rc_channel m{};
    const float mv = 25.0f;
    std::memcpy(m.value, &mv, 4);
    m.fault = 1;
    auto r = Image(rc);
    auto mb = Image(m);
    r.insert(r.end(), mb.begin(), mb.end());
    const Json::Value rv = Decoded(5107, r.data(), r.size());
    EXPECT_FALSE(rv.isMember("error"));
    EXPECT_FLOAT_EQ(rv["group_value"].asFloat(), 55.0f);
    ASSERT_EQ(rv["modules"].size(), 1u);
    EXPECT_FLOAT_EQ(rv["modules"][0]["value"].asFloat(), 25.0f);
    EXPECT_EQ(rv["modules"][0]["fault"].asUInt(), 1u);
    EXPECT_TRUE(Decoded(9999, r.data(), r.size()).isMember("error"));
    EXPECT_TRUE(Decoded(5107, nullptr, 100).isMember("error"));
}

// A device answering like an AC device with two channels.
class TwoChannelAc : public VNQSPDevice {
public:
    explicit TwoChannelAc(bool ready) : ready_(ready) { deviceType_ = "x-ac"; }
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    float Get_Value(std::uint32_t, const std::string& name) const override {
        if (!ready_) throw std::out_of_range("数据未就绪");
        if (name == "ia") return 1.0f;
        if (name.rfind("channel_", 0) == 0) {
            if (name[8] - '0' >= 2) throw std::out_of_range("通道参数越界");
            return 10.0f * (name[8] - '0') + (name.back() - 'a');
        }
        if (name.size() > 2) throw std::out_of_range("数据未提供");
        return 2.0f;
    }

private:
    bool ready_;
};

TEST(SignalCatalog, AcChannelsAreProbedUntilOutOfRange) {
    TwoChannelAc dev(true);
    const auto s = model::ReadSignals(dev);
    ASSERT_EQ(s.size(), 6u + 8u);
    EXPECT_EQ(s[0].name, "ia");
    EXPECT_TRUE(s[0].ok);
    EXPECT_EQ(s[3].name, "ia_alert");
    EXPECT_EQ(s[3].error, "数据未提供");
    EXPECT_EQ(s[6].name, "channel_0_a");
    EXPECT_EQ(s[13].name, "channel_1_f");
    EXPECT_FLOAT_EQ(s[13].value, 15.0f);

    TwoChannelAc none(false);
    const auto n = model::ReadSignals(none);
    ASSERT_EQ(n.size(), 6u);
    EXPECT_EQ(n[0].error, "数据未就绪");
}

TEST(RoundView, HexIsUpperCase) {
    EXPECT_EQ(model::Hex({0x00, 0xAB, 0x5f}), "00AB5F");
}

// The round's text is what a tree of it writes: members in name order,
// the same numbers, every part in place.
TEST(RoundView, TextIsWhatItsTreeWrites) {
    model::RoundData r;
    r.round = 7;
    r.time = "2026-12-09 03:04:05.678";
    r.port = "/dev/ttyS1";
    r.bus_data_id = 1000;
    r.bus_type = "tvr27pk";
    r.bus_data_valid = 1;
    tele_c_qzl4200_dc dc{};
    dc.v = 53.5f;
    r.snapshots.push_back({1003, 5108, Image(dc)});
    r.snapshots.push_back({1004, 5108, {1, 2, 3}});
    model::DeviceRound& d = r.devices.emplace_back();
    d.data_id = 1003;
    d.type = "x-dc";
    d.type_number = 5108;
    d.age_s = 2;
    d.signals = {{"i", true, 1.25f, ""}, {"v", true, 53.5f, ""}};
    d.snapshot = 0;
    model::DeviceRound& none = r.devices.emplace_back();
    none.data_id = 1005;
    none.type = "x-rc";
    none.signals = {{"v", false, 0, "数据未就绪 \"quoted\""}};
    rule_value rule;
    rule.level = 2;
    rule.key = "DC_1";
    rule.alarm_id = "06015";
    rule.data_id = 1003;
    rule.seq = 3;
    rule.name = "直流电压高";
    rule.text = "直流屏1 电压 53.5";
    rule.active = 1;
    rule_value inactive = rule;
    inactive.active = 0;
    r.rules = std::make_shared<const model::RuleList>(std::vector<rule_value>{rule, inactive});
    r.active_alarms = {rule};
    r.stats.answers = 12;
    r.stats.rounds = 7;
    r.round_s = 1.5;
    r.has_store = true;
    r.store_bytes = 4096;
    const model::Round round(std::move(r));
    EXPECT_EQ(round.Text(), rt::JsonLine(round.Tree()));
    // Read back from its object, the round writes the same text.
    EXPECT_EQ(model::Round(model::RoundFromJson(round.Tree())).Text(), round.Text());
    const Json::Value& t = round.Tree();
    const auto& dcBytes = round.Data().snapshots[0].bytes;
    EXPECT_EQ(rt::JsonLine(t["devices"][0]["fields"]),
              rt::JsonLine(model::DecodeSnapshot(5108, dcBytes.data(), dcBytes.size())));
    EXPECT_TRUE(t["devices"][1]["age_s"].isNull());
    EXPECT_FALSE(t["devices"][1].isMember("fields"));
    EXPECT_EQ(t["snapshots"][1]["hex"].asString(), "010203");
    EXPECT_EQ(t["rules"][1]["active"].asBool(), false);
    EXPECT_EQ(t["active_alarms"][0]["text"].asString(), "直流屏1 电压 53.5");
    EXPECT_EQ(t["stats"]["answers"].asUInt(), 12u);
    EXPECT_EQ(t["stats"]["round_s"].asDouble(), 1.5);
    EXPECT_EQ(t["history"]["bytes"].asUInt(), 4096u);
    EXPECT_EQ(t.size(), 11u);
}

}  // namespace

// A round gets the previous round's rule list (and shares its text) only
// when it reports every rule the same: any field that differs, a rule
// more or less, makes a list of its own, with the round's rules.
TEST(RuleList, SharedOnlyWhenEveryRuleIsTheSame) {
    rule_value base;
    base.level = 2;
    base.key = "AC_0";
    base.alarm_id = "06015";
    base.data_id = 1001;
    base.seq = 1;
    base.name = "n";
    base.text = "t";
    const std::vector<std::pair<const char*, void (*)(rule_value&)>> changes = {
        {"level", [](rule_value& r) { r.level = 3; }},     {"key", [](rule_value& r) { r.key = "AC_1"; }},
        {"alarm id", [](rule_value& r) { r.alarm_id = "06016"; }},
        {"data id", [](rule_value& r) { r.data_id = 1002; }}, {"seq", [](rule_value& r) { r.seq = 2; }},
        {"name", [](rule_value& r) { r.name = "m"; }},     {"text", [](rule_value& r) { r.text = "u"; }},
        {"active", [](rule_value& r) { r.active = 1; }},
    };
    rt::RuleCollector collector;
    auto round = [&](const std::vector<rule_value>& rules) {
        for (const rule_value& r : rules) collector.Add(r);
        return collector.Take();
    };
    const rt::RuleListRef first = round({base, base, base});
    const auto previous = model::RuleList::Share(first, nullptr);
    EXPECT_EQ(model::RuleList::Share(round({base, base, base}), previous), previous);
    for (const auto& [what, change] : changes) {
        rule_value other = base;
        change(other);
        const rt::RuleListRef list = round({base, other, base});
        EXPECT_NE(list, first) << what;
        ASSERT_EQ(list->size(), 3u) << what;
        EXPECT_TRUE(rt::SameRule((*list)[1], other) && rt::SameRule((*list)[2], base)) << what;
        EXPECT_NE(model::RuleList::Share(list, previous), previous) << what;
        round({base, base, base});
    }
    EXPECT_EQ(round({base, base})->size(), 2u);
    EXPECT_EQ(round({base, base, base})->size(), 3u);
    std::string text;
    model::AppendRules(text, previous->Rules());
    EXPECT_EQ(previous->Text(), text);
}
