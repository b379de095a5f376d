#include "tools/mqtt/mqtt_publisher.h"

#include "tools/model/round_json.h"
#include "tools/mqtt/ha_discovery.h"
#include "tools/runtime/json_line.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace mqtt {
namespace {

using namespace std::chrono_literals;

// A float read from the device, as plain text: at most 7 significant digits.
std::string Number(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.7g", v);
    return b;
}

// A line of the library as part of a sentence: "OpenSSL Error[0]:
// error:0A000086:SSL routines::certificate verify failed" -> "certificate
// verify failed", "Error: host name verification failed." -> "host name
// verification failed", "Connection Refused: not authorised." -> "not authorised".
std::string Plain(std::string line) {
    const auto colon = line.rfind(':');
    if (line.rfind("OpenSSL Error", 0) == 0 && colon != std::string::npos) line.erase(0, colon + 1);
    for (const char* prefix : {"Error: ", "Connection Refused: "})
        if (line.rfind(prefix, 0) == 0) line.erase(0, std::strlen(prefix));
    while (!line.empty() && (line.back() == '.' || line.back() == ' ' || line.back() == '\n')) line.pop_back();
    return line;
}

void Check(int rc, const char* what) {
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(std::string("mqtt: ") + what + ": " + mosquitto_strerror(rc));
}

}  // namespace

Publisher::Publisher(MqttConfig config, rt::LogSink& log) : config_(std::move(config)), log_(log) {
    mosquitto_lib_init();  // counted by the library; thread-safe after the first
    mosq_ = mosquitto_new(config_.client_id.c_str(), true, this);
    if (!mosq_) throw std::runtime_error("mqtt: cannot create the client");
    try {
        // Other threads publish while the network thread runs the loop.
        Check(mosquitto_threaded_set(mosq_, true), "threads");
        Check(mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311), "protocol");
        const std::string status = Topic("status");
        Check(mosquitto_will_set(mosq_, status.c_str(), 7, "offline", config_.qos, true), "last will");
        if (!config_.username.empty())
            Check(mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                            config_.password.empty() ? nullptr : config_.password.c_str()),
                  "user name");
        if (config_.tls)
            Check(mosquitto_tls_set(mosq_, config_.ca_file.empty() ? nullptr : config_.ca_file.c_str(),
                                    config_.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr),
                  "TLS");
    } catch (...) {
        mosquitto_destroy(mosq_);
        throw;
    }
    mosquitto_connect_callback_set(mosq_, &Publisher::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &Publisher::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &Publisher::OnPublish);
    mosquitto_log_callback_set(mosq_, &Publisher::OnLog);
    const int rc = mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, config_.keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::lock_guard<std::mutex> lock(mutex_);
        OutageLocked("cannot connect to " + Where() + ": " + Reason(rc));
    }
    // From here on the network thread reconnects by itself.
    try {
        network_ = std::thread([this] { NetworkLoop(); });
    } catch (...) {
        mosquitto_destroy(mosq_);
        throw;
    }
}

void Publisher::NetworkLoop() {
    for (;;) {
        const int rc = mosquitto_loop(mosq_, 100, 1);
        std::unique_lock<std::mutex> lock(mutex_);
        if (quit_ && (rc != MOSQ_ERR_SUCCESS || std::chrono::steady_clock::now() >= quitBy_)) return;
        if (rc == MOSQ_ERR_SUCCESS || quit_) continue;
        // Not connected: a random pause (Stop() ends it), then a new attempt
        // whose outcome the loop sees.
        changed_.wait_for(lock, backoff_.Next(), [&] { return quit_; });
        if (quit_) return;
        lock.unlock();
        const int again = mosquitto_reconnect_async(mosq_);
        if (again != MOSQ_ERR_SUCCESS) {
            lock.lock();
            OutageLocked("cannot connect to " + Where() + ": " + Reason(again));
        }
    }
}

Publisher::~Publisher() {
    Stop();
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

std::string Publisher::Where() const {
    return std::string(config_.tls ? "mqtts://" : "mqtt://") + config_.host + ":" + std::to_string(config_.port);
}

std::string Publisher::Reason(int rc) {
    std::string why = rc == MOSQ_ERR_SUCCESS     ? "no answer from the broker"
                      : rc == MOSQ_ERR_CONN_LOST ? "the broker or the network closed it"
                                                 : Plain(mosquitto_strerror(rc));
    std::lock_guard<std::mutex> lock(errorsMutex_);
    if (!errors_.empty()) why.clear();
    for (const std::string& e : errors_) {
        why += (why.empty() ? "" : "; ") + e;
        if (e == "host name verification failed") why += " (the certificate is not for " + config_.host + ")";
    }
    // Not the CA's fault when the name did not match.
    if (why.find("certificate verify failed") != std::string::npos &&
        why.find("host name verification failed") == std::string::npos)
        why += config_.ca_file.empty() ? " (checked against the system's CAs in /etc/ssl/certs)"
                                       : " (checked against ca_file " + config_.ca_file + ")";
    errors_.clear();
    return why;
}

void Publisher::OutageLocked(const std::string& what) {
    if (!outage_ && !stopping_)
        log_.Write("mqtt: " + what + "; polling goes on, trying again with back-off, events are queued");
    outage_ = true;
}

int Publisher::PublishLocked(const std::string& topic, const std::string& payload, int qos, bool retain) {
    int mid = -1;
    const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                                     retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

void Publisher::FlushLocked() {
    if (!connected_) return;
    for (auto& p : queue_)
        if (p.mid < 0) p.mid = PublishLocked(p.topic, p.payload, config_.qos, false);
}

void Publisher::Event(const Json::Value& record) {
    const bool alarm = record["event"].asString().rfind("alarm_", 0) == 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    ++stats_.events;
    if (queue_.size() >= config_.queue_size) {
        queue_.pop_front();
        ++stats_.dropped;
        if (burstDrops_++ == 0)
            log_.Write("mqtt: event queue full (" + std::to_string(config_.queue_size) +
                       "), oldest dropped; further drops counted");
        if (connected_) PublishLocked(Topic("dropped"), std::to_string(stats_.dropped), config_.qos, true);
    }
    queue_.push_back({Topic(alarm ? "alarm" : "line"), rt::JsonLine(record)});
    FlushLocked();
}

void Publisher::Round(const model::Round& round) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_ && !outage_) {
        // An attempt that failed in the network thread before the broker
        // answered calls back nothing (a TLS handshake leaves only error
        // lines, a broker that does not answer not even those): a round end
        // says it once the reason is known, or after 10 s without one.
        bool known;
        {
            std::lock_guard<std::mutex> errorsLock(errorsMutex_);
            known = !errors_.empty();
        }
        if (known || std::chrono::steady_clock::now() - unconnectedSince_ > 10s)
            OutageLocked("cannot connect to " + Where() + ": " + Reason(MOSQ_ERR_SUCCESS));
    }
    if (!connected_ || stopping_) return;
    // A device's state is its object of the round with the round's line,
    // number and time first, written straight from the round.
    const model::RoundData& r = round.Data();
    std::string head = "{\"bus_data_id\":";
    rt::AppendJsonUInt(head, r.bus_data_id);
    head += ",\"port\":";
    rt::AppendJsonString(head, r.port);
    head += ",\"round\":";
    rt::AppendJsonUInt(head, r.round);
    head += ",\"time\":";
    rt::AppendJsonString(head, r.time);
    std::string state;
    for (const model::DeviceRound& device : r.devices) {
        const std::string base = std::to_string(device.data_id) + "/";
        state = head;
        model::AppendDevice(state, device, round.SnapshotFields());
        state[head.size()] = ',';  // the device's own "{"
        PublishLocked(Topic(base + "state"), state, 0, true);
        for (const model::Signal& s : device.signals) {
            if (!s.ok) continue;
            auto [sent, fresh] = sentValues_.try_emplace(Topic(base + s.name), s.value);
            if (fresh || sent->second != s.value) {
                PublishLocked(sent->first, Number(s.value), 0, true);
                sent->second = s.value;
            }
            if (config_.ha_discovery && announced_.insert(base + s.name).second) {
                const Discovery d = DiscoveryFor(config_.topic_prefix, device.data_id, device.type, s.name);
                PublishLocked(d.topic, rt::JsonLine(d.payload), config_.qos, true);
            }
        }
    }
}

void Publisher::Stop() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    const auto until = std::chrono::steady_clock::now() + 3s;
    changed_.wait_until(lock, until, [&] { return !connected_ || queue_.empty(); });
    if (!queue_.empty())
        log_.Write("mqtt: stopping with " + std::to_string(queue_.size()) + " events not delivered");
    if (connected_) {
        offlineMid_ = PublishLocked(Topic("status"), "offline", config_.qos, true);
        changed_.wait_until(lock, until, [&] { return !connected_ || offlineDone_; });
    }
    // The network thread sends the disconnect and ends, or ends at once when
    // there is no connection; 2 s at most.
    quit_ = true;
    quitBy_ = std::chrono::steady_clock::now() + 2s;
    changed_.notify_all();
    lock.unlock();
    mosquitto_disconnect(mosq_);
    if (network_.joinable()) network_.join();
}

PublisherStats Publisher::Stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

// --- network thread ------------------------------------------------------------

void Publisher::OnConnect(struct mosquitto*, void* self, int rc) {
    auto* p = static_cast<Publisher*>(self);
    std::lock_guard<std::mutex> lock(p->mutex_);
    if (rc != 0) {
        const std::string& user = p->config_.username;
        p->OutageLocked("broker " + p->Where() + " refused the connection" +
                        (user.empty() ? "" : " of user \"" + user + "\"") + ": " + Plain(mosquitto_connack_string(rc)));
        return;
    }
    {
        std::lock_guard<std::mutex> errorsLock(p->errorsMutex_);
        p->errors_.clear();
    }
    ++p->stats_.connects;
    p->backoff_.Reset();
    p->log_.Write("mqtt: connected to " + p->Where() + " as " + p->config_.client_id + ", " +
                  std::to_string(p->queue_.size()) + " events to deliver");
    p->outage_ = false;
    p->connected_ = true;
    p->announced_.clear();
    p->sentValues_.clear();
    p->PublishLocked(p->Topic("status"), p->stopping_ ? "offline" : "online", p->config_.qos, true);
    p->PublishLocked(p->Topic("dropped"), std::to_string(p->stats_.dropped), p->config_.qos, true);
    p->FlushLocked();
}

void Publisher::OnDisconnect(struct mosquitto*, void* self, int rc) {
    auto* p = static_cast<Publisher*>(self);
    std::lock_guard<std::mutex> lock(p->mutex_);
    const bool was = p->connected_;
    p->connected_ = false;
    if (was) p->unconnectedSince_ = std::chrono::steady_clock::now();
    for (auto& e : p->queue_) e.mid = -1;
    if (rc != 0)
        p->OutageLocked((was ? "connection to " + p->Where() + " lost: " : "cannot connect to " + p->Where() + ": ") +
                        p->Reason(rc));
    p->changed_.notify_all();
}

void Publisher::OnLog(struct mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR) return;
    auto* p = static_cast<Publisher*>(self);
    const std::string line = Plain(text);
    std::lock_guard<std::mutex> lock(p->errorsMutex_);
    if (std::find(p->errors_.begin(), p->errors_.end(), line) != p->errors_.end()) return;
    if (p->errors_.size() == 4) p->errors_.erase(p->errors_.begin());
    p->errors_.push_back(line);
}

void Publisher::OnPublish(struct mosquitto*, void* self, int mid) {
    auto* p = static_cast<Publisher*>(self);
    std::lock_guard<std::mutex> lock(p->mutex_);
    for (auto it = p->queue_.begin(); it != p->queue_.end(); ++it) {
        if (it->mid == mid) {
            p->queue_.erase(it);
            ++p->stats_.delivered;
            break;
        }
    }
    if (p->burstDrops_ && p->queue_.empty()) {
        p->log_.Write("mqtt: event queue delivered; " + std::to_string(p->burstDrops_) +
                      " events were dropped while it was full");
        p->burstDrops_ = 0;
    }
    if (mid == p->offlineMid_) p->offlineDone_ = true;
    p->changed_.notify_all();
}

}  // namespace mqtt
