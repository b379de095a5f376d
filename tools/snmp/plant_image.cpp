#include "tools/snmp/plant_image.h"

#include "tools/model/field_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

namespace snmp {
namespace {

// The rows an item list gives: AC channels are inputs of the AC unit, the
// rectifier group's modules are modules of their own.
struct ItemList {
    const char* list;
    const char* word;
    bool own_row;
};
const ItemList kItemLists[] = {
    {"channels", "input", false},
    {"modules", "module", true},
};

const ItemList* FindItemList(const char* list) {
    for (const ItemList& l : kItemLists)
        if (list && std::strcmp(l.list, list) == 0) return &l;
    return nullptr;
}

// Text of at most 255 bytes, not cut inside a UTF-8 sequence.
std::string_view Text255(std::string_view s) {
    if (s.size() <= 255) return s;
    std::size_t n = 255;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

using Cell = Image::Cell;
Cell Int(std::int64_t n) { return {Value::kInteger, n, {}}; }
Cell Unsigned(std::uint64_t n) { return {Value::kUnsigned, static_cast<std::int64_t>(n & 0xFFFFFFFFu), {}}; }
Cell Counter(std::uint64_t n) { return {Value::kCounter, static_cast<std::int64_t>(n & 0xFFFFFFFFu), {}}; }
Cell Ticks(std::uint32_t n) { return {Value::kTicks, n, {}}; }
Cell Str(std::string_view s) { return {Value::kString, 0, Text255(s)}; }

std::uint32_t DataAge(const LineRecord& line, Clock::time_point now) {
    if (!line.round || now <= line.round_at) return 0;
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(now - line.round_at).count());
}

// Builds the rows of one line's entities.
class EntityRows {
public:
    EntityRows(Image& out, const LineRecord& line, std::uint32_t lineNo, bool fresh,
               std::uint32_t stamp)
        : out_(out), line_(line), next_((lineNo - 1) * kLineBlock + 1), last_(lineNo * kLineBlock), fresh_(fresh),
          stamp_(stamp) {}

    void Build() {
        const model::RoundData& r = line_.round->Data();
        const std::uint32_t chassis = Physical(0, -1, kClassChassis, "power system " +
                                               std::to_string(line_.bus_data_id) + " on " + line_.port,
                                               r.bus_type + " power system", r.bus_type);
        if (!chassis) return;
        int pos = 0;
        for (const model::DeviceRound& d : r.devices) Device(r, d, chassis, ++pos);
    }

private:
    // One entPhysicalTable row; 0 when the line's block is full.
    std::uint32_t Physical(std::uint32_t parent, int relPos, int cls, const std::string& name,
                           const std::string& descr, const std::string& model, bool fru = false) {
        if (next_ > last_) return 0;
        const std::uint32_t i = next_++;
        auto col = [&](std::uint32_t c, Cell v) { out_.Add(kEntPhysicalEntry, c, {i}, v); };
        col(kEntDescr, Str(descr));
        col(kEntVendorType, Cell{Value::kObject, 0, {}});  // 0.0: unknown
        col(kEntContainedIn, Int(parent));
        col(kEntClass, Int(cls));
        col(kEntParentRelPos, Int(relPos));
        col(kEntName, Str(name));
        for (std::uint32_t c : {kEntHardwareRev, kEntFirmwareRev, kEntSoftwareRev, kEntSerialNum, kEntMfgName})
            col(c, Str(""));
        col(kEntModelName, Str(model));
        col(kEntAlias, Str(""));
        col(kEntAssetId, Str(""));
        col(kEntIsFru, Int(fru ? 1 : 2));
        col(kEntMfgDate, Str(std::string(8, '\0')));  // unknown
        col(kEntUris, Str(""));
        return i;
    }

    // A device's records as its snapshot holds them, read where the round
    // object's "fields" are written from (model::AppendSnapshotFields).
    struct Records {
        const std::uint8_t* head = nullptr;  // nullptr: "fields" has no values
        std::size_t items = 0;               // item records that fit
        bool whole = false;                  // "fields" present without an "error"
    };

    static Records RecordsOf(const model::RoundData& r, const model::DeviceRound& d, const model::DeviceTable& t) {
        Records rec;
        if (d.snapshot < 0) return rec;
        const std::vector<std::uint8_t>& bytes = r.snapshots[static_cast<std::size_t>(d.snapshot)].bytes;
        if (bytes.size() < t.head.size) return rec;
        rec.head = bytes.data();
        std::size_t count = 0;
        if (t.item) {
            count = bytes[t.count_offset];
            while (rec.items < count && t.head.size + (rec.items + 1) * t.item->size <= bytes.size()) ++rec.items;
        }
        rec.whole = bytes.size() == t.head.size + count * (t.item ? t.item->size : 0);
        return rec;
    }

    void Device(const model::RoundData& r, const model::DeviceRound& d, std::uint32_t chassis, int pos) {
        const int type = d.type_number;
        const model::DeviceTable* t = model::FindDeviceTable(type);
        if (!t) return;
        const std::string name = std::string(t->device) + " " + std::to_string(d.data_id);
        const std::string& model = d.type;
        const std::uint32_t row = Physical(chassis, pos, kClassModule, name, name + " (" + t->head.name + ")", model);
        if (!row) return;
        const Records rec = RecordsOf(r, d, *t);
        const bool ok = fresh_ && d.age_s.has_value() && rec.whole;
        int childPos = 0;
        Sensors(t->head.fields, rec.head, type, row, name, ok, childPos);
        const ItemList* list = FindItemList(t->list_name);
        if (!t->item || !list) return;
        for (std::size_t n = 0; n < rec.items; ++n) {
            const std::uint8_t* item = rec.head + t->head.size + n * t->item->size;
            const std::string itemName = name + " " + list->word + " " + std::to_string(n + 1);
            if (list->own_row) {
                const std::uint32_t m = Physical(row, ++childPos, kClassModule, itemName,
                                                 itemName + " (" + t->item->name + ")", model, true);
                if (!m) return;
                int pos2 = 0;
                Sensors(t->item->fields, item, type, m, itemName, ok, pos2);
            } else {
                Sensors(t->item->fields, item, type, row, itemName, ok, childPos);
            }
        }
    }

    // A sensor row per numeric quantity of a record (nullptr: none read):
    // its value fields and each element of its value lists. As in the
    // round object, a value that is not a number (NaN) is null: a value
    // field's row stays, unavailable; a one-element list is left out.
    void Sensors(const std::vector<model::FieldInfo>& table, const std::uint8_t* record, int type,
                 std::uint32_t parent, const std::string& owner, bool ok, int& pos) {
        for (const model::FieldInfo& f : table) {
            if ((f.kind != model::FieldKind::kF32 && f.kind != model::FieldKind::kF32s) || !*f.label) continue;
            const bool list = f.kind == model::FieldKind::kF32s && f.count != 1;
            if (!record) {
                if (f.kind == model::FieldKind::kF32) Sensor(f, type, parent, owner + " " + f.title, kNull, ok, pos);
                continue;
            }
            const std::uint8_t* q = record + f.offset;
            if (list) {
                for (std::size_t k = 0; k < f.count; ++k)
                    Sensor(f, type, parent, owner + " " + f.title + " " + std::to_string(k + 1),
                           model::ReadF32(q + 4 * k), ok, pos);
            } else {
                const double v = model::ReadF32(q);
                if (std::isnan(v) && f.kind != model::FieldKind::kF32) continue;
                Sensor(f, type, parent, owner + " " + f.title, v, ok, pos);
            }
        }
    }

    // v: the reading, NaN when there is none.
    void Sensor(const model::FieldInfo& f, int type, std::uint32_t parent, const std::string& name, double v,
                bool ok, int& pos) {
        const std::string unit = f.unit;
        const std::uint32_t i = Physical(parent, ++pos, kClassSensor, name,
                                         unit.empty() ? std::string(f.title) : std::string(f.title) + " in " + unit,
                                         "");
        if (!i) return;
        const int decimals = SensorDecimals(f);
        const bool number = std::isfinite(v);
        double scaled = number ? std::round(v * std::pow(10.0, decimals)) : 0.0;
        scaled = std::clamp(scaled, -1e9, 1e9);
        auto col = [&](std::uint32_t c, Cell val) { out_.Add(kEntPhySensorEntry, c, {i}, val); };
        col(kSensorType, Int(SensorType(f, type)));
        col(kSensorScale, Int(kScaleUnits));
        col(kSensorPrecision, Int(decimals));
        col(kSensorValue, Int(static_cast<std::int64_t>(scaled)));
        col(kSensorOperStatus, Int(ok && number ? kStatusOk : kStatusUnavailable));
        col(kSensorUnitsDisplay, Str(unit));
        col(kSensorValueTimeStamp, Ticks(stamp_));
        col(kSensorValueUpdateRate, Unsigned(line_.rate_ms));
    }

    static constexpr double kNull = std::numeric_limits<double>::quiet_NaN();

    Image& out_;
    const LineRecord& line_;
    std::uint32_t next_;
    std::uint32_t last_;
    bool fresh_;
    std::uint32_t stamp_;
};

void LineRow(Image& out, const LineRecord& line, std::uint32_t lineNo, Clock::time_point now) {
    auto col = [&](std::uint32_t c, Cell v) { out.Add(kLineEntry, c, {lineNo}, v); };
    const rt::LineStats stats = line.round ? line.round->Data().stats : rt::LineStats{};
    col(kLinePort, Str(line.port));
    col(kLineBusDataId, Unsigned(line.bus_data_id));
    col(kLineState, Int(line.state));
    col(kLineRounds, Counter(stats.rounds));
    col(kLineTimeouts, Counter(stats.timeouts));
    col(kLineBadFrames, Counter(stats.bad_frames));
    col(kLineDataAge, Unsigned(DataAge(line, now)));
}

void AlarmRows(Image& out, const LineRecord& line, AlarmBook& alarms) {
    const model::RoundData& r = line.round->Data();
    for (const rule_value& a : r.active_alarms) {
        const AlarmBook::Row* row = alarms.Listed(model::IdentityOf(a), r.time, line.bus_data_id);
        if (!row) continue;
        auto col = [&](std::uint32_t c, Cell v) { out.Add(kAlarmEntry, c, {a.data_id, row->index}, v); };
        col(kAlarmDevice, Unsigned(a.data_id));
        col(kAlarmRuleKey, Str(a.key));
        col(kAlarmId, Str(a.alarm_id));
        col(kAlarmLevel, Unsigned(a.level));
        col(kAlarmName, Str(a.name));
        col(kAlarmText, Str(a.text));
        col(kAlarmSince, Str(row->since));
        col(kAlarmLine, Unsigned(line.bus_data_id));
    }
}

}  // namespace

AlarmBook::Row& AlarmBook::Begin(const model::RuleIdentity& rule, const std::string& since, std::uint32_t line) {
    auto& device = rows_[rule.data_id];
    auto it = device.find(rule);
    if (it != device.end() && !it->second.ended) return it->second;
    if (it != device.end()) device.erase(it);
    std::uint32_t index = 1;
    for (bool taken = true; taken; ) {
        taken = false;
        for (const auto& [id, r] : device)
            if (r.index == index) { taken = true; ++index; break; }
    }
    Row& r = device[rule];
    r.index = index;
    r.since = since;
    r.line = line;
    return r;
}

const AlarmBook::Row* AlarmBook::Listed(const model::RuleIdentity& rule, const std::string& since,
                                        std::uint32_t line) {
    auto d = rows_.find(rule.data_id);
    if (d != rows_.end()) {
        auto it = d->second.find(rule);
        if (it != d->second.end()) {
            if (it->second.ended) return nullptr;
            it->second.seen = true;
            return &it->second;
        }
    }
    Row& r = Begin(rule, since, line);
    r.seen = true;
    return &r;
}

const AlarmBook::Row* AlarmBook::End(const model::RuleIdentity& rule) {
    auto d = rows_.find(rule.data_id);
    if (d == rows_.end()) return nullptr;
    auto it = d->second.find(rule);
    if (it == d->second.end()) return nullptr;
    it->second.ended = true;
    return &it->second;
}

void AlarmBook::Prune(std::uint32_t line, const std::vector<rule_value>& activeAlarms) {
    std::vector<model::RuleIdentity> listed;
    listed.reserve(activeAlarms.size());
    for (const rule_value& a : activeAlarms) listed.push_back(model::IdentityOf(a));
    for (auto d = rows_.begin(); d != rows_.end();) {
        for (auto it = d->second.begin(); it != d->second.end();) {
            const Row& r = it->second;
            const bool still = std::find(listed.begin(), listed.end(), it->first) != listed.end();
            if (r.line == line && !still && (r.ended || r.seen))
                it = d->second.erase(it);
            else
                ++it;
        }
        d = d->second.empty() ? rows_.erase(d) : std::next(d);
    }
}

std::size_t AlarmBook::Size() const {
    std::size_t n = 0;
    for (const auto& [id, device] : rows_) n += device.size();
    return n;
}

int SensorDecimals(const model::FieldInfo&) {
    // The devices send single floats; the plants' readings carry two
    // decimals at most (53.45 V, 50.02 Hz), so every quantity keeps two.
    return 2;
}

int SensorType(const model::FieldInfo& f, int typeNumber) {
    const std::string unit = f.unit;
    if (unit == "V") return typeNumber == 5106 ? kTypeVoltsAc : kTypeVoltsDc;
    if (unit == "A") return kTypeAmperes;
    if (unit == "Hz") return kTypeHertz;
    return kTypeOther;
}

std::uint32_t Ticks(Clock::time_point t, Clock::time_point start) {
    if (t <= start) return 0;
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(t - start).count() / 10);
}

bool OidLess(const Oid& a, const Oid& b) { return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end()); }

Clock::time_point FreshUntil(const LineRecord& line) {
    if (!line.round || line.state != kLineUp) return Clock::time_point::min();
    return line.round_at + std::max<Clock::duration>(std::chrono::seconds(10),
                                                      std::chrono::milliseconds(3ull * line.rate_ms));
}

void Image::Add(const Oid& entry, std::uint32_t column, std::initializer_list<std::uint32_t> index, Cell cell) {
    // Rows are made column after column: the next column is the likely one.
    if (hint_ >= columns_.size() || columns_[hint_].entry != &entry || columns_[hint_].column != column) {
        hint_ = 0;
        while (hint_ < columns_.size() && (columns_[hint_].entry != &entry || columns_[hint_].column != column))
            ++hint_;
        if (hint_ == columns_.size()) columns_.push_back(Column{&entry, column, {}, 0});
    }
    Column& c = columns_[hint_++];
    if (c.used == c.entries.size()) c.entries.emplace_back();
    Entry& e = c.entries[c.used++];
    e.name.assign(entry.begin(), entry.end());
    e.name.push_back(column);
    e.name.insert(e.name.end(), index);
    e.value.kind = cell.kind;
    e.value.number = cell.number;
    e.value.text.assign(cell.text);
    if (cell.kind == Value::kObject) e.value.object.assign({0, 0});
    else e.value.object.clear();
}

void Image::Build(const std::vector<LineRecord>& lines, AlarmBook& alarms, Clock::time_point now,
                  Clock::time_point start) {
    for (Column& c : columns_) c.used = 0;
    hint_ = 0;
    for (std::uint32_t n = 1; n <= lines.size(); ++n) {
        const LineRecord& line = lines[n - 1];
        LineRow(*this, line, n, now);
        if (!line.round) continue;
        EntityRows(*this, line, n, now <= FreshUntil(line), Ticks(line.round_at, start)).Build();
        AlarmRows(*this, line, alarms);
    }
    // Columns no longer made (their last alarm ended) go; the others are
    // put in name order, a column sorted only when its rows came unsorted.
    columns_.erase(std::remove_if(columns_.begin(), columns_.end(), [](const Column& c) { return c.used == 0; }),
                   columns_.end());
    std::sort(columns_.begin(), columns_.end(), [](const Column& a, const Column& b) {
        if (*a.entry != *b.entry) return OidLess(*a.entry, *b.entry);
        return a.column < b.column;
    });
    const auto byName = [](const Entry& a, const Entry& b) { return OidLess(a.name, b.name); };
    sorted_.clear();
    for (Column& c : columns_) {
        c.entries.resize(c.used);
        if (!std::is_sorted(c.entries.begin(), c.entries.end(), byName))
            std::sort(c.entries.begin(), c.entries.end(), byName);
        for (Entry& e : c.entries) sorted_.push_back(&e);
    }
}

void Image::SetDataAges(const std::vector<LineRecord>& lines, Clock::time_point now) {
    for (std::uint32_t n = 1; n <= lines.size(); ++n) {
        const Oid name = Under(kLineEntry, {kLineDataAge, n});
        auto it = std::lower_bound(sorted_.begin(), sorted_.end(), name,
                                   [](const Entry* e, const Oid& o) { return OidLess(e->name, o); });
        if (it != sorted_.end() && (*it)->name == name) (*it)->value.number = DataAge(lines[n - 1], now);
    }
}

}  // namespace snmp
