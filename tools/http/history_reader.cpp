#include "tools/http/history_reader.h"

#include "tools/model/snapshot_fields.h"
#include "tools/runtime/history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace http {
namespace {

// Finalizes a statement when it leaves scope.
struct Stmt {
    sqlite3_stmt* s = nullptr;
    Stmt(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("history database: ") + sqlite3_errmsg(db));
    }
    ~Stmt() { sqlite3_finalize(s); }
    void Text(int i, const std::string& v) { sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }
    std::string Col(int i) {
        const unsigned char* t = sqlite3_column_text(s, i);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
                 : std::string();
    }
    bool Step() {
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) throw std::runtime_error(std::string("history database: ") + sqlite3_errstr(rc));
        return false;
    }
};

std::string IsoTime(std::string t) {
    if (t.size() > 10 && t[10] == ' ') t[10] = 'T';
    return t;
}

// The value at a dotted path ("channels.0.a"); null when there is none.
Json::Value At(const Json::Value& fields, const std::string& path) {
    const Json::Value* v = &fields;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t dot = std::min(path.find('.', start), path.size());
        const std::string part = path.substr(start, dot - start);
        if (v->isArray() && !part.empty() && std::isdigit(static_cast<unsigned char>(part[0]))) {
            const unsigned long i = std::strtoul(part.c_str(), nullptr, 10);
            if (i >= v->size()) return Json::Value();
            v = &(*v)[static_cast<Json::ArrayIndex>(i)];
        } else if (v->isObject() && v->isMember(part)) {
            v = &(*v)[part];
        } else {
            return Json::Value();
        }
        start = dot + 1;
    }
    return *v;
}

// Seconds of a database time (calendar arithmetic only); -1 when it is none.
long long Seconds(const std::string& t) {
    std::tm tm{};
    int n = std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec);
    if (n < 3) return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<long long>(::timegm(&tm));
}

}  // namespace

bool IsoToDb(const std::string& iso, std::string& db) {
    // YYYY-MM-DD[THH:MM[:SS[.fff]]]
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd.ddd";
    const std::size_t n = iso.size();
    if (n != 10 && n != 16 && n != 19 && (n < 21 || n > 23)) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const char want = kShape[i];
        if (want == 'd' ? !std::isdigit(static_cast<unsigned char>(iso[i])) : iso[i] != want) return false;
    }
    // The digits must also make a real time: month 1-12, the month's days
    // (29 February only in a leap year), hour 0-23, minute and second 0-59.
    const auto num = [&](std::size_t at, std::size_t len) { return std::stoi(iso.substr(at, len)); };
    const int year = num(0, 4), month = num(5, 2), day = num(8, 2);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
    if (n > 10 && (num(11, 2) > 23 || num(14, 2) > 59 || (n > 16 && num(17, 2) > 59))) return false;
    db = iso;
    if (n > 10) db[10] = ' ';
    return true;
}

HistoryReader::~HistoryReader() { sqlite3_close(db_); }

sqlite3* HistoryReader::Db() {
    struct stat st {};
    const bool exists = ::stat(path_.c_str(), &st) == 0;
    if (db_ && exists && st.st_ino == inode_) return db_;
    // The store made the file again (removed, or moved aside): read the new one.
    sqlite3_close(db_);
    db_ = nullptr;
    fieldIndex_.clear();
    inode_ = exists ? st.st_ino : 0;
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open the history database: " + msg);
    }
    sqlite3_busy_timeout(db_, 1000);
    sqlite3_exec(db_, "PRAGMA cache_size=-256", nullptr, nullptr, nullptr);
    return db_;
}

Json::Value HistoryReader::Series(std::uint32_t dataId, const std::string& field, const Range& range) {
    const std::string step = range.step.empty() ? Chosen(dataId, range) : range.step;
    if (step != "raw") {
        if (!range.step.empty()) return Aggregated(dataId, field, range, step.c_str());
        try {
            Json::Value out = Aggregated(dataId, field, range, step.c_str());
            if (out["rows"].asUInt64() > 0) return out;
        } catch (const std::runtime_error&) {
            // A database of an earlier monitor, without the aggregate tables yet.
        }
    }
    return Raw(dataId, field, range);
}

std::string HistoryReader::Chosen(std::uint32_t dataId, const Range& range) {
    sqlite3* db = Db();
    std::string from = range.from, to = range.to;
    if (from == "0000") {
        // The device's oldest data, wherever it is.
        for (const char* sql : {"SELECT MIN(time) FROM history WHERE data_id = ?1",
                                "SELECT MIN(start) FROM history_minute WHERE data_id = ?1",
                                "SELECT MIN(start) FROM history_hour WHERE data_id = ?1"}) {
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) continue;  // no aggregates yet
            sqlite3_bind_int64(s, 1, dataId);
            if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_type(s, 0) != SQLITE_NULL) {
                const std::string t = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
                if (from == "0000" || t < from) from = t;
            }
            sqlite3_finalize(s);
        }
    }
    if (to == "9999") {
        Stmt q(db, "SELECT MAX(time) FROM history WHERE data_id = ?1");
        sqlite3_bind_int64(q.s, 1, dataId);
        if (q.Step() && sqlite3_column_type(q.s, 0) != SQLITE_NULL) to = q.Col(0);
    }
    const long long a = Seconds(from), b = Seconds(to);
    if (a < 0 || b < 0 || b - a <= kRawSpan) return "raw";
    return b - a <= kMinuteSpan ? "minute" : "hour";
}

int HistoryReader::FieldIndex(std::int64_t layout, const std::string& field) {
    const auto key = std::make_pair(layout, field);
    const auto it = fieldIndex_.find(key);
    if (it != fieldIndex_.end()) return it->second;
    Stmt q(Db(), "SELECT names FROM history_layout WHERE id = ?1");
    sqlite3_bind_int64(q.s, 1, layout);
    int index = -1;
    if (q.Step()) {
        const std::string names = q.Col(0);
        std::size_t start = 0;
        for (int i = 0; start <= names.size(); ++i) {
            const std::size_t nl = std::min(names.find('\n', start), names.size());
            if (names.compare(start, nl - start, field) == 0 && nl - start == field.size()) {
                index = i;
                break;
            }
            start = nl + 1;
        }
    }
    if (fieldIndex_.size() > 4096) fieldIndex_.clear();
    return fieldIndex_[key] = index;
}

Json::Value HistoryReader::Aggregated(std::uint32_t dataId, const std::string& field, const Range& range,
                                      const char* step) {
    const std::string table = std::string("history_") + step;
    Stmt q(Db(), ("SELECT start, layout, data, n FROM " + table +
                  " WHERE data_id = ?1 AND start >= ?2 AND start <= ?3 ORDER BY start").c_str());
    sqlite3_bind_int64(q.s, 1, dataId);
    q.Text(2, range.from);
    q.Text(3, range.to);
    struct Row {
        std::string start;
        rt::FieldAggregate f;
    };
    std::vector<Row> rows;
    std::uint64_t total = 0;
    while (q.Step()) {
        ++total;
        const int i = FieldIndex(sqlite3_column_int64(q.s, 1), field);
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(q.s, 2));
        const std::size_t n = static_cast<std::size_t>(sqlite3_column_bytes(q.s, 2));
        rt::FieldAggregate f;
        if (i < 0 || !rt::AggregateField(p, n, static_cast<std::size_t>(i), static_cast<std::uint32_t>(sqlite3_column_int64(q.s, 3)), f))
            continue;
        rows.push_back({q.Col(0), f});
    }
    if (total > 0 && rows.empty())
        throw std::invalid_argument("data_id " + std::to_string(dataId) + " has no numeric field '" + field + "'");
    Json::Value out(Json::objectValue);
    out["data_id"] = dataId;
    out["field"] = field;
    out["step"] = step;
    out["rows"] = static_cast<Json::UInt64>(total);
    // Neighbours merged so that at most limit points remain.
    const std::size_t group = (rows.size() + range.limit - 1) / std::max(1u, range.limit);
    Json::Value points(Json::arrayValue);
    for (std::size_t i = 0; i < rows.size(); i += std::max<std::size_t>(group, 1)) {
        rt::FieldAggregate f;
        for (std::size_t j = i; j < std::min(rows.size(), i + std::max<std::size_t>(group, 1)); ++j) f.Merge(rows[j].f);
        Json::Value p(Json::arrayValue);
        p.append(IsoTime(rows[i].start));
        p.append(f.mean);
        p.append(f.min);
        p.append(f.max);
        points.append(p);
    }
    out["points"] = points;
    return out;
}

Json::Value HistoryReader::Raw(std::uint32_t dataId, const std::string& field, const Range& range) {
    sqlite3* db = Db();
    Stmt count(db, "SELECT COUNT(*) FROM history WHERE data_id = ?1 AND time >= ?2 AND time <= ?3");
    sqlite3_bind_int64(count.s, 1, dataId);
    count.Text(2, range.from);
    count.Text(3, range.to);
    count.Step();
    const std::uint64_t rows = static_cast<std::uint64_t>(sqlite3_column_int64(count.s, 0));

    Json::Value out(Json::objectValue);
    out["data_id"] = dataId;
    out["field"] = field;
    out["step"] = "raw";
    out["rows"] = static_cast<Json::UInt64>(rows);
    Json::Value points(Json::arrayValue);
    Stmt q(db,
           "SELECT time, type_number, snapshot FROM history WHERE data_id = ?1 AND time >= ?2 AND time <= ?3 "
           "ORDER BY time, id");
    sqlite3_bind_int64(q.s, 1, dataId);
    q.Text(2, range.from);
    q.Text(3, range.to);
    // Row k of `limit` picks is the (k * (rows-1) / (limit-1))-th: first and last always in.
    const std::uint64_t picks = std::min<std::uint64_t>(rows, range.limit);
    std::uint64_t row = 0;
    std::uint64_t k = 0;
    bool anyField = false;
    while (k < picks && q.Step()) {
        const std::uint64_t want = picks == 1 ? rows - 1 : k * (rows - 1) / (picks - 1);
        if (row++ != want) continue;
        ++k;
        const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(q.s, 2));
        const Json::Value fields = model::DecodeSnapshot(sqlite3_column_int(q.s, 1), blob,
                                                           static_cast<std::size_t>(sqlite3_column_bytes(q.s, 2)));
        const Json::Value v = At(fields, field);
        if (!v.isNull()) anyField = true;
        if (!v.isNumeric()) continue;
        Json::Value p(Json::arrayValue);
        p.append(IsoTime(q.Col(0)));
        p.append(v.asDouble());
        points.append(p);
    }
    if (picks > 0 && !anyField)
        throw std::invalid_argument("data_id " + std::to_string(dataId) + " has no numeric field '" + field + "'");
    out["points"] = points;
    return out;
}

Json::Value HistoryReader::Alarms(const Range& range) {
    Stmt q(Db(),
           "SELECT time, data_id, rule_key, seq, alarm_id, level, name, text, event FROM alarm_event "
           "WHERE time >= ?1 AND time <= ?2 ORDER BY id DESC LIMIT ?3");
    q.Text(1, range.from);
    q.Text(2, range.to);
    sqlite3_bind_int64(q.s, 3, range.limit);
    std::vector<Json::Value> rows;
    while (q.Step()) {
        Json::Value e(Json::objectValue);
        e["time"] = IsoTime(q.Col(0));
        e["data_id"] = static_cast<Json::UInt>(sqlite3_column_int64(q.s, 1));
        e["key"] = q.Col(2);
        e["seq"] = sqlite3_column_int(q.s, 3);
        e["id"] = q.Col(4);
        e["level"] = sqlite3_column_int(q.s, 5);
        e["name"] = q.Col(6);
        e["text"] = q.Col(7);
        e["event"] = q.Col(8);
        rows.push_back(std::move(e));
    }
    Json::Value events(Json::arrayValue);
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) events.append(*it);
    Json::Value out(Json::objectValue);
    out["events"] = events;
    return out;
}

}  // namespace http
