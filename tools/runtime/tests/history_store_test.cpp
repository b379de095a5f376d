// The SQLite history and alarm store, and the host's site keys.
#include "tools/runtime/history_store.h"
#include "tools/runtime/host_runtime.h"
#include "tools/runtime/runtime_options.h"
#include "tools/runtime/tests/rig.h"

#include <json/reader.h>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <sstream>

namespace rttest {
namespace {

std::vector<std::uint8_t> B(std::initializer_list<int> v) {
    std::vector<std::uint8_t> out;
    for (int x : v) out.push_back(static_cast<std::uint8_t>(x));
    return out;
}

TEST(HistoryStore, NewestPerDataIdAndTypeSurvivesReopen) {
    TempDir dir;
    const std::string path = dir.Path() + "/h.db";
    {
        rt::HistoryStore s(path);
        EXPECT_FALSE(s.Newest(1, 5106).has_value());
        const auto a = B({1, 2, 3}), b = B({4, 5}), c = B({9}), d = B({7, 7, 7, 7});
        s.SaveSnapshot("2024-01-01 00:00:02.000", 1, 5106, a.data(), a.size());
        s.SaveSnapshot("2024-01-01 00:00:01.000", 1, 5106, b.data(), b.size());  // clock went back
        s.SaveSnapshot("2024-01-01 00:00:03.000", 1, 5107, c.data(), c.size());  // same id, other type
        s.SaveSnapshot("2024-01-01 00:00:04.000", 2, 5106, d.data(), d.size());  // other id
        s.SaveSnapshot("2024-01-01 00:00:05.000", 3, 5108, nullptr, 0);
        EXPECT_EQ(s.HistoryRows(), 5u);
    }
    rt::HistoryStore s(path);
    EXPECT_EQ(s.HistoryRows(), 5u);
    EXPECT_EQ(s.Newest(1, 5106), B({4, 5}));  // last written, not latest time
    EXPECT_EQ(s.Newest(1, 5107), B({9}));
    EXPECT_EQ(s.Newest(2, 5106), B({7, 7, 7, 7}));
    ASSERT_TRUE(s.Newest(3, 5108).has_value());
    EXPECT_TRUE(s.Newest(3, 5108)->empty());
    EXPECT_FALSE(s.Newest(2, 5107).has_value());
}

TEST(HistoryStore, AlarmEventsRoundTrip) {
    TempDir dir;
    rt::HistoryStore s(dir.Path() + "/h.db");
    rt::AlarmRow a;
    a.time = "2024-01-01 00:00:00.000";
    a.data_id = 4000000000u;
    a.rule_key = "AC_0";
    a.seq = 3;
    a.alarm_id = "06015";
    a.level = 2;
    a.name = "交流停电";
    a.text = "交流1路停电";
    a.begin = true;
    s.SaveAlarm(a);
    a.begin = false;
    a.text = "it's \"quoted\"";
    s.SaveAlarm(a);
    const auto rows = s.Alarms();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].begin);
    EXPECT_FALSE(rows[1].begin);
    EXPECT_EQ(rows[0].data_id, 4000000000u);
    EXPECT_EQ(rows[0].name, "交流停电");
    EXPECT_EQ(rows[0].text, "交流1路停电");
    EXPECT_EQ(rows[1].text, "it's \"quoted\"");
    EXPECT_EQ(rows[0].rule_key, "AC_0");
    EXPECT_EQ(rows[0].seq, 3u);
    EXPECT_EQ(rows[0].alarm_id, "06015");
    EXPECT_EQ(rows[0].level, 2);
}

// Alarm events waiting for a store that cannot write: in order, every
// field back as it went in, the oldest dropped at the bound, and the order
// kept while the consumed front is cut off (rows of 180 bytes: past 64 kB).
TEST(AlarmQueue, FirstInFirstOutWithinItsBound) {
    auto row = [](std::uint32_t n) {
        rt::AlarmRow a;
        a.time = "2024-01-01 00:00:00." + std::to_string(n);
        a.data_id = 4000000000u + n;
        a.rule_key = "AC_" + std::to_string(n);
        a.seq = n;
        a.alarm_id = "06015";
        a.level = static_cast<int>(n % 4);
        a.name = "交流停电";
        a.text = std::string(120, 'x') + std::to_string(n);
        a.begin = n % 2;
        a.bus_id = n * 7;
        return a;
    };
    auto same = [](const rt::AlarmRow& a, const rt::AlarmRow& b) {
        return a.time == b.time && a.data_id == b.data_id && a.rule_key == b.rule_key && a.seq == b.seq &&
               a.alarm_id == b.alarm_id && a.level == b.level && a.name == b.name && a.text == b.text &&
               a.begin == b.begin && a.bus_id == b.bus_id;
    };
    rt::AlarmQueue small(3);
    int dropped = 0;
    for (std::uint32_t n = 1; n <= 5; ++n) dropped += small.Push(row(n));
    EXPECT_EQ(dropped, 2);
    for (std::uint32_t n = 3; n <= 5; ++n) {
        ASSERT_FALSE(small.Empty());
        EXPECT_TRUE(same(small.Front(), row(n))) << n;
        small.Pop();
    }
    EXPECT_TRUE(small.Empty());

    rt::AlarmQueue big(10000);
    std::uint32_t next = 0;
    for (std::uint32_t n = 0; n < 1000; ++n) big.Push(row(n));
    for (; next < 600; ++next) {
        ASSERT_TRUE(same(big.Front(), row(next))) << next;
        big.Pop();
    }
    for (std::uint32_t n = 1000; n < 1500; ++n) big.Push(row(n));
    EXPECT_EQ(big.Size(), 900u);
    for (; !big.Empty(); ++next) {
        ASSERT_TRUE(same(big.Front(), row(next))) << next;
        big.Pop();
    }
    EXPECT_EQ(next, 1500u);
}

TEST(HistoryStore, ADatabaseWithoutLineColumnsGetsThemAndKeepsItsRows) {
    TempDir dir;
    const std::string path = dir.Path() + "/old.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE history(id INTEGER PRIMARY KEY, time, data_id, type_number, snapshot);"
                           "CREATE TABLE alarm_event(id INTEGER PRIMARY KEY, time, data_id, rule_key, seq, alarm_id,"
                           " level, name, text, event);"
                           "INSERT INTO history VALUES(1, 't', 1, 5106, x'0102');"
                           "INSERT INTO alarm_event VALUES(1, 't', 1, 'AC_0', 1, '06015', 2, 'n', 'x', 'begin');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    for (unsigned open = 0; open < 2; ++open) {  // the second time the columns are there
        rt::HistoryStore s(path);
        EXPECT_EQ(s.Newest(1, 5106), open ? B({3}) : B({1, 2}));
        const auto c = B({3});
        s.SaveSnapshot("t2", 1, 5106, c.data(), c.size(), 1000);
        rt::AlarmRow a;
        a.bus_id = 1000;
        s.SaveAlarm(a);
        const auto rows = s.Alarms();
        ASSERT_EQ(rows.size(), 2u + open);
        EXPECT_EQ(rows[0].bus_id, 0u);  // written before lines were recorded
        EXPECT_EQ(rows.back().bus_id, 1000u);
    }
}

TEST(HistoryStore, UnopenableFileThrows) {
    EXPECT_THROW(rt::HistoryStore("/nonexistent/dir/h.db"), std::runtime_error);
}

Json::Value Parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string err;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(b, in, &v, &err)) << err;
    return v;
}

TEST(RuntimeOptions, DefaultsAndKeys) {
    const rt::RuntimeOptions d = rt::OptionsFromJson(Parse("{}"));
    EXPECT_EQ(d.line.baud, 9600u);
    EXPECT_EQ(d.line.data_bits, 8u);
    EXPECT_EQ(d.line.parity, 'N');
    EXPECT_EQ(d.line.stop_bits, 1u);
    EXPECT_EQ(d.timeout.count(), 1000);
    EXPECT_TRUE(d.database.empty());
    const rt::RuntimeOptions o = rt::OptionsFromJson(Parse(
        R"({"port": "/dev/ttyUSB0", "baud": 19200, "parity": "even", "stop_bits": 2, "data_bits": 7,
            "data_id": 12, "timeout_ms": 500, "database": "/var/h.db", "acSetting": []})"));
    EXPECT_EQ(o.line.path, "/dev/ttyUSB0");
    EXPECT_EQ(o.line.baud, 19200u);
    EXPECT_EQ(o.line.parity, 'E');
    EXPECT_EQ(o.line.stop_bits, 2u);
    EXPECT_EQ(o.line.data_bits, 7u);
    EXPECT_EQ(o.data_id, 12u);
    EXPECT_EQ(o.timeout.count(), 500);
    EXPECT_EQ(o.database, "/var/h.db");
}

TEST(RuntimeOptions, BadValuesNameTheirKey) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"baud": "fast"})", "baud: "},
        {R"({"baud": -1})", "baud: "},
        {R"({"timeout_ms": 0})", "timeout_ms: "},
        {R"({"parity": "mark"})", "parity: "},
        {R"({"port": 3})", "port: "},
        {R"({"data_bits": 9})", "data_bits: "},
        {R"({"address": 300})", "address: must be a number from 1 to 254"},
        {R"({"protocol_version": "33"})", "protocol_version: "},
        {R"([])", "not a JSON object"},
    };
    for (const auto& c : cases) {
        try {
            rt::OptionsFromJson(Parse(c.first));
            ADD_FAILURE() << c.first << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.second), std::string::npos) << e.what();
        }
    }
}

TEST(RuntimeOptions, HistoryKeyDefaultsValuesAndRefusals) {
    const rt::HistoryLimits d = rt::HistoryLimitsFromJson(Parse("{}"));
    EXPECT_EQ(std::vector<unsigned>({d.raw_days, d.minute_days, d.hour_days, d.event_days, d.max_mb}),
              std::vector<unsigned>({2, 90, 1825, 365, 64}));
    const rt::HistoryLimits o = rt::HistoryLimitsFromJson(
        Parse(R"({"history": {"raw_days": 1, "minute_days": 7, "hour_days": 30, "event_days": 10, "max_mb": 0}})"));
    EXPECT_EQ(std::vector<unsigned>({o.raw_days, o.minute_days, o.hour_days, o.event_days, o.max_mb}),
              std::vector<unsigned>({1, 7, 30, 10, 0}));
    const std::vector<std::pair<std::string, std::string>> refused = {
        {R"({"history": 5})", "configuration: history: must be an object"},
        {R"({"history": {"raw_days": 0}})", "configuration: history.raw_days: must be a number from 1 to 3650"},
        {R"({"history": {"max_mb": -1}})", "configuration: history.max_mb: must be a number from 0 to 1000000"},
        {R"({"history": {"hour_days": "long"}})", "configuration: history.hour_days: must be a number"},
        {R"({"history": {"days": 3}})", "configuration: history.days: "},
    };
    for (const auto& c : refused) {
        try {
            rt::HistoryLimitsFromJson(Parse(c.first));
            ADD_FAILURE() << c.first << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, c.second.size()), c.second);
        }
    }
}

TEST(RuntimeTypes, TypeNumberFromDeviceTypeSuffix) {
    EXPECT_EQ(rt::TypeNumberForDeviceType("tvr27pk-ac"), 5106);
    EXPECT_EQ(rt::TypeNumberForDeviceType("tvr27pk-rc"), 5107);
    EXPECT_EQ(rt::TypeNumberForDeviceType("qzl4200-dc"), 5108);
    EXPECT_EQ(rt::TypeNumberForDeviceType("tvr27pk"), 0);
    EXPECT_EQ(rt::TypeNumberForDeviceType("ac"), 0);
}

}  // namespace
}  // namespace rttest
