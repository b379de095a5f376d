// The dashboard's layout, on rounds recorded from the
// monitor against pmbus-sim's built-in scenario (tests/data/rounds.jsonl:
// rounds 1-16, phase loss 5-11, module fault 8-14, fuse fault 10-17).
#include "tools/monitor/dashboard.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<Json::Value> Recorded() {
    std::ifstream in(DASHBOARD_ROUNDS);
    std::vector<Json::Value> rounds;
    Json::CharReaderBuilder b;
    for (std::string line; std::getline(in, line);) {
        Json::Value v;
        std::string err;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        if (r->parse(line.data(), line.data() + line.size(), &v, &err)) rounds.push_back(v);
    }
    return rounds;
}

// The screen after round n (with the history of the rounds before it).
monitor::Screen After(const std::vector<Json::Value>& rounds, std::size_t n, int width, int height,
                      monitor::RoundHistory& h) {
    for (std::size_t k = 0; k < n; ++k) h.Add(rounds[k]);
    return monitor::Layout(rounds[n - 1], h, {}, width, height);
}

std::string Text(const monitor::Line& l) {
    std::string t;
    for (const auto& sp : l) t += sp.text;
    return t;
}

std::string LineWith(const monitor::Screen& s, const std::string& text) {
    for (const auto& l : s.lines)
        if (Text(l).find(text) != std::string::npos) return Text(l);
    return "";
}

TEST(Dashboard, RecordedRounds) {
    const auto rounds = Recorded();
    ASSERT_EQ(rounds.size(), 16u);
    // The demo plant on 80 x 24 and on a wider screen; a line that must
    // be there (found by its start) and what it must hold.
    const struct {
        std::size_t round;
        int width, height;
        std::size_t alarms;
        const char* line;
        const char* holds;
    } cases[] = {
        {1, 80, 24, 0, "  input 1", "231.5"},
        {1, 80, 24, 0, "DC 1003", "64 fuses ok"},
        {1, 80, 24, 0, "  battery", "12.5 -3 0 0 A  branch 10.1 9.8 11.2 8.7 10.4 12 7.9 8.3 7.8 A"},
        {6, 80, 24, 1, "  input 1", "0.00 phase loss"},
        {6, 80, 24, 1, "  [2] ", "AC 1001 交流输入缺相告警 交流屏1输入线/相电压AB/A"},
        {10, 80, 24, 3, "DC 1003", "fuses: 3 fuse fault, 63 ok"},
        {10, 80, 24, 3, "  [1] ", "DC 1003 电池熔丝故障告警"},
        {10, 80, 24, 3, "  module 1", "32.10 A        module 2    0.00 A    fault"},
        {12, 80, 24, 2, "  input 1", "231.2"},
        {12, 80, 24, 2, "  ", "ends: 交流输入缺相告警"},
        {16, 120, 40, 1, "DC 1002", "battery 12.5"},
        {16, 120, 40, 1, "rectifiers 1000", "group 53.50 V  3 modules"},
    };
    for (const auto& c : cases) {
        monitor::RoundHistory h;
        const monitor::Screen s = After(rounds, c.round, c.width, c.height, h);
        const std::string where = "round " + std::to_string(c.round) + " at " + std::to_string(c.width);
        EXPECT_LE(s.lines.size(), static_cast<std::size_t>(c.height)) << where;
        for (const auto& l : s.lines)
            EXPECT_LE(monitor::TextWidth(Text(l)), static_cast<std::size_t>(c.width)) << where << ": " << Text(l);
        EXPECT_NE(LineWith(s, "Active alarms: " + std::to_string(c.alarms)), "") << where;
        std::string found;
        for (const auto& l : s.lines)
            if (Text(l).rfind(c.line, 0) == 0 && Text(l).find(c.holds) != std::string::npos) found = Text(l);
        EXPECT_NE(found, "") << where << ": no line \"" << c.line << "...\" with \"" << c.holds << "\"\n"
                             << monitor::PlainText(s);
    }
}

TEST(Dashboard, WideScreenKeepsADcUnitOnOneLineAndPlainTextHasNoEscapes) {
    const auto rounds = Recorded();
    ASSERT_GE(rounds.size(), 2u);
    monitor::RoundHistory h80, h120;
    const auto narrow = After(rounds, 2, 80, 24, h80);
    const auto wide = After(rounds, 2, 120, 40, h120);
    EXPECT_EQ(LineWith(narrow, "DC 1002").find("battery"), std::string::npos);
    EXPECT_NE(LineWith(wide, "DC 1002").find("battery"), std::string::npos);
    EXPECT_EQ(monitor::PlainText(narrow).find('\x1b'), std::string::npos);
}

// On 80 x 24 (and 20 rows), a line that stopped answering (a header of two
// lines) with two and three alarms active: the header and every active
// alarm stay on the screen, the events give way (none at 20 rows).
TEST(Dashboard, HeaderAndActiveAlarmsStayOnASmallScreen) {
    const auto rounds = Recorded();
    for (const auto& [round, rows] : {std::pair<std::size_t, int>{10, 24}, {12, 24}, {10, 20}}) {
        monitor::RoundHistory h;
        for (std::size_t k = 0; k < round; ++k) h.Add(rounds[k]);
        const monitor::Screen s = monitor::Layout(rounds[round - 1], h, {"no answer since 19:23:31", 14}, 80, rows);
        const std::string text = monitor::PlainText(s);
        EXPECT_LE(s.lines.size(), static_cast<std::size_t>(rows)) << text;
        EXPECT_EQ(Text(s.lines.at(0)).rfind("tvr27pk 1000 on ", 0), 0u) << text;
        EXPECT_NE(text.find("no answer since 19:23:31"), std::string::npos) << text;
        EXPECT_NE(text.find("data age 14 s"), std::string::npos) << text;
        const Json::Value& active = rounds[round - 1]["active_alarms"];
        ASSERT_GE(active.size(), 2u);
        for (const Json::Value& a : active) EXPECT_NE(text.find(a["text"].asString()), std::string::npos) << text;
    }
}

// A device without data: its exception text once, on its heading, no rows.
TEST(Dashboard, MissingDataShowsTheDevicesTextOnce) {
    Json::Value r = Recorded().at(0);
    for (auto& d : r["devices"]) {
        d.removeMember("fields");
        for (const auto& k : d["signals"].getMemberNames()) d["signals"][k] = "数据未就绪";
    }
    monitor::RoundHistory h;
    const std::string text = monitor::PlainText(monitor::Layout(r, h, {}, 80, 24));
    EXPECT_NE(text.find("AC 1001  数据未就绪\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DC 1002  数据未就绪\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("input 1"), std::string::npos) << text;
    std::size_t count = 0;
    for (std::size_t at = text.find("数据未就绪"); at != std::string::npos; at = text.find("数据未就绪", at + 1)) ++count;
    EXPECT_EQ(count, r["devices"].size()) << "one text per device\n" << text;
}

}  // namespace
