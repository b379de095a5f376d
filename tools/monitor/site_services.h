#pragma once
// What the monitor hands its events and rounds to besides the view: the
// notify command (site "notify") and the MQTT broker (site "mqtt" or
// --mqtt). Every event gets the monitor's sequence number here, once, so
// the notify command and the broker see the same "seq".
#include "tools/runtime/log_sink.h"
#include "tools/runtime/runtime_event.h"

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace notify {
class Notifier;
}
namespace mqtt {
class Publisher;
}

namespace monitor {

class SiteServices {
public:
    // Throws on a bad "notify" or "mqtt" member.
    SiteServices(const Json::Value& site, const std::optional<std::string>& mqttUrl, rt::LogSink& log);
    ~SiteServices();
    SiteServices(const SiteServices&) = delete;
    SiteServices& operator=(const SiteServices&) = delete;

    // On the worker thread, in order; busDataId: the line's bus device.
    void Event(const rt::RuntimeEvent& e, std::uint32_t busDataId);
    // The round object, complete (active alarms added).
    void Round(const Json::Value& round);
    // Ends the commands still running and says "offline" to the broker.
    void Stop();

private:
    std::unique_ptr<notify::Notifier> notifier_;
    std::unique_ptr<mqtt::Publisher> mqtt_;
};

}  // namespace monitor
