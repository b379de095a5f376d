// The demo plant's round through the monitor's views: each quantity shows on
// the dashboard under its people-facing label (channels and modules counted
// from 1) with its value and the field table's unit, /metrics has it under
// the same count with the unit in its family name, and the MQTT discovery
// config gives its signal the same unit. (The web page's cards are checked
// against /api/fields and /metrics in http_browser.)
#include "tools/http/metrics.h"
#include "tools/model/field_table.h"
#include "tools/model/round.h"
#include "tools/model/round_view.h"
#include "tools/monitor/dashboard.h"
#include "tools/mqtt/ha_discovery.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace {

Json::Value RecordedRound(std::size_t n, monitor::RoundHistory& h) {
    std::ifstream in(DASHBOARD_ROUNDS);
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string line, err;
    for (std::size_t k = 0; k < n && std::getline(in, line); ++k) {
        std::istringstream one(line);
        EXPECT_TRUE(Json::parseFromStream(b, one, &v, &err)) << err;
        h.Add(v);
    }
    return v;
}

// The value of the /metrics sample of family whose labels include these.
double Sample(const std::string& metrics, const std::string& family, const std::map<std::string, std::string>& labels) {
    std::istringstream in(metrics);
    for (std::string row; std::getline(in, row);) {
        if (row.rfind(family + "{", 0) != 0) continue;
        bool all = true;
        for (const auto& [k, v] : labels) all = all && row.find(k + "=\"" + v + "\"") != std::string::npos;
        if (all) return std::stod(row.substr(row.rfind(' ') + 1));
    }
    ADD_FAILURE() << "no " << family << " sample in\n" << metrics;
    return -1;
}

TEST(ViewsAgree, EveryQuantityHasOneLabelValueAndUnit) {
    monitor::RoundHistory h;
    const Json::Value round = RecordedRound(10, h);  // phase loss, module fault and fuse fault active
    const std::string dashboard = monitor::PlainText(monitor::Layout(round, h, {}, 120, 40));
    http::ServedState state;
    const auto now = std::chrono::steady_clock::now();
    state.AddRound(std::make_shared<const model::Round>(round), now, false);
    const std::string metrics = http::RenderMetrics(state, {}, now);
    std::map<unsigned, Json::Value> devices;
    for (const Json::Value& d : round["devices"]) devices[d["data_id"].asUInt()] = d;

    const struct {
        unsigned dataId;
        const char* list;     // "channels", "modules" or "" for the device's own record
        unsigned item;        // counted from 1, as people read it
        const char* field;
        const char* row;      // the dashboard row that shows it
        const char* family;   // its /metrics family
        std::map<std::string, std::string> labels;
        const char* signal;   // its MQTT signal, "" when the device has none for it
    } quantities[] = {
        {1001, "channels", 1, "a", "  input 1", "pmbus_ac_input_voltage_volts", {{"channel", "1"}, {"phase", "a"}}, "channel_0_a"},
        {1001, "channels", 2, "c", "  input 2", "pmbus_ac_input_voltage_volts", {{"channel", "2"}, {"phase", "c"}}, "channel_1_c"},
        {1001, "channels", 2, "f", "  input 2", "pmbus_ac_input_frequency_hertz", {{"channel", "2"}}, "channel_1_f"},
        {1001, "", 0, "ib", "  currents", "pmbus_ac_phase_current_amperes", {{"phase", "b"}}, "ib"},
        {1003, "", 0, "v", "DC 1003", "pmbus_dc_output_voltage_volts", {}, "v"},
        {1003, "", 0, "i", "DC 1003", "pmbus_dc_current_amperes", {}, "i"},
        {1000, "", 0, "group_value", "rectifiers 1000", "pmbus_rectifier_group_voltage_volts", {}, ""},
        {1000, "modules", 2, "value", "  module 1", "pmbus_rectifier_module_current_amperes", {{"module", "2"}}, ""},
        {1000, "modules", 3, "value", "  module 1", "pmbus_rectifier_module_current_amperes", {{"module", "3"}}, ""},
    };
    const std::map<std::string, std::string> suffix = {{"V", "_volts"}, {"A", "_amperes"}, {"Hz", "_hertz"}};
    for (const auto& q : quantities) {
        const Json::Value& d = devices.at(q.dataId);
        const model::DeviceTable& t = *model::FindDeviceTable(d["type_number"].asInt());
        const bool inList = *q.list != '\0';
        const model::FieldInfo& f = *model::FindField(inList ? t.item->fields : t.head.fields, q.field);
        const double value = (inList ? d["fields"][q.list][q.item - 1] : d["fields"])[q.field].asDouble();
        const std::string where = std::to_string(q.dataId) + " " + q.list + " " + std::to_string(q.item) + " " + q.field;
        // The dashboard: the row, the item counted from 1, the value (two
        // decimals, one from 100 on) and its unit.
        char shown[32];
        std::snprintf(shown, sizeof shown, value >= 100 ? "%.1f" : "%.2f", value);
        std::string row;
        std::istringstream lines(dashboard);
        for (std::string l; std::getline(lines, l);)
            if (l.rfind(q.row, 0) == 0) row = l;
        const std::string item = std::string(q.list) == "modules" ? "module " + std::to_string(q.item) : "";
        EXPECT_NE(row.find(item + (item.empty() ? "" : " ")), std::string::npos) << where << "\n" << row;
        const std::size_t at = row.find(shown, item.empty() ? 0 : row.find(item));
        EXPECT_NE(at, std::string::npos) << where << ": " << shown << " not in\n" << row;
        if (std::string(q.list) != "channels") {  // the AC table names its units in the column headings
            EXPECT_EQ(row.compare(at + std::strlen(shown), std::strlen(f.unit) + 1, std::string(" ") + f.unit), 0)
                << where << " unit " << f.unit << "\n" << row;
        } else {
            EXPECT_NE(dashboard.find(std::string(f.label) + " " + f.unit), std::string::npos) << where;
        }
        // /metrics: the same count, the same value, the unit in the family's name.
        std::map<std::string, std::string> labels = q.labels;
        labels["data_id"] = std::to_string(q.dataId);
        EXPECT_NEAR(Sample(metrics, q.family, labels), value, 1e-4) << where;
        const std::string family = q.family;
        const std::string end = suffix.at(f.unit);
        EXPECT_EQ(family.compare(family.size() - end.size(), end.size(), end), 0) << where;
        // MQTT discovery: the signal's unit.
        if (*q.signal) {
            EXPECT_STREQ(mqtt::KindOfSignal(q.signal).unit, f.unit) << where;
        }
    }
}

}  // namespace
