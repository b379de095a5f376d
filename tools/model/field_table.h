#pragma once
// What every field of every child snapshot is: one table per device, shared
// by the snapshot decoder (the JSON "fields"), the dashboard and any other
// consumer (a web page, metrics). Nothing outside this table names a
// field's meaning, unit or the meaning of its alarm-state values.
//
// Devices by type number: 5106 AC (panel record, then one record per input
// channel), 5107 rectifiers (group record, then one record per module),
// 5108 DC (one record). The byte layouts are the devices' own record
// headers (ac/ac_records.h, rc/rc_records.h, dc/dc_record.h).
//
//   const DeviceTable* t = FindDeviceTable(5106);
//   for (const FieldInfo& f : t->head.fields) ...        // name, label, unit
//   const FieldInfo* a = FindField(t->item->fields, "a"); // phase voltage A
//   const FieldInfo* s = FindField(t->item->fields, a->state_field);
//   StateWord(s->states, 3) == "phase loss"
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace model {

// How a field's bytes are stored (all little-endian, byte-packed).
enum class FieldKind {
    kU8,    // one byte
    kU32,   // unsigned 32-bit
    kF32,   // IEEE-754 single
    kF32s,  // count singles (count 1 decodes as a plain number)
    kU8s,   // count bytes
    kTime,  // the 7-byte host time record (year LE16, month, day, h, m, s)
};

// What the values of an alarm-state byte mean, as the device's alarm rules
// read them. 0 is normal for every kind.
enum class StateKind {
    kNone,          // not an alarm-state byte
    kLowHighLoss,   // AC voltages: 1 low, 2 high, 3 phase loss
    kLowHighMissing,  // AC phase currents: 1 low, 2 high, 3 missing
    kLowHigh,       // AC frequency, DC output voltage: 1 low, 2 high
    kFuse,          // DC fuses: 3 fuse fault
    kModuleFault,   // rectifier module: 1 fault
    kRaw,           // state bytes the device does not interpret
};

struct FieldInfo {
    const char* name;         // record member name, also the JSON "fields" key
    std::size_t offset;       // in its record
    FieldKind kind;
    std::size_t count;        // elements of kF32s / kU8s, else 1
    const char* label;        // short column heading ("A", "Ia", "V"); "" for bookkeeping fields
    const char* title;        // what it is, for a reader ("phase voltage AB/A")
    const char* unit;         // "V", "A", "Hz" or ""
    StateKind states;         // kNone unless this is an alarm-state byte (or list of them)
    const char* state_field;  // the state byte that qualifies this value, or nullptr
};

struct RecordTable {
    const char* name;         // "AC panel", "AC channel", ...
    std::size_t size;         // bytes of one record
    std::vector<FieldInfo> fields;
};

struct DeviceTable {
    int type_number;          // 5106, 5107, 5108
    const char* device;       // "AC", "rectifiers", "DC"
    RecordTable head;         // the first (or only) record
    const RecordTable* item;  // the repeated record, or nullptr
    std::size_t count_offset; // offset in head of the item count byte
    const char* list_name;    // JSON key of the item list ("channels", "modules")
};

// A little-endian single at p, read unaligned (the records are byte-packed).
inline float ReadF32(const std::uint8_t* p) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
}

// All device tables, in type-number order.
const std::vector<DeviceTable>& DeviceTables();
// nullptr for an unknown type number.
const DeviceTable* FindDeviceTable(int typeNumber);
// nullptr when fields has no such name (or name is nullptr).
const FieldInfo* FindField(const std::vector<FieldInfo>& fields, const char* name);
// The word for an alarm-state value: "" when normal (0) or kind is kNone,
// "low", "high", "phase loss", "missing", "fuse fault", "fault", or
// "state N" for a value the device has no rule for.
std::string StateWord(StateKind kind, unsigned value);
// The values of kind that have a word, in value order (none for kNone, kRaw).
std::vector<std::pair<unsigned, const char*>> StateWords(StateKind kind);

}  // namespace model
