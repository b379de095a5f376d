// The subagent's logic without snmpd: the site key, the alarm numbers and
// the plant image's sensor rows (values, types, status by line state and age).
#include "tools/snmp/plant_image.h"
#include "tools/snmp/snmp_config.h"

#include <gtest/gtest.h>
#include <json/reader.h>

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
    AlarmBook book;
    EXPECT_EQ(book.Begin(1001, "a", "t1", 1000).index, 1u);
    EXPECT_EQ(book.Begin(1001, "b", "t2", 1000).index, 2u);
    EXPECT_EQ(book.Begin(1002, "a", "t3", 1000).index, 1u);  // another device counts apart
    EXPECT_EQ(book.Begin(1001, "a", "t9", 1000).since, "t1");  // begun again while active: unchanged
    ASSERT_NE(book.End(1001, "a"), nullptr);
    EXPECT_EQ(book.Listed(1001, "a", "t4", 1000), nullptr);  // ended, still in the old round
    // The next round lists another alarm: the ended a is forgotten, b and
    // 1002's a (not listed by a round yet) are kept, a's number is free.
    book.Prune(1000, Parse(R"([{"data_id": 1001, "key": "", "id": "", "text": ""}])"));
    EXPECT_EQ(book.Size(), 2u);
    EXPECT_EQ(book.Begin(1001, "c", "t5", 1000).index, 1u);
    EXPECT_EQ(book.End(1001, "zzz"), nullptr);
}

// One AC unit with a phase current and one input channel.
const char* kRound = R"({"bus": {"data_id": 1000, "type": "tvr27pk"}, "stats": {"rounds": 7},
  "time": "2026-12-09 10:00:00.000", "active_alarms": [],
  "devices": [{"data_id": 1001, "type": "tvr27pk-ac", "type_number": 5106, "age_s": 0,
               "fields": {"ia": 18.4, "ib": 17.9, "ic": null, "channels": [{"a": 231.456, "b": 0, "c": 0, "f": 50.02}]}}]})";

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
        lines[0].round = std::make_shared<const Json::Value>(Parse(kRound));
        lines[0].round_at = start + std::chrono::seconds(1);
        lines[0].rate_ms = 1250;
        AlarmBook book;
        const auto image = BuildImage(lines, book, lines[0].round_at + std::chrono::seconds(c.age_s), start);
        std::map<Oid, Value> by;
        for (const Entry& e : image) by[e.name] = e.value;
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
        EXPECT_FALSE(by.count(Under(kEntPhysicalEntry, {kEntName, 10})));
    }
}

}  // namespace
}  // namespace snmp
