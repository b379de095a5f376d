// The history store's figures, with the real snapshots of a monitor run
// (the newest of each device in --snapshots DB, e.g. the bench's monitor
// run against the simulated plant):
//   - a round's work item (one snapshot per device) with aggregation and
//     purging due at every round, against the same item without upkeep
//     (what the worker did per round before the store bounded itself);
//   - bytes on disk per day of raw history, and of the aggregates;
//   - a 45 MB database of today's schema with a month of rows brought under
//     a 16 MB cap by the monitor's worker while rounds go on every 2 s.
//
//   store-bench --snapshots DB [--work DIR] [--skip-migration] [--progress]
#include "tools/model/numeric_fields.h"
#include "tools/runtime/history_store.h"
#include "tools/runtime/host_runtime.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Snapshot {
    std::uint32_t data_id;
    int type;
    std::vector<std::uint8_t> bytes;
};

std::vector<Snapshot> ReadSnapshots(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot open " + path);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT data_id, type_number, snapshot FROM history WHERE id IN"
                       " (SELECT MAX(id) FROM history GROUP BY data_id, type_number) ORDER BY data_id",
                       -1, &q, nullptr);
    std::vector<Snapshot> out;
    while (q && sqlite3_step(q) == SQLITE_ROW) {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(q, 2));
        out.push_back({static_cast<std::uint32_t>(sqlite3_column_int64(q, 0)), sqlite3_column_int(q, 1),
                       std::vector<std::uint8_t>(p, p + sqlite3_column_bytes(q, 2))});
    }
    sqlite3_finalize(q);
    sqlite3_close(db);
    if (out.empty()) throw std::runtime_error(path + " holds no snapshots");
    return out;
}

// "YYYY-MM-DD HH:MM:SS.mmm" of t milliseconds after 2026-01-01 00:00.
std::string At(long long ms) {
    const std::time_t s = 1767225600 + static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    ::gmtime_r(&s, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03lld", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms % 1000);
    return buf;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
}

void SaveRound(rt::HistoryStore& s, const std::vector<Snapshot>& snaps, long long ms) {
    const std::string t = At(ms);
    for (const Snapshot& x : snaps) s.SaveSnapshot(t, x.data_id, x.type, x.bytes.data(), x.bytes.size());
}

void Settle(rt::HistoryStore& s) {
    while (s.Upkeep(std::chrono::milliseconds(50))) {
    }
}

// Bytes of the tables (and their indexes) whose name starts with prefix.
double TableBytes(const std::string& path, const char* like) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* q = nullptr;
    double bytes = -1;
    if (sqlite3_prepare_v2(db, "SELECT SUM(pgsize) FROM dbstat WHERE name LIKE ?", -1, &q, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(q, 1, like, -1, SQLITE_TRANSIENT);
        if (sqlite3_step(q) == SQLITE_ROW) bytes = sqlite3_column_double(q, 0);
    }
    sqlite3_finalize(q);
    sqlite3_close(db);
    return bytes;
}

void RoundWork(const std::vector<Snapshot>& snaps, const std::string& dir) {
    const std::string path = dir + "/round.db";
    fs::remove(path);
    fs::remove(path + "-wal");
    rt::HistoryLimits limits;
    limits.raw_days = 1;
    limits.max_mb = 0;
    rt::HistoryStore s(path, limits);
    s.SetDecoder(model::NumericFields);
    // A day and a bit of rounds a minute apart: from here on every round
    // completes a minute to aggregate and ages one round out of the raw rows.
    const long long step = 60 * 1000;
    long long t = 0;
    for (int i = 0; i < 1500; ++i, t += step) SaveRound(s, snaps, t);
    Settle(s);
    std::vector<double> without, with, rest;
    for (int i = 0; i < 600; ++i, t += step) {
        const bool upkeep = i % 2 == 1;
        const auto t0 = Clock::now();
        SaveRound(s, snaps, t);
        // The round's rows are written either way (one commit).
        bool more = false;
        if (upkeep) more = s.Upkeep(rt::SiteShared::kUpkeepSlice);
        else s.Flush();
        const auto t1 = Clock::now();
        (upkeep ? with : without).push_back(Ms(t1 - t0));
        // Without upkeep the next round catches up, as a slow worker would.
        if (!upkeep) continue;
        while (more) more = s.Upkeep(rt::SiteShared::kUpkeepSlice);
        rest.push_back(Ms(Clock::now() - t1));
    }
    std::printf("%-66s %10.3f ms\n", "round work item, no upkeep (before), median", Median(without));
    std::printf("%-66s %10.3f ms\n", "round work item, aggregation + purge due, median", Median(with));
    std::printf("%-66s %10.3f ms\n", "  difference of the medians (target <= 2 ms)", Median(with) - Median(without));
    std::printf("%-66s %10.3f ms\n", "  with upkeep due, 99th percentile", Quantile(with, 0.99));
    std::printf("%-66s %10.3f ms\n", "  further slices after the round's item, median", Median(rest));
}

void BytesPerDay(const std::vector<Snapshot>& snaps, const std::string& dir) {
    const std::string path = dir + "/day.db";
    fs::remove(path);
    fs::remove(path + "-wal");
    // Two simulated hours of rounds 2.4 s apart (about what the plant gives).
    const long long step = 2400;
    const int rounds = 2 * 3600 * 1000 / step;
    rt::HistoryLimits limits;
    limits.max_mb = 0;
    {
        rt::HistoryStore s(path, limits);
        s.SetDecoder(model::NumericFields);
        for (int i = 0; i < rounds; ++i) {
            SaveRound(s, snaps, static_cast<long long>(i) * step);
            if (i % 25 == 0) Settle(s);
        }
        Settle(s);
    }
    const double perDay = 12;  // two hours
    const double raw = TableBytes(path, "history"), rawIdx = TableBytes(path, "history_by_%");
    const double minute = TableBytes(path, "history_minute%"), hour = TableBytes(path, "history_hour%");
    std::printf("%-66s %10zu\n", "devices (snapshots per round)", snaps.size());
    std::printf("%-66s %10.0f B\n", "snapshot bytes per round", [&] {
        double n = 0;
        for (const Snapshot& x : snaps) n += x.bytes.size();
        return n;
    }());
    std::printf("%-66s %10.1f MB\n", "raw history per day (rows and indexes, as before and after)",
                (raw + rawIdx) * perDay / 1e6);
    std::printf("%-66s %10.1f MB\n", "per-minute aggregates per day", minute * perDay / 1e6);
    std::printf("%-66s %10.2f MB\n", "per-hour aggregates per day", hour * perDay / 1e6);
    std::printf("%-66s %10.1f\n", "  raw days a 64 MB cap holds (raw, with a day of minutes)",
                (64e6 - minute * perDay) / ((raw + rawIdx) * perDay));
    std::printf("%-66s %10.0f\n", "  minute days in 64 MB, raw rows gone", 64e6 / (minute * perDay));
}

void Migration(const std::vector<Snapshot>& snaps, const std::string& dir, bool progress) {
    const std::string path = dir + "/month.db";
    fs::remove(path);
    fs::remove(path + "-wal");
    fs::remove(path + "-shm");
    {
        // Today's schema, as the monitor wrote it before (no auto_vacuum).
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL;"
                     "CREATE TABLE history(id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,"
                     " data_id INTEGER NOT NULL, type_number INTEGER NOT NULL, snapshot BLOB NOT NULL, bus_id INTEGER);"
                     "CREATE INDEX history_by_device ON history(data_id, type_number, id);"
                     "CREATE INDEX history_by_time ON history(data_id, time);"
                     "BEGIN;",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* ins = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO history(time, data_id, type_number, snapshot, bus_id) VALUES(?,?,?,?,1000)",
                           -1, &ins, nullptr);
        // 45 MB over 30 days: rounds evenly spread.
        const long long month = 30LL * 86400 * 1000;
        const int rounds = 27000;
        for (int i = 0; i < rounds; ++i) {
            const std::string t = At(month * i / rounds);
            for (const Snapshot& x : snaps) {
                sqlite3_bind_text(ins, 1, t.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int64(ins, 2, x.data_id);
                sqlite3_bind_int(ins, 3, x.type);
                sqlite3_bind_blob(ins, 4, x.bytes.data(), static_cast<int>(x.bytes.size()), SQLITE_STATIC);
                sqlite3_step(ins);
                sqlite3_reset(ins);
            }
        }
        sqlite3_finalize(ins);
        sqlite3_exec(db, "COMMIT; PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const double before = static_cast<double>(fs::file_size(path));
    std::printf("%-66s %10.1f MB\n", "old database (a month of rows, today's schema)", before / 1e6);

    rt::LogSink log;
    rt::HistoryLimits limits;
    limits.max_mb = 16;
    const auto start = Clock::now();
    rt::SiteShared shared(path, log, limits);
    shared.store->SetDecoder(model::NumericFields);
    const double openMs = Ms(Clock::now() - start);
    // Rounds every 2 s on the worker, as the runtime posts them; the upkeep
    // slices run in between.
    const long long month = 30LL * 86400 * 1000;
    long long t = month;
    std::vector<double> waits;
    double underAt = -1;
    const std::uint64_t cap = 16ull << 20;
    std::uint64_t worst = 0;
    while (Ms(Clock::now() - start) < 600000) {
        const auto posted = Clock::now();
        t += 2400;
        shared.worker.Post([&, posted, t] {
            waits.push_back(Ms(Clock::now() - posted));
            SaveRound(*shared.store, snaps, t);
        });
        shared.ScheduleUpkeep();
        std::this_thread::sleep_until(posted + std::chrono::seconds(2));
        const std::uint64_t bytes = shared.store->BytesOnDisk();
        if (progress) {
            std::error_code ec;
            std::fprintf(stderr, "  %5.0f s: %8.1f MB file, %8.1f MB WAL\n", Ms(Clock::now() - start) / 1000,
                         fs::file_size(path, ec) / 1e6, fs::file_size(path + "-wal", ec) / 1e6);
        }
        if (underAt >= 0) worst = std::max(worst, bytes);
        if (underAt < 0 && bytes <= cap && !shared.upkeepQueued) underAt = Ms(Clock::now() - start) / 1000;
        if (underAt >= 0 && Ms(Clock::now() - start) / 1000 > underAt + 20) break;
    }
    shared.worker.Drain();
    std::printf("%-66s %10.1f ms\n", "  open (quick_check, schema)", openMs);
    std::printf("%-66s %10.1f s\n", "  under the 16 MB cap after (rounds every 2 s)", underAt);
    std::printf("%-66s %10.1f MB\n", "  bytes on disk then, and at most in the 20 s after", worst / 1e6);
    std::printf("%-66s %10.1f ms\n", "  a round's wait for the worker meanwhile, median", Median(waits));
    std::printf("%-66s %10.1f ms\n", "  a round's wait for the worker meanwhile, max", Quantile(waits, 1.0));
    shared.worker.Stop();
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string snapshots, work = "/tmp";
    bool migration = true, progress = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--snapshots" && i + 1 < argc) snapshots = argv[++i];
        else if (a == "--work" && i + 1 < argc) work = argv[++i];
        else if (a == "--skip-migration") migration = false;
        else if (a == "--progress") progress = true;
        else {
            std::fprintf(stderr, "usage: store-bench --snapshots DB [--work DIR] [--skip-migration] [--progress]\n");
            return 2;
        }
    }
    try {
        const std::vector<Snapshot> snaps = ReadSnapshots(snapshots);
        RoundWork(snaps, work);
        BytesPerDay(snaps, work);
        if (migration) Migration(snaps, work, progress);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "store-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
