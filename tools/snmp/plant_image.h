#pragma once
// What the subagent serves, as one sorted list of (object identifier,
// value): built from the latest round of each line, the lines' states and
// the active alarms, and answered from without touching the devices.
//
//   entPhysicalTable   a chassis row per line, a module row per device (the
//                      AC unit, each DC unit, the rectifier group and each
//                      rectifier module), a sensor row per numeric quantity
//   entPhySensorTable  the sensor rows' type, scale, precision and value
//   tvrLineTable       per line: port, state, counters, data age
//   tvrAlarmTable      the active alarms, per device and alarm number
//
// Entity indexes: each line has a block of kLineBlock indexes, from
// (line - 1) * kLineBlock + 1 (its chassis), in the round's device order.
#include "tools/model/round.h"
#include "tools/model/rule_identity.h"
#include "tools/snmp/mib_oids.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace model {
struct FieldInfo;
}

namespace snmp {

using Clock = std::chrono::steady_clock;

inline constexpr std::uint32_t kLineBlock = 10000;

struct Value {
    enum Kind { kInteger, kUnsigned, kCounter, kTicks, kString, kObject } kind = kInteger;
    std::int64_t number = 0;
    std::string text;
    Oid object;
};

struct Entry {
    Oid name;
    Value value;
};

struct LineRecord {
    std::uint32_t bus_data_id = 0;
    std::string port;
    LineState state = kLineStarting;
    model::RoundPtr round;                     // the latest, complete round
    Clock::time_point round_at{};              // when it was handed over
    std::uint32_t rate_ms = 0;                 // between the latest two rounds, 0 before
};

// The numbers the alarm table gives the active alarms: per device the
// smallest free number at the alarm's begin (or first sight in a round),
// kept until its end. An alarm is known by its rule (model::RuleIdentity),
// as the other services know it: its text, which may carry a value, is not
// part of it.
class AlarmBook {
public:
    struct Row {
        std::uint32_t index = 0;
        std::string since;
        std::uint32_t line = 0;   // bus data id
        bool ended = false;
        bool seen = false;        // listed by a round
    };
    Row& Begin(const model::RuleIdentity& rule, const std::string& since, std::uint32_t line);
    // The row of an alarm listed by a round (made when new); nullptr once ended.
    const Row* Listed(const model::RuleIdentity& rule, const std::string& since, std::uint32_t line);
    // The ended row, or nullptr when the alarm was never seen.
    const Row* End(const model::RuleIdentity& rule);
    // After a new round of line: forgets its rows that the round no longer
    // lists and that ended or were listed before (their numbers are free).
    void Prune(std::uint32_t line, const std::vector<rule_value>& activeAlarms);
    std::size_t Size() const;

private:
    // By device (data id), then rule.
    std::map<std::uint32_t, std::map<model::RuleIdentity, Row>> rows_;
};

// The sensor's precision: decimals of its value.
int SensorDecimals(const model::FieldInfo& field);
// EntitySensorDataType by the field's unit and its device.
int SensorType(const model::FieldInfo& field, int typeNumber);

// Everything served, sorted by name, rebuilt in place: an entry's storage
// is kept from one build to the next, so a rebuild of an unchanged plant
// allocates nothing.
class Image {
public:
    // A value as the rows are made (the text copied into the entry).
    struct Cell {
        Value::Kind kind;
        std::int64_t number;
        std::string_view text;  // kObject: none, the value is 0.0
    };

    // start: the subagent's start (time stamps count from it in
    // hundredths of a second).
    void Build(const std::vector<LineRecord>& lines, AlarmBook& alarms, Clock::time_point now,
               Clock::time_point start);
    // Sets the lines' data age as of now.
    void SetDataAges(const std::vector<LineRecord>& lines, Clock::time_point now);

    std::size_t Size() const { return sorted_.size(); }
    const Entry& operator[](std::size_t i) const { return *sorted_[i]; }

    // While building: entry's column, at the row index.
    void Add(const Oid& entry, std::uint32_t column, std::initializer_list<std::uint32_t> index, Cell cell);

private:
    // Rows of a table are made in index order (but the alarms'), so a
    // column's entries mostly come sorted and the image is the columns in
    // name order. (A sort of the whole list compares long shared prefixes
    // n log n times.)
    struct Column {
        const Oid* entry;
        std::uint32_t column;
        std::vector<Entry> entries;
        std::size_t used;  // entries made by this build
    };
    std::vector<Column> columns_;
    std::size_t hint_ = 0;  // the column after the last one added to
    std::vector<Entry*> sorted_;
};

// Until when the line's latest round is fresh, its sensors available (the
// image changes with the clock there, and in the lines' data age); min()
// for a line that is not up or has no round.
Clock::time_point FreshUntil(const LineRecord& line);

// Time stamps: hundredths of a second from start to t (0 before start).
std::uint32_t Ticks(Clock::time_point t, Clock::time_point start);

// Lexicographic order of object identifiers.
bool OidLess(const Oid& a, const Oid& b);

}  // namespace snmp
