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
#include "tools/model/numeric_fields.h"
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

// Two days of a DC unit every 20 s, v = 0, 1, 2 in each minute, through the
// store's aggregation with the model's decoder: the range picks the step.
TEST(HttpHistory, TheRangePicksRawMinutesOrHoursWithMinMeanMax) {
    rttest::TempDir dir;
    const std::string path = dir.Path() + "/h.db";
    {
        rt::HistoryStore store(path);
        store.SetDecoder(model::NumericFields);
        std::vector<std::uint8_t> rec(sizeof(tele_c_qzl4200_dc));
        for (int i = 0; i < 2 * 86400 / 20; ++i) {
            const float v = static_cast<float>(i % 3);
            std::memcpy(rec.data() + offsetof(tele_c_qzl4200_dc, v), &v, 4);
            char t[40];
            std::snprintf(t, sizeof t, "2026-01-%02d %02d:%02d:%02d.000", 1 + i * 20 / 86400, i * 20 / 3600 % 24,
                          i * 20 / 60 % 60, i * 20 % 60);
            store.SaveSnapshot(t, 1002, 5108, rec.data(), rec.size());
        }
        for (int i = 0; i < 100000 && store.Upkeep(std::chrono::milliseconds(50)); ++i) {
        }
    }
    http::HistoryReader reader(path);
    struct Case {
        const char* from;
        const char* to;
        const char* step;  // asked; "" chosen
        unsigned limit;
        const char* want_step;
        unsigned points;
        std::vector<double> first;  // the first point's values after its time
    };
    const Case cases[] = {
        {"2026-01-01 10:00:00", "2026-01-01 10:59:59.999", "", 1000, "raw", 180, {0}},
        {"2026-01-01 10:00:00", "2026-01-02 09:59:59.999", "", 1000, "minute", 720, {1, 0, 2}},  // two merged
        {"2026-01-01 10:00:00", "2026-01-01 10:01:59.999", "minute", 1000, "minute", 2, {1, 0, 2}},
        {"0000", "9999", "hour", 1000, "hour", 48, {1, 0, 2}},
        {"2026-01-01 10:00:00", "2026-01-01 10:00:59.999", "raw", 1000, "raw", 3, {0}},
        {"2026-02-01", "2026-02-05", "", 1000, "raw", 0, {}},  // nothing there at all
    };
    for (const Case& c : cases) {
        http::Range r;
        r.from = c.from;
        r.to = c.to;
        r.step = c.step;
        r.limit = c.limit;
        const Json::Value s = reader.Series(1002, "v", r);
        EXPECT_EQ(s["step"].asString(), c.want_step) << c.from << " " << c.step;
        ASSERT_EQ(s["points"].size(), c.points) << c.from << " " << c.step;
        std::vector<double> first;
        for (Json::ArrayIndex i = 1; c.points && i < s["points"][0].size(); ++i)
            first.push_back(s["points"][0][i].asDouble());
        EXPECT_EQ(first, c.first) << c.from << " " << c.step;
    }
    http::Range hours;
    hours.step = "hour";
    EXPECT_THROW(reader.Series(1002, "nope", hours), std::invalid_argument);
    EXPECT_EQ(reader.Series(1002, "v", hours)["rows"].asUInt(), 48u);
}

rt::RuntimeEvent LineEvent(rt::EventKind kind, std::uint32_t busDataId = 1000) {
    rt::RuntimeEvent e;
    e.kind = kind;
    e.bus_data_id = busDataId;
    e.text = "no answer";
    return e;
}

// A round of the line whose bus device is busId (0: none named).
model::RoundPtr Shot(int round, int answers, std::uint32_t busId = 0) {
    model::RoundData r;
    r.round = static_cast<std::uint64_t>(round);
    r.stats.answers = static_cast<std::uint64_t>(answers);
    r.bus_data_id = busId;
    return std::make_shared<const model::Round>(std::move(r));
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

    // The byte bound counts what an event holds (its frame's capacity and
    // its entry): room for two and a half, so the last two are kept.
    const std::size_t held = sizeof(http::SseEvent) + s.AddEvent(LineEvent(rt::EventKind::kLineBack)).frame->capacity();
    http::ServedState small(100, held * 5 / 2);
    for (int i = 0; i < 5; ++i) small.AddEvent(LineEvent(rt::EventKind::kLineBack));
    const std::string kept = small.ReplayAfter(0, missed);
    EXPECT_TRUE(missed);
    EXPECT_EQ(kept.find("id: 3\n"), std::string::npos);
    EXPECT_NE(kept.find("id: 4\n"), std::string::npos);
    EXPECT_NE(kept.find("id: 5\n"), std::string::npos);

    // Rounds are not replayed one by one: a client back after id 1 gets the
    // events it missed and each line's latest round, in id order, and a
    // round no stream wanted was never written.
    http::ServedState r;
    const auto t0 = std::chrono::steady_clock::now();
    const model::RoundPtr first = Shot(1, 1, 1000), latest = Shot(2, 2, 1000), other = Shot(1, 1, 2000);
    EXPECT_EQ(r.AddRound(first, t0, false).frame, nullptr);           // id 1
    r.AddEvent(LineEvent(rt::EventKind::kLineLost));                   // id 2
    r.AddRound(latest, t0, true);                                       // id 3
    r.AddRound(other, t0, true);                                        // id 4
    r.AddEvent(LineEvent(rt::EventKind::kLineBack));                   // id 5
    EXPECT_EQ(r.ReplayAfter(1, missed), "id: 2\nevent: line\ndata: " + model::JsonLine(http::EventJson(LineEvent(rt::EventKind::kLineLost))) +
                                            "\n\nid: 3\nevent: round\ndata: " + latest->Text() +
                                            "\n\nid: 4\nevent: round\ndata: " + other->Text() +
                                            "\n\nid: 5\nevent: line\ndata: " + model::JsonLine(http::EventJson(LineEvent(rt::EventKind::kLineBack))) + "\n\n");
    EXPECT_FALSE(missed);
    EXPECT_FALSE(first->HasText());
    EXPECT_EQ(r.ReplayAfter(4, missed).find("event: round"), std::string::npos);
}

TEST(HttpState, HealthFollowsAnswersLineEventsAndRoundEnds) {
    const auto t0 = std::chrono::steady_clock::now();
    const http::HealthRule quiet{3, std::chrono::seconds(30)};
    http::ServedState s;
    EXPECT_FALSE(s.Check(quiet, t0).ok);  // no round yet
    s.AddRound(Shot(1, 10), t0, true);
    EXPECT_TRUE(s.Check(quiet, t0).ok);
    EXPECT_FALSE(s.Check(quiet, t0 + std::chrono::seconds(31)).ok);  // rounds stopped
    s.AddRound(Shot(2, 10), t0, true);
    s.AddRound(Shot(3, 10), t0, true);
    EXPECT_TRUE(s.Check(quiet, t0).ok);
    s.AddRound(Shot(4, 10), t0, true);  // three rounds without a new answer
    EXPECT_FALSE(s.Check(quiet, t0).ok);
    s.AddRound(Shot(5, 11), t0, true);
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
    s.AddRound(Shot(7, 10, 1000), t0, true);
    EXPECT_EQ(get("/healthz").body, "line 2000 (/dev/ttyS2): no round completed yet\n");
    s.AddRound(Shot(3, 10, 2000), t0, true);
    const std::string one = Shot(7, 10, 1000)->Text(), two = Shot(3, 10, 2000)->Text();
    EXPECT_EQ(get("/api/round").body, two + "\n");
    EXPECT_EQ(get("/api/lines").body, "[" + one + "," + two + "]\n");
    EXPECT_EQ(get("/healthz").status, 200);
    rt::RuntimeEvent lost = LineEvent(rt::EventKind::kLineLost, 2000);
    lost.port = "/dev/ttyS2";
    s.AddEvent(lost);
    EXPECT_EQ(get("/healthz").body, "line 2000 (/dev/ttyS2): power system lost: no answer\n");
}

// Two AC input channels report the phase loss under one rule key and alarm
// id; each keeps its own series whichever is reported last, from a round's
// rules and from alarm events alike.
TEST(HttpState, ChannelsSharingARuleKeyKeepTheirOwnAlarmState) {
    const auto rule = [](std::uint32_t seq, const char* text, bool active) {
        rule_value r;
        r.level = 2;
        r.key = "AC_8";
        r.alarm_id = "06017";
        r.data_id = 1001;
        r.seq = seq;
        r.name = "phase loss";
        r.text = text;
        r.active = active;
        return r;
    };
    const rule_value in1 = rule(6, "input 1 A", true), in2 = rule(16, "input 2 A", false);
    const auto series = [](const rule_value& r) {
        return "pmbus_alarm_active{line=\"1000\",data_id=\"1001\",rule_key=\"AC_8\",alarm_id=\"06017\","
               "name=\"phase loss\",rule_index=\"" + std::to_string(r.seq) + "\",level=\"2\",text=\"" + r.text +
               "\"} " + (r.active ? "1" : "0") + "\n";
    };
    struct Case {
        const char* what;
        std::vector<rule_value> order;  // as reported
        bool asEvents;
    };
    const Case cases[] = {
        {"round, active one first", {in1, in2}, false},
        {"round, active one last", {in2, in1}, false},
        {"events, active one first", {in1, in2}, true},
        {"events, active one last", {in2, in1}, true},
    };
    for (const Case& c : cases) {
        http::ServedState s;
        s.AddLine(1000, "/dev/ttyS1");
        if (c.asEvents) {
            for (const rule_value& r : c.order) {
                rt::RuntimeEvent e;
                e.kind = r.active ? rt::EventKind::kAlarmBegin : rt::EventKind::kAlarmEnd;
                e.bus_data_id = 1000;
                e.data_id = r.data_id;
                e.rule = r;
                s.AddEvent(e);
            }
        } else {
            model::RoundData round;
            round.bus_data_id = 1000;
            round.rules = std::make_shared<const model::RuleList>(c.order);
            s.AddRound(std::make_shared<const model::Round>(std::move(round)), std::chrono::steady_clock::now(), false);
        }
        const std::string text = http::RenderMetrics(s, http::HealthRule{}, std::chrono::steady_clock::now());
        EXPECT_NE(text.find(series(in1)), std::string::npos) << c.what << "\n" << text;
        EXPECT_NE(text.find(series(in2)), std::string::npos) << c.what << "\n" << text;
    }
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
