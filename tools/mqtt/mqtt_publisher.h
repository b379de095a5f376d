#pragma once
// The monitor's MQTT client: libmosquitto on its own network thread, so a
// slow or absent broker never delays polling. Under the topic prefix:
//   status               "online" / "offline", retained; "offline" is the will
//   <data_id>/state      the device object of each round (JSON), retained
//   <data_id>/<signal>   the signal's number as text, retained (signals with a value)
//   alarm                one rt::EventRecord per alarm begin and end, not retained
//   line                 one rt::EventRecord per line or port loss and recovery
//   dropped              events dropped from the queue so far, retained
// Alarm and line events wait in a bounded queue until the broker has
// acknowledged them (QoS 1 and 2; at QoS 0 until they were handed to the
// socket); while the broker is away they stay there, the oldest dropped when
// it is full. After a reconnect the unacknowledged ones are sent again, so a
// consumer may see one twice: the record's "seq" tells. State and signal
// topics are published at QoS 0 only while connected; the next round
// brings them up to date after an outage.
#include "tools/model/round.h"
#include "tools/mqtt/backoff.h"
#include "tools/mqtt/mqtt_config.h"
#include "tools/runtime/log_sink.h"

#include <json/value.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct mosquitto;

namespace mqtt {

struct PublisherStats {
    std::uint64_t events = 0, delivered = 0, dropped = 0, connects = 0;
};

class Publisher {
public:
    // Connects in the background on a network thread of its own; a broker
    // that is not there is logged and tried again after a random pause
    // (Backoff: from 1 s, the ceiling doubling up to 30 s).
    Publisher(MqttConfig config, rt::LogSink& log);
    ~Publisher();  // Stop()
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // An rt::EventRecord (any thread).
    void Event(const Json::Value& record);
    // A line's round (any thread).
    void Round(const model::Round& round);
    // Waits up to 3 s for the queue to drain, publishes "offline" and
    // disconnects.
    void Stop();
    PublisherStats Stats() const;

private:
    struct Pending {
        std::string topic;
        std::string payload;
        int mid = -1;  // -1: not handed to the library since the last connect
    };
    // The network thread: the library's loop while connected, the back-off
    // pause and a new attempt while not, until Stop().
    void NetworkLoop();
    static void OnConnect(struct mosquitto*, void* self, int rc);
    static void OnDisconnect(struct mosquitto*, void* self, int rc);
    static void OnPublish(struct mosquitto*, void* self, int mid);
    // The library's error lines (a TLS handshake that failed reports only
    // there); may come while mutex_ is held, so it takes errorsMutex_ only.
    static void OnLog(struct mosquitto*, void* self, int level, const char* text);
    // Why the connection failed: the library's error lines since the last
    // report, else rc's text; with the CA that was used for a certificate
    // that was not accepted.
    std::string Reason(int rc);
    // Logs the start of an outage, once until the next connect.
    void OutageLocked(const std::string& what);
    void FlushLocked();
    int PublishLocked(const std::string& topic, const std::string& payload, int qos, bool retain);
    std::string Topic(const std::string& sub) const { return config_.topic_prefix + "/" + sub; }
    std::string Where() const;

    const MqttConfig config_;
    rt::LogSink& log_;
    struct mosquitto* mosq_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Pending> queue_;
    std::set<std::string> announced_;  // discovery configs sent on this connection
    // The number topics' values sent on this connection: a value is sent
    // again only when it changes (the broker keeps it retained).
    std::unordered_map<std::string, double> sentValues_;
    PublisherStats stats_;
    bool connected_ = false;
    bool outage_ = false;    // logged; the next connect ends it
    // Events dropped since the queue was last full with none dropped: the
    // episode is logged at its first drop and once the queue is delivered.
    std::uint64_t burstDrops_ = 0;
    std::chrono::steady_clock::time_point unconnectedSince_ = std::chrono::steady_clock::now();
    std::mutex errorsMutex_;
    std::vector<std::string> errors_;  // the library's error lines, the last few
    bool stopping_ = false;
    bool quit_ = false;  // the network thread ends once disconnected (or at quitBy_)
    std::chrono::steady_clock::time_point quitBy_;
    Backoff backoff_{std::chrono::seconds(1), std::chrono::seconds(30), BackoffSeed()};
    std::thread network_;
    int offlineMid_ = -1;
    bool offlineDone_ = false;
};

}  // namespace mqtt
