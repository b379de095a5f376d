#include "tools/runtime/host_runtime.h"

#include "host/frame_codec.h"

#include <boost/asio/post.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstdio>
#include <exception>

namespace rt {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

std::string Hex2(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

bool EndsWith(const std::string& s, const char* suffix) {
    const std::string t(suffix);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

}  // namespace

int TypeNumberForDeviceType(const std::string& deviceType) {
    if (EndsWith(deviceType, "-ac")) return 5106;
    if (EndsWith(deviceType, "-rc")) return 5107;
    if (EndsWith(deviceType, "-dc")) return 5108;
    return 0;
}

SiteShared::SiteShared(const std::string& database, LogSink& log, const HistoryLimits& limits)
    : store(database.empty() ? nullptr
                             : std::make_unique<HistoryStore>(database, limits,
                                                              [sink = &log](const std::string& text) {
                                                                  sink->Write("host: " + text);
                                                              })),
      worker([sink = &log](const std::string& what) { sink->Write("host: work item failed: " + what); }) {}

void SiteShared::ScheduleUpkeep() {
    if (!store || upkeepStopped || upkeepQueued.exchange(true)) return;
    worker.Post([this] {
        upkeepQueued = false;
        if (!upkeepStopped && store->Upkeep(kUpkeepSlice)) ScheduleUpkeep();
    });
}

HostRuntime::HostRuntime(asio::io_context& io, RuntimeOptions options, LogSink& log)
    : HostRuntime(io, std::move(options), log, nullptr, nullptr) {}

HostRuntime::HostRuntime(asio::io_context& io, RuntimeOptions options, LogSink& log, SiteShared& shared,
                         std::shared_ptr<SharedLink> link)
    : HostRuntime(io, std::move(options), log, &shared, std::move(link)) {}

HostRuntime::HostRuntime(asio::io_context& io, RuntimeOptions options, LogSink& log, SiteShared* shared,
                         std::shared_ptr<SharedLink> link)
    : io_(io),
      options_(std::move(options)),
      log_(log),
      ownShared_(shared ? nullptr : std::make_unique<SiteShared>(options_.database, log, options_.history)),
      shared_(shared ? *shared : *ownShared_),
      link_(link ? std::move(link)
                 : std::make_shared<SharedLink>(io, options_.line, [this](const std::string& text) { log_.Write(text); })),
      member_(link_->Join(SerialLink::Handlers{
          [this](const std::uint8_t* p, std::size_t n) {
              if (!bus_) return;
              // After a timeout the line must fall silent before the
              // next request, so that a late answer meets no request.
              if (timedOut_ && exchange_ == Exchange::kIdle)
                  quietUntil_ = std::chrono::steady_clock::now() + options_.timeout;
              try {
                  bus_->process(p, static_cast<unsigned>(n));
              } catch (const std::exception& e) {
                  log_.Write(std::string("host: answer handling failed: ") + e.what());
              }
              if (onPluginReturn_) onPluginReturn_();
              std::lock_guard<std::mutex> lock(statsMutex_);
              stats_.bad_frames = bus_->FrameStats().BadFrames();
              stats_.noise_bytes = bus_->FrameStats().noise_bytes;
              stats_.foreign_frames = bus_->ForeignFrames();
          },
          [this] { Sending(); },
          [this] {
              if (!portLost_) return;
              portLost_ = false;
              LineEvent(EventKind::kPortBack, "serial port " + options_.line.path + " open again");
          },
          [this] { LinkDown(); },
          {},
          [this]() -> std::size_t { return bus_ ? bus_->ReceiverPending() : 0; }})),
      tick_(io),
      answerTimer_(io) {}

HostRuntime::~HostRuntime() {
    link_->Leave(member_);
    if (ownShared_) shared_.worker.Stop();
}

void HostRuntime::Attach(std::shared_ptr<PMBusProtocol> bus) {
    bus_ = std::move(bus);
    // The pacing of RefreshStatus needs a last-update time; start as if the
    // last round ended long ago.
    if (bus_ && bus_->LastUpdate().is_special())
        bus_->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::hours(1));
}

int HostRuntime::RestoreChildren() {
    if (!bus_ || !shared_.store) return 0;
    int restored = 0;
    for (const auto& child : bus_->GetAllChildVDevices()) {
        if (!child) continue;
        const int type = TypeNumberOf(*child);
        const std::string who = std::to_string(child->DataId()) + " (" + child->DeviceType() + ")";
        std::optional<std::vector<std::uint8_t>> snap;
        try {
            snap = shared_.store->Newest(child->DataId(), type);
        } catch (const std::exception& e) {
            log_.Write(std::string("host: ") + e.what());
            continue;
        }
        if (!snap) {
            log_.Write("host: no saved snapshot for " + who);
            continue;
        }
        const bool ok = child->LoadFromCache(snap->data(), static_cast<int>(snap->size()));
        if (ok) {
            ++restored;
            log_.Write("host: restored " + who + " from a saved snapshot of " + std::to_string(snap->size()) +
                       " bytes");
        } else {
            log_.Write("host: " + who + " refused its saved snapshot of " + std::to_string(snap->size()) + " bytes");
        }
    }
    return restored;
}

void HostRuntime::Start() {
    asio::post(io_, [this] {
        running_ = true;
        link_->Start(member_);
        ScheduleTick();
    });
}

void HostRuntime::Stop() {
    asio::post(io_, [this] {
        running_ = false;
        error_code ec;
        tick_.cancel(ec);
        answerTimer_.cancel(ec);
        link_->Stop(member_);
        exchange_ = Exchange::kIdle;
    });
}

void HostRuntime::Shutdown() {
    shared_.StopUpkeep();
    shared_.worker.Drain();
    if (ownShared_) shared_.worker.Stop();
}

LineStats HostRuntime::Stats() const {
    std::lock_guard<std::mutex> lock(statsMutex_);
    LineStats s = stats_;
    return s;
}

std::map<std::pair<std::uint32_t, int>, std::vector<std::uint8_t>> HostRuntime::LatestSnapshots() const {
    std::lock_guard<std::mutex> lock(snapMutex_);
    return latest_;
}

std::string HostRuntime::Command() const { return Hex2(cid1_) + "_" + Hex2(cid2_); }

void HostRuntime::ScheduleTick() {
    tick_.expires_after(options_.refresh);
    tick_.async_wait([this](const error_code& ec) {
        if (ec || !running_) return;
        Tick();
        ScheduleTick();
    });
}

void HostRuntime::Tick() {
    if (!bus_ || !link_->IsOpen() || exchange_ != Exchange::kIdle) return;
    if (std::chrono::steady_clock::now() < quietUntil_) return;
    try {
        bus_->RefreshStatus();
    } catch (const std::exception& e) {
        log_.Write(std::string("host: RefreshStatus failed: ") + e.what());
    }
    if (onPluginReturn_) onPluginReturn_();
}

// --- the exchange ---------------------------------------------------------

bool HostRuntime::LinkReady(VNQSPDevice&) {
    return running_ && link_->IsOpen() && exchange_ == Exchange::kIdle &&
           std::chrono::steady_clock::now() >= quietUntil_;
}

void HostRuntime::Request(PMBusProtocol& dev, std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info,
                          int length) {
    if (!running_ || !link_->IsOpen()) return;
    if (exchange_ != Exchange::kIdle)
        log_.Write("host: request " + Hex2(cid1) + "_" + Hex2(cid2) + " replaces " + Command() + " still outstanding");
    std::string frame;
    try {
        frame = dev.EncodeRequest(cid1, cid2, info, length);
    } catch (const std::exception& e) {
        log_.Write(std::string("host: cannot encode request: ") + e.what());
        return;
    }
    error_code ec;
    answerTimer_.cancel(ec);
    ++timerGen_;
    cid1_ = cid1;
    cid2_ = cid2;
    exchange_ = Exchange::kQueued;
    if (!roundOpen_) {
        roundOpen_ = true;
        roundStart_ = std::chrono::steady_clock::now();
    }
    queued_ = frame;
    link_->Send(member_, std::move(frame));
}

void HostRuntime::Sending() {
    // Called by the link right before the queued request is written, after
    // it flushed the kernel's input: a frame the decoder still holds is stale.
    if (bus_) bus_->FlushReceiver();
    exchange_ = Exchange::kSent;
    lastSent_ = std::move(queued_);
    queued_.clear();
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        ++stats_.requests;
    }
    const std::uint64_t gen = ++timerGen_;
    answerTimer_.expires_after(options_.timeout);
    answerTimer_.async_wait([this, gen](const error_code& ec) {
        if (!ec) TimedOut(gen);
    });
}

void HostRuntime::TimedOut(std::uint64_t gen) {
    if (gen != timerGen_ || exchange_ != Exchange::kSent) return;
    exchange_ = Exchange::kIdle;
    link_->Done(member_);
    timedOut_ = true;
    quietUntil_ = std::chrono::steady_clock::now() + options_.timeout;
    ++timeoutsInRow_;
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        ++stats_.timeouts;
    }
    if (timeoutsInRow_ == 1)
        log_.Write("host: no answer to " + Command() + " within " + std::to_string(options_.timeout.count()) + " ms");
    if (timeoutsInRow_ == options_.lost_after && !silenceLogged_) {
        silenceLogged_ = true;
        log_.Write("host: the power system does not answer (" + std::to_string(timeoutsInRow_) +
                   " timeouts in a row); the next round reads every group");
        LineEvent(EventKind::kLineLost,
                  "the power system does not answer (" + std::to_string(timeoutsInRow_) + " timeouts in a row)");
        if (bus_) bus_->SetDataValid(0);
    }
}

void HostRuntime::LinkDown() {
    error_code ec;
    answerTimer_.cancel(ec);
    ++timerGen_;
    exchange_ = Exchange::kIdle;
    if (bus_) bus_->SetDataValid(0);
    portLost_ = true;
    LineEvent(EventKind::kPortLost, "serial port " + options_.line.path + " lost");
    std::lock_guard<std::mutex> lock(statsMutex_);
    stats_.port_losses = link_->Link().Losses();
}

bool HostRuntime::AcceptAnswer(PMBusProtocol&, const frame::Frame& answer) {
    if (!lastSent_.empty() && answer.raw == lastSent_) {
        std::lock_guard<std::mutex> lock(statsMutex_);
        ++stats_.echoes;
        return false;
    }
    if (exchange_ != Exchange::kSent) {
        const bool late = timedOut_;
        log_.Write(std::string("host: dropped ") + (late ? "a late answer" : "an answer while no request was outstanding") +
                   " (CID1 " + Hex2(answer.cid1) + ")");
        std::lock_guard<std::mutex> lock(statsMutex_);
        ++(late ? stats_.late_frames : stats_.stray_frames);
        return false;
    }
    error_code ec;
    answerTimer_.cancel(ec);
    ++timerGen_;
    exchange_ = Exchange::kIdle;
    link_->Done(member_);
    timedOut_ = false;
    if (silenceLogged_) {
        log_.Write("host: the power system answers again");
        LineEvent(EventKind::kLineBack, "the power system answers again");
    }
    silenceLogged_ = false;
    timeoutsInRow_ = 0;
    std::lock_guard<std::mutex> lock(statsMutex_);
    ++stats_.answers;
    if (answer.rtn != 0) ++stats_.error_answers;
    return true;
}

void HostRuntime::AnswerHandled(PMBusProtocol& dev, std::uint32_t stepBefore, const frame::Frame& answer,
                                int result) {
    if (answer.rtn != 0)
        log_.Write("host: " + std::to_string(dev.DataId()) + " answer to " + Command() + " has RTN " + Hex2(answer.rtn));
    if (result != 0) return;
    const auto now = boost::posix_time::second_clock::local_time();
    dev.SetLastUpdate(now);
    if (stepBefore == 0) return;  // the first answer of the round was refused
    dev.SetDataValid(1);
    RoundFinished();
}

void HostRuntime::RoundFinished() {
    RoundEnd end;
    end.seconds = roundOpen_ ? std::chrono::duration<double>(std::chrono::steady_clock::now() - roundStart_).count() : 0;
    roundOpen_ = false;
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        ++stats_.rounds;
        stats_.last_round_s = end.seconds;
        stats_.stale_bytes = link_->Link().StaleBytes();
        stats_.reopens = link_->Link().Reopens();
        stats_.port_losses = link_->Link().Losses();
        end.round = stats_.rounds;
        end.stats = stats_;
    }
    shared_.ScheduleUpkeep();
    if (shared_.store) {
        end.has_store = true;
        end.store_failed_writes = shared_.store->FailedWrites();
        end.store_bytes = shared_.store->BytesOnDisk();
    }
    end.rules = roundRules_.Take();
    end.snapshots = std::move(roundSnapshots_);
    roundSnapshots_.clear();
    // The next round publishes about as many.
    roundSnapshots_.reserve(end.snapshots.size());
    if (onRoundEnd_) {
        try {
            onRoundEnd_(end);
        } catch (const std::exception& e) {
            log_.Write(std::string("host: round report failed: ") + e.what());
        }
    }
}

void HostRuntime::ExchangeReset(VNQSPDevice&) {}

// --- events ------------------------------------------------------------------

const char* EventKindName(EventKind kind) {
    switch (kind) {
        case EventKind::kAlarmBegin: return "alarm_begin";
        case EventKind::kAlarmEnd: return "alarm_end";
        case EventKind::kLineLost: return "line_lost";
        case EventKind::kLineBack: return "line_back";
        case EventKind::kPortLost: return "port_lost";
        case EventKind::kPortBack: return "port_back";
    }
    return "unknown";
}

void HostRuntime::LineEvent(EventKind kind, const std::string& text) {
    if (!onEvent_) return;
    RuntimeEvent e;
    e.kind = kind;
    e.time = LocalTimestamp();
    e.data_id = options_.data_id;
    e.port = options_.line.path;
    e.bus_data_id = options_.data_id;
    e.text = text;
    shared_.worker.Post([this, e]() mutable { Deliver(std::move(e)); });
}

void HostRuntime::Deliver(RuntimeEvent event) {
    if (!onEvent_) return;
    event.id = ++shared_.eventId;
    try {
        onEvent_(event);
    } catch (const std::exception& ex) {
        log_.Write(std::string("host: event report failed: ") + ex.what());
    }
}

// --- device services ------------------------------------------------------

void HostRuntime::Log(const std::string& line) { log_.Write(line); }

void HostRuntime::Publish(VNQVDevice& dev, int typeNumber, const std::uint8_t* data, unsigned length, bool) {
    std::vector<std::uint8_t> bytes(data, data + (data ? length : 0));
    roundSnapshots_.push_back({dev.DataId(), typeNumber, bytes});
    std::lock_guard<std::mutex> lock(snapMutex_);
    publishedTypes_[{dev.DataId(), dev.DeviceType()}] = typeNumber;
    latest_[{dev.DataId(), typeNumber}] = std::move(bytes);
}

int HostRuntime::TypeNumberOf(const VNQVDevice& dev) const {
    {
        std::lock_guard<std::mutex> lock(snapMutex_);
        auto it = publishedTypes_.find({dev.DataId(), dev.DeviceType()});
        if (it != publishedTypes_.end()) return it->second;
    }
    return TypeNumberForDeviceType(dev.DeviceType());
}

void HostRuntime::SaveHistory(VNQVDevice& dev, const std::uint8_t* data, unsigned length) {
    if (!shared_.store) return;
    try {
        shared_.store->SaveSnapshot(LocalTimestamp(), dev.DataId(), TypeNumberOf(dev), data, data ? length : 0,
                             options_.data_id);
    } catch (const std::exception& e) {
        log_.Write(std::string("host: ") + e.what());
    }
}

void HostRuntime::RuleReported(VNQVDevice&, const rule_value& rule) { roundRules_.Add(rule); }

void HostRuntime::AlarmChanged(const AlarmEvent& event) {
    const rule_value& r = event.rule;
    log_.Write(std::string("host: alarm ") + (event.begin ? "begins" : "ends") + ": " + std::to_string(r.data_id) +
               " " + r.key + "/" + std::to_string(r.seq) + " " + r.alarm_id + " " + r.name + ": " + r.text);
    if (onEvent_) {
        RuntimeEvent e;
        e.kind = event.begin ? EventKind::kAlarmBegin : EventKind::kAlarmEnd;
        e.time = LocalTimestamp();
        e.data_id = r.data_id;
        e.port = options_.line.path;
        e.bus_data_id = options_.data_id;
        e.rule = r;
        Deliver(std::move(e));
    }
    if (!shared_.store) return;
    AlarmRow row;
    row.time = LocalTimestamp();
    row.data_id = r.data_id;
    row.bus_id = options_.data_id;
    row.rule_key = r.key;
    row.seq = r.seq;
    row.alarm_id = r.alarm_id;
    row.level = r.level;
    row.name = r.name;
    row.text = r.text;
    row.begin = event.begin;
    try {
        shared_.store->SaveAlarm(row);
    } catch (const std::exception& e) {
        log_.Write(std::string("host: ") + e.what());
    }
}

void HostRuntime::Submit(std::function<void()> work) { shared_.worker.Post(std::move(work)); }

}  // namespace rt
