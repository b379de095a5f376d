// The monitor publishing to a real Mosquitto broker while it polls pmbus-sim:
// the broker goes away before an alarm begins and comes back later, every
// alarm event still arrives (a repeat carries the same "seq"), state topics
// match the --json rounds, Home Assistant discovery configs come with units,
// the notify command sees the same events (and hangs, killed at its
// timeout), and SIGKILL leaves "offline" by the will.
#include "tools/e2e/child_process.h"
#include "tools/e2e/mqtt_broker.h"
#include "tools/e2e/plant_plan.h"
#include "tools/e2e/round_checks.h"
#include "tools/e2e/sim_run.h"
#include "tools/mqtt/mqtt_publisher.h"
#include "tools/runtime/log_sink.h"

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <algorithm>
#include <map>
#include <set>
#include <mutex>
#include <thread>

namespace e2e {
namespace {

using namespace std::chrono_literals;

struct Message { std::string topic, payload; };

// A persistent session (QoS 1) on prefix/#, reconnecting by itself.
class Subscriber {
public:
    explicit Subscriber(int port) {
        mosquitto_lib_init();
        m_ = mosquitto_new("e2e-subscriber", false, this);
        mosquitto_connect_callback_set(m_, [](mosquitto* m, void*, int rc) {
            const char* topics[] = {"e2e/#", "homeassistant/#"};
            if (rc == 0) mosquitto_subscribe_multiple(m, nullptr, 2, const_cast<char* const*>(topics), 1, 0, nullptr);
        });
        mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard<std::mutex> lock(s->mutex_);
            s->got_.push_back({msg->topic, std::string(static_cast<const char*>(msg->payload), msg->payloadlen)});
        });
        mosquitto_reconnect_delay_set(m_, 1, 1, false);
        for (int i = 0; i < 200 && mosquitto_connect(m_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS; ++i)
            std::this_thread::sleep_for(50ms);
        mosquitto_loop_start(m_);
    }
    ~Subscriber() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
        mosquitto_lib_cleanup();
    }
    std::vector<Message> Got() { std::lock_guard<std::mutex> lock(mutex_); return got_; }

private:
    mosquitto* m_;
    std::mutex mutex_;
    std::vector<Message> got_;
};

// The alarm events by seq; a repeat must be the same message.
std::map<std::uint64_t, Json::Value> Alarms(const std::vector<Message>& got) {
    std::map<std::uint64_t, Json::Value> bySeq;
    for (const auto& m : got) {
        if (m.topic != "e2e/alarm") continue;
        const Json::Value a = ParseLine(m.payload);
        auto it = bySeq.emplace(a["seq"].asUInt64(), a).first;
        EXPECT_EQ(it->second, a) << "two alarm messages with one seq";
    }
    return bySeq;
}

TEST(Mqtt, EveryAlarmEventArrivesThroughABrokerOutageAndStateMatchesTheRounds) {
    ASSERT_EQ(::access(MOSQUITTO_BIN, X_OK), 0) << "no mosquitto broker (" MOSQUITTO_BIN "): ./x setup installs it";
    Plan plan;
    plan.rounds = 10;
    plan.phaseLoss = {2, 4};
    plan.fuseFault = {5, 9};
    plan.moduleFault = {6, 8};
    SimRun run(plan);
    ASSERT_FALSE(run.pts.empty());
    const std::string dir = run.dir.Path();
    Broker broker(dir);
    broker.Start();
    Subscriber sub(broker.port);

    const std::string notify = dir + "/notify.sh";
    WriteFile(notify, "#!/bin/sh\nenv > " + dir + "/notify.$PMBUS_SEQ\n"
                      "[ \"$PMBUS_EVENT\" = alarm_begin ] && exec sleep 60\nexit 0\n");
    ::chmod(notify.c_str(), 0755);
    Json::Value site = plan.Site(run.database);
    site["mqtt"]["url"] = "mqtt://127.0.0.1:" + std::to_string(broker.port);
    site["mqtt"]["topic_prefix"] = "e2e";
    site["mqtt"]["ha_discovery"] = true;
    site["notify"]["command"] = notify;
    site["notify"]["timeout_s"] = 1;
    WriteFile(dir + "/site.json", rt::JsonLine(site));

    const std::vector<AlarmChange> changes = plan.Changes();
    std::vector<Json::Value> rounds;
    ChildProcess monitor(MONITOR_BIN, {"--config", dir + "/site.json", "--port", run.pts, "--plugin", REAL_PLUGIN,
                                       "--json", "--log", run.hostLog}, run.hostLog);
    const auto deadline = std::chrono::steady_clock::now() + 300s;
    std::size_t last = 0;  // two rounds past the one that saw every alarm event delivered
    for (std::string line; monitor.Line(line, deadline);) {
        rounds.push_back(ParseLine(line));
        if (rounds.size() == 4) broker.Stop();   // the fuse fault begins in round 5
        if (rounds.size() == 7) broker.Start();  // with the outage's events queued
        if (!last && rounds.size() >= static_cast<std::size_t>(plan.rounds) &&
            Alarms(sub.Got()).size() >= changes.size())
            last = rounds.size() + 2;
        if (rounds.size() == last) break;
    }
    const std::size_t before = sub.Got().size();
    monitor.Signal(SIGKILL);
    EXPECT_EQ(monitor.Wait(20s), 128 + SIGKILL);
    std::vector<Message> got;
    for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(50ms)) {
        got = sub.Got();
        if (got.size() > before && got.back().topic == "e2e/status" && got.back().payload == "offline") break;
    }
    const std::string logs = "monitor log:\n" + ReadFile(run.hostLog) + "\nbroker log:\n" + ReadFile(broker.log);
    ASSERT_GE(rounds.size(), static_cast<std::size_t>(plan.rounds)) << logs;
    EXPECT_TRUE(got.size() > before && got.back().topic + " " + got.back().payload == "e2e/status offline")
        << "no last will";

    // Every alarm change once by seq, in order, as the plan and the rounds have it.
    const auto alarms = Alarms(got);
    ASSERT_EQ(alarms.size(), changes.size()) << logs;
    std::uint64_t seq = 0;
    for (const auto& [s, a] : alarms) {
        const AlarmChange& c = changes[seq];
        EXPECT_EQ(s, ++seq);
        const std::pair<const char*, std::string> want[] = {
            {"event", c.begin ? "alarm_begin" : "alarm_end"}, {"data_id", std::to_string(c.alarm.dataId)},
            {"rule_key", c.alarm.key}, {"alarm_id", c.alarm.alarmId}, {"level", std::to_string(c.alarm.level)},
            {"name", c.alarm.name}, {"text", c.alarm.text}, {"bus_data_id", std::to_string(plan.busId)},
            {"port", run.pts}};
        for (const auto& [k, v] : want) EXPECT_EQ(a[k].asString(), v) << k;
        // The notify command saw the same event.
        const std::string env = ReadFile(dir + "/notify." + std::to_string(s));
        EXPECT_NE(env.find("PMBUS_EVENT=" + a["event"].asString() + "\n"), std::string::npos) << env;
        EXPECT_NE(env.find("PMBUS_TEXT=" + c.alarm.text + "\n"), std::string::npos) << env;
        const auto killed = ReadFile(run.hostLog).find("alarm_begin seq " + std::to_string(s) + " still running after 1 s");
        EXPECT_EQ(killed != std::string::npos, c.begin) << "the hung command ended at its timeout";
    }
    // Polling went on through the outage and the hung commands.
    for (std::size_t k = 0; k < rounds.size(); ++k) EXPECT_EQ(rounds[k]["round"].asUInt64(), k + 1);

    // State and numbers as in the round of that number.
    std::set<std::uint64_t> stateRounds;
    for (const auto& m : got) {
        unsigned id = 0;
        char leafText[64];
        if (std::sscanf(m.topic.c_str(), "e2e/%u/%63s", &id, leafText) != 2) continue;
        const std::string leaf = leafText;
        bool matched = false;
        for (const auto& r : rounds) {
            for (const auto& d : r["devices"]) {
                if (d["data_id"].asUInt() != id) continue;
                if (leaf == "state") {
                    const Json::Value s = ParseLine(m.payload);
                    if (s["round"] != r["round"]) continue;
                    stateRounds.insert(s["round"].asUInt64());
                    matched = s["signals"] == d["signals"] && s["fields"] == d["fields"] && s["port"] == run.pts &&
                              s["bus_data_id"].asUInt() == plan.busId;
                } else {
                    matched = matched || (d["signals"][leaf].isNumeric() &&
                                          std::abs(std::stod(m.payload) - d["signals"][leaf].asDouble()) <
                                              1e-5 * (1 + std::abs(d["signals"][leaf].asDouble())));
                }
            }
        }
        EXPECT_TRUE(matched) << m.topic << " " << m.payload;
    }
    EXPECT_TRUE(!stateRounds.empty() && *stateRounds.begin() < 4 && *stateRounds.rbegin() > 7)
        << "state published before and after the outage";
    // A number is sent again only when it changes; the same value comes at
    // most twice more across the outage (sent again after the monitor's
    // reconnect, and the retained copy when the subscriber subscribes again).
    std::map<std::string, std::pair<std::string, int>> numbers;  // topic: last payload, repeats
    for (const auto& m : got) {
        if (m.topic.find("/state") != std::string::npos || std::count(m.topic.begin(), m.topic.end(), '/') != 2) continue;
        auto [it, fresh] = numbers.try_emplace(m.topic, m.payload, 0);
        if (!fresh && it->second.first == m.payload) ++it->second.second;
        it->second.first = m.payload;
    }
    EXPECT_FALSE(numbers.empty());
    for (const auto& [topic, n] : numbers) EXPECT_LE(n.second, 2) << topic;
    EXPECT_EQ(ReadFile(run.hostLog).find("dropped"), std::string::npos);
    // Home Assistant discovery: a DC unit's voltage, and an alert state without unit.
    std::map<std::string, Json::Value> configs;
    for (const auto& m : got) configs[m.topic] = ParseLine(m.topic.rfind("homeassistant/", 0) ? "null" : m.payload);
    const Json::Value& v = configs["homeassistant/sensor/e2e/1002_v/config"];
    EXPECT_EQ(v["state_topic"].asString() + " " + v["unit_of_measurement"].asString() + " " +
                  v["device_class"].asString(),
              "e2e/1002/v V voltage");
    EXPECT_TRUE(configs["homeassistant/sensor/e2e/1001_ia_alert/config"].isObject() &&
                !configs["homeassistant/sensor/e2e/1001_ia_alert/config"].isMember("unit_of_measurement"));
    if (HasFailure()) ADD_FAILURE() << logs;
    run.StopSim();
}

// More events than the queue holds while the broker is away: one line when
// the first is dropped, one when the queue is delivered, none between.
TEST(Mqtt, AFullQueueIsLoggedOnceAnEpisode) {
    TempDir dir;
    Broker broker(dir.Path());  // started once the events are queued
    mqtt::MqttConfig config;
    mqtt::ParseUrl("mqtt://127.0.0.1:" + std::to_string(broker.port), config);
    config.topic_prefix = "e2e";
    config.client_id = "e2e-queue";
    config.queue_size = 2;
    const std::string logPath = dir.Path() + "/publisher.log";
    rt::LogSink log;
    ASSERT_TRUE(log.Open(logPath));
    {
        mqtt::Publisher publisher(config, log);
        for (int i = 0; i < 50; ++i) {
            Json::Value e;
            e["event"] = "line_lost";
            e["seq"] = i;
            publisher.Event(e);
        }
        broker.Start();
        for (int i = 0; i < 600 && publisher.Stats().delivered < 2; ++i) std::this_thread::sleep_for(50ms);
        EXPECT_EQ(publisher.Stats().delivered, 2u);
        EXPECT_EQ(publisher.Stats().dropped, 48u);
        publisher.Stop();
    }
    broker.Stop();
    const std::string text = ReadFile(logPath);
    const auto count = [&](const std::string& what) {
        int n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("event queue full"), 1) << text;
    EXPECT_EQ(count("delivered; 48 events were dropped"), 1) << text;
}

}  // namespace
}  // namespace e2e
