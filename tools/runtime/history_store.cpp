#include "tools/runtime/history_store.h"

#include <sqlite3.h>

#include <stdexcept>

namespace rt {
namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS history("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time TEXT NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " type_number INTEGER NOT NULL,"
    " snapshot BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_by_device ON history(data_id, type_number, id);"
    "CREATE TABLE IF NOT EXISTS alarm_event("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time TEXT NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " rule_key TEXT NOT NULL,"
    " seq INTEGER NOT NULL,"
    " alarm_id TEXT NOT NULL,"
    " level INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " text TEXT NOT NULL,"
    " event TEXT NOT NULL CHECK(event IN ('begin','end')));"
    // The HTTP service's time-range queries.
    "CREATE INDEX IF NOT EXISTS history_by_time ON history(data_id, time);"
    "CREATE INDEX IF NOT EXISTS alarm_event_by_time ON alarm_event(time);";

// Resets a statement when it leaves scope, whatever happened.
struct Reset {
    sqlite3_stmt* s;
    ~Reset() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
};

void BindText(sqlite3_stmt* s, int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
             : std::string();
}

}  // namespace

HistoryStore::HistoryStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open database " + path + ": " + msg);
    }
    sqlite3_busy_timeout(db_, 2000);
    try {
        // WAL keeps the file consistent if the process dies between writes.
        Exec("PRAGMA journal_mode=WAL;");
        Exec("PRAGMA synchronous=NORMAL;");
        Exec(kSchema);
        AddColumnIfMissing("history", "bus_id", "INTEGER");
        AddColumnIfMissing("alarm_event", "bus_id", "INTEGER");
        if (sqlite3_prepare_v2(db_,
                               "INSERT INTO history(time, data_id, type_number, snapshot, bus_id) VALUES(?,?,?,?,?)",
                               -1, &insertHistory_, nullptr) != SQLITE_OK)
            Fail("prepare history insert");
        if (sqlite3_prepare_v2(db_,
                               "INSERT INTO alarm_event(time, data_id, rule_key, seq, alarm_id, level, name,"
                               " text, event, bus_id) VALUES(?,?,?,?,?,?,?,?,?,?)",
                               -1, &insertAlarm_, nullptr) != SQLITE_OK)
            Fail("prepare alarm insert");
        if (sqlite3_prepare_v2(db_,
                               "SELECT snapshot FROM history WHERE data_id=? AND type_number=?"
                               " ORDER BY id DESC LIMIT 1",
                               -1, &newest_, nullptr) != SQLITE_OK)
            Fail("prepare newest");
    } catch (...) {
        sqlite3_finalize(insertHistory_);
        sqlite3_finalize(insertAlarm_);
        sqlite3_finalize(newest_);
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

HistoryStore::~HistoryStore() {
    sqlite3_finalize(insertHistory_);
    sqlite3_finalize(insertAlarm_);
    sqlite3_finalize(newest_);
    sqlite3_close(db_);
}

void HistoryStore::Fail(const char* what) {
    throw std::runtime_error(std::string("database: ") + what + ": " + sqlite3_errmsg(db_));
}

void HistoryStore::Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string msg = err ? err : "error";
        sqlite3_free(err);
        throw std::runtime_error("database: " + msg);
    }
}

void HistoryStore::AddColumnIfMissing(const char* table, const char* column, const char* type) {
    sqlite3_stmt* s = nullptr;
    const std::string info = std::string("PRAGMA table_info(") + table + ")";
    if (sqlite3_prepare_v2(db_, info.c_str(), -1, &s, nullptr) != SQLITE_OK) Fail("read table layout");
    bool found = false;
    while (!found && sqlite3_step(s) == SQLITE_ROW) found = ColumnText(s, 1) == column;
    sqlite3_finalize(s);
    if (!found) Exec((std::string("ALTER TABLE ") + table + " ADD COLUMN " + column + " " + type).c_str());
}

void HistoryStore::SaveSnapshot(const std::string& time, std::uint32_t dataId, int typeNumber,
                                const std::uint8_t* data, std::size_t length, std::uint32_t busId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Reset r{insertHistory_};
    BindText(insertHistory_, 1, time);
    sqlite3_bind_int64(insertHistory_, 2, dataId);
    sqlite3_bind_int(insertHistory_, 3, typeNumber);
    // A zero-length blob must still be a blob, not NULL.
    static const std::uint8_t kEmpty = 0;
    sqlite3_bind_blob(insertHistory_, 4, length ? data : &kEmpty, static_cast<int>(length), SQLITE_TRANSIENT);
    sqlite3_bind_int64(insertHistory_, 5, busId);
    if (sqlite3_step(insertHistory_) != SQLITE_DONE) Fail("save snapshot");
}

void HistoryStore::SaveAlarm(const AlarmRow& row) {
    std::lock_guard<std::mutex> lock(mutex_);
    Reset r{insertAlarm_};
    BindText(insertAlarm_, 1, row.time);
    sqlite3_bind_int64(insertAlarm_, 2, row.data_id);
    BindText(insertAlarm_, 3, row.rule_key);
    sqlite3_bind_int64(insertAlarm_, 4, row.seq);
    BindText(insertAlarm_, 5, row.alarm_id);
    sqlite3_bind_int(insertAlarm_, 6, row.level);
    BindText(insertAlarm_, 7, row.name);
    BindText(insertAlarm_, 8, row.text);
    BindText(insertAlarm_, 9, row.begin ? "begin" : "end");
    sqlite3_bind_int64(insertAlarm_, 10, row.bus_id);
    if (sqlite3_step(insertAlarm_) != SQLITE_DONE) Fail("save alarm event");
}

std::optional<std::vector<std::uint8_t>> HistoryStore::Newest(std::uint32_t dataId, int typeNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    Reset r{newest_};
    sqlite3_bind_int64(newest_, 1, dataId);
    sqlite3_bind_int(newest_, 2, typeNumber);
    const int rc = sqlite3_step(newest_);
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) Fail("read newest snapshot");
    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(newest_, 0));
    const int n = sqlite3_column_bytes(newest_, 0);
    return std::vector<std::uint8_t>(p, p + (p ? n : 0));
}

std::uint64_t HistoryStore::HistoryRows() {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT COUNT(*) FROM history", -1, &s, nullptr) != SQLITE_OK) Fail("count");
    std::uint64_t n = 0;
    if (sqlite3_step(s) == SQLITE_ROW) n = static_cast<std::uint64_t>(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    return n;
}

std::vector<AlarmRow> HistoryStore::Alarms() {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT time, data_id, rule_key, seq, alarm_id, level, name, text, event, bus_id"
                           " FROM alarm_event ORDER BY id",
                           -1, &s, nullptr) != SQLITE_OK)
        Fail("list alarms");
    std::vector<AlarmRow> out;
    while (sqlite3_step(s) == SQLITE_ROW) {
        AlarmRow a;
        a.time = ColumnText(s, 0);
        a.data_id = static_cast<std::uint32_t>(sqlite3_column_int64(s, 1));
        a.rule_key = ColumnText(s, 2);
        a.seq = static_cast<std::uint32_t>(sqlite3_column_int64(s, 3));
        a.alarm_id = ColumnText(s, 4);
        a.level = sqlite3_column_int(s, 5);
        a.name = ColumnText(s, 6);
        a.text = ColumnText(s, 7);
        a.begin = ColumnText(s, 8) == "begin";
        a.bus_id = static_cast<std::uint32_t>(sqlite3_column_int64(s, 9));
        out.push_back(std::move(a));
    }
    sqlite3_finalize(s);
    return out;
}

}  // namespace rt
