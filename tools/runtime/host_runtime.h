#pragma once
// The host on a real serial line: the controller every device reports to.
//
// Exchange. One request is outstanding at a time. The bus device's requests
// are encoded here (Request), queued, and written after the input has been
// flushed; an answer is accepted only while its request is outstanding and
// before its timeout. Frames that arrive otherwise (late, stray, our own
// echo) are counted, logged and dropped. After a timeout no request goes
// out before the line has been silent for one more timeout period (bytes
// arriving meanwhile restart that wait), so a late 41_43 answer meets no
// request instead of passing for the answer to the 41_44 that follows. The
// timed-out request is then sent again by the bus device's next
// RefreshStatus (called every refresh period while nothing is outstanding).
//
// Bus device state kept by the host:
//  - last-update time := now at every exchange reset, i.e. at the round end
//    and when the first answer of a round was refused; the bus device's
//    two-second pacing therefore counts from the end of the last attempt.
//  - data-valid := 1 at every round end (process_payload returning 0 for an
//    answer of any step but 0), so later rounds read only the groups whose
//    DATAFLAG announces new data; := 0 when the port is lost or after
//    lost_after answer timeouts in a row, so the first round after the power
//    system is heard again reads every group in full. It starts at 0: the
//    first round reads everything even when the children were restored.
//
// Threads. Everything but the work items runs on the io_context's thread:
// RefreshStatus, process/process_payload, RoundDone, the round-end callback
// (where Get_Value may be called). Work items (DoBatchCheckThreshold,
// SaveDeviceHistory), alarm events and the database writes run on the
// worker thread, in submission order; a closure posted to Work() after a
// round end runs after that round's work items, and may read Alarms().
#include "host/pmbus_protocol.h"
#include "host/vnq_controller.h"
#include "tools/runtime/history_store.h"
#include "tools/runtime/log_sink.h"
#include "tools/runtime/rule_collector.h"
#include "tools/runtime/runtime_event.h"
#include "tools/runtime/runtime_options.h"
#include "tools/runtime/serial_link.h"
#include "tools/runtime/shared_link.h"
#include "tools/runtime/worker.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rt {

struct LineStats {
    std::uint64_t requests = 0;       // frames written
    std::uint64_t answers = 0;        // answers accepted (error RTN included)
    std::uint64_t error_answers = 0;  // of those, RTN != 0
    std::uint64_t timeouts = 0;
    std::uint64_t bad_frames = 0;     // rejected by the decoder (noise not included)
    std::uint64_t noise_bytes = 0;
    std::uint64_t late_frames = 0;    // good frames after their request timed out
    std::uint64_t stray_frames = 0;   // good frames while nothing was outstanding
    std::uint64_t echoes = 0;         // our own request read back
    std::uint64_t foreign_frames = 0; // frames from another address
    std::uint64_t stale_bytes = 0;    // input discarded before a request went out
    std::uint64_t port_losses = 0;
    std::uint64_t reopens = 0;
    std::uint64_t rounds = 0;
    double last_round_s = 0;          // first request to round end of the last round
};

struct PublishedSnapshot {
    std::uint32_t data_id = 0;
    int type_number = 0;
    std::vector<std::uint8_t> bytes;
};

struct RoundEnd {
    std::uint64_t round = 0;  // 1, 2, ...
    double seconds = 0;       // first request to round end
    RuleListRef rules;                            // reported during the round, in order
    std::vector<PublishedSnapshot> snapshots;     // SendSP of the round, in order
    LineStats stats;
    // The site's history store, when there is one.
    bool has_store = false;
    std::uint64_t store_failed_writes = 0;  // HistoryStore::FailedWrites
    std::uint64_t store_bytes = 0;          // HistoryStore::BytesOnDisk
};

// Type number of a child by its device-type suffix ("-ac" 5106, "-rc" 5107,
// "-dc" 5108); 0 when unknown.
int TypeNumberForDeviceType(const std::string& deviceType);

// What the runtimes of one site share: one worker thread for the work items,
// the database writes and the events (numbered across the site), and one
// history store (none when the path is empty; throws std::runtime_error
// when it cannot be opened).
struct SiteShared {
    SiteShared(const std::string& database, LogSink& log, const HistoryLimits& limits = {});
    // Posts one slice of the store's upkeep (HistoryStore::Upkeep, at most
    // kUpkeepSlice) to the worker unless one is queued; a slice that leaves
    // more due posts the next behind whatever was queued meanwhile, so a
    // round's work items wait at most one slice. Any thread.
    void ScheduleUpkeep();
    // No more upkeep slices (the one running ends its slice): what is due
    // waits for the next start, so that draining the worker at shutdown
    // waits for the rounds' work only, not for a backlog of upkeep.
    void StopUpkeep() { upkeepStopped = true; }
    static constexpr std::chrono::microseconds kUpkeepSlice{1000};

    std::unique_ptr<HistoryStore> store;
    Worker worker;
    std::uint64_t eventId = 0;  // worker thread only
    std::atomic<bool> upkeepQueued{false};
    std::atomic<bool> upkeepStopped{false};
};

class HostRuntime : public VNQController {
public:
    // A runtime of its own: opens the database when options name one
    // (throws std::runtime_error when it cannot be opened), starts a worker
    // thread and owns its serial link.
    HostRuntime(boost::asio::io_context& io, RuntimeOptions options, LogSink& log);
    // One line of a site: the worker and store are the site's (options'
    // "database" is not opened again) and the link may be shared with other
    // lines on the same port. The owner of `shared` drains and stops its
    // worker before the runtimes go; Shutdown here only drains it.
    HostRuntime(boost::asio::io_context& io, RuntimeOptions options, LogSink& log, SiteShared& shared,
                std::shared_ptr<SharedLink> link);
    ~HostRuntime() override;

    // The configured bus device (Init and InitSetting done).
    void Attach(std::shared_ptr<PMBusProtocol> bus);
    // Restores every child from the newest saved snapshot of its data id and
    // type number; returns how many accepted theirs. Call before Start.
    int RestoreChildren();
    // Opens the port and starts polling (on the io thread).
    void Start();
    // Stops polling and closes the port; io_context::run then returns once
    // nothing else is pending. Safe from any thread.
    void Stop();
    // Runs the work items still queued and ends the worker thread.
    void Shutdown();

    // Called on the io thread at every round end, after RoundDone.
    // The round end is the callback's to take from (its rules and snapshots
    // may be moved out).
    void OnRoundEnd(std::function<void(RoundEnd&)> f) { onRoundEnd_ = std::move(f); }
    // Called on the worker thread for every alarm and line event, in order
    // (set before Start).
    void OnEvent(std::function<void(const RuntimeEvent&)> f) { onEvent_ = std::move(f); }
    // Called on the io thread each time the bus device returns from an
    // answer or a status refresh: what the plug-in wrote meanwhile is this
    // line's (the monitor's --trace).
    void OnPluginReturn(std::function<void()> f) { onPluginReturn_ = std::move(f); }

    Worker& Work() { return shared_.worker; }
    HistoryStore* Store() { return shared_.store.get(); }
    LineStats Stats() const;
    std::map<std::pair<std::uint32_t, int>, std::vector<std::uint8_t>> LatestSnapshots() const;
    const std::shared_ptr<PMBusProtocol>& Bus() const { return bus_; }
    const RuntimeOptions& Options() const { return options_; }
    // Host log lines: "host: ..." (and the devices' InfoLog lines).
    void Note(const std::string& text) { log_.Write(text); }

    // --- VNQController hooks ---
    void Log(const std::string& line) override;
    void Request(PMBusProtocol& dev, std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info,
                 int length) override;
    bool AcceptAnswer(PMBusProtocol& dev, const frame::Frame& answer) override;
    void AnswerHandled(PMBusProtocol& dev, std::uint32_t stepBefore, const frame::Frame& answer,
                       int result) override;
    void ExchangeReset(VNQSPDevice& dev) override;
    bool LinkReady(VNQSPDevice& dev) override;
    void Publish(VNQVDevice& dev, int typeNumber, const std::uint8_t* data, unsigned length,
                 bool flag) override;
    void SaveHistory(VNQVDevice& dev, const std::uint8_t* data, unsigned length) override;
    void RuleReported(VNQVDevice& dev, const rule_value& rule) override;
    void AlarmChanged(const AlarmEvent& event) override;
    void Submit(std::function<void()> work) override;

private:
    enum class Exchange { kIdle, kQueued, kSent };

    // Both public constructors: shared null means a site of this one line.
    HostRuntime(boost::asio::io_context& io, RuntimeOptions options, LogSink& log, SiteShared* shared,
                std::shared_ptr<SharedLink> link);

    void Tick();
    void ScheduleTick();
    void Sending();
    void TimedOut(std::uint64_t gen);
    void LinkDown();
    void RoundFinished();
    // A line or port event, handed to the worker (io thread).
    void LineEvent(EventKind kind, const std::string& text);
    // Numbers and delivers an event (worker thread).
    void Deliver(RuntimeEvent event);
    int TypeNumberOf(const VNQVDevice& dev) const;
    std::string Command() const;

    boost::asio::io_context& io_;
    RuntimeOptions options_;
    LogSink& log_;
    std::unique_ptr<SiteShared> ownShared_;  // set by the single-line constructor
    SiteShared& shared_;  // the worker and the store
    std::shared_ptr<SharedLink> link_;
    SharedLink::Member member_;
    boost::asio::steady_timer tick_;
    boost::asio::steady_timer answerTimer_;
    std::shared_ptr<PMBusProtocol> bus_;
    std::function<void(RoundEnd&)> onRoundEnd_;
    std::function<void(const RuntimeEvent&)> onEvent_;
    std::function<void()> onPluginReturn_;

    // io thread only
    Exchange exchange_ = Exchange::kIdle;
    std::uint8_t cid1_ = 0, cid2_ = 0;
    std::string queued_;    // encoded request waiting to be written
    std::string lastSent_;  // the request on the line (echo detection)
    std::uint64_t timerGen_ = 0;
    bool timedOut_ = false;          // the last request timed out, no answer since
    std::chrono::steady_clock::time_point quietUntil_{};
    unsigned timeoutsInRow_ = 0;
    bool silenceLogged_ = false;
    bool portLost_ = false;
    bool running_ = false;
    bool roundOpen_ = false;
    std::chrono::steady_clock::time_point roundStart_;
    RuleCollector roundRules_;
    std::vector<PublishedSnapshot> roundSnapshots_;

    mutable std::mutex statsMutex_;
    LineStats stats_;

    mutable std::mutex snapMutex_;
    std::map<std::pair<std::uint32_t, int>, std::vector<std::uint8_t>> latest_;
    std::map<std::pair<std::uint32_t, std::string>, int> publishedTypes_;
};

}  // namespace rt
