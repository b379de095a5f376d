// The history store over time and under faults: aggregates and retention,
// the size cap as bytes on disk (a new and an old-schema database), a real
// full filesystem, a removed file and directory, a corrupt file at start,
// and SIGKILL in the middle of writes.
#include "tools/runtime/history_store.h"
#include "tools/runtime/tests/temp_dir.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

namespace rttest {
namespace {

namespace fs = std::filesystem;

// The test's fields: "x" is byte 0, "y" byte 1 (when there is one).
const rt::FieldNames* TestFields(int, const std::uint8_t* p, std::size_t n, std::vector<double>& values) {
    static const rt::FieldNames kX{"x"}, kXY{"x", "y"};
    for (std::size_t i = 0; i < n && i < 2; ++i) values.push_back(p[i]);
    return n == 0 ? nullptr : n == 1 ? &kX : &kXY;
}

std::string Time(int day, int hour, int minute, int second = 0) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "2026-01-%02d %02d:%02d:%02d.000", day, hour, minute, second);
    return buf;
}

// Upkeep until nothing is due (bounded).
void Settle(rt::HistoryStore& s) {
    for (int i = 0; i < 100000 && s.Upkeep(std::chrono::milliseconds(50)); ++i) {
    }
}

struct Log {
    std::vector<std::string> lines;
    rt::HistoryStore::Log Sink() {
        return [this](const std::string& l) { lines.push_back(l); };
    }
    int Count(const std::string& needle) const {
        int n = 0;
        for (const auto& l : lines) n += l.find(needle) != std::string::npos;
        return n;
    }
};

// The aggregate of one field: {min, mean, max, count}; all -1 when absent.
std::vector<double> Agg(const std::string& path, const char* table, const std::string& start, const char* field) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db,
                       (std::string("SELECT l.names, a.data, a.n FROM ") + table +
                        " a JOIN history_layout l ON l.id = a.layout WHERE a.start = ?")
                           .c_str(),
                       -1, &q, nullptr);
    sqlite3_bind_text(q, 1, start.c_str(), -1, SQLITE_TRANSIENT);
    std::vector<double> out{-1, -1, -1, -1};
    if (sqlite3_step(q) == SQLITE_ROW) {
        std::vector<std::string> names;
        std::string joined = reinterpret_cast<const char*>(sqlite3_column_text(q, 0)), part;
        for (std::size_t i = 0; i <= joined.size(); ++i) {
            if (i == joined.size() || joined[i] == '\n') {
                names.push_back(part);
                part.clear();
            } else {
                part += joined[i];
            }
        }
        const rt::Aggregate a = rt::AggregateFromBlob(static_cast<const std::uint8_t*>(sqlite3_column_blob(q, 1)),
                                                      static_cast<std::size_t>(sqlite3_column_bytes(q, 1)), names,
                                                      static_cast<std::uint32_t>(sqlite3_column_int64(q, 2)));
        const auto it = a.find(field);
        if (it != a.end()) out = {it->second.min, it->second.mean, it->second.max, double(it->second.count)};
    }
    sqlite3_finalize(q);
    sqlite3_close(db);
    return out;
}

std::string Pragma(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* q = nullptr;
    std::string out = "(no answer)";
    if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK && sqlite3_step(q) == SQLITE_ROW)
        out = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
    sqlite3_finalize(q);
    sqlite3_close(db);
    return out;
}

// A small tmpfs of our own, unmounted at the end. The full-disk test is
// skipped when mounting is refused (no privilege); the others then use the
// test's folder (slower: the WAL checkpoints sync to the disk).
class SmallFs {
public:
    SmallFs(const std::string& dir, std::string size) : dir_(dir + "/fs"), size_("size=" + size) {
        fs::create_directory(dir_);
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, size_.c_str()) == 0;
    }
    ~SmallFs() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }
    const std::string& Dir() const { return dir_; }
    // The filesystem made read-only, or writable again.
    bool ReadOnly(bool on) {
        return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | (on ? MS_RDONLY : 0), size_.c_str()) == 0;
    }

private:
    std::string dir_;
    std::string size_;
    bool mounted_ = false;
};

TEST(HistoryBounds, AggregatesPerMinuteAndHourThenRetentionByAge) {
    TempDir dir;
    const std::string path = dir.Path() + "/h.db";
    rt::HistoryLimits limits;
    limits.raw_days = 1;
    limits.minute_days = 2;
    limits.hour_days = 3;
    limits.event_days = 4;
    rt::HistoryStore s(path, limits);
    s.SetDecoder(TestFields);
    rt::AlarmRow alarm;
    alarm.time = Time(1, 0, 0);
    s.SaveAlarm(alarm);
    // Six days, a snapshot every ten minutes: x is the ten-minute slot of
    // the hour (0..5), y only in the first slot.
    for (int day = 1; day <= 6; ++day)
        for (int hour = 0; hour < 24; ++hour)
            for (int slot = 0; slot < 6; ++slot) {
                const std::uint8_t b[2] = {static_cast<std::uint8_t>(slot), 200};
                s.SaveSnapshot(Time(day, hour, slot * 10), 1, 5108, b, slot == 0 ? 2 : 1);
                s.Upkeep(std::chrono::milliseconds(5));
            }
    Settle(s);
    // Now is day 6 23:50: raw rows a day back, minutes two, hours three.
    EXPECT_EQ(s.HistoryRows(), 6u * 24 + 1);  // 23:50 of day 5 and after
    // From 23:50 of day 4 (the cutoff minute itself stays) to 23:40 of day
    // 6 (the current minute is not over).
    EXPECT_EQ(s.MinuteRows(), 2u * 24 * 6);
    EXPECT_EQ(s.HourRows(), 3u * 24);
    EXPECT_TRUE(s.Alarms().empty());
    const std::vector<std::vector<double>> want = {{0, 2.5, 5, 6}, {200, 200, 200, 1}, {3, 3, 3, 1}, {-1, -1, -1, -1}};
    EXPECT_EQ(Agg(path, "history_hour", "2026-01-04 10:00:00", "x"), want[0]);
    EXPECT_EQ(Agg(path, "history_hour", "2026-01-04 10:00:00", "y"), want[1]);
    EXPECT_EQ(Agg(path, "history_minute", "2026-01-05 10:30:00", "x"), want[2]);
    EXPECT_EQ(Agg(path, "history_minute", "2026-01-04 10:30:00", "x"), want[3]);  // gone with minute_days
    EXPECT_EQ(Agg(path, "history_hour", "2026-01-03 10:00:00", "x"), want[3]);    // gone with hour_days
}

// Writes rounds of four devices (and an alarm event of alarmText bytes
// when asked) with Upkeep after each; the bytes on disk (file and WAL, as
// stat sees them) never pass the cap once settled.
void RoundsUnderCap(rt::HistoryStore& s, const std::string& path, int rounds, std::uint64_t cap,
                    std::size_t alarmText = 0) {
    std::vector<std::uint8_t> blob(200);
    std::uint64_t worst = 0;
    for (int r = 0; r < rounds; ++r) {
        for (std::uint32_t d = 1; d <= 4; ++d) {
            blob[0] = static_cast<std::uint8_t>(r);
            blob[1] = static_cast<std::uint8_t>(d);
            s.SaveSnapshot(Time(1 + r / 43200, (r / 1800) % 24, (r / 30) % 60, (r * 2) % 60), d, 5107, blob.data(),
                           blob.size());
        }
        if (alarmText) {
            rt::AlarmRow a;
            a.time = Time(1 + r / 43200, (r / 1800) % 24, (r / 30) % 60, (r * 2) % 60);
            a.seq = static_cast<std::uint32_t>(r);
            a.text.assign(alarmText, 'a');
            s.SaveAlarm(a);
        }
        while (s.Upkeep(std::chrono::milliseconds(2))) {
        }
        worst = std::max<std::uint64_t>(worst, fs::file_size(path) + (fs::exists(path + "-wal") ? fs::file_size(path + "-wal") : 0));
    }
    EXPECT_LE(worst, cap);
    EXPECT_EQ(s.BytesOnDisk(), fs::file_size(path) + fs::file_size(path + "-wal"));
    blob[0] = static_cast<std::uint8_t>(rounds - 1);
    blob[1] = 4;
    EXPECT_EQ(s.Newest(4, 5107), blob);
}

TEST(HistoryBounds, SizeCapHoldsAsBytesOnDisk) {
    TempDir dir;
    SmallFs small(dir.Path(), "16m");
    const std::string path = (small.Mounted() ? small.Dir() : dir.Path()) + "/h.db";
    rt::HistoryLimits limits;
    limits.max_mb = 1;
    rt::HistoryStore s(path, limits);
    s.SetDecoder(TestFields);
    RoundsUnderCap(s, path, 4000, 1 << 20);  // about 3.5 MB written
    EXPECT_GT(s.MinuteRows(), 0u);
    EXPECT_EQ(Pragma(path, "PRAGMA integrity_check"), "ok");
}

// Alarm events alone past the cap: the oldest of them go too, last.
TEST(HistoryBounds, AlarmEventsGoLastUnderTheCap) {
    TempDir dir;
    const std::string path = dir.Path() + "/h.db";
    rt::HistoryLimits limits;
    limits.max_mb = 1;
    rt::HistoryStore s(path, limits);
    s.SetDecoder(TestFields);
    RoundsUnderCap(s, path, 3000, 1 << 20, 600);  // 1.8 MB of alarm text
    const std::vector<rt::AlarmRow> alarms = s.Alarms();
    ASSERT_FALSE(alarms.empty());
    EXPECT_GT(alarms.front().seq, 0u);
    EXPECT_EQ(alarms.back().seq, 2999u);
}

TEST(HistoryBounds, AnOldDatabaseIsBroughtUnderTheCapInPlace) {
    TempDir dir;
    const std::string path = dir.Path() + "/old.db";
    {
        // Today's schema without the store's settings: no auto_vacuum.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "CREATE TABLE history(id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,"
                               " data_id INTEGER NOT NULL, type_number INTEGER NOT NULL, snapshot BLOB NOT NULL,"
                               " bus_id INTEGER);"
                               "CREATE INDEX history_by_device ON history(data_id, type_number, id);"
                               "CREATE INDEX history_by_time ON history(data_id, time);"
                               "WITH RECURSIVE r(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM r WHERE i < 19999)"
                               " INSERT INTO history(time, data_id, type_number, snapshot)"
                               " SELECT strftime('%Y-%m-%d %H:%M:%S.000', '2026-01-01', '+' || (i / 4 * 2) || ' seconds'),"
                               " 1 + i % 4, 5107, randomblob(200) FROM r;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_GT(fs::file_size(path), 4u << 20);
    rt::HistoryLimits limits;
    limits.max_mb = 1;
    Log log;
    rt::HistoryStore s(path, limits, log.Sink());
    s.SetDecoder(TestFields);
    Settle(s);
    EXPECT_LE(s.BytesOnDisk(), 1u << 20);
    EXPECT_EQ(log.Count("converted to incremental vacuum"), 1);
    EXPECT_EQ(Pragma(path, "PRAGMA auto_vacuum"), "2");
    EXPECT_GT(s.MinuteRows(), 0u);
    RoundsUnderCap(s, path, 200, 1 << 20);
}

TEST(HistoryBounds, ACorruptFileIsMovedAsideAndAFreshOneMade) {
    const std::pair<const char*, std::function<void(const std::string&)>> cases[] = {
        {"not a database",
         [](const std::string& p) { std::ofstream(p) << "this is not a database, just text\n" << std::string(5000, 'x'); }},
        {"quick_check",
         [](const std::string& p) {
             {
                 rt::HistoryStore s(p);
                 std::vector<std::uint8_t> blob(300, 7);
                 for (int i = 0; i < 400; ++i) s.SaveSnapshot(Time(1, 0, 0), 1, 5108, blob.data(), blob.size());
             }
             // Scribble over a page in the middle of the index pages.
             std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(static_cast<std::streamoff>(fs::file_size(p) - 3 * 4096 + 100));
             const std::string junk(600, '\x5a');
             f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
         }},
    };
    for (const auto& [what, make] : cases) {
        TempDir dir;
        const std::string path = dir.Path() + "/h.db";
        make(path);
        Log log;
        rt::HistoryStore s(path, {}, log.Sink());
        EXPECT_EQ(log.Count("is corrupt"), 1) << what;
        int aside = 0;
        for (const auto& e : fs::directory_iterator(dir.Path()))
            aside += e.path().filename().string().rfind("h.db.corrupt-", 0) == 0;
        EXPECT_GE(aside, 1) << what;
        EXPECT_EQ(s.HistoryRows(), 0u) << what;
        const std::uint8_t b = 9;
        s.SaveSnapshot(Time(2, 0, 0), 1, 5108, &b, 1);
        EXPECT_EQ(s.Newest(1, 5108), std::vector<std::uint8_t>{9}) << what;
    }
}

TEST(HistoryFaults, FullDiskCountsRetriesAndResumes) {
    TempDir dir;
    SmallFs small(dir.Path(), "2m");
    if (!small.Mounted()) GTEST_SKIP() << "mounting a tmpfs was refused: " << std::strerror(errno);
    const std::string path = small.Dir() + "/h.db";
    Log log;
    rt::HistoryLimits limits;
    limits.max_mb = 0;  // only the filesystem bounds it
    rt::HistoryStore s(path, limits, log.Sink());
    s.SetDecoder(TestFields);
    std::vector<std::uint8_t> blob(200, 1);
    int round = 0;
    auto Round = [&] {
        blob[0] = static_cast<std::uint8_t>(++round);
        s.SaveSnapshot(Time(1, 0, round / 30, (round * 2) % 60), 1, 5107, blob.data(), blob.size());
        s.Upkeep(std::chrono::milliseconds(2));
    };
    // Fill the rest of the filesystem.
    for (int i = 0; i < 50; ++i) Round();
    {
        std::ofstream filler(small.Dir() + "/filler", std::ios::binary);
        const std::string chunk(4096, 'f');
        for (int i = 0; i < 1000 && filler.write(chunk.data(), chunk.size()); ++i) filler.flush();
    }
    for (int i = 0; i < 3000 && s.FailedWrites() == 0; ++i) Round();
    ASSERT_GT(s.FailedWrites(), 0u) << "the store never met the full disk";
    rt::AlarmRow a;
    a.time = Time(1, 1, 0);
    a.rule_key = "kept";
    s.SaveAlarm(a);
    for (int i = 0; i < 20; ++i) Round();
    EXPECT_EQ(log.Count("failed:"), 1);
    EXPECT_EQ(log.Count("database or disk is full"), 1) << ::testing::PrintToString(log.lines);
    EXPECT_EQ(log.Count("writing again"), 0);
    fs::remove(small.Dir() + "/filler");
    Round();
    EXPECT_EQ(log.Count("writing again"), 1) << ::testing::PrintToString(log.lines);
    ASSERT_FALSE(s.Alarms().empty());
    EXPECT_EQ(s.Alarms().back().rule_key, "kept");
    EXPECT_EQ(s.Newest(1, 5107), blob);

}

// A store that starts on a read-only filesystem (Linux refuses to make one
// read-only under an open writer, so this is how the store meets one):
// polling goes on, writes fail (one log line for the episode) and wait,
// and are written once the filesystem is writable again.
TEST(HistoryFaults, AReadOnlyFilesystemIsWaitedOut) {
    TempDir dir;
    SmallFs small(dir.Path(), "4m");
    if (!small.Mounted()) GTEST_SKIP() << "mounting a tmpfs was refused: " << std::strerror(errno);
    const std::string path = small.Dir() + "/h.db";
    const std::uint8_t one = 1, two = 2;
    rt::HistoryStore(path).SaveSnapshot(Time(1, 0, 0), 1, 5108, &one, 1);
    ASSERT_TRUE(small.ReadOnly(true)) << std::strerror(errno);
    Log log;
    rt::HistoryStore s(path, {}, log.Sink());
    rt::AlarmRow a;
    a.time = Time(1, 0, 1);
    a.rule_key = "while read-only";
    s.SaveAlarm(a);
    for (int i = 0; i < 5; ++i) {
        s.SaveSnapshot(Time(1, 0, 2), 1, 5108, &two, 1);
        s.Upkeep(std::chrono::milliseconds(5));
    }
    EXPECT_GE(s.FailedWrites(), 5u);
    EXPECT_EQ(log.Count("failed:") + log.Count("cannot open"), 1) << ::testing::PrintToString(log.lines);
    ASSERT_TRUE(small.ReadOnly(false)) << std::strerror(errno);
    s.Upkeep(std::chrono::milliseconds(5));
    EXPECT_EQ(log.Count("writing again"), 1) << ::testing::PrintToString(log.lines);
    EXPECT_EQ(s.Newest(1, 5108), std::vector<std::uint8_t>{2});
    ASSERT_FALSE(s.Alarms().empty());
    EXPECT_EQ(s.Alarms().back().rule_key, "while read-only");
}

TEST(HistoryFaults, ARemovedFileOrDirectoryIsMadeAgain) {
    TempDir dir;
    const std::string sub = dir.Path() + "/db";
    fs::create_directory(sub);
    const std::string path = sub + "/h.db";
    Log log;
    rt::HistoryStore s(path, {}, log.Sink());
    const std::uint8_t one = 1, two = 2, three = 3;
    s.SaveSnapshot(Time(1, 0, 0), 1, 5108, &one, 1);
    fs::remove(path);
    fs::remove(path + "-wal");
    fs::remove(path + "-shm");
    s.Upkeep(std::chrono::milliseconds(5));
    ASSERT_TRUE(fs::exists(path));
    s.SaveSnapshot(Time(1, 0, 1), 1, 5108, &two, 1);
    EXPECT_EQ(s.Newest(1, 5108), std::vector<std::uint8_t>{2});
    EXPECT_EQ(log.Count("removed or replaced"), 1);

    fs::remove_all(sub);
    // Saved in the same round as a snapshot, before the store finds out.
    rt::AlarmRow a;
    a.time = Time(1, 0, 2);
    a.rule_key = "while gone";
    s.SaveAlarm(a);
    for (int i = 0; i < 5; ++i) {
        s.SaveSnapshot(Time(1, 0, 2), 1, 5108, &three, 1);
        s.Upkeep(std::chrono::milliseconds(5));
    }
    EXPECT_GE(s.FailedWrites(), 4u);
    fs::create_directory(sub);
    s.Upkeep(std::chrono::milliseconds(5));
    EXPECT_EQ(s.Newest(1, 5108), std::vector<std::uint8_t>{3});
    ASSERT_FALSE(s.Alarms().empty());
    EXPECT_EQ(s.Alarms().back().rule_key, "while gone");
    EXPECT_EQ(log.Count("removed or replaced"), 2);
    EXPECT_EQ(log.Count("writing again"), 2);
}

TEST(HistoryFaults, SigkillDuringHeavyWritesLosesNoCommittedRound) {
    TempDir dir;
    SmallFs small(dir.Path(), "16m");
    const std::string path = (small.Mounted() ? small.Dir() : dir.Path()) + "/h.db";
    std::mt19937 rng(23);
    std::uint32_t lastReported = 0;
    for (int kill = 0; kill < 50; ++kill) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // The child: rounds of four snapshots carrying the round number,
            // with the upkeep of a small cap; reports each round when saved.
            ::close(fds[0]);
            rt::HistoryLimits limits;
            limits.max_mb = 1;
            rt::HistoryStore s(path, limits);
            s.SetDecoder(TestFields);
            std::vector<std::uint8_t> blob(300, 0);
            for (std::uint32_t r = lastReported + 1;; ++r) {
                std::memcpy(blob.data(), &r, 4);
                for (std::uint32_t d = 1; d <= 4; ++d)
                    s.SaveSnapshot(Time(1 + r / 43200, (r / 1800) % 24, (r / 30) % 60, (r * 2) % 60), d, 5107,
                                   blob.data(), blob.size());
                s.Upkeep(std::chrono::milliseconds(2));
                if (::write(fds[1], &r, 4) != 4) ::_exit(1);
            }
        }
        ::close(fds[1]);
        // Killed while it writes: after its first round is in (however slow
        // the machine or its emulator), at a random moment.
        std::uint32_t r = 0;
        ASSERT_EQ(::read(fds[0], &r, 4), 4) << "kill " << kill;
        lastReported = r;
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 40000)(rng)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        while (::read(fds[0], &r, 4) == 4) lastReported = r;
        ::close(fds[0]);
        ASSERT_EQ(Pragma(path, "PRAGMA integrity_check"), "ok") << "kill " << kill;
        rt::HistoryStore s(path);
        const auto newest = s.Newest(4, 5107);
        std::uint32_t restored = 0;
        if (newest) std::memcpy(&restored, newest->data(), 4);
        // The last round reported, or one saved but killed before its report.
        EXPECT_TRUE(restored == lastReported || restored == lastReported + 1)
            << "kill " << kill << ": restored " << restored << ", reported " << lastReported;
        lastReported = restored;
    }
    EXPECT_GE(lastReported, 50u);  // every kill came after one more round at least
}

}  // namespace
}  // namespace rttest
