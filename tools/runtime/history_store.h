#pragma once
// The host's history and alarm store: one SQLite database file.
//   history(id, time, data_id, type_number, snapshot, bus_id)      one row per saved snapshot ("raw")
//   alarm_event(id, time, data_id, rule_key, seq, alarm_id, level, name, text, event, bus_id)
//   history_minute / history_hour(id, data_id, type_number, start, layout, n, data)
//        per device and minute (hour): min, mean, max and count of every
//        numeric field of the snapshots saved in it (see AggregateBlob)
//   history_layout(id, names)   the field names of an aggregate's data, one a line
//   store_state(key, value)     "aggregated": the newest raw id in the aggregates
// bus_id is the data id of the line's bus device (NULL in rows written
// before lines were recorded; such a database gets the column on opening).
// "time" and "start" are local time "YYYY-MM-DD HH:MM:SS.mmm" ("start" to
// the second); "event" is "begin" or "end". Newest means the highest id,
// i.e. the last row written, whatever the clock did.
//
// Bounds (HistoryLimits): Upkeep, called on the worker, aggregates raw rows
// of finished minutes, purges by age (raw rows once aggregated, minutes,
// hours, events) and holds the file and its WAL under max_mb by dropping the
// oldest raw rows, then minutes, then hours (the newest raw row of each
// device stays for restore), each step a small transaction.
//
// Writes: the snapshots and alarm events saved in a round are written
// together, one commit, by the Upkeep that follows (or a read).
//
// Faults: a write that fails (disk full, read-only, file or directory gone)
// is counted (FailedWrites), logged once per episode, and kept for a retry
// at the next Upkeep (alarm events all, bounded; snapshots the newest per
// device); Upkeep reopens or recreates the file when it is gone or the
// connection is broken. A file at start that is not a database or fails
// PRAGMA quick_check is moved aside as PATH.corrupt-YYYYMMDD-HHMMSS and a
// fresh one made.
#include "tools/runtime/alarm_queue.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace rt {

// The site key "history".
struct HistoryLimits {
    unsigned raw_days = 2;       // raw snapshot rows
    unsigned minute_days = 90;   // per-minute aggregates
    unsigned hour_days = 1825;   // per-hour aggregates
    unsigned event_days = 365;   // alarm events
    unsigned max_mb = 64;        // database and WAL together, MiB; 0: no cap
};

// A snapshot's numeric fields: the decoder appends their values and
// returns their names ("v", "channels.0.a") in the same order, one object
// per layout that lives as long as the decoder (nullptr: nothing to
// aggregate). The store does not know the devices' layouts: the monitor
// hands it the model's decoder (model::NumericFields).
using FieldNames = std::vector<std::string>;
using FieldDecoder = std::function<const FieldNames*(int typeNumber, const std::uint8_t* data, std::size_t length,
                                                     std::vector<double>& values)>;

// One field of an aggregate.
struct FieldAggregate {
    double min = 0, mean = 0, max = 0;
    std::uint32_t count = 0;
    void Add(double v);
    void Merge(const FieldAggregate& o);
};
using Aggregate = std::map<std::string, FieldAggregate>;
// An aggregate's data blob: per name of the layout, in its order, a tag
// byte and its values (little-endian singles): 0 absent; 1 constant (min =
// mean = max): the value; 2: min, mean, max. Tag bit 0x80: a u32 count
// follows (else the count is n, the snapshots of the bucket).
std::vector<std::uint8_t> AggregateBlob(const Aggregate& a, const std::vector<std::string>& names, std::uint32_t n);
// The same of fields by position (the layout's order).
std::vector<std::uint8_t> AggregateBlob(const std::vector<FieldAggregate>& fields, std::uint32_t n);
// The reverse; fields past the blob's end are left out.
Aggregate AggregateFromBlob(const std::uint8_t* p, std::size_t size, const std::vector<std::string>& names,
                            std::uint32_t n);
// Field `index` of the layout alone; false when it is absent or past the end.
bool AggregateField(const std::uint8_t* p, std::size_t size, std::size_t index, std::uint32_t n, FieldAggregate& out);

class HistoryStore {
public:
    using Log = std::function<void(const std::string&)>;

    // Opens (creating when missing) the database; a corrupt file is moved
    // aside (one log line). Throws std::runtime_error with SQLite's message
    // when it cannot be opened or made at all.
    explicit HistoryStore(const std::string& path, HistoryLimits limits = {}, Log log = {});
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Set before the first Upkeep; without one no aggregates are made (raw
    // rows still go by age and size).
    void SetDecoder(FieldDecoder decoder);

    // Batched until the next Upkeep; a write that fails is counted and kept
    // for a retry; these never throw.
    void SaveSnapshot(const std::string& time, std::uint32_t dataId, int typeNumber,
                      const std::uint8_t* data, std::size_t length, std::uint32_t busId = 0);
    void SaveAlarm(const AlarmRow& row);
    // The newest snapshot of a data id and type number, if any (throws
    // std::runtime_error when the database cannot be read).
    std::optional<std::vector<std::uint8_t>> Newest(std::uint32_t dataId, int typeNumber);

    // Writes the rows saved since the last write in one transaction; when
    // that fails, every one of them waits for the retry. Upkeep and the
    // reads below do it first.
    void Flush();

    // Retries failed writes, then aggregates and purges in transactions of
    // a few hundred rows until `budget` has passed or nothing is due.
    // Returns true when more is due (call again soon).
    bool Upkeep(std::chrono::microseconds budget);

    // Writes that failed since start (each retry that fails counts again).
    std::uint64_t FailedWrites() const { return failedWrites_.load(); }
    // The database file and its WAL, bytes.
    std::uint64_t BytesOnDisk() const;
    const std::string& Path() const { return path_; }

    std::uint64_t HistoryRows();
    std::uint64_t MinuteRows();
    std::uint64_t HourRows();
    std::vector<AlarmRow> Alarms();

private:
    struct PendingSnapshot {
        std::string time;
        std::uint32_t dataId;
        int typeNumber;
        std::vector<std::uint8_t> data;
        std::uint32_t busId;
    };
    using Bucket = std::pair<std::uint32_t, std::string>;  // data id, start

    // check: run PRAGMA quick_check; throws Corrupt (in the .cpp) when it fails.
    void Open(bool check);
    void Close();
    void MoveAside(const std::string& why);
    void Exec(const char* sql);
    std::int64_t Int(const char* sql);
    // A statement prepared once per connection (finalized by Close).
    sqlite3_stmt* Kept(const std::string& sql);
    // BEGIN IMMEDIATE, COMMIT and ROLLBACK as kept statements: parsed at
    // every transaction, they cost more than a round's inserts.
    struct TxnStatements {
        sqlite3_stmt* begin;
        sqlite3_stmt* commit;
        sqlite3_stmt* rollback;
    };
    TxnStatements Txn();
    void AddColumnIfMissing(const char* table, const char* column, const char* type);
    [[noreturn]] void Fail(const char* what);

    void FlushLocked();
    bool WriteSnapshot(const PendingSnapshot& s);
    bool WriteAlarm(const AlarmRow& row);
    void WriteFailed(int rc, const char* what);
    void WriteOk();
    bool Retry();
    bool FileReplaced() const;

    // The upkeep steps: each one transaction; true when it did something.
    bool AggregateStep();
    bool PurgeByAge();
    bool PurgeForCap();
    bool ShrinkFile();
    // One batch of the oldest raw rows, else minutes, else hours.
    bool DropOldest();
    // What the database file may use: the cap less room for the WAL.
    std::uint64_t FileLimit() const;
    void MergeInto(const char* table, const Bucket& b, int typeNumber, std::uint32_t n, const Aggregate& a);
    std::int64_t LayoutId(const std::vector<std::string>& names);
    std::int64_t LayoutIdOf(const FieldNames* names);  // a decoder's layout, known by its address
    void WriteBucket(const char* table, std::int64_t rowId, const Bucket& b, int typeNumber, std::int64_t layout,
                     std::uint32_t n, const std::vector<std::uint8_t>& blob);
    void MergeFields(const char* table, const Bucket& b, int typeNumber, std::uint32_t n, const FieldNames& names,
                     const std::vector<FieldAggregate>& fields);
    const std::vector<std::string>& LayoutNames(std::int64_t id);
    int DeleteIds(const char* table, const std::vector<std::int64_t>& ids);
    std::uint64_t CapBytes() const;
    // Pages in use, from the page and free-list counts it keeps for ShrinkFile.
    std::uint64_t UsedBytes();

    const std::string path_;
    const HistoryLimits limits_;
    Log log_;
    FieldDecoder decoder_;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insertHistory_ = nullptr;
    sqlite3_stmt* insertAlarm_ = nullptr;
    sqlite3_stmt* newest_ = nullptr;
    unsigned long long inode_ = 0, device_ = 0;  // of the file opened

    std::atomic<std::uint64_t> failedWrites_{0};
    bool failing_ = false;       // an episode of failed writes is on
    bool broken_ = false;        // the connection must be reopened
    bool lastFull_ = false;      // the last failure was a full disk
    std::uint64_t episodeFailures_ = 0;
    static constexpr std::size_t kMaxPendingAlarms = 10000;
    AlarmQueue pendingAlarms_{kMaxPendingAlarms};
    std::map<std::pair<std::uint32_t, int>, PendingSnapshot> pendingSnapshots_;
    std::uint64_t droppedAlarms_ = 0;
    // The rows saved since the last Flush: a round's snapshots and alarm
    // events go to the file in one commit (Upkeep, a read or the destructor
    // flushes). batch_ keeps its rows' buffers from round to round.
    static constexpr std::size_t kMaxBatch = 64;
    std::vector<PendingSnapshot> batch_;
    std::size_t batchSnapshots_ = 0;
    std::vector<AlarmRow> batchAlarms_;

    std::string newestTime_;     // of the newest raw row: the store's "now"
    std::int64_t aggregated_ = 0;
    bool vacuumNeeded_ = false;  // a database made before auto_vacuum was set
    bool capStuck_ = false;      // over the cap with nothing left to drop (logged)
    std::int64_t pageSize_ = 4096;
    std::int64_t pageCount_ = 0, freePages_ = 0;  // as UsedBytes read them last
    std::map<std::pair<std::uint32_t, int>, std::int64_t> newestIds_;  // kept from the size purge
    std::map<std::string, sqlite3_stmt*> kept_;
    std::map<std::string, std::int64_t> layoutIds_;
    std::map<std::int64_t, std::vector<std::string>> layoutNames_;
    std::map<const FieldNames*, std::int64_t> layoutByNames_;
    std::string agesCheckedAt_;  // the minute of the last age purge that found nothing
};

}  // namespace rt
