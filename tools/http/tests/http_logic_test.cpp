// The service's logic without sockets: the history series thinned evenly,
// the replay buffer, the health verdict, the lines of a site kept apart and
// the text rules of the API.
#include "dc/dc_record.h"
#include "tools/http/field_json.h"
#include "tools/http/history_reader.h"
#include "tools/http/metric_table.h"
#include "tools/http/metrics.h"
#include "tools/http/routes.h"
#include "tools/http/served_state.h"
#include "tools/model/field_table.h"
#include "tools/model/round_view.h"
#include "tools/runtime/history_store.h"
#include "tools/runtime/tests/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

std::string Time(int i) {
    char b[32];
    std::snprintf(b, sizeof b, "2026-01-01 %02d:%02d:%02d.000", i / 3600, i / 60 % 60, i % 60);
    return b;
}

TEST(HttpHistory, SeriesIsThinnedEvenlyWithFirstAndLastAndKeepsToTheRange) {
    rttest::TempDir dir;
    const std::string path = dir.Path() + "/h.db";
    {
        rt::HistoryStore store(path);
        std::vector<std::uint8_t> rec(sizeof(tele_c_qzl4200_dc));
        for (int i = 0; i < 1000; ++i) {
            const float v = static_cast<float>(i);
            std::memcpy(rec.data() + offsetof(tele_c_qzl4200_dc, v), &v, 4);
            store.SaveSnapshot(Time(i), 1002, 5108, rec.data(), rec.size());
            store.SaveSnapshot(Time(i), 1003, 5108, rec.data(), rec.size());
        }
    }
    http::HistoryReader reader(path);
    struct Case {
        const char* from;
        const char* to;
        unsigned limit;
        std::vector<double> want;
    };
    const Case cases[] = {
        {"0000", "9999", 4, {0, 333, 666, 999}},
        {"0000", "9999", 1, {999}},
        {"2026-01-01 00:01:00", "2026-01-01 00:01:09.999", 100, {60, 61, 62, 63, 64, 65, 66, 67, 68, 69}},
        {"2026-01-01 00:01:00", "2026-01-01 00:01:09.999", 3, {60, 64, 69}},
        {"2027", "9999", 5, {}},
    };
    for (const Case& c : cases) {
        http::Range r;
        r.from = c.from;
        r.to = c.to;
        r.limit = c.limit;
        const Json::Value s = reader.Series(1002, "v", r);
        std::vector<double> got;
        for (const auto& p : s["points"]) got.push_back(p[1].asDouble());
        EXPECT_EQ(got, c.want) << c.from << " " << c.limit;
    }
    http::Range all;
    EXPECT_EQ(reader.Series(1002, "v", all)["rows"].asUInt(), 1000U);
    EXPECT_THROW(reader.Series(1002, "nope", all), std::invalid_argument);
}

rt::RuntimeEvent LineEvent(rt::EventKind kind, std::uint32_t busDataId = 1000) {
    rt::RuntimeEvent e;
    e.kind = kind;
    e.bus_data_id = busDataId;
    e.text = "no answer";
    return e;
}

TEST(HttpState, ReplayKeepsTheNewestEventsAndSaysWhenSomeAreGone) {
    http::ServedState s(3);
    for (int i = 0; i < 5; ++i) s.AddEvent(LineEvent(rt::EventKind::kLineBack));
    bool missed = false;
    const std::string all = s.ReplayAfter(0, missed);
    EXPECT_TRUE(missed);
    EXPECT_EQ(all.find("id: 2\n"), std::string::npos);
    EXPECT_NE(all.find("id: 3\nevent: line\n"), std::string::npos);
    EXPECT_EQ(s.ReplayAfter(4, missed), all.substr(all.find("id: 5\n")));
    EXPECT_FALSE(missed);
    EXPECT_EQ(s.ReplayAfter(5, missed), "");

    // The byte bound: events of about 100 bytes, 250 bytes kept, so the last two.
    http::ServedState small(100, 250);
    for (int i = 0; i < 5; ++i) small.AddEvent(LineEvent(rt::EventKind::kLineBack));
    const std::string kept = small.ReplayAfter(0, missed);
    EXPECT_TRUE(missed);
    EXPECT_EQ(kept.find("id: 3\n"), std::string::npos);
    EXPECT_NE(kept.find("id: 4\n"), std::string::npos);
    EXPECT_NE(kept.find("id: 5\n"), std::string::npos);
}

// A round of the line whose bus device is busId (0: none named).
std::shared_ptr<const http::RoundShot> Shot(int round, int answers, std::chrono::steady_clock::time_point at,
                                             std::uint32_t busId = 0) {
    auto shot = std::make_shared<http::RoundShot>();
    shot->round["round"] = round;
    shot->round["stats"]["answers"] = answers;
    shot->at = at;
    if (busId) {
        shot->round["bus"]["data_id"] = busId;
        shot->json = model::JsonLine(shot->round);
    }
    return shot;
}

TEST(HttpState, HealthFollowsAnswersLineEventsAndRoundEnds) {
    const auto t0 = std::chrono::steady_clock::now();
    const http::HealthRule quiet{3, std::chrono::seconds(30)};
    http::ServedState s;
    EXPECT_FALSE(s.Check(quiet, t0).ok);  // no round yet
    s.AddRound(Shot(1, 10, t0));
    EXPECT_TRUE(s.Check(quiet, t0).ok);
    EXPECT_FALSE(s.Check(quiet, t0 + std::chrono::seconds(31)).ok);  // rounds stopped
    s.AddRound(Shot(2, 10, t0));
    s.AddRound(Shot(3, 10, t0));
    EXPECT_TRUE(s.Check(quiet, t0).ok);
    s.AddRound(Shot(4, 10, t0));  // three rounds without a new answer
    EXPECT_FALSE(s.Check(quiet, t0).ok);
    s.AddRound(Shot(5, 11, t0));
    EXPECT_TRUE(s.Check(quiet, t0).ok);
    s.AddEvent(LineEvent(rt::EventKind::kPortLost, 0));
    EXPECT_EQ(s.Check(quiet, t0).reason, "power system lost: no answer");
    s.AddEvent(LineEvent(rt::EventKind::kPortBack, 0));
    EXPECT_TRUE(s.Check(quiet, t0).ok);
}

// Two lines named in the site's order, the second one's round the newest:
// each is served apart, and the health names the line that is not well.
TEST(HttpState, TwoLinesAreServedApartInTheSiteOrder) {
    const auto t0 = std::chrono::steady_clock::now();
    http::ServedState s;
    s.AddLine(1000, "/dev/ttyS1");
    s.AddLine(2000, "/dev/ttyS2");
    http::HttpConfig config;
    http::Routes routes(config, s);
    auto get = [&](const char* target) { return routes.Handle({"GET", target, "", ""}); };
    s.AddRound(Shot(7, 10, t0, 1000));
    EXPECT_EQ(get("/healthz").body, "line 2000 (/dev/ttyS2): no round completed yet\n");
    s.AddRound(Shot(3, 10, t0, 2000));
    const std::string one = Shot(7, 10, t0, 1000)->json, two = Shot(3, 10, t0, 2000)->json;
    EXPECT_EQ(get("/api/round").body, two + "\n");
    EXPECT_EQ(get("/api/lines").body, "[" + one + "," + two + "]\n");
    EXPECT_EQ(get("/healthz").status, 200);
    rt::RuntimeEvent lost = LineEvent(rt::EventKind::kLineLost, 2000);
    lost.port = "/dev/ttyS2";
    s.AddEvent(lost);
    EXPECT_EQ(get("/healthz").body, "line 2000 (/dev/ttyS2): power system lost: no answer\n");
}

TEST(HttpText, LabelEscapesTimesAndQueries) {
    const std::pair<const char*, const char*> labels[] = {
        {"plain", "plain"}, {"a\"b", "a\\\"b"}, {"c:\\x", "c:\\\\x"}, {"two\nlines", "two\\nlines"}};
    for (const auto& [in, out] : labels) EXPECT_EQ(http::EscapeLabel(in), out);

    const std::pair<const char*, const char*> times[] = {
        {"2026-12-08", "2026-12-08"},
        {"2026-12-08T19:04", "2026-12-08 19:04"},
        {"2026-12-08T19:04:51", "2026-12-08 19:04:51"},
        {"2026-12-08T19:04:51.058", "2026-12-08 19:04:51.058"},
        {"2026-12-08 19:04", nullptr},
        {"2026-12-8", nullptr},
        {"2026-12-08T19:04:51Z", nullptr},
        {"2026-13-01", nullptr},
        {"2026-00-10", nullptr},
        {"2026-02-29", nullptr},
        {"2028-02-29", "2028-02-29"},
        {"1900-02-29", nullptr},
        {"2000-02-29T00:00", "2000-02-29 00:00"},
        {"2026-04-31", nullptr},
        {"2026-12-00", nullptr},
        {"2026-12-08T24:00", nullptr},
        {"2026-12-08T99:00", nullptr},
        {"2026-12-08T23:60", nullptr},
        {"2026-12-08T23:59:60", nullptr},
        {"2026-12-31T23:59:59.999", "2026-12-31 23:59:59.999"},
        {"", nullptr},
    };
    for (const auto& [iso, db] : times) {
        std::string got;
        EXPECT_EQ(http::IsoToDb(iso, got), db != nullptr) << iso;
        if (db) {
            EXPECT_EQ(got, db);
        }
    }

    std::map<std::string, std::string> q;
    EXPECT_TRUE(http::ParseQuery("field=channels.0.a&from=2026-01-01T10%3A00&x=a+b", q));
    EXPECT_EQ(q["from"], "2026-01-01T10:00");
    EXPECT_EQ(q["x"], "a b");
    for (const char* bad : {"a=1&a=2", "a=%4", "a=%zz"}) {
        std::map<std::string, std::string> r;
        EXPECT_FALSE(http::ParseQuery(bad, r)) << bad;
    }
}

// Every metric row names a decoded field of the table, and the family's
// base-unit suffix agrees with the field's unit both ways.
TEST(HttpTables, MetricRowsMatchTheFieldTable) {
    const std::pair<const char*, const char*> suffixes[] = {{"_volts", "V"}, {"_amperes", "A"}, {"_hertz", "Hz"}};
    std::size_t n = 0;
    const http::FieldMetric* rows = http::FieldMetrics(n);
    for (std::size_t k = 0; k < n; ++k) {
        const http::FieldMetric& m = rows[k];
        const model::DeviceTable* t = model::FindDeviceTable(m.type_number);
        ASSERT_NE(t, nullptr) << m.family;
        const bool item = m.list[0] != '\0';
        ASSERT_TRUE(!item || (t->item && std::string(t->list_name) == m.list)) << m.family << " " << m.list;
        const model::FieldInfo* f = model::FindField(item ? t->item->fields : t->head.fields, m.field);
        ASSERT_NE(f, nullptr) << m.family << " " << m.field;
        const std::string family = m.family;
        const char* want = "";
        for (const auto& [suffix, unit] : suffixes)
            if (family.size() > std::strlen(suffix) &&
                family.compare(family.size() - std::strlen(suffix), std::string::npos, suffix) == 0)
                want = unit;
        EXPECT_STREQ(f->unit, want) << family << " " << m.field;
    }
}

// The AC input voltage with its unit, state byte and that byte's words.
TEST(HttpTables, FieldsEndpointServesTheTable) {
    const Json::Value j = http::FieldTableJson();
    ASSERT_EQ(j.size(), model::DeviceTables().size());
    const Json::Value& fields = j["5106"]["item"]["fields"];
    EXPECT_EQ(model::JsonLine(fields[0]), R"({"label":"A","name":"a","state_field":"a_alert",)"
                                            R"("title":"line/phase voltage AB/A","unit":"V"})");
    EXPECT_EQ(model::JsonLine(fields[5]["states"]), R"({"1":"low","2":"high","3":"phase loss"})");
}

}  // namespace
