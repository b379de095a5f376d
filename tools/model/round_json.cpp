#include "tools/model/round_json.h"

#include "tools/model/field_order.h"
#include "tools/model/field_table.h"
#include "tools/model/line_counters.h"
#include "tools/model/round_view.h"
#include "tools/runtime/json_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace model {
namespace {

using rt::AppendJsonInt;
using rt::AppendJsonReal;
using rt::AppendJsonString;
using rt::AppendJsonUInt;

// Every object below is written with its members in name order, as a tree
// keeps them; the literal keys carry their own quotes and colon.
void Key(std::string& out, const char* quotedKeyColon) { out += quotedKeyColon; }

void KeyOf(std::string& out, const char* name) {
    AppendJsonString(out, name, std::strlen(name));
    out.push_back(':');
}

void Value(std::string& out, const FieldInfo& f, const std::uint8_t* q) {
    switch (f.kind) {
        case FieldKind::kU8: AppendJsonUInt(out, q[0]); break;
        case FieldKind::kU32: {
            std::uint32_t u;
            std::memcpy(&u, q, 4);
            AppendJsonUInt(out, u);
            break;
        }
        case FieldKind::kF32: AppendJsonReal(out, ReadF32(q)); break;
        case FieldKind::kF32s:
            if (f.count == 1) {
                AppendJsonReal(out, ReadF32(q));
                break;
            }
            out.push_back('[');
            for (std::size_t i = 0; i < f.count; ++i) {
                if (i) out.push_back(',');
                AppendJsonReal(out, ReadF32(q + 4 * i));
            }
            out.push_back(']');
            break;
        case FieldKind::kU8s:
            out.push_back('[');
            for (std::size_t i = 0; i < f.count; ++i) {
                if (i) out.push_back(',');
                AppendJsonUInt(out, q[i]);
            }
            out.push_back(']');
            break;
        case FieldKind::kTime: {
            char buf[32];
            const int n = std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", q[0] | q[1] << 8, q[2],
                                        q[3], q[4], q[5], q[6]);
            AppendJsonString(out, buf, static_cast<std::size_t>(n));
            break;
        }
    }
}

void Record(std::string& out, const std::vector<Member>& order, const std::uint8_t* p) {
    out.push_back('{');
    bool first = true;
    for (const Member& m : order) {
        if (!m.field) continue;
        if (!first) out.push_back(',');
        first = false;
        KeyOf(out, m.name);
        Value(out, *m.field, p + m.field->offset);
    }
    out.push_back('}');
}

void ErrorObject(std::string& out, const std::string& text) {
    Key(out, "{\"error\":");
    AppendJsonString(out, text);
    out.push_back('}');
}

void Rule(std::string& out, const rule_value& r) {
    Key(out, "{\"active\":");
    out += r.active != 0 ? "true" : "false";
    Key(out, ",\"data_id\":");
    AppendJsonUInt(out, r.data_id);
    Key(out, ",\"id\":");
    AppendJsonString(out, r.alarm_id);
    Key(out, ",\"key\":");
    AppendJsonString(out, r.key);
    Key(out, ",\"level\":");
    AppendJsonUInt(out, r.level);
    Key(out, ",\"name\":");
    AppendJsonString(out, r.name);
    Key(out, ",\"seq\":");
    AppendJsonUInt(out, r.seq);
    Key(out, ",\"text\":");
    AppendJsonString(out, r.text);
    out.push_back('}');
}

// The members of "stats" in name order: the line counters, "rounds" and "round_s".
struct Stat {
    const char* key;
    const std::uint64_t rt::LineStats::*value;  // nullptr: round_s
};

const std::vector<Stat>& StatOrder() {
    static const std::vector<Stat> order = [] {
        std::vector<Stat> o;
        for (const LineCounter& c : kLineCounters) o.push_back({c.key, c.value});
        o.push_back({"rounds", &rt::LineStats::rounds});
        o.push_back({"round_s", nullptr});
        std::sort(o.begin(), o.end(), [](const Stat& a, const Stat& b) { return std::strcmp(a.key, b.key) < 0; });
        return o;
    }();
    return order;
}

void Device(std::string& out, const DeviceRound& d, const std::string* fields) {
    Key(out, "{\"age_s\":");
    if (d.age_s)
        AppendJsonInt(out, *d.age_s);
    else
        out += "null";
    Key(out, ",\"data_id\":");
    AppendJsonUInt(out, d.data_id);
    if (fields) {
        Key(out, ",\"fields\":");
        out += *fields;
    }
    Key(out, ",\"signals\":{");
    for (std::size_t i = 0; i < d.signals.size(); ++i) {
        if (i) out.push_back(',');
        AppendJsonString(out, d.signals[i].name);
        out.push_back(':');
        if (d.signals[i].ok)
            AppendJsonReal(out, d.signals[i].value);
        else
            AppendJsonString(out, d.signals[i].error);
    }
    Key(out, "},\"type\":");
    AppendJsonString(out, d.type);
    Key(out, ",\"type_number\":");
    AppendJsonInt(out, d.type_number);
    out.push_back('}');
}

}  // namespace

void AppendSnapshotFields(std::string& out, int typeNumber, const std::uint8_t* data, std::size_t length) {
    if (!data) length = 0;
    const DeviceTable* t = FindDeviceTable(typeNumber);
    if (!t) return ErrorObject(out, "unknown type number " + std::to_string(typeNumber));
    if (length < t->head.size)
        return ErrorObject(out, "snapshot of " + std::to_string(length) + " bytes, shorter than its " +
                                    std::to_string(t->head.size) + "-byte record");
    const FieldOrder& order = OrderOf(*t);
    std::size_t want = t->head.size;
    std::size_t count = 0;
    if (t->item) {
        count = data[t->count_offset];
        want += count * t->item->size;
    }
    out.push_back('{');
    bool first = true;
    for (const Member& m : order.head) {
        if (m.field) {
            if (!first) out.push_back(',');
            first = false;
            KeyOf(out, m.name);
            Value(out, *m.field, data + m.field->offset);
        } else if (std::strcmp(m.name, "error") == 0) {
            if (length == want) continue;
            if (!first) out.push_back(',');
            first = false;
            Key(out, "\"error\":");
            AppendJsonString(out, "snapshot of " + std::to_string(length) + " bytes, " + std::to_string(want) +
                                      " expected");
        } else {
            if (!first) out.push_back(',');
            first = false;
            KeyOf(out, m.name);
            // The items that fit, as many as the head's count byte says.
            out.push_back('[');
            const std::size_t itemSize = t->item->size;
            for (std::size_t i = 0; i < count && t->head.size + (i + 1) * itemSize <= length; ++i) {
                if (i) out.push_back(',');
                Record(out, order.item, data + t->head.size + i * itemSize);
            }
            out.push_back(']');
        }
    }
    out.push_back('}');
}

std::vector<std::string> SnapshotFieldsTexts(const RoundData& r) {
    std::vector<std::string> fields(r.snapshots.size());
    for (std::size_t i = 0; i < r.snapshots.size(); ++i)
        AppendSnapshotFields(fields[i], r.snapshots[i].type_number, r.snapshots[i].bytes.data(),
                             r.snapshots[i].bytes.size());
    return fields;
}

void AppendDevice(std::string& out, const DeviceRound& d, const std::vector<std::string>& fields) {
    Device(out, d, d.snapshot < 0 ? nullptr : &fields[static_cast<std::size_t>(d.snapshot)]);
}

void AppendRound(std::string& out, const RoundData& r, const std::vector<std::string>& fields) {
    Key(out, "{\"active_alarms\":");
    AppendRules(out, r.active_alarms);
    Key(out, ",\"bus\":{\"data_id\":");
    AppendJsonUInt(out, r.bus_data_id);
    Key(out, ",\"data_valid\":");
    AppendJsonUInt(out, r.bus_data_valid);
    Key(out, ",\"type\":");
    AppendJsonString(out, r.bus_type);
    Key(out, "},\"devices\":[");
    for (std::size_t i = 0; i < r.devices.size(); ++i) {
        if (i) out.push_back(',');
        const DeviceRound& d = r.devices[i];
        Device(out, d, d.snapshot < 0 ? nullptr : &fields[static_cast<std::size_t>(d.snapshot)]);
    }
    out.push_back(']');
    if (r.has_store) {
        Key(out, ",\"history\":{\"bytes\":");
        AppendJsonUInt(out, r.store_bytes);
        Key(out, ",\"failed_writes\":");
        AppendJsonUInt(out, r.store_failed_writes);
        out.push_back('}');
    }
    Key(out, ",\"port\":");
    AppendJsonString(out, r.port);
    Key(out, ",\"restored\":");
    AppendJsonInt(out, r.restored);
    Key(out, ",\"round\":");
    AppendJsonUInt(out, r.round);
    Key(out, ",\"rules\":");
    out += r.rules->Text();
    Key(out, ",\"snapshots\":[");
    for (std::size_t i = 0; i < r.snapshots.size(); ++i) {
        const auto& s = r.snapshots[i];
        if (i) out.push_back(',');
        Key(out, "{\"data_id\":");
        AppendJsonUInt(out, s.data_id);
        Key(out, ",\"fields\":");
        out += fields[i];
        Key(out, ",\"hex\":\"");
        AppendHex(out, s.bytes);
        Key(out, "\",\"type_number\":");
        AppendJsonInt(out, s.type_number);
        out.push_back('}');
    }
    Key(out, "],\"stats\":{");
    bool first = true;
    for (const Stat& st : StatOrder()) {
        if (!first) out.push_back(',');
        first = false;
        KeyOf(out, st.key);
        if (st.value)
            AppendJsonUInt(out, r.stats.*st.value);
        else
            AppendJsonReal(out, r.round_s);
    }
    Key(out, "},\"time\":");
    AppendJsonString(out, r.time);
    out.push_back('}');
}

void AppendRules(std::string& out, const std::vector<rule_value>& rules) {
    out.push_back('[');
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (i) out.push_back(',');
        Rule(out, rules[i]);
    }
    out.push_back(']');
}

}  // namespace model
