// The subagent's logic without snmpd: the site key, the alarm numbers and
// the plant image's sensor rows (values, types, status by line state and age).
#include "tools/model/field_table.h"
#include "tools/snmp/plant_image.h"
#include "tools/snmp/snmp_config.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>

namespace snmp {
namespace {

Json::Value Parse(const std::string& text) {
    Json::Value v;
    std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
    std::string err;
    if (!r->parse(text.data(), text.data() + text.size(), &v, &err)) throw std::runtime_error(err);
    return v;
}

TEST(SnmpConfig, SiteKey) {
    struct Case {
        const char* site;
        bool ok;
    } cases[] = {
        {R"({"snmp": {"agentx": "unix:/var/agentx/master"}})", true},
        {R"({"snmp": {"agentx": "tcp:127.0.0.1:705", "reconnect_s": 5}})", true},
        {R"({"snmp": {}})", false},
        {R"({"snmp": "unix:/x"})", false},
        {R"({"snmp": {"agentx": "udp:127.0.0.1:705"}})", false},
        {R"({"snmp": {"agentx": "unix:relative"}})", false},
        {R"({"snmp": {"agentx": "unix:/x", "community": "public"}})", false},
        {R"({"snmp": {"agentx": "unix:/x", "reconnect_s": 0}})", false},
    };
    for (const Case& c : cases) {
        if (c.ok)
            EXPECT_TRUE(SnmpConfigFromSite(Parse(c.site)).has_value()) << c.site;
        else
            EXPECT_THROW(SnmpConfigFromSite(Parse(c.site)), std::runtime_error) << c.site;
    }
    EXPECT_FALSE(SnmpConfigFromSite(Parse("{}")).has_value());
}

TEST(AlarmBook, NumbersPerDeviceKeptUntilTheEnd) {
    // Two channels' phase loss: one rule key and alarm id, told apart by
    // their place in the device's rule list.
    const model::RuleIdentity a{1001, "AC_8", "06017", 3}, b{1001, "AC_8", "06017", 7}, c{1001, "AC_1", "06010", 1};
    const model::RuleIdentity other{1002, "AC_8", "06017", 3};
    AlarmBook book;
    EXPECT_EQ(book.Begin(a, "t1", 1000).index, 1u);
    EXPECT_EQ(book.Begin(b, "t2", 1000).index, 2u);
    EXPECT_EQ(book.Begin(other, "t3", 1000).index, 1u);  // another device counts apart
    EXPECT_EQ(book.Begin(a, "t9", 1000).since, "t1");    // begun again while active: unchanged
    ASSERT_NE(book.End(a), nullptr);
    EXPECT_EQ(book.Listed(a, "t4", 1000), nullptr);  // ended, still in the old round
    // The next round lists b (its text now says another value): the ended a
    // is forgotten, b and 1002's alarm (not listed by a round yet) are kept,
    // a's number is free.
    rule_value listed;
    listed.data_id = 1001;
    listed.key = "AC_8";
    listed.alarm_id = "06017";
    listed.seq = 7;
    listed.text = "input 2 phase A 12 V";
    book.Prune(1000, {listed});
    EXPECT_EQ(book.Size(), 2u);
    EXPECT_EQ(book.Listed(model::IdentityOf(listed), "t6", 1000)->index, 2u);
    EXPECT_EQ(book.Begin(c, "t7", 1000).index, 1u);
    EXPECT_EQ(book.End({1001, "zzz", "", 1}), nullptr);
}

// One AC unit: the phase currents (Ic not a number) and one input channel,
// as its snapshot holds them.
model::RoundPtr AcRound(std::uint32_t bus = 1000, std::uint32_t device = 1001, std::vector<rule_value> alarms = {}) {
    const model::DeviceTable& t = *model::FindDeviceTable(5106);
    std::vector<std::uint8_t> bytes(t.head.size + t.item->size);
    bytes[t.count_offset] = 1;
    auto put = [&](const std::vector<model::FieldInfo>& fields, std::size_t base, const char* name, float v) {
        std::memcpy(bytes.data() + base + model::FindField(fields, name)->offset, &v, 4);
    };
    put(t.head.fields, 0, "ia", 18.4f);
    put(t.head.fields, 0, "ib", 17.9f);
    put(t.head.fields, 0, "ic", std::numeric_limits<float>::quiet_NaN());
    for (auto [name, v] : {std::pair<const char*, float>{"a", 231.456f}, {"b", 0}, {"c", 0}, {"f", 50.02f}})
        put(t.item->fields, t.head.size, name, v);
    model::RoundData r;
    r.bus_data_id = bus;
    r.active_alarms = std::move(alarms);
    r.bus_type = "tvr27pk";
    r.stats.rounds = 7;
    r.time = "2026-12-09 10:00:00.000";
    r.snapshots.push_back({device, 5106, bytes});
    model::DeviceRound& d = r.devices.emplace_back();
    d.data_id = device;
    d.type = "tvr27pk-ac";
    d.type_number = 5106;
    d.age_s = 0;
    d.snapshot = 0;
    return std::make_shared<const model::Round>(std::move(r));
}

TEST(PlantImage, SensorRowsByLineState) {
    const auto start = Clock::now();
    struct Case {
        LineState state;
        int age_s;
        int status;  // of ia
    } cases[] = {
        {kLineUp, 1, kStatusOk},
        {kLineLost, 1, kStatusUnavailable},
        {kLinePortLost, 1, kStatusUnavailable},
        {kLineUp, 11, kStatusUnavailable},  // no round for longer than 10 s
    };
    for (const Case& c : cases) {
        std::vector<LineRecord> lines(1);
        lines[0].bus_data_id = 1000;
        lines[0].port = "/dev/ttyS1";
        lines[0].state = c.state;
        lines[0].round = AcRound();
        lines[0].round_at = start + std::chrono::seconds(1);
        lines[0].rate_ms = 1250;
        AlarmBook book;
        Image image;
        image.Build(lines, book, lines[0].round_at + std::chrono::seconds(c.age_s), start);
        std::map<Oid, Value> by;
        for (std::size_t i = 0; i < image.Size(); ++i) by[image[i].name] = image[i].value;
        auto sensor = [&](std::uint32_t col, std::uint32_t i) { return by.at(Under(kEntPhySensorEntry, {col, i})).number; };
        auto ent = [&](std::uint32_t col, std::uint32_t i) { return by.at(Under(kEntPhysicalEntry, {col, i})); };
        // 1 chassis, 2 AC unit, 3-5 Ia Ib Ic, 6-9 input 1 A B C f.
        EXPECT_EQ(ent(kEntClass, 1).number, kClassChassis);
        EXPECT_EQ(ent(kEntContainedIn, 2).number, 1);
        EXPECT_EQ(ent(kEntContainedIn, 6).number, 2);
        EXPECT_EQ(ent(kEntName, 6).text, "AC 1001 input 1 line/phase voltage AB/A");
        EXPECT_EQ(sensor(kSensorValue, 3), 1840);
        EXPECT_EQ(sensor(kSensorType, 3), kTypeAmperes);
        EXPECT_EQ(sensor(kSensorValue, 6), 23146);
        EXPECT_EQ(sensor(kSensorType, 6), kTypeVoltsAc);
        EXPECT_EQ(sensor(kSensorType, 9), kTypeHertz);
        EXPECT_EQ(sensor(kSensorValueTimeStamp, 3), 100);
        EXPECT_EQ(sensor(kSensorValueUpdateRate, 3), 1250);
        EXPECT_EQ(sensor(kSensorOperStatus, 3), c.status) << c.state << " " << c.age_s;
        EXPECT_EQ(sensor(kSensorOperStatus, 5), kStatusUnavailable);  // Ic missing
        EXPECT_EQ(by.at(Under(kLineEntry, {kLineDataAge, 1})).number, c.age_s);
        EXPECT_EQ(by.at(Under(kLineEntry, {kLineRounds, 1})).number, 7);
        EXPECT_FALSE(by.count(Under(kEntPhysicalEntry, {kEntName, 10})));
    }
}

// The image is served by binary search: strictly in name order whatever
// order its rows are made in (line 2's device, and its alarms, sort before
// line 1's); between rebuilds only the data age moves.
TEST(PlantImage, InNameOrderAndAgedInPlace) {
    const auto start = Clock::now();
    auto alarm = [](std::uint32_t device, std::uint32_t seq) {
        rule_value a;
        a.data_id = device;
        a.key = "AC_8";
        a.alarm_id = "06017";
        a.seq = seq;
        return a;
    };
    std::vector<LineRecord> lines(2);
    lines[0].round = AcRound(1000, 1901, {alarm(1901, 2), alarm(1901, 1)});
    lines[1].round = AcRound(2000, 1001, {alarm(1001, 1)});
    for (LineRecord& l : lines) {
        l.bus_data_id = l.round->Data().bus_data_id;
        l.state = kLineUp;
        l.round_at = start;
    }
    AlarmBook book;
    Image image;
    auto find = [&](const Oid& name) -> const Entry* {
        for (std::size_t i = 0; i < image.Size(); ++i)
            if (image[i].name == name) return &image[i];
        return nullptr;
    };
    // Built twice in place, the second time with one alarm fewer and the
    // entries' storage reused.
    for (std::size_t alarms : {3u, 2u}) {
        if (alarms == 2) lines[1].round = AcRound(2000, 1001);
        image.Build(lines, book, start + std::chrono::seconds(2), start);
        ASSERT_GT(image.Size(), 50u);
        for (std::size_t i = 1; i < image.Size(); ++i) ASSERT_TRUE(OidLess(image[i - 1].name, image[i].name)) << i;
        EXPECT_EQ(find(Under(kAlarmEntry, {kAlarmDevice, 1001, 1})) != nullptr, alarms == 3);
        const Entry* second = find(Under(kAlarmEntry, {kAlarmText, 1901, 2}));
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(second->value.kind, Value::kString);
        EXPECT_EQ(find(Under(kEntPhysicalEntry, {kEntVendorType, 1}))->value.object, (Oid{0, 0}));
    }

    image.SetDataAges(lines, start + std::chrono::seconds(7));
    for (std::uint32_t n : {1u, 2u}) {
        const Entry* age = find(Under(kLineEntry, {kLineDataAge, n}));
        ASSERT_NE(age, nullptr);
        EXPECT_EQ(age->value.number, 7);
    }
    EXPECT_EQ(FreshUntil(lines[0]), start + std::chrono::seconds(10));
    lines[0].state = kLineLost;
    EXPECT_EQ(FreshUntil(lines[0]), Clock::time_point::min());
}

}  // namespace
}  // namespace snmp
