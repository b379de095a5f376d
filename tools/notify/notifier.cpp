#include "tools/notify/notifier.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace notify {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr auto kKillGrace = 2s;   // SIGTERM to SIGKILL, and what Stop waits
constexpr auto kReapTick = 20ms;  // how often running commands are looked at

std::string Value(const Json::Value& v) {
    if (v.isString()) return v.asString();
    if (v.isBool()) return v.asBool() ? "1" : "0";
    if (v.isUInt64()) return std::to_string(v.asUInt64());
    if (v.isInt64()) return std::to_string(v.asInt64());
    if (v.isDouble()) {
        char b[32];
        std::snprintf(b, sizeof b, "%.9g", v.asDouble());
        return b;
    }
    return "";
}

std::string Status(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// What a log line names: "alarm_begin seq 3".
std::string What(const Json::Value& record) {
    return record["event"].asString() + " seq " + Value(record["seq"]);
}

}  // namespace

std::vector<std::string> CommandEnvironment(const Json::Value& record) {
    std::vector<std::string> env;
    for (const auto& name : record.getMemberNames()) {
        std::string var = "PMBUS_";
        for (char c : name) var += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::toupper(c)) : '_';
        env.push_back(var + "=" + Value(record[name]));
    }
    return env;
}

Notifier::Notifier(NotifyConfig config, rt::LogSink& log)
    : config_(std::move(config)), log_(log), thread_([this] { Loop(); }) {}

Notifier::~Notifier() { Stop(); }

void Notifier::Post(const Json::Value& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    if (queue_.size() >= config_.queue_size) {
        ++stats_.dropped;
        if (burstDrops_++ == 0)
            log_.Write("notify: queue full (" + std::to_string(config_.queue_size) + " events), " + What(record) +
                       " dropped; further drops counted");
        return;
    }
    if (burstDrops_) {
        log_.Write("notify: queue has room again, " + std::to_string(burstDrops_) + " events were dropped");
        burstDrops_ = 0;
    }
    queue_.push_back(record);
    wake_.notify_one();
}

void Notifier::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stop_) {
            stop_ = true;
            if (!queue_.empty())
                log_.Write("notify: stopping, " + std::to_string(queue_.size()) + " queued events not run");
            stats_.dropped += queue_.size();
            queue_.clear();
            const auto last = Clock::now() + kKillGrace;
            for (auto& r : running_)
                if (r.deadline > last) r.deadline = last;
        }
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

NotifyStats Notifier::Stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void Notifier::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (!stop_ && !queue_.empty() && running_.size() < config_.max_running) {
            Json::Value record = std::move(queue_.front());
            queue_.pop_front();
            // Post does not wait for the spawn.
            pid_t pid = -1;
            lock.unlock();
            const int err = Spawn(record, pid);
            lock.lock();
            ++stats_.started;
            Running r{pid, What(record), Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                             std::chrono::duration<double>(config_.timeout_s))};
            if (stop_) r.deadline = std::min(r.deadline, Clock::now() + kKillGrace);  // Stop came meanwhile
            if (err != 0)
                Finished(r, -err);
            else
                running_.push_back(r);
        }
        if (stop_ && running_.empty()) return;
        if (running_.empty())
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        else
            wake_.wait_for(lock, kReapTick);
        Check(Clock::now(), stop_);
    }
}

int Notifier::Spawn(const Json::Value& record, pid_t& pid) const {
    std::vector<std::string> env = CommandEnvironment(record);
    env.push_back("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
    env.push_back("LC_ALL=C.UTF-8");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = config_.command;
    char* argv[] = {path.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const int err = posix_spawn(&pid, path.c_str(), &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return err;
}

void Notifier::Check(Clock::time_point now, bool stopping) {
    for (auto it = running_.begin(); it != running_.end();) {
        int status = 0;
        if (::waitpid(it->pid, &status, WNOHANG) == it->pid) {
            Finished(*it, status);
            it = running_.erase(it);
            continue;
        }
        if (now >= it->deadline) {
            if (!it->terminated) {
                it->terminated = true;
                ++stats_.killed;
                log_.Write("notify: " + config_.command + " for " + it->what + " still running " +
                           (stopping ? "at shutdown" : "after " + Value(Json::Value(config_.timeout_s)) + " s") +
                           ", terminated");
                ::kill(-it->pid, SIGTERM);
            } else {
                ::kill(-it->pid, SIGKILL);
            }
            it->deadline = now + kKillGrace;
        }
        ++it;
    }
}

// status < 0: posix_spawn failed with -status.
void Notifier::Finished(const Running& r, int status) {
    if (status == 0) {
        ++stats_.succeeded;
        if (burstFails_)
            log_.Write("notify: " + config_.command + " succeeded again after " + std::to_string(burstFails_) +
                       " failures");
        burstFails_ = 0;
        return;
    }
    if (r.terminated) return;  // logged when it was terminated
    ++stats_.failed;
    if (burstFails_++ == 0)
        log_.Write("notify: " + config_.command + " failed for " + r.what + ": " +
                   (status < 0 ? std::string("not started: ") + std::strerror(-status) : Status(status)) +
                   "; further failures are counted until it succeeds");
}

}  // namespace notify
