#include "tools/mqtt/mqtt_publisher.h"

#include "tools/mqtt/ha_discovery.h"

#include <json/writer.h>
#include <mosquitto.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace mqtt {
namespace {

using namespace std::chrono_literals;

std::string Compact(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

// A float read from the device, as plain text: at most 7 significant digits.
std::string Number(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.7g", v);
    return b;
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
        Check(mosquitto_reconnect_delay_set(mosq_, 1, 30, true), "back-off");
    } catch (...) {
        mosquitto_destroy(mosq_);
        throw;
    }
    mosquitto_connect_callback_set(mosq_, &Publisher::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &Publisher::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &Publisher::OnPublish);
    const int rc = mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, config_.keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::lock_guard<std::mutex> lock(mutex_);
        outage_ = true;
        log_.Write("mqtt: broker " + Where() + " not reachable (" + mosquitto_strerror(rc) +
                   "); polling goes on, trying again with back-off, events are queued");
    }
    // From here on the network thread reconnects by itself.
    const int loop = mosquitto_loop_start(mosq_);
    if (loop != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(mosq_);
        throw std::runtime_error(std::string("mqtt: cannot start the network thread: ") + mosquitto_strerror(loop));
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
        if (stats_.dropped == 1 || stats_.dropped % 100 == 0)
            log_.Write("mqtt: event queue full (" + std::to_string(config_.queue_size) + "), oldest dropped; " +
                       std::to_string(stats_.dropped) + " dropped so far");
        if (connected_) PublishLocked(Topic("dropped"), std::to_string(stats_.dropped), config_.qos, true);
    }
    queue_.push_back({Topic(alarm ? "alarm" : "line"), Compact(record)});
    FlushLocked();
}

void Publisher::Round(const Json::Value& round) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_ && !outage_ && !stopping_) {
        // A connection attempt that failed after connect_async returned
        // reports nothing: a round end without a connection says it once.
        outage_ = true;
        log_.Write("mqtt: not connected to " + Where() +
                   "; polling goes on, trying again with back-off, events are queued");
    }
    if (!connected_ || stopping_) return;
    for (const auto& device : round["devices"]) {
        const std::uint32_t id = device["data_id"].asUInt();
        const std::string base = std::to_string(id) + "/";
        Json::Value state = device;
        state["bus_data_id"] = round["bus"]["data_id"];
        state["port"] = round["port"];
        state["round"] = round["round"];
        state["time"] = round["time"];
        PublishLocked(Topic(base + "state"), Compact(state), 0, true);
        const Json::Value& signals = device["signals"];
        for (const auto& name : signals.getMemberNames()) {
            if (!signals[name].isNumeric()) continue;
            PublishLocked(Topic(base + name), Number(signals[name].asDouble()), 0, true);
            if (config_.ha_discovery && announced_.insert(base + name).second) {
                const Discovery d = DiscoveryFor(config_.topic_prefix, id, device["type"].asString(), name);
                PublishLocked(d.topic, d.payload, config_.qos, true);
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
    const bool clean = connected_;
    lock.unlock();
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, !clean);
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
        if (!p->outage_)
            p->log_.Write("mqtt: broker " + p->Where() + " refused the connection: " + mosquitto_connack_string(rc) +
                          "; trying again with back-off");
        p->outage_ = true;
        return;
    }
    ++p->stats_.connects;
    p->log_.Write("mqtt: connected to " + p->Where() + " as " + p->config_.client_id + ", " +
                  std::to_string(p->queue_.size()) + " events to deliver");
    p->outage_ = false;
    p->connected_ = true;
    p->announced_.clear();
    p->PublishLocked(p->Topic("status"), p->stopping_ ? "offline" : "online", p->config_.qos, true);
    p->PublishLocked(p->Topic("dropped"), std::to_string(p->stats_.dropped), p->config_.qos, true);
    p->FlushLocked();
}

void Publisher::OnDisconnect(struct mosquitto*, void* self, int rc) {
    auto* p = static_cast<Publisher*>(self);
    std::lock_guard<std::mutex> lock(p->mutex_);
    p->connected_ = false;
    for (auto& e : p->queue_) e.mid = -1;
    if (rc != 0 && !p->outage_ && !p->stopping_)
        p->log_.Write("mqtt: connection to " + p->Where() + " lost (" + mosquitto_strerror(rc) +
                      "); polling goes on, reconnecting with back-off, events are queued");
    p->outage_ = p->outage_ || rc != 0;
    p->changed_.notify_all();
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
    if (mid == p->offlineMid_) p->offlineDone_ = true;
    p->changed_.notify_all();
}

}  // namespace mqtt
