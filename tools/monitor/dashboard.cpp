#include "tools/monitor/dashboard.h"

#include "tools/model/field_table.h"
#include "tools/model/line_counters.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace monitor {
namespace {

using model::DeviceTable;
using model::FieldInfo;
using model::FindDeviceTable;
using model::FindField;
using model::StateWord;

constexpr int kAc = 5106;
constexpr int kRc = 5107;
constexpr int kDc = 5108;
constexpr std::size_t kPlainEvents = 5;
// A device whose data is older than this many seconds is drawn dimmed.
constexpr long kStaleAfter_s = 10;

// Code points that take two columns: the CJK and full-width blocks.
bool Wide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

// Walks a UTF-8 text character by character: f(start, length, columns)
// until f returns false.
template <typename F>
void EachChar(const std::string& s, F f) {
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        std::size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        n = std::min(n, s.size() - i);
        char32_t c = n == 1 ? b : b & (0x3F >> (n - 1));
        for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        if (!f(i, n, Wide(c) ? 2u : 1u)) return;
        i += n;
    }
}

std::string Pad(const std::string& s, std::size_t width, bool right = false) {
    const std::size_t w = TextWidth(s);
    if (w >= width) return s;
    return right ? std::string(width - w, ' ') + s : s + std::string(width - w, ' ');
}

std::string Number(double v) {
    char b[32];
    std::snprintf(b, sizeof b, v >= 100 || v <= -100 ? "%.1f" : "%.2f", v);
    return b;
}

// At most two decimals, no trailing zeros: for lists of values.
std::string Short(double v) {
    std::string s = Number(v);
    if (s.find('.') == std::string::npos) return s;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s == "-0" ? "0" : s;
}

std::string Hex2(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

std::string DeviceName(const Json::Value& device) {
    const DeviceTable* t = FindDeviceTable(device["type_number"].asInt());
    return std::string(t ? t->device : device["type"].asCString()) + " " + std::to_string(device["data_id"].asUInt());
}

// Builds the lines of one screen.
class Builder {
public:
    Builder(const RoundHistory& h, const LineState& l, int width) : history_(h), line_(l), width_(width) {}

    void Add(Line l) {
        // Cut to the screen width, counting columns.
        std::size_t used = 0;
        Line out;
        for (Span& s : l) {
            std::size_t keep = 0;
            bool full = false;
            EachChar(s.text, [&](std::size_t at, std::size_t n, std::size_t cols) {
                if (used + cols > static_cast<std::size_t>(width_)) return !(full = true);
                used += cols;
                keep = at + n;
                return true;
            });
            s.text.resize(keep);
            if (!s.text.empty()) out.push_back(std::move(s));
            if (full) break;
        }
        screen.lines.push_back(std::move(out));
    }

    // Rows of cells padded to their column's widest cell, two blanks apart.
    void Table(const std::vector<Line>& rows) {
        std::vector<std::size_t> w;
        for (const Line& r : rows)
            for (std::size_t c = 0; c < r.size(); ++c) {
                if (w.size() <= c) w.push_back(0);
                w[c] = std::max(w[c], TextWidth(r[c].text));
            }
        for (const Line& r : rows) {
            Line l;
            for (std::size_t c = 0; c < r.size(); ++c)
                l.push_back({(c ? "  " : "") + (c + 1 < r.size() ? Pad(r[c].text, w[c]) : r[c].text), r[c].style});
            while (!l.empty() && l.back().text.find_last_not_of(' ') == std::string::npos) l.pop_back();
            if (!l.empty()) l.back().text.erase(l.back().text.find_last_not_of(' ') + 1);
            Add(l);
        }
    }

    // A value of fields with its unit (when withUnit) and, where its state
    // byte is not normal, the state's word.
    Span Value(const Json::Value& fields, const std::vector<FieldInfo>& table, const char* name, bool withUnit,
               Style base) const {
        const FieldInfo* f = FindField(table, name);
        if (!f || !fields.isMember(name)) return {"-", base};
        std::string text = Pad(Number(fields[name].asDouble()), 6, true);
        if (withUnit && *f->unit) text += std::string(" ") + f->unit;
        const FieldInfo* s = FindField(table, f->state_field);
        if (s) {
            const std::string word = StateWord(s->states, fields[s->name].asUInt());
            if (!word.empty()) return {text + " " + word, Style::kLevel1};
        }
        return {text, base};
    }

    // The values of a list field, as many as its count field says were received.
    std::string List(const Json::Value& fields, const char* count, const char* name) const {
        const Json::Value& a = fields[name];
        const Json::ArrayIndex n = std::min(a.size(), fields[count].asUInt());
        std::string s;
        for (Json::ArrayIndex k = 0; k < n; ++k) s += (k ? " " : "") + Short(a[k].asDouble());
        return s;
    }

    // The exception text a device's values answer with while its data is
    // missing or stale; "" when it has data.
    static std::string Missing(const Json::Value& device, const Json::Value& fields) {
        // The rectifier device answers every name with an exception text
        // (signal_catalog.h); only its missing data says something.
        if (device["type_number"].asInt() == kRc && !fields.isNull()) return "";
        for (const auto& k : device["signals"].getMemberNames())
            if (device["signals"][k].isString()) return device["signals"][k].asString();
        return fields.isNull() ? "no data" : "";
    }

    Style Base(const std::string& missing) const {
        return !missing.empty() || line_.age_s > kStaleAfter_s ? Style::kDim : Style::kNormal;
    }

    // The device's name, what follows it, and the exception text once.
    void Heading(const Json::Value& device, const std::string& missing, Line head) {
        if (!missing.empty()) head.insert(head.begin(), {"  " + missing, Style::kDim});
        head.insert(head.begin(), {DeviceName(device), Style::kHeading});
        Add(head);
    }

    void Ac(const Json::Value& device, const Json::Value& fields) {
        const DeviceTable& t = *FindDeviceTable(kAc);
        const std::string missing = Missing(device, fields);
        const Style base = Base(missing);
        Line head;
        if (!fields.isNull()) head.push_back({"  " + std::to_string(fields["channels"].size()) + " inputs", base});
        Heading(device, missing, head);
        if (fields.isNull()) return;
        std::vector<Line> rows;
        Line heads{{"", Style::kHeading}};
        for (const FieldInfo& f : t.item->fields)
            if (f.state_field) heads.push_back({Pad(std::string(f.label) + " " + f.unit, 6, true), Style::kHeading});
        rows.push_back(heads);
        for (Json::ArrayIndex ch = 0; ch < fields["channels"].size(); ++ch) {
            Line r{{"  input " + std::to_string(ch + 1), base}};
            for (const FieldInfo& f : t.item->fields)
                if (f.state_field) r.push_back(Value(fields["channels"][ch], t.item->fields, f.name, false, base));
            rows.push_back(r);
        }
        Line currents{{"  currents", base}};
        for (const FieldInfo& f : t.head.fields)
            if (f.state_field) {
                Span v = Value(fields, t.head.fields, f.name, true, base);
                v.text = std::string(f.label) + " " + v.text;
                currents.push_back(v);
            }
        rows.push_back(currents);
        Table(rows);
    }

    void Dc(const Json::Value& device, const Json::Value& fields) {
        const DeviceTable& t = *FindDeviceTable(kDc);
        const auto& tf = t.head.fields;
        const std::string missing = Missing(device, fields);
        const Style base = Base(missing);
        if (fields.isNull()) return Heading(device, missing, {});
        // The fuses: "64 fuses ok", or the ones that are not.
        const FieldInfo& fuse = *FindField(tf, "alert_m");
        const Json::Value& states = fields["alert_m"];
        const Json::ArrayIndex n = std::min(states.size(), fields["alert_m_num"].asUInt());
        std::string bad;
        Json::ArrayIndex ok = 0;
        for (Json::ArrayIndex k = 0; k < n; ++k) {
            const std::string w = StateWord(fuse.states, states[k].asUInt());
            if (w.empty())
                ++ok;
            else
                bad += (bad.empty() ? "" : ", ") + std::to_string(k + 1) + " " + w;
        }
        Line head{Value(fields, tf, "v", true, base), Value(fields, tf, "i", true, base)};
        for (Span& s : head) s.text = "  " + s.text;
        const Span fuses = bad.empty() ? Span{"  " + std::to_string(ok) + " fuses ok", base}
                                       : Span{"  fuses: " + bad + (ok ? ", " + std::to_string(ok) + " ok" : ""),
                                              Style::kLevel1};
        const FieldInfo& m = *FindField(tf, "m_value");
        const FieldInfo& b = *FindField(tf, "n_value");
        const Span lists{"  " + std::string(m.label) + " " + List(fields, "dc_m", "m_value") + " " + m.unit + "  " +
                             b.label + " " + List(fields, "dc_n", "n_value") + " " + b.unit,
                         base};
        head.push_back(fuses);
        // One line when the screen is wide enough, else the currents below.
        std::size_t all = TextWidth(DeviceName(device)) + TextWidth(lists.text);
        for (const Span& s : head) all += TextWidth(s.text);
        if (all <= static_cast<std::size_t>(width_)) head.insert(head.end() - 1, lists);
        Heading(device, missing, head);
        if (all > static_cast<std::size_t>(width_)) Add({lists});
    }

    void Rectifiers(const Json::Value& device, const Json::Value& fields) {
        const DeviceTable& t = *FindDeviceTable(kRc);
        const std::string missing = Missing(device, fields);
        const Style base = Base(missing);
        Line head;
        if (!fields.isNull()) {
            const FieldInfo& g = *FindField(t.head.fields, "group_value");
            head.push_back({"  " + std::string(g.label) + " " + Number(fields["group_value"].asDouble()) + " " + g.unit,
                            base});
            head.push_back({"  " + std::to_string(fields["modules"].size()) + " modules", base});
        }
        Heading(device, missing, head);
        if (fields.isNull()) return;
        const auto& mf = t.item->fields;
        const FieldInfo& fault = *FindField(mf, "fault");
        const FieldInfo& value = *FindField(mf, "value");
        const FieldInfo& state = *FindField(mf, "state");
        // Modules side by side in as many columns as the width allows.
        const std::size_t perRow = std::max<std::size_t>(1, static_cast<std::size_t>(width_ - 2) / 36);
        std::vector<Line> rows;
        const Json::Value& mods = fields["modules"];
        for (Json::ArrayIndex k = 0; k < mods.size(); ++k) {
            if (k % perRow == 0) rows.push_back({});
            // The state bytes as the AC and DC states are shown: nothing while
            // they are normal (0); the device gives them no words, so the
            // bytes otherwise.
            std::string bytes;
            bool normal = true;
            for (const auto& b : mods[k]["state"]) {
                bytes += (bytes.empty() ? "" : " ") + Hex2(b.asUInt());
                normal = normal && b.asUInt() == 0;
            }
            const std::string word = StateWord(fault.states, mods[k]["fault"].asUInt());
            Line& r = rows.back();
            r.push_back({"  module " + std::to_string(k + 1), base});
            r.push_back({Pad(Number(mods[k]["value"].asDouble()), 6, true) + " " + value.unit, base});
            r.push_back({normal ? "" : std::string(state.label) + " " + bytes, base});
            r.push_back(word.empty() ? Span{"", base} : Span{word, Style::kLevel1});
        }
        Table(rows);
    }

    void Alarms(const Json::Value& round) {
        std::vector<Json::Value> active(round["active_alarms"].begin(), round["active_alarms"].end());
        std::stable_sort(active.begin(), active.end(), [&](const Json::Value& a, const Json::Value& b) {
            return history_.SinceRound(a) > history_.SinceRound(b);
        });
        std::map<std::uint32_t, std::string> names;
        for (const auto& d : round["devices"]) names.emplace(d["data_id"].asUInt(), DeviceName(d));
        Add({{"Active alarms: " + std::to_string(active.size()), Style::kHeading}});
        for (const auto& a : active) {
            const unsigned level = a["level"].asUInt();
            const Style s = level == 1 ? Style::kLevel1 : level == 2 ? Style::kLevel2 : Style::kLevel3;
            // The rectifiers share the bus device's data id; the rule key tells them apart.
            std::string dev = names.count(a["data_id"].asUInt()) ? names[a["data_id"].asUInt()]
                                                                 : std::to_string(a["data_id"].asUInt());
            if (a["key"].asString().rfind("RC_", 0) == 0) dev = "rectifiers " + std::to_string(a["data_id"].asUInt());
            Add({{"  [" + std::to_string(level) + "] " + history_.Since(a) + " " + dev + " " + a["name"].asString() +
                      " " + a["text"].asString(),
                  s}});
        }
    }

    void Events(std::size_t room) {
        const auto& ev = history_.Events();
        const std::size_t n = std::min(room, ev.size());
        if (n == 0) return;
        Add({{"Events", Style::kHeading}});
        for (std::size_t k = 0; k < n; ++k) Add({{"  " + ev[k], Style::kNormal}});
    }

    Screen screen;

private:
    const RoundHistory& history_;
    const LineState& line_;
    int width_;
};

}  // namespace

std::size_t TextWidth(const std::string& text) {
    std::size_t w = 0;
    EachChar(text, [&](std::size_t, std::size_t, std::size_t cols) {
        w += cols;
        return true;
    });
    return w;
}

Screen Layout(const Json::Value& r, const RoundHistory& history, const LineState& line, int width, int height) {
    Builder b(history, line, std::max(width, 40));
    const Json::Value& st = r["stats"];
    const double secs = st["round_s"].asDouble();
    char took[32];
    std::snprintf(took, sizeof took, secs < 1 ? "%.0f ms" : "%.1f s", secs < 1 ? secs * 1000 : secs);
    Line bus{{r["bus"]["type"].asString() + " " + std::to_string(r["bus"]["data_id"].asUInt()) + " on " +
                  r["port"].asString() + "  ",
              Style::kHeading},
             {line.text, line.text == "polling" ? Style::kNormal : Style::kLevel1}};
    const Span when{"round " + std::to_string(r["round"].asUInt64()) + " at " + Clock(r["time"].asString()) +
                        " in " + took + ", data age " + std::to_string(line.age_s) + " s",
                    line.age_s > kStaleAfter_s ? Style::kDim : Style::kNormal};
    // One line when it fits, else two.
    if (TextWidth(bus[0].text + bus[1].text + when.text) + 2 <= static_cast<std::size_t>(std::max(width, 40))) {
        bus.push_back({"  " + when.text, when.style});
        b.Add(bus);
    } else {
        b.Add(bus);
        b.Add({when});
    }
    // Line counters that are not zero.
    std::string counters = "line:";
    for (const model::LineCounter& c : model::kLineCounters) {
        const Json::UInt64 n = st[c.key].asUInt64();
        if (n != 0) counters += std::string(" ") + c.label + " " + std::to_string(n);
    }
    b.Add({{counters, Style::kNormal}});
    b.screen.pinned = b.screen.lines.size();

    for (int type : {kAc, kDc, kRc})
        for (const auto& d : r["devices"]) {
            if (d["type_number"].asInt() != type) continue;
            const Json::Value& fields = history.Fields(d["data_id"].asUInt(), type);
            if (type == kAc) b.Ac(d, fields);
            if (type == kDc) b.Dc(d, fields);
            if (type == kRc) b.Rectifiers(d, fields);
        }
    b.Alarms(r);
    // The events fill what the screen has left, or a few; they give way
    // first, so that the header and the active alarms stay on the screen.
    const std::size_t used = b.screen.lines.size() + 1;
    const std::size_t room = height <= 0 ? kPlainEvents
                                         : static_cast<std::size_t>(height) > used ? static_cast<std::size_t>(height) - used
                                                                                   : 0;
    b.Events(room);
    return b.screen;
}

std::string PlainText(const Screen& screen) {
    std::string out;
    for (const Line& l : screen.lines) {
        for (const Span& s : l) out += s.text;
        out += "\n";
    }
    return out;
}

}  // namespace monitor
