#pragma once
// The host's history and alarm store: one SQLite database file.
//   history(id, time, data_id, type_number, snapshot, bus_id)      one row per saved snapshot
//   alarm_event(id, time, data_id, rule_key, seq, alarm_id, level, name, text, event, bus_id)
// bus_id is the data id of the line's bus device (NULL in rows written
// before lines were recorded; such a database gets the column on opening).
// "time" is local time "YYYY-MM-DD HH:MM:SS.mmm"; "event" is "begin" or "end".
// Newest means the highest id, i.e. the last row written, whatever the clock did.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace rt {

struct AlarmRow {
    std::string time;
    std::uint32_t data_id = 0;
    std::string rule_key;
    std::uint32_t seq = 0;
    std::string alarm_id;
    int level = 0;
    std::string name;
    std::string text;
    bool begin = false;
    std::uint32_t bus_id = 0;  // the line's bus device
};

class HistoryStore {
public:
    // Opens (creating when missing) the database; throws std::runtime_error
    // with SQLite's message when it cannot.
    explicit HistoryStore(const std::string& path);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Each throws std::runtime_error when SQLite refuses.
    void SaveSnapshot(const std::string& time, std::uint32_t dataId, int typeNumber,
                      const std::uint8_t* data, std::size_t length, std::uint32_t busId = 0);
    void SaveAlarm(const AlarmRow& row);
    // The newest snapshot of a data id and type number, if any.
    std::optional<std::vector<std::uint8_t>> Newest(std::uint32_t dataId, int typeNumber);

    std::uint64_t HistoryRows();
    std::vector<AlarmRow> Alarms();

private:
    void Exec(const char* sql);
    // Adds the column to a table created before it existed.
    void AddColumnIfMissing(const char* table, const char* column, const char* type);
    [[noreturn]] void Fail(const char* what);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insertHistory_ = nullptr;
    sqlite3_stmt* insertAlarm_ = nullptr;
    sqlite3_stmt* newest_ = nullptr;
};

}  // namespace rt
