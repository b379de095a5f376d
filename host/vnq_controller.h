#pragma once
// The host controller: owner of the log, the transport, the snapshot
// subscribers, the history store, the threshold machinery and the executor
// that runs the devices' end-of-round work items. Every device reaches it
// through its weak controller reference. The hooks are virtual so that a
// test host or the bench runtime can watch and steer everything a device does.
#include "host/alarm_tracker.h"
#include "host/log_format.h"
#include "host/rule_value.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace frame {
struct Frame;
}
class VNQVDevice;
class VNQSPDevice;
class PMBusProtocol;

class VNQController {
public:
    VNQController();
    virtual ~VNQController();
    VNQController(const VNQController&) = delete;
    VNQController& operator=(const VNQController&) = delete;

    // Formats the "{}" placeholders in order (printf-style %u/%d/%s are taken
    // as placeholders too) and hands the line to Log().
    template <typename... Args>
    void InfoLog(const char* fmt, const Args&... args) {
        Log(hostfmt::format(fmt, args...));
    }

    // --- hooks the devices call through the host's non-inline operations ---
    virtual void Log(const std::string& line);
    // One request of the bus device; info may be null with length 0.
    virtual void Request(PMBusProtocol& dev, std::uint8_t cid1, std::uint8_t cid2,
                         const std::uint8_t* info, int length);
    // A checksum-correct frame from the device's address arrived; false
    // drops it (no request outstanding, a late answer, an echo). Default true.
    virtual bool AcceptAnswer(PMBusProtocol& dev, const frame::Frame& answer);
    // The accepted answer was handled: stepBefore is the command step it
    // answered, result what process_payload (RTN 0) or process_error returned.
    virtual void AnswerHandled(PMBusProtocol& dev, std::uint32_t stepBefore,
                               const frame::Frame& answer, int result);
    // The bus device reset its exchange (round end or a refused answer).
    virtual void ExchangeReset(VNQSPDevice& dev);
    // Whether the line can take a request now (VNQSPDevice::RefreshStatus).
    virtual bool LinkReady(VNQSPDevice& dev);
    virtual void Publish(VNQVDevice& dev, int typeNumber, const std::uint8_t* data,
                         unsigned length, bool flag);
    virtual void SaveHistory(VNQVDevice& dev, const std::uint8_t* data, unsigned length);
    virtual void RuleReported(VNQVDevice& dev, const rule_value& rule);
    virtual void AlarmChanged(const AlarmEvent& event);
    // Runs or queues an end-of-round work item; the default runs it at once.
    virtual void Submit(std::function<void()> work);

    // The threshold machinery: records the new states of a batch, reports
    // begin and end events through AlarmChanged, true when a state changed.
    bool EvaluateBatch(const std::vector<rule_value>& rules);
    AlarmTracker& Alarms() { return alarms_; }

private:
    AlarmTracker alarms_;
};
