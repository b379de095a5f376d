#include "tools/runtime/history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
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
    "CREATE INDEX IF NOT EXISTS alarm_event_by_time ON alarm_event(time);"
    "CREATE TABLE IF NOT EXISTS history_layout(id INTEGER PRIMARY KEY, names TEXT NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS history_minute(id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL,"
    " type_number INTEGER NOT NULL, start TEXT NOT NULL, layout INTEGER NOT NULL, n INTEGER NOT NULL,"
    " data BLOB NOT NULL, UNIQUE(data_id, start));"
    "CREATE INDEX IF NOT EXISTS history_minute_by_start ON history_minute(start);"
    "CREATE TABLE IF NOT EXISTS history_hour(id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL,"
    " type_number INTEGER NOT NULL, start TEXT NOT NULL, layout INTEGER NOT NULL, n INTEGER NOT NULL,"
    " data BLOB NOT NULL, UNIQUE(data_id, start));"
    "CREATE INDEX IF NOT EXISTS history_hour_by_start ON history_hour(start);"
    "CREATE TABLE IF NOT EXISTS store_state(key TEXT PRIMARY KEY, value INTEGER NOT NULL);";

constexpr std::size_t kAggregateBatch = 64;  // raw rows per aggregation transaction
constexpr std::size_t kPurgeBatch = 256;     // rows per purge transaction
constexpr int kVacuumPages = 256;            // pages per incremental vacuum
constexpr std::uint64_t kMiB = 1024 * 1024;

// An SQLite result code that is not success, with its text.
struct SqlError : std::runtime_error {
    int rc;
    SqlError(int code, const std::string& what) : std::runtime_error(what), rc(code) {}
};
// The file is not a database or fails its check.
struct Corrupt : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Throw(sqlite3* db, int rc, const std::string& what) {
    throw SqlError(rc, "database: " + what + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
}

// A prepared statement, finalized when it leaves scope.
struct Stmt {
    sqlite3* db;
    sqlite3_stmt* s = nullptr;
    bool owned = true;
    Stmt(sqlite3* d, const char* sql) : db(d) {
        const int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
        if (rc != SQLITE_OK) Throw(db, rc, "prepare");
    }
    // One of the store's kept statements: reset, not finalized, at the end.
    Stmt(sqlite3* d, sqlite3_stmt* kept) : db(d), s(kept), owned(false) {}
    ~Stmt() {
        if (owned) {
            sqlite3_finalize(s);
        } else {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
    }
    Stmt& Int(int i, std::int64_t v) {
        sqlite3_bind_int64(s, i, v);
        return *this;
    }
    Stmt& Text(int i, const std::string& v) {
        sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& Blob(int i, const std::vector<std::uint8_t>& v) {
        static const std::uint8_t kEmpty = 0;
        sqlite3_bind_blob(s, i, v.empty() ? &kEmpty : v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    bool Step() {
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) Throw(db, rc, "step");
        return false;
    }
    void Reset() { sqlite3_reset(s); }
    std::int64_t I(int c) { return sqlite3_column_int64(s, c); }
    std::string T(int c) {
        const unsigned char* t = sqlite3_column_text(s, c);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(s, c)))
                 : std::string();
    }
};

// Resets a statement when it leaves scope, whatever happened.
struct Reset {
    sqlite3_stmt* s;
    ~Reset() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
};

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed, with the
// connection's prepared statements for the three.
class Transaction {
public:
    template <typename Statements>
    Transaction(sqlite3* db, const Statements& s) : db_(db), commit_(s.commit), rollback_(s.rollback) {
        Run(s.begin, "BEGIN IMMEDIATE");
    }
    ~Transaction() {
        // A full disk or an I/O error may have rolled it back already: a
        // second ROLLBACK would fail and put its own message in place of
        // the one the failure is logged with.
        if (done_ || sqlite3_get_autocommit(db_)) return;
        sqlite3_step(rollback_);
        sqlite3_reset(rollback_);
    }
    void Commit() {
        Run(commit_, "COMMIT");
        done_ = true;
    }

private:
    void Run(sqlite3_stmt* s, const char* what) {
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) Throw(db_, rc, what);
    }
    sqlite3* db_;
    sqlite3_stmt* commit_;
    sqlite3_stmt* rollback_;
    bool done_ = false;
};

void BindText(sqlite3_stmt* s, int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
             : std::string();
}

// "YYYY-MM-DD HH:MM:SS" minus days, in the same form; "" when t is not a time.
std::string DaysBefore(const std::string& t, unsigned days) {
    std::tm tm{};
    if (t.size() < 19 || std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                                     &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
        return "";
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    // Calendar arithmetic only: the stored times are local, compared as text.
    const std::time_t s = ::timegm(&tm) - static_cast<std::time_t>(days) * 86400;
    std::tm out{};
    if (!::gmtime_r(&s, &out)) return "";
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", out.tm_year + 1900, out.tm_mon + 1, out.tm_mday,
                  out.tm_hour, out.tm_min, out.tm_sec);
    return buf;
}

std::uint64_t FileBytes(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

void PutF32(std::vector<std::uint8_t>& out, double v) {
    const float f = static_cast<float>(v);
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
}
std::uint32_t GetU32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
double GetF32(const std::uint8_t* p) {
    const std::uint32_t u = GetU32(p);
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

bool IsFull(int rc) { return (rc & 0xff) == SQLITE_FULL; }
// Failures a reopen cannot help (the next write simply tries again).
bool IsPassing(int rc) {
    const int p = rc & 0xff;
    return p == SQLITE_FULL || p == SQLITE_BUSY || p == SQLITE_LOCKED;
}

}  // namespace

// --- aggregates -------------------------------------------------------------

void FieldAggregate::Add(double v) {
    if (count == 0 || v < min) min = v;
    if (count == 0 || v > max) max = v;
    mean += (v - mean) / (count + 1);
    ++count;
}

void FieldAggregate::Merge(const FieldAggregate& o) {
    if (o.count == 0) return;
    if (count == 0) {
        *this = o;
        return;
    }
    min = std::min(min, o.min);
    max = std::max(max, o.max);
    const double total = double(count) + double(o.count);
    mean = mean * (count / total) + o.mean * (o.count / total);
    count += o.count;
}

namespace {

void AppendField(std::vector<std::uint8_t>& out, const FieldAggregate* f, std::uint32_t n) {
    if (!f || f->count == 0) {
        out.push_back(0);
        return;
    }
    const bool constant = static_cast<float>(f->min) == static_cast<float>(f->max);
    out.push_back(static_cast<std::uint8_t>((constant ? 1 : 2) | (f->count != n ? 0x80 : 0)));
    if (constant) {
        PutF32(out, f->min);
    } else {
        PutF32(out, f->min);
        PutF32(out, f->mean);
        PutF32(out, f->max);
    }
    if (f->count != n)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(f->count >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> AggregateBlob(const Aggregate& a, const std::vector<std::string>& names, std::uint32_t n) {
    std::vector<std::uint8_t> out;
    out.reserve(names.size() * 6);
    for (const std::string& name : names) {
        const auto it = a.find(name);
        AppendField(out, it == a.end() ? nullptr : &it->second, n);
    }
    return out;
}

std::vector<std::uint8_t> AggregateBlob(const std::vector<FieldAggregate>& fields, std::uint32_t n) {
    std::vector<std::uint8_t> out;
    out.reserve(fields.size() * 6);
    for (const FieldAggregate& f : fields) AppendField(out, &f, n);
    return out;
}

namespace {

// Reads one field at p (at most end); returns the byte after it, nullptr when cut short.
const std::uint8_t* ReadField(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t n, FieldAggregate& f) {
    if (p >= end) return nullptr;
    const std::uint8_t tag = *p++;
    const int kind = tag & 0x7f;
    const std::size_t need = (kind == 1 ? 4 : kind == 2 ? 12 : 0) + (tag & 0x80 ? 4 : 0);
    if (kind > 2 || static_cast<std::size_t>(end - p) < need) return nullptr;
    f = FieldAggregate{};
    if (kind == 0) return p;
    f.min = GetF32(p);
    f.mean = kind == 1 ? f.min : GetF32(p + 4);
    f.max = kind == 1 ? f.min : GetF32(p + 8);
    p += kind == 1 ? 4 : 12;
    f.count = n;
    if (tag & 0x80) {
        f.count = GetU32(p);
        p += 4;
    }
    return p;
}

}  // namespace

Aggregate AggregateFromBlob(const std::uint8_t* p, std::size_t size, const std::vector<std::string>& names,
                            std::uint32_t n) {
    Aggregate a;
    const std::uint8_t* end = p + size;
    for (std::size_t i = 0; i < names.size() && p; ++i) {
        FieldAggregate f;
        p = ReadField(p, end, n, f);
        if (p && f.count) a[names[i]] = f;
    }
    return a;
}

bool AggregateField(const std::uint8_t* p, std::size_t size, std::size_t index, std::uint32_t n, FieldAggregate& out) {
    const std::uint8_t* end = p + size;
    for (std::size_t i = 0; i <= index && p; ++i) p = ReadField(p, end, n, out);
    return p && out.count > 0;
}

// --- opening ----------------------------------------------------------------

HistoryStore::HistoryStore(const std::string& path, HistoryLimits limits, Log log)
    : path_(path), limits_(limits), log_(std::move(log)) {
    try {
        try {
            Open(true);
        } catch (const Corrupt& e) {
            Close();
            MoveAside(e.what());
            Open(false);
        }
    } catch (const std::runtime_error& e) {
        // A folder that is not there, or a folder in place of the file, is a
        // mistake of the configuration: said at start. A file the filesystem
        // will not write now (read-only, full) is waited out like a failed
        // write, so that the monitor is not restarted over and over.
        const std::size_t slash = path_.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            (::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
            throw;
        Close();
        failing_ = broken_ = true;
        ++failedWrites_;
        ++episodeFailures_;
        if (log_)
            log_("history store: cannot open " + path_ + " (" + e.what() +
                 "); polling goes on, keeping the alarm events and the newest snapshot of each device, retrying every "
                 "round");
    }
}

HistoryStore::~HistoryStore() {
    FlushLocked();
    Close();
}

void HistoryStore::SetDecoder(FieldDecoder decoder) {
    std::lock_guard<std::mutex> lock(mutex_);
    decoder_ = std::move(decoder);
}

void HistoryStore::Close() {
    sqlite3_finalize(insertHistory_);
    sqlite3_finalize(insertAlarm_);
    sqlite3_finalize(newest_);
    insertHistory_ = insertAlarm_ = newest_ = nullptr;
    for (auto& kv : kept_) sqlite3_finalize(kv.second);
    kept_.clear();
    sqlite3_close(db_);
    db_ = nullptr;
    layoutIds_.clear();
    layoutNames_.clear();
    layoutByNames_.clear();
}

void HistoryStore::Open(bool check) {
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        Close();
        throw std::runtime_error("cannot open database " + path_ + ": " + msg);
    }
    sqlite3_busy_timeout(db_, 2000);
    try {
        // A small page cache: the controller has little memory to spare.
        Exec("PRAGMA cache_size=-512;");
        if (check) {
            std::string verdict;
            try {
                Stmt q(db_, "PRAGMA quick_check(1)");
                if (q.Step()) verdict = q.T(0);
            } catch (const SqlError& e) {
                const int p = e.rc & 0xff;
                if (p == SQLITE_NOTADB || p == SQLITE_CORRUPT) throw Corrupt(e.what());
                throw;
            }
            if (verdict != "ok") throw Corrupt("quick_check: " + verdict);
        }
        // Only a database without tables takes the setting; older ones are
        // converted once by a VACUUM when the upkeep has nothing else due.
        if (Int("PRAGMA page_count") == 0) Exec("PRAGMA auto_vacuum=INCREMENTAL;");
        // WAL keeps the file consistent if the process dies between writes.
        Exec("PRAGMA journal_mode=WAL;");
        Exec("PRAGMA synchronous=NORMAL;");
        {
            // The WAL stays small even without a cap: on a small flash a WAL
            // of SQLite's default 4 MB could fill the disk by itself.
            const std::uint64_t wal = limits_.max_mb ? std::min<std::uint64_t>(kMiB, CapBytes() / 8) : kMiB;
            pageSize_ = Int("PRAGMA page_size");
            Exec(("PRAGMA journal_size_limit=" + std::to_string(wal) + ";").c_str());
            Exec(("PRAGMA wal_autocheckpoint=" +
                  std::to_string(std::max<std::int64_t>(16, static_cast<std::int64_t>(wal) / pageSize_)) + ";")
                     .c_str());
        }
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
        vacuumNeeded_ = Int("PRAGMA auto_vacuum") == 0;
        aggregated_ = Int("SELECT COALESCE((SELECT value FROM store_state WHERE key='aggregated'), 0)");
        Stmt newest(db_, "SELECT time FROM history ORDER BY id DESC LIMIT 1");
        newestTime_ = newest.Step() ? newest.T(0) : std::string();
        newestIds_.clear();
        Stmt ids(db_, "SELECT data_id, type_number, MAX(id) FROM history GROUP BY data_id, type_number");
        while (ids.Step())
            newestIds_[{static_cast<std::uint32_t>(ids.I(0)), static_cast<int>(ids.I(1))}] = ids.I(2);
    } catch (const SqlError& e) {
        const int p = e.rc & 0xff;
        Close();
        if (check && (p == SQLITE_NOTADB || p == SQLITE_CORRUPT)) throw Corrupt(e.what());
        throw std::runtime_error(e.what());
    } catch (...) {
        Close();
        throw;
    }
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        inode_ = st.st_ino;
        device_ = st.st_dev;
    }
}

void HistoryStore::MoveAside(const std::string& why) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    const std::string aside = path_ + ".corrupt-" + stamp;
    if (std::rename(path_.c_str(), aside.c_str()) != 0)
        throw std::runtime_error("database " + path_ + " is corrupt (" + why + ") and cannot be moved aside: " +
                                 std::strerror(errno));
    std::rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
    std::remove((path_ + "-shm").c_str());
    if (log_) log_("history store: " + path_ + " is corrupt (" + why + "); moved aside to " + aside +
                   ", starting a fresh database");
}

void HistoryStore::Fail(const char* what) { Throw(db_, sqlite3_errcode(db_), what); }

void HistoryStore::Exec(const char* sql) {
    char* err = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        const std::string msg = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        throw SqlError(rc, "database: " + msg);
    }
}

sqlite3_stmt* HistoryStore::Kept(const std::string& sql) {
    sqlite3_stmt*& s = kept_[sql];
    if (!s) {
        const int rc = sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
        if (rc != SQLITE_OK) {
            kept_.erase(sql);
            Throw(db_, rc, "prepare");
        }
    }
    return s;
}

HistoryStore::TxnStatements HistoryStore::Txn() {
    return {Kept("BEGIN IMMEDIATE"), Kept("COMMIT"), Kept("ROLLBACK")};
}

std::int64_t HistoryStore::Int(const char* sql) {
    Stmt q(db_, Kept(sql));
    return q.Step() ? q.I(0) : 0;
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

// --- writes and their faults -------------------------------------------------

void HistoryStore::SaveSnapshot(const std::string& time, std::uint32_t dataId, int typeNumber,
                                const std::uint8_t* data, std::size_t length, std::uint32_t busId) {
    std::lock_guard<std::mutex> lock(mutex_);
    newestTime_ = time;
    if (failing_ || !db_) {
        // Not tried while an episode is on: Upkeep retries first.
        ++failedWrites_;
        ++episodeFailures_;
        pendingSnapshots_[{dataId, typeNumber}] =
            PendingSnapshot{time, dataId, typeNumber, std::vector<std::uint8_t>(data, data + (data ? length : 0)), busId};
        return;
    }
    // Into the round's batch, reusing the buffers of the rows written last.
    if (batchSnapshots_ == batch_.size()) batch_.emplace_back();
    PendingSnapshot& s = batch_[batchSnapshots_++];
    s.time = time;
    s.dataId = dataId;
    s.typeNumber = typeNumber;
    s.data.assign(data, data + (data ? length : 0));
    s.busId = busId;
    // Rounds that never finish must not pile up: written every so many rows.
    if (batchSnapshots_ >= kMaxBatch) FlushLocked();
}

void HistoryStore::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
}

void HistoryStore::FlushLocked() {
    const std::uint64_t rows = batchSnapshots_ + batchAlarms_.size();
    if (rows == 0) return;
    const std::uint64_t counted = failedWrites_;
    bool written = false;
    if (!failing_ && db_) {
        try {
            Transaction t(db_, Txn());
            bool ok = true;
            for (const AlarmRow& a : batchAlarms_) ok = ok && WriteAlarm(a);
            for (std::size_t i = 0; ok && i < batchSnapshots_; ++i) ok = WriteSnapshot(batch_[i]);
            if (ok) {
                t.Commit();
                written = true;
            }
        } catch (const SqlError& e) {
            WriteFailed(e.rc, "save round");
        }
    }
    if (!written) {
        // Rolled back as a whole: every row of the batch waits for Retry.
        const std::uint64_t more = rows - std::min(rows, failedWrites_ - counted);
        failedWrites_ += more;
        episodeFailures_ += more;
        for (const AlarmRow& a : batchAlarms_)
            if (pendingAlarms_.Push(a)) ++droppedAlarms_;
        for (std::size_t i = 0; i < batchSnapshots_; ++i)
            pendingSnapshots_[{batch_[i].dataId, batch_[i].typeNumber}] = batch_[i];
    }
    batchAlarms_.clear();
    batchSnapshots_ = 0;
}

bool HistoryStore::WriteSnapshot(const PendingSnapshot& s) {
    Reset r{insertHistory_};
    BindText(insertHistory_, 1, s.time);
    sqlite3_bind_int64(insertHistory_, 2, s.dataId);
    sqlite3_bind_int(insertHistory_, 3, s.typeNumber);
    // A zero-length blob must still be a blob, not NULL.
    static const std::uint8_t kEmpty = 0;
    sqlite3_bind_blob(insertHistory_, 4, s.data.empty() ? &kEmpty : s.data.data(), static_cast<int>(s.data.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int64(insertHistory_, 5, s.busId);
    const int rc = sqlite3_step(insertHistory_);
    if (rc != SQLITE_DONE) {
        WriteFailed(rc, "save snapshot");
        return false;
    }
    newestIds_[{s.dataId, s.typeNumber}] = sqlite3_last_insert_rowid(db_);
    return true;
}

void HistoryStore::SaveAlarm(const AlarmRow& row) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failing_ || !db_) {
        ++failedWrites_;
        ++episodeFailures_;
        if (pendingAlarms_.Push(row)) ++droppedAlarms_;
        return;
    }
    batchAlarms_.push_back(row);
    if (batchAlarms_.size() >= kMaxBatch) FlushLocked();
}

bool HistoryStore::WriteAlarm(const AlarmRow& row) {
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
    const int rc = sqlite3_step(insertAlarm_);
    if (rc != SQLITE_DONE) {
        WriteFailed(rc, "save alarm event");
        return false;
    }
    return true;
}

void HistoryStore::WriteFailed(int rc, const char* what) {
    ++failedWrites_;
    ++episodeFailures_;
    lastFull_ = IsFull(rc);
    if (!IsPassing(rc)) broken_ = true;
    if (failing_) return;
    failing_ = true;
    if (log_)
        log_(std::string("history store: ") + what + " failed: " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)) +
             "; keeping the alarm events and the newest snapshot of each device, retrying every round");
}

bool HistoryStore::FileReplaced() const {
    struct stat st {};
    return ::stat(path_.c_str(), &st) != 0 || st.st_ino != inode_ || st.st_dev != device_;
}

bool HistoryStore::Retry() {
    if (db_ && FileReplaced()) {
        if (!failing_ && log_) log_("history store: " + path_ + " was removed or replaced; making it again");
        failing_ = true;
        broken_ = true;
    }
    if (!failing_) return true;
    // A connection that met a full disk may keep its pager in the error
    // state: every retry starts from a fresh one.
    if (broken_ || lastFull_ || !db_) {
        Close();
        try {
            Open(false);
            broken_ = false;
        } catch (const std::exception&) {
            return false;  // still gone: the next round tries again
        }
    }
    try {
        // A full disk: free pages of the oldest data first so that the
        // retried rows fit into the file as it is.
        if (lastFull_) DropOldest();
        while (!pendingAlarms_.Empty()) {
            if (!WriteAlarm(pendingAlarms_.Front())) return false;
            pendingAlarms_.Pop();
        }
        while (!pendingSnapshots_.empty()) {
            if (!WriteSnapshot(pendingSnapshots_.begin()->second)) return false;
            pendingSnapshots_.erase(pendingSnapshots_.begin());
        }
        // Nothing was pending (an upkeep write failed): one small write
        // shows whether the database takes writes again.
        Exec("INSERT OR REPLACE INTO store_state(key, value) VALUES('written', strftime('%s','now'))");
    } catch (const SqlError& e) {
        WriteFailed(e.rc, "write");
        return false;
    }
    failing_ = false;
    lastFull_ = false;
    if (log_)
        log_("history store: writing again after " + std::to_string(episodeFailures_) + " failed writes" +
             (droppedAlarms_ ? "; " + std::to_string(droppedAlarms_) + " alarm events were dropped" : ""));
    episodeFailures_ = 0;
    droppedAlarms_ = 0;
    return true;
}

// --- upkeep ------------------------------------------------------------------

bool HistoryStore::Upkeep(std::chrono::microseconds budget) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + budget;
    const bool retried = Retry();
    FlushLocked();
    if (!retried || failing_) return false;
    try {
        for (;;) {
            // The cap first: aggregates of a large backlog must not grow the
            // file past it while the backlog is worked off.
            const bool did = PurgeForCap() || AggregateStep() || PurgeByAge() || ShrinkFile();
            if (!did) return false;
            if (std::chrono::steady_clock::now() >= deadline) return true;
        }
    } catch (const SqlError& e) {
        WriteFailed(e.rc, "upkeep");
        return false;
    }
}

std::int64_t HistoryStore::LayoutId(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& n : names) joined += (joined.empty() ? "" : "\n") + n;
    const auto it = layoutIds_.find(joined);
    if (it != layoutIds_.end()) return it->second;
    Stmt find(db_, "SELECT id FROM history_layout WHERE names=?");
    find.Text(1, joined);
    std::int64_t id;
    if (find.Step()) {
        id = find.I(0);
    } else {
        Stmt add(db_, "INSERT INTO history_layout(names) VALUES(?)");
        add.Text(1, joined).Step();
        id = sqlite3_last_insert_rowid(db_);
    }
    layoutIds_[joined] = id;
    layoutNames_[id] = names;
    return id;
}

const std::vector<std::string>& HistoryStore::LayoutNames(std::int64_t id) {
    auto it = layoutNames_.find(id);
    if (it != layoutNames_.end()) return it->second;
    Stmt q(db_, "SELECT names FROM history_layout WHERE id=?");
    q.Int(1, id);
    std::vector<std::string> names;
    if (q.Step()) {
        const std::string joined = q.T(0);
        std::size_t start = 0;
        while (start <= joined.size() && !joined.empty()) {
            const std::size_t nl = std::min(joined.find('\n', start), joined.size());
            names.push_back(joined.substr(start, nl - start));
            start = nl + 1;
        }
    }
    return layoutNames_[id] = std::move(names);
}

void HistoryStore::MergeInto(const char* table, const Bucket& b, int typeNumber, std::uint32_t n,
                             const Aggregate& a) {
    Aggregate merged = a;
    std::int64_t rowId = 0;
    {
        Stmt q(db_, Kept(std::string("SELECT id, layout, n, data FROM ") + table + " WHERE data_id=? AND start=?"));
        q.Int(1, b.first).Text(2, b.second);
        if (q.Step()) {
            rowId = q.I(0);
            const std::uint32_t oldN = static_cast<std::uint32_t>(q.I(2));
            n += oldN;
            const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(q.s, 3));
            const Aggregate old = AggregateFromBlob(p, static_cast<std::size_t>(sqlite3_column_bytes(q.s, 3)),
                                                    LayoutNames(q.I(1)), oldN);
            for (const auto& [name, f] : old) merged[name].Merge(f);
        }
    }
    std::vector<std::string> names;
    for (const auto& kv : merged) names.push_back(kv.first);
    WriteBucket(table, rowId, b, typeNumber, LayoutId(names), n, AggregateBlob(merged, names, n));
}

void HistoryStore::WriteBucket(const char* table, std::int64_t rowId, const Bucket& b, int typeNumber,
                               std::int64_t layout, std::uint32_t n, const std::vector<std::uint8_t>& blob) {
    if (rowId) {
        Stmt u(db_, Kept(std::string("UPDATE ") + table + " SET type_number=?, layout=?, n=?, data=? WHERE id=?"));
        u.Int(1, typeNumber).Int(2, layout).Int(3, n).Blob(4, blob).Int(5, rowId).Step();
    } else {
        Stmt i(db_, Kept(std::string("INSERT INTO ") + table +
                         "(data_id, type_number, start, layout, n, data) VALUES(?,?,?,?,?,?)"));
        i.Int(1, b.first).Int(2, typeNumber).Text(3, b.second).Int(4, layout).Int(5, n).Blob(6, blob).Step();
    }
}

// Fields by position in a layout, by name (those that have values).
static Aggregate ByName(const FieldNames& names, const std::vector<FieldAggregate>& fields, Aggregate a = {}) {
    for (std::size_t i = 0; i < fields.size() && i < names.size(); ++i)
        if (fields[i].count) a[names[i]].Merge(fields[i]);
    return a;
}

std::int64_t HistoryStore::LayoutIdOf(const FieldNames* names) {
    const auto it = layoutByNames_.find(names);
    if (it != layoutByNames_.end()) return it->second;
    return layoutByNames_[names] = LayoutId(*names);
}

void HistoryStore::MergeFields(const char* table, const Bucket& b, int typeNumber, std::uint32_t n,
                               const FieldNames& names, const std::vector<FieldAggregate>& fields) {
    const std::int64_t layout = LayoutIdOf(&names);
    std::vector<FieldAggregate> merged = fields;
    std::int64_t rowId = 0;
    {
        Stmt q(db_, Kept(std::string("SELECT id, layout, n, data FROM ") + table + " WHERE data_id=? AND start=?"));
        q.Int(1, b.first).Text(2, b.second);
        if (q.Step()) {
            if (q.I(1) != layout) {
                // The bucket began in another layout (a module more or less):
                // merged by name.
                q.Reset();
                MergeInto(table, b, typeNumber, n, ByName(names, fields));
                return;
            }
            rowId = q.I(0);
            const std::uint32_t oldN = static_cast<std::uint32_t>(q.I(2));
            const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(q.s, 3));
            const std::uint8_t* end = p + sqlite3_column_bytes(q.s, 3);
            for (std::size_t i = 0; i < merged.size() && p; ++i) {
                FieldAggregate old;
                p = ReadField(p, end, oldN, old);
                if (p) merged[i].Merge(old);
            }
            n += oldN;
        }
    }
    WriteBucket(table, rowId, b, typeNumber, layout, n, AggregateBlob(merged, n));
}

namespace {

// A bucket's snapshots: fields by position while they come in one layout
// (the rule), by name for any other.
struct Accumulator {
    int type = 0;
    std::uint32_t n = 0;
    const FieldNames* names = nullptr;
    std::vector<FieldAggregate> fields;
    Aggregate other;

    void Add(const FieldNames* layout, const std::vector<double>& values) {
        ++n;
        if (!layout) return;
        if (!names) {
            names = layout;
            fields.assign(layout->size(), {});
        }
        if (layout == names) {
            for (std::size_t i = 0; i < values.size() && i < fields.size(); ++i) fields[i].Add(values[i]);
        } else {
            for (std::size_t i = 0; i < values.size() && i < layout->size(); ++i) other[(*layout)[i]].Add(values[i]);
        }
    }

    Aggregate ByName() const { return names ? rt::ByName(*names, fields, other) : other; }
};

}  // namespace

bool HistoryStore::AggregateStep() {
    std::map<Bucket, Accumulator> minutes, hours;
    const std::string current = newestTime_.substr(0, 16);
    std::int64_t last = aggregated_;
    {
        Stmt q(db_, Kept("SELECT id, time, data_id, type_number, snapshot FROM history WHERE id > ? ORDER BY id LIMIT ?"));
        q.Int(1, aggregated_).Int(2, kAggregateBatch);
        std::vector<double> values;
        std::string minute, hour;
        while (q.Step()) {
            const auto* time = reinterpret_cast<const char*>(sqlite3_column_text(q.s, 1));
            const std::size_t timeLength = static_cast<std::size_t>(sqlite3_column_bytes(q.s, 1));
            // The minute still being written waits until it is over.
            if (timeLength < 19 || current.compare(0, 16, time, 16) == 0) break;
            last = q.I(0);
            if (!decoder_) continue;
            const std::uint32_t dataId = static_cast<std::uint32_t>(q.I(2));
            const int type = static_cast<int>(q.I(3));
            values.clear();
            const FieldNames* names =
                decoder_(type, static_cast<const std::uint8_t*>(sqlite3_column_blob(q.s, 4)),
                         static_cast<std::size_t>(sqlite3_column_bytes(q.s, 4)), values);
            minute.assign(time, 16).append(":00");
            hour.assign(time, 13).append(":00:00");
            for (auto [buckets, start] : {std::pair{&minutes, &minute}, std::pair{&hours, &hour}}) {
                Accumulator& acc = (*buckets)[{dataId, *start}];
                acc.type = type;
                acc.Add(names, values);
            }
        }
    }
    if (last == aggregated_) return false;
    Transaction t(db_, Txn());
    for (auto* buckets : {&minutes, &hours}) {
        const char* table = buckets == &minutes ? "history_minute" : "history_hour";
        for (const auto& [b, acc] : *buckets) {
            if (acc.names && acc.other.empty())
                MergeFields(table, b, acc.type, acc.n, *acc.names, acc.fields);
            else
                MergeInto(table, b, acc.type, acc.n, acc.ByName());
        }
    }
    Stmt s(db_, Kept("INSERT OR REPLACE INTO store_state(key, value) VALUES('aggregated', ?)"));
    s.Int(1, last).Step();
    t.Commit();
    aggregated_ = last;
    return true;
}

int HistoryStore::DeleteIds(const char* table, const std::vector<std::int64_t>& ids) {
    if (ids.empty()) return 0;
    Transaction t(db_, Txn());
    Stmt d(db_, Kept(std::string("DELETE FROM ") + table + " WHERE id=?"));
    for (const std::int64_t id : ids) {
        d.Int(1, id).Step();
        d.Reset();
    }
    t.Commit();
    return static_cast<int>(ids.size());
}

constexpr const char* kOldRaw = "SELECT id, time FROM history WHERE id <= ? ORDER BY id LIMIT ?";

// The oldest raw rows already in the aggregates, oldest first, older than
// `before` when it is given; never the newest row of a device.
static std::vector<std::int64_t> OldRaw(Stmt&& q, std::int64_t aggregated, const std::string& before,
                                        const std::map<std::pair<std::uint32_t, int>, std::int64_t>& keep) {
    std::vector<std::int64_t> ids;
    q.Int(1, aggregated).Int(2, kPurgeBatch);
    while (q.Step()) {
        if (!before.empty() && q.T(1) >= before) break;
        const std::int64_t id = q.I(0);
        bool kept = false;
        for (const auto& kv : keep) kept = kept || kv.second == id;
        if (!kept) ids.push_back(id);
    }
    q.Reset();  // done before the delete, though kept
    return ids;
}

static std::vector<std::int64_t> Ids(Stmt&& q, const std::string& before) {
    std::vector<std::int64_t> ids;
    if (!before.empty()) q.Text(1, before);
    while (q.Step()) ids.push_back(q.I(0));
    q.Reset();  // done before the delete, though kept
    return ids;
}

bool HistoryStore::PurgeByAge() {
    if (newestTime_.empty()) return false;
    // Ages are looked at once a minute of the rounds' time: a row may stay
    // a minute past its age, and no round pays for four queries in vain.
    if (newestTime_.compare(0, 16, agesCheckedAt_) == 0) return false;
    const std::string limit = " LIMIT " + std::to_string(kPurgeBatch);
    const std::string raw = DaysBefore(newestTime_, limits_.raw_days);
    if (!raw.empty() && DeleteIds("history", OldRaw(Stmt(db_, Kept(kOldRaw)), aggregated_, raw, newestIds_))) return true;
    const std::string minute = DaysBefore(newestTime_, limits_.minute_days);
    if (!minute.empty() &&
        DeleteIds("history_minute", Ids(Stmt(db_, Kept("SELECT id FROM history_minute WHERE start < ? ORDER BY start" + limit)), minute)))
        return true;
    const std::string hour = DaysBefore(newestTime_, limits_.hour_days);
    if (!hour.empty() &&
        DeleteIds("history_hour", Ids(Stmt(db_, Kept("SELECT id FROM history_hour WHERE start < ? ORDER BY start" + limit)), hour)))
        return true;
    const std::string event = DaysBefore(newestTime_, limits_.event_days);
    if (!event.empty() &&
        DeleteIds("alarm_event", Ids(Stmt(db_, Kept("SELECT id FROM alarm_event WHERE time < ? ORDER BY time" + limit)), event)))
        return true;
    agesCheckedAt_ = newestTime_.substr(0, 16);
    return false;
}

std::uint64_t HistoryStore::CapBytes() const { return std::uint64_t(limits_.max_mb) * kMiB; }

std::uint64_t HistoryStore::UsedBytes() {
    // SQLite prepares these pragmas anew at every run: read once a pass.
    pageCount_ = Int("PRAGMA page_count");
    freePages_ = Int("PRAGMA freelist_count");
    return static_cast<std::uint64_t>((pageCount_ - freePages_) * pageSize_);
}

bool HistoryStore::DropOldest() {
    const std::string limit = " LIMIT " + std::to_string(kPurgeBatch);
    if (DeleteIds("history", OldRaw(Stmt(db_, Kept(kOldRaw)), aggregated_, "", newestIds_))) return true;
    if (DeleteIds("history_minute", Ids(Stmt(db_, Kept("SELECT id FROM history_minute ORDER BY start LIMIT 64")), ""))) return true;
    if (DeleteIds("history_hour", Ids(Stmt(db_, Kept("SELECT id FROM history_hour ORDER BY start LIMIT 16")), ""))) return true;
    // Last the oldest alarm events: a cap is a cap, also under an alarm
    // that comes and goes all year.
    return DeleteIds("alarm_event", Ids(Stmt(db_, Kept("SELECT id FROM alarm_event ORDER BY id LIMIT 64")), "")) > 0;
}

// Room kept for the WAL (twice its checkpoint size) and a few rounds.
std::uint64_t HistoryStore::FileLimit() const {
    const std::uint64_t cap = CapBytes();
    const std::uint64_t wal = std::min<std::uint64_t>(kMiB, cap / 8);
    const std::uint64_t slack = std::max<std::uint64_t>(64 * 1024, cap / 64);
    return cap > 2 * wal + slack ? cap - 2 * wal - slack : 0;
}

bool HistoryStore::PurgeForCap() {
    if (!limits_.max_mb) return false;
    if (UsedBytes() <= FileLimit()) {
        capStuck_ = false;
        return false;
    }
    if (DropOldest()) return true;
    // Rows not aggregated yet become droppable once they are.
    if (Int("SELECT COALESCE(MAX(id), 0) FROM history") > aggregated_ + static_cast<std::int64_t>(newestIds_.size()))
        return false;
    if (!capStuck_ && log_)
        log_("history store: over " + std::to_string(limits_.max_mb) +
             " MB with nothing left to drop but the newest snapshots");
    capStuck_ = true;
    return false;
}

bool HistoryStore::ShrinkFile() {
    if (vacuumNeeded_) {
        // A database made before the store set auto_vacuum: one VACUUM,
        // once the upkeep has brought its content down.
        const std::uint64_t before = BytesOnDisk();
        Exec("PRAGMA auto_vacuum=INCREMENTAL;");
        Exec("VACUUM;");
        Exec("PRAGMA wal_checkpoint(TRUNCATE);");
        vacuumNeeded_ = Int("PRAGMA auto_vacuum") == 0;
        if (log_)
            log_("history store: converted to incremental vacuum, " + std::to_string(before / 1024) + " kB -> " +
                 std::to_string(BytesOnDisk() / 1024) + " kB");
        return true;
    }
    if (!limits_.max_mb) return false;
    // The page counts PurgeForCap read in this pass: nothing was written
    // since (the upkeep comes here only when the steps before did nothing).
    if (static_cast<std::uint64_t>(pageCount_ * pageSize_) <= FileLimit() || freePages_ == 0) {
        // The WAL grown by a large purge back to its limit.
        if (FileBytes(path_ + "-wal") > CapBytes() / 4) Exec("PRAGMA wal_checkpoint(TRUNCATE);");
        return false;
    }
    Exec(("PRAGMA incremental_vacuum(" + std::to_string(kVacuumPages) + ");").c_str());
    return true;
}

std::uint64_t HistoryStore::BytesOnDisk() const { return FileBytes(path_) + FileBytes(path_ + "-wal"); }

// --- reads -------------------------------------------------------------------

std::optional<std::vector<std::uint8_t>> HistoryStore::Newest(std::uint32_t dataId, int typeNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
    if (!db_) throw std::runtime_error("database " + path_ + " is not open");
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
    FlushLocked();
    return db_ ? static_cast<std::uint64_t>(Int("SELECT COUNT(*) FROM history")) : 0;
}

std::uint64_t HistoryStore::MinuteRows() {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
    return db_ ? static_cast<std::uint64_t>(Int("SELECT COUNT(*) FROM history_minute")) : 0;
}

std::uint64_t HistoryStore::HourRows() {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
    return db_ ? static_cast<std::uint64_t>(Int("SELECT COUNT(*) FROM history_hour")) : 0;
}

std::vector<AlarmRow> HistoryStore::Alarms() {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
    if (!db_) throw std::runtime_error("database " + path_ + " is not open");
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
