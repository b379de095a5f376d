// store-soak: the history store alone, driven like the runtime's worker
// drives it (SaveSnapshot for every device of a round, SaveAlarm for every
// alarm begin and end), with real snapshots of the simulated plant taken
// from the database of a run, as fast as it goes. Its clock is its own:
// round n is stamped `--period` seconds after round n-1, from the local
// time at start, so a simulated year takes as long as the store needs for
// its 13 million rounds and no more. Times it reports (query, run) are real.
//
//   store-soak --source DB --db DB --days N [--period S] [--cap-mb M]
//
// Prints key=value lines: rounds, simulated seconds, resident memory at the
// first and last tenth, descriptors and threads, database bytes, alarm
// events saved and found, and the time of a query over the whole range.
#include "tools/http/history_reader.h"
#include "tools/model/numeric_fields.h"
#include "tools/runtime/history_store.h"
#include "tools/runtime/log_sink.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Row {
    std::uint32_t data_id = 0;
    int type = 0;
    std::uint32_t bus = 0;
    std::vector<std::uint8_t> bytes;
};

// One round of the source: its snapshots and its alarm events.
struct Round {
    std::vector<Row> snapshots;
    std::vector<rt::AlarmRow> alarms;
};

std::string Text(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? reinterpret_cast<const char*>(t) : "";
}

// The source's rounds: a new round begins where a data id comes again. Its
// alarm events join the round whose time they fall in.
std::vector<Round> LoadRounds(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot open " + path);
    std::vector<Round> rounds;
    std::vector<std::string> times;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT data_id, type_number, IFNULL(bus_id, 0), snapshot, time FROM history ORDER BY id",
                       -1, &s, nullptr);
    std::vector<std::uint32_t> seen;
    while (s && sqlite3_step(s) == SQLITE_ROW) {
        Row r;
        r.data_id = static_cast<std::uint32_t>(sqlite3_column_int64(s, 0));
        r.type = sqlite3_column_int(s, 1);
        r.bus = static_cast<std::uint32_t>(sqlite3_column_int64(s, 2));
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 3));
        r.bytes.assign(p, p + sqlite3_column_bytes(s, 3));
        if (rounds.empty() || std::find(seen.begin(), seen.end(), r.data_id) != seen.end()) {
            rounds.emplace_back();
            times.push_back(Text(s, 4));
            seen.clear();
        }
        seen.push_back(r.data_id);
        rounds.back().snapshots.push_back(std::move(r));
    }
    sqlite3_finalize(s);
    sqlite3_prepare_v2(db,
                       "SELECT time, data_id, rule_key, seq, alarm_id, level, name, text, event, IFNULL(bus_id, 0)"
                       " FROM alarm_event ORDER BY id",
                       -1, &s, nullptr);
    while (s && sqlite3_step(s) == SQLITE_ROW && !rounds.empty()) {
        rt::AlarmRow a;
        a.time = Text(s, 0);
        a.data_id = static_cast<std::uint32_t>(sqlite3_column_int64(s, 1));
        a.rule_key = Text(s, 2);
        a.seq = static_cast<std::uint32_t>(sqlite3_column_int64(s, 3));
        a.alarm_id = Text(s, 4);
        a.level = sqlite3_column_int(s, 5);
        a.name = Text(s, 6);
        a.text = Text(s, 7);
        a.begin = Text(s, 8) == "begin";
        a.bus_id = static_cast<std::uint32_t>(sqlite3_column_int64(s, 9));
        const auto at = std::upper_bound(times.begin(), times.end(), a.time);
        const std::size_t k = at == times.begin() ? 0 : static_cast<std::size_t>(at - times.begin() - 1);
        rounds[k].alarms.push_back(std::move(a));
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    if (rounds.empty()) throw std::runtime_error(path + " holds no snapshots");
    return rounds;
}

long StatusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::string(key).size());
    return -1;
}

long OpenFds() {
    long n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n - 3;  // ".", ".." and the directory's own descriptor
}

long long DiskBytes(const std::string& db) {
    long long sum = 0;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat st {};
        if (::stat((db + suffix).c_str(), &st) == 0) sum += static_cast<long long>(st.st_blocks) * 512;
    }
    return sum;
}

// Seconds since the epoch of "YYYY-MM-DD HH:MM:SS.mmm", local time.
double Seconds(const std::string& t) {
    std::tm tm{};
    if (std::sscanf(t.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                    &tm.tm_sec) != 6)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return static_cast<double>(std::mktime(&tm)) + (t.size() > 20 ? std::atof(t.c_str() + 19) : 0.0);
}

// Real seconds on the monotonic clock, past any clock preloaded into the process.
double RealNow() {
    timespec t{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The local time stamp ("YYYY-MM-DD HH:MM:SS.mmm") of seconds since the epoch.
std::string Stamp(double seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char b[40];
    std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03d", b, static_cast<int>((seconds - static_cast<double>(t)) * 1000));
    return out;
}

std::string Arg(int argc, char** argv, const std::string& name, const std::string& fallback) {
    for (int k = 1; k + 1 < argc; ++k)
        if (argv[k] == name) return argv[k + 1];
    if (fallback.empty()) throw std::runtime_error("missing " + name);
    return fallback;
}

int Run(int argc, char** argv) {
    const std::string source = Arg(argc, argv, "--source", "");
    const std::string path = Arg(argc, argv, "--db", "");
    const double days = std::atof(Arg(argc, argv, "--days", "1").c_str());
    const double period = std::atof(Arg(argc, argv, "--period", "2.2").c_str());
    const long long capBytes = std::atoll(Arg(argc, argv, "--cap-mb", "0").c_str()) * 1024 * 1024;
    const std::vector<Round> rounds = LoadRounds(source);

    // The store as the monitor runs it: its limits (the cap from --cap-mb),
    // the model's decoder for the aggregates, and its upkeep after every
    // round, done to the end here since nothing else waits for it.
    rt::HistoryLimits limits;
    limits.max_mb = static_cast<unsigned>(capBytes / (1024 * 1024));
    rt::HistoryStore store(path, limits);
    store.SetDecoder(model::NumericFields);
    const std::string first = rt::LocalTimestamp();
    const double start = Seconds(first);
    const double span = days * 86400;
    const double wallStart = RealNow();
    long rssFirst = -1, rssLast = -1, fdsStart = -1, threadsStart = -1;
    long long maxBytes = 0, overCapRounds = 0, failures = 0, alarmsSaved = 0, alarmsBegun = 0;
    std::uint64_t n = 0;
    std::string now = first;
    int tenth = 0;
    int lastMonth = 0;
    for (; Seconds(now) - start < span; ++n) {
        const Round& r = rounds[n % rounds.size()];
        for (const Row& row : r.snapshots) {
            try {
                store.SaveSnapshot(now, row.data_id, row.type, row.bytes.data(), row.bytes.size(), row.bus);
            } catch (const std::exception&) {
                ++failures;
            }
        }
        for (rt::AlarmRow a : r.alarms) {
            a.time = now;
            try {
                store.SaveAlarm(a);
                ++alarmsSaved;
                alarmsBegun += a.begin ? 1 : 0;
            } catch (const std::exception&) {
                ++failures;
            }
        }
        while (store.Upkeep(std::chrono::milliseconds(2))) {
        }
        if (n % 256 == 0) {
            const long long bytes = DiskBytes(path);
            maxBytes = std::max(maxBytes, bytes);
            if (capBytes && bytes > capBytes) ++overCapRounds;
        }
        // A line on stderr every 30 simulated days, for a run of a year.
        const int month = static_cast<int>((Seconds(now) - start) / (30 * 86400));
        if (month != lastMonth) {
            lastMonth = month;
            std::fprintf(stderr, "store-soak: day %d, %llu rounds, %.0f s, database %lld bytes (most %lld)\n",
                         month * 30, static_cast<unsigned long long>(n), RealNow() - wallStart, DiskBytes(path),
                         maxBytes);
        }
        const int t = static_cast<int>(10 * (Seconds(now) - start) / span);
        if (t != tenth || n == 0) {
            tenth = t;
            if (t == 0 && rssFirst < 0) {
                rssFirst = StatusKb("VmRSS:");
                fdsStart = OpenFds();
                threadsStart = StatusKb("Threads:");
            }
            if (t == 9) rssLast = StatusKb("VmRSS:");
        }
        now = Stamp(start + static_cast<double>(n + 1) * period);
    }
    const double wall = RealNow() - wallStart;
    if (rssLast < 0) rssLast = StatusKb("VmRSS:");
    const long fdsEnd = OpenFds();  // before the reader opens its own connection
    const long threadsEnd = StatusKb("Threads:");
    const long long endBytes = DiskBytes(path);
    maxBytes = std::max(maxBytes, endBytes);
    std::size_t alarmRows = 0, begunRows = 0;
    for (const rt::AlarmRow& a : store.Alarms()) {
        ++alarmRows;
        begunRows += a.begin ? 1 : 0;
    }

    http::HistoryReader reader(path);
    http::Range range;
    range.limit = 1000;
    // The first DC unit's voltage, as the page's chart asks for it.
    std::uint32_t dev = rounds.front().snapshots.front().data_id;
    for (const Row& row : rounds.front().snapshots)
        if (row.type == 5108) {
            dev = row.data_id;
            break;
        }
    const std::string field = "v";
    std::vector<double> ms;
    Json::Value answer;
    for (int k = 0; k < 3; ++k) {
        const double q0 = RealNow();
        try {
            answer = reader.Series(dev, field, range);
        } catch (const std::exception& e) {
            std::printf("query_error=%s\n", e.what());
            break;
        }
        ms.push_back((RealNow() - q0) * 1000);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("first=%s\nlast=%s\nsimulated_s=%.0f\nwall_s=%.1f\nrounds=%llu\n", first.c_str(), now.c_str(),
                Seconds(now) - start, wall, static_cast<unsigned long long>(n));
    std::printf("rss_first_kb=%ld\nrss_last_kb=%ld\nfds_start=%ld\nfds_end=%ld\nthreads_start=%ld\nthreads_end=%ld\n",
                rssFirst, rssLast, fdsStart, fdsEnd, threadsStart, threadsEnd);
    std::printf("db_bytes_end=%lld\ndb_bytes_max=%lld\ncap_bytes=%lld\nover_cap_samples=%lld\nwrite_failures=%lld\n",
                endBytes, maxBytes, capBytes, overCapRounds, failures);
    std::printf("alarm_events_saved=%lld\nalarm_begun_saved=%lld\nalarm_rows=%zu\nalarm_begun_rows=%zu\n", alarmsSaved,
                alarmsBegun, alarmRows, begunRows);
    std::printf("query_device=%u\nquery_rows=%s\nquery_ms=%.1f\n", dev,
                answer.isMember("rows") ? answer["rows"].asString().c_str() : "-", ms.empty() ? -1.0 : ms[ms.size() / 2]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "store-soak: %s\n", e.what());
        return 1;
    }
}
