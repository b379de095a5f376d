#pragma once
// /api/history and /api/alarms: queries on the service's own read-only
// SQLite connection to the history database (WAL: the writer never waits).
#include <json/value.h>

#include <cstdint>
#include <map>
#include <utility>
#include <string>

struct sqlite3;

namespace http {

struct Range {
    std::string from = "0000";  // database time form "YYYY-MM-DD HH:MM:SS.mmm", inclusive
    std::string to = "9999";
    unsigned limit = 1000;
    std::string step;           // "raw", "minute", "hour"; empty: chosen from the range
};

class HistoryReader {
public:
    explicit HistoryReader(std::string path) : path_(std::move(path)) {}
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // {"data_id", "field", "step", "rows", "points"}, oldest first. field is
    // a path into the decoded "fields" object ("v", "channels.0.a").
    // step "raw": points [time, value] of the saved snapshots, evenly
    // thinned to range.limit. "minute", "hour": points [start, mean, min,
    // max] of the store's aggregates, neighbours merged to range.limit.
    // Without a step: raw up to kRawSpan, minutes up to kMinuteSpan, hours
    // beyond (a missing "from" is the device's oldest data, a missing "to"
    // its newest), raw when no aggregate covers the range yet.
    // Throws std::invalid_argument for a field the device's data do not
    // have, std::runtime_error when the database cannot be read.
    Json::Value Series(std::uint32_t dataId, const std::string& field, const Range& range);
    static constexpr long kRawSpan = 3 * 3600;
    static constexpr long kMinuteSpan = 3 * 86400;
    // {"events": [...]}: the newest range.limit alarm events, oldest first.
    Json::Value Alarms(const Range& range);

private:
    sqlite3* Db();
    Json::Value Raw(std::uint32_t dataId, const std::string& field, const Range& range);
    // Empty points when the table holds nothing in the range.
    Json::Value Aggregated(std::uint32_t dataId, const std::string& field, const Range& range, const char* step);
    std::string Chosen(std::uint32_t dataId, const Range& range);
    // The index of field in a layout's names; -1 when it has none.
    int FieldIndex(std::int64_t layout, const std::string& field);

    std::string path_;
    sqlite3* db_ = nullptr;
    unsigned long long inode_ = 0;  // of the file opened: a file made again is opened again
    std::map<std::pair<std::int64_t, std::string>, int> fieldIndex_;
};

// "2026-12-08T19:00:00", with optional seconds, fraction or only a date, to
// the database's form; false for anything else.
bool IsoToDb(const std::string& iso, std::string& db);

}  // namespace http
