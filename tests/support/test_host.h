#pragma once
// A host for tests: a controller that records everything a device does
// (requests, resets, published and saved snapshots, reported rules, alarm
// events, log lines) and lets the test decide when work items run.
#include "host/pmbus_protocol.h"
#include "host/vnq_controller.h"

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testhost {

struct Request {
    std::uint32_t data_id = 0;
    std::uint8_t cid1 = 0;
    std::uint8_t cid2 = 0;
    std::vector<std::uint8_t> info;
    std::uint32_t step_after = 0;  // the bus device's command step when the request went out
};

struct Snapshot {
    std::uint32_t data_id = 0;
    int type_number = 0;
    std::vector<std::uint8_t> bytes;
    bool flag = false;
};

class TestController : public VNQController {
public:
    void Log(const std::string& line) override { logs.push_back(line); }
    void Request(PMBusProtocol& dev, std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info,
                 int length) override;
    void ExchangeReset(VNQSPDevice&) override { ++resets; }
    bool LinkReady(VNQSPDevice&) override { return link_ready; }
    void Publish(VNQVDevice& dev, int typeNumber, const std::uint8_t* data, unsigned length,
                 bool flag) override;
    void SaveHistory(VNQVDevice& dev, const std::uint8_t* data, unsigned length) override;
    void RuleReported(VNQVDevice&, const rule_value& rule) override { rules.push_back(rule); }
    void AlarmChanged(const AlarmEvent& event) override { events.push_back(event); }
    void Submit(std::function<void()> work) override;

    // Runs the work items queued while queue_work was set, in order.
    void RunQueued();
    // Forgets everything recorded so far (not the alarm states).
    void Clear();
    // Whether any log line equals text.
    bool Logged(const std::string& text) const;

    bool link_ready = true;
    bool queue_work = false;  // false: work items run at once
    int resets = 0;
    std::vector<testhost::Request> requests;
    std::vector<Snapshot> published;
    std::vector<Snapshot> saved;
    std::vector<rule_value> rules;
    std::vector<AlarmEvent> events;
    std::vector<std::string> logs;
    std::vector<std::function<void()>> queued;
};

// A decoded answer in the response buffer layout: [2] CID1, [4..5] length
// field (2 x INFO bytes, little-endian), INFO from [6].
std::vector<std::uint8_t> Answer(std::uint8_t cid1, const std::vector<std::uint8_t>& info);

// A plain bus-level device to stand as the parent of a child under test.
class ParentDevice : public PMBusProtocol {
public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
};

// A controller plus a parent device bound to it with the given data id.
struct Host {
    explicit Host(std::uint32_t parentId = 100);
    std::shared_ptr<TestController> ctl;
    std::shared_ptr<ParentDevice> parent;
};

Json::Value ParseJson(const std::string& text);

// Runs f until one run starts and ends within the same wall-clock second,
// so that tests on whole-second ages do not straddle a tick.
void InOneSecond(const std::function<void()>& f);

// Little-endian bytes of a float, as an answer carries it.
std::vector<std::uint8_t> FloatBytes(float f);

}  // namespace testhost
