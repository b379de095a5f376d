#include "tools/http/metrics.h"

#include "tools/http/metric_table.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

namespace http {
namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

// Families in order of first appearance, each written once with its samples.
class Exposition {
public:
    void Add(const std::string& family, const char* type, const std::string& help, const Labels& labels, double v) {
        auto it = index_.find(family);
        if (it == index_.end()) {
            it = index_.emplace(family, families_.size()).first;
            families_.push_back("# HELP " + family + " " + help + "\n# TYPE " + family + " " + type + "\n");
        }
        std::string& out = families_[it->second];
        out += family;
        if (!labels.empty()) {
            out += '{';
            for (std::size_t i = 0; i < labels.size(); ++i) {
                if (i) out += ',';
                out += labels[i].first + "=\"" + EscapeLabel(labels[i].second) + '"';
            }
            out += '}';
        }
        out += ' ' + Number(v) + '\n';
    }
    std::string Text() const {
        std::string all;
        for (const std::string& f : families_) all += f;
        return all;
    }

private:
    static std::string Number(double v) {
        if (std::isnan(v)) return "NaN";
        if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
        char b[40];
        std::snprintf(b, sizeof b, "%.9g", v);
        return b;
    }
    std::map<std::string, std::size_t> index_;  // family name to its text in families_
    std::vector<std::string> families_;
};

void AddField(Exposition& x, const FieldMetric& m, const Json::Value& v, Labels labels) {
    if (m.label[0]) labels.emplace_back(m.label, m.value);
    if (v.isArray()) {
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
            if (!v[i].isNumeric()) continue;
            Labels l = labels;
            l.emplace_back("index", std::to_string(i + 1));
            x.Add(m.family, "gauge", m.help, l, v[i].asDouble());
        }
    } else if (v.isNumeric()) {
        x.Add(m.family, "gauge", m.help, labels, v.asDouble());
    }
}

void AddDevice(Exposition& x, const Json::Value& d, Labels dev) {
    dev.emplace_back("data_id", std::to_string(d["data_id"].asUInt()));
    dev.emplace_back("device_type", d["type"].asString());
    const Json::Value& signals = d["signals"];
    for (const std::string& name : signals.getMemberNames()) {
        if (!signals[name].isNumeric()) continue;  // an exception text: no value
        Labels l = dev;
        l.emplace_back("signal", name);
        x.Add("pmbus_signal_value", "gauge", "Value of a device signal as Get_Value answers it", l,
              signals[name].asDouble());
    }
    if (d["age_s"].isNumeric())
        x.Add("pmbus_device_data_age_seconds", "gauge", "Seconds since the device's last round end or restore", dev,
              d["age_s"].asDouble());
    const Json::Value& fields = d["fields"];
    if (!fields.isObject()) return;
    const int type = d["type_number"].asInt();
    std::size_t n = 0;
    const FieldMetric* table = FieldMetrics(n);
    for (std::size_t k = 0; k < n; ++k) {
        const FieldMetric& m = table[k];
        if (m.type_number != type) continue;
        if (!m.list[0]) {
            AddField(x, m, fields[m.field], dev);
            continue;
        }
        const Json::Value& items = fields[m.list];
        for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
            Labels l = dev;
            l.emplace_back(ListLabel(m.list), std::to_string(i + 1));
            AddField(x, m, items[i][m.field], l);
        }
    }
}

struct Counter {
    const char* stat;
    const char* family;
    const char* help;
};
const Counter kLineCounters[] = {
    {"requests", "pmbus_line_requests_total", "Requests written to the line"},
    {"answers", "pmbus_line_answers_total", "Answers received, error answers included"},
    {"error_answers", "pmbus_line_error_answers_total", "Answers with a non-zero return code"},
    {"timeouts", "pmbus_line_timeouts_total", "Requests left without an answer"},
    {"bad_frames", "pmbus_line_bad_frames_total", "Frames the decoder rejected"},
    {"noise_bytes", "pmbus_line_noise_bytes_total", "Bytes outside any frame"},
    {"late_frames", "pmbus_line_late_frames_total", "Answers after their timeout"},
    {"stray_frames", "pmbus_line_stray_frames_total", "Frames while nothing was asked"},
    {"echoes", "pmbus_line_echoes_total", "Own requests read back"},
    {"foreign_frames", "pmbus_line_foreign_frames_total", "Frames of another address"},
    {"stale_bytes", "pmbus_line_stale_bytes_total", "Input flushed before a request"},
    {"port_losses", "pmbus_line_port_losses_total", "Times the serial port failed"},
    {"reopens", "pmbus_line_reopens_total", "Times the serial port was opened again"},
    {"rounds", "pmbus_rounds_total", "Completed polling rounds"},
};

}  // namespace

std::string EscapeLabel(const std::string& v) {
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string RenderMetrics(const ServedState& state, const HealthRule& health,
                          std::chrono::steady_clock::time_point now) {
    Exposition x;
    // Every series of a line carries its bus data id first, so lines that
    // share a port, and devices of different lines, stay apart.
    for (const LineState& line : state.Lines()) {
        const Labels id = {{"line", std::to_string(line.data_id)}};
        const auto& shot = line.latest;
        const bool up = shot && line.up && shot->round->Tree()["bus"]["data_valid"].asInt() == 1;
        x.Add("pmbus_power_system_up", "gauge", "1 while the power system answers, else 0", id, up ? 1 : 0);
        x.Add("pmbus_line_healthy", "gauge", "1 while the line passes the /healthz checks, else 0", id,
              line.Check(health, now).ok ? 1 : 0);
        if (!shot) continue;
        const Json::Value& r = shot->round->Tree();
        Labels port = id;
        port.emplace_back("port", r["port"].asString());
        for (const Counter& c : kLineCounters)
            x.Add(c.family, "counter", c.help, port, r["stats"][c.stat].asDouble());
        x.Add("pmbus_round_duration_seconds", "gauge", "Duration of the latest round, first request to round end",
              port, r["stats"]["round_s"].asDouble());
        for (const Json::Value& d : r["devices"]) AddDevice(x, d, id);
    }
    // The site's one history store, as the newest round saw it.
    const model::RoundData* store = nullptr;
    for (const LineState& line : state.Lines()) {
        const model::RoundData* r = line.latest ? &line.latest->round->Data() : nullptr;
        if (r && r->has_store && (!store || r->store_failed_writes >= store->store_failed_writes)) store = r;
    }
    if (store) {
        x.Add("pmbus_history_failed_writes_total", "counter",
              "History database writes that failed (disk full, read-only, file gone), retried later", {},
              static_cast<double>(store->store_failed_writes));
        x.Add("pmbus_history_bytes", "gauge", "History database and its WAL on disk, bytes", {},
              static_cast<double>(store->store_bytes));
    }
    // The rule's position and text tell apart the channels (fuses, modules)
    // that share a rule key and alarm id.
    for (const auto& [rule, s] : state.Rules())
        x.Add("pmbus_alarm_active", "gauge", "1 while the alarm rule is active, else 0",
              {{"line", std::to_string(s.line)},
               {"data_id", std::to_string(rule.data_id)},
               {"rule_key", rule.key},
               {"alarm_id", rule.alarm_id},
               {"name", s.name},
               {"rule_index", std::to_string(rule.index)},
               {"level", std::to_string(s.level)},
               {"text", s.text}},
              s.active ? 1 : 0);
    return x.Text();
}

}  // namespace http
