#pragma once
// /api/history and /api/alarms: queries on the service's own read-only
// SQLite connection to the history database (WAL: the writer never waits).
#include <json/value.h>

#include <cstdint>
#include <string>

struct sqlite3;

namespace http {

struct Range {
    std::string from = "0000";  // database time form "YYYY-MM-DD HH:MM:SS.mmm", inclusive
    std::string to = "9999";
    unsigned limit = 1000;
};

class HistoryReader {
public:
    explicit HistoryReader(std::string path) : path_(std::move(path)) {}
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // {"data_id", "field", "rows", "points": [[time, value], ...]}, oldest
    // first, evenly thinned to range.limit. field is a path into the decoded
    // "fields" object ("v", "channels.0.a"). Throws std::invalid_argument for
    // a field the device's snapshots do not have, std::runtime_error when the
    // database cannot be read.
    Json::Value Series(std::uint32_t dataId, const std::string& field, const Range& range);
    // {"events": [...]}: the newest range.limit alarm events, oldest first.
    Json::Value Alarms(const Range& range);

private:
    sqlite3* Db();
    std::string path_;
    sqlite3* db_ = nullptr;
};

// "2026-12-08T19:00:00", with optional seconds, fraction or only a date, to
// the database's form; false for anything else.
bool IsoToDb(const std::string& iso, std::string& db);

}  // namespace http
