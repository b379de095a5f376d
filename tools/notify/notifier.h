#pragma once
// Runs the site's notify command for every alarm and line event, on a
// thread of its own: Post never waits for a command.
//
// The command is started with posix_spawn (no shell), with no arguments
// but its own path, standard input from /dev/null, standard output and
// error to the monitor's log, in a process group of its own, and only this
// environment:
//   PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
//   LC_ALL=C.UTF-8
//   PMBUS_<MEMBER>=value for every member of the event record
//   (rt::EventRecord: PMBUS_EVENT, PMBUS_SEQ, PMBUS_EVENT_ID, PMBUS_TIME,
//   PMBUS_BUS_DATA_ID, PMBUS_PORT, PMBUS_DATA_ID, PMBUS_TEXT and, for
//   alarms, PMBUS_RULE_KEY, PMBUS_ALARM_ID, PMBUS_LEVEL, PMBUS_NAME).
// At most max_running run at once; up to queue_size events wait, further
// ones are dropped (counted, logged once per overflow). A command still
// running after timeout_s gets SIGTERM, and SIGKILL 2 s later (its whole
// process group); that is logged. A command that fails (exit status not 0,
// a signal, or not started) is logged with its status once per run of
// failures; the next success is logged with the number of failures.
#include "tools/notify/notify_config.h"
#include "tools/runtime/log_sink.h"

#include <json/value.h>

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace notify {

struct NotifyStats {
    std::uint64_t started = 0, succeeded = 0, failed = 0, killed = 0, dropped = 0;
};

// "PMBUS_EVENT=alarm_begin", ... for a flat record of strings and numbers.
std::vector<std::string> CommandEnvironment(const Json::Value& record);

class Notifier {
public:
    Notifier(NotifyConfig config, rt::LogSink& log);
    ~Notifier();  // Stop()
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Queues one event record (any thread, returns at once).
    void Post(const Json::Value& record);
    // Starts nothing more; waits up to 2 s for running commands, then ends
    // them as at a timeout, reaps them and ends the thread. Queued events
    // are dropped and logged.
    void Stop();
    NotifyStats Stats() const;

private:
    struct Running {
        pid_t pid;
        std::string what;  // "alarm_begin seq 3"
        std::chrono::steady_clock::time_point deadline;
        bool terminated = false;  // SIGTERM sent, SIGKILL at deadline
    };
    void Loop();
    // posix_spawn's error, or 0 with pid set (called without the mutex).
    int Spawn(const Json::Value& record, pid_t& pid) const;
    void Check(std::chrono::steady_clock::time_point now, bool stopping);
    void Finished(const Running& r, int status);

    const NotifyConfig config_;
    rt::LogSink& log_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Json::Value> queue_;
    std::vector<Running> running_;
    NotifyStats stats_;
    std::uint64_t burstDrops_ = 0;   // drops since the queue last had room
    std::uint64_t burstFails_ = 0;   // failures since the last success
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace notify
