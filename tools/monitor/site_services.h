#pragma once
// What the monitor hands its lines, events and rounds to besides the view:
// the HTTP service (--http or site "http"), the notify command (site
// "notify"), the MQTT broker (site "mqtt" or --mqtt) and the SNMP
// subagent (site "snmp"). The events carry
// the runtime's sequence number, so the notify command and the broker see
// the same "seq".
#include "tools/model/round.h"
#include "tools/monitor/monitor_args.h"
#include "tools/runtime/log_sink.h"
#include "tools/runtime/runtime_event.h"

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>

namespace http {
class Server;
}
namespace notify {
class Notifier;
}
namespace mqtt {
class Publisher;
}
namespace snmp {
class Service;
}

namespace monitor {

class SiteServices {
public:
    // Binds the HTTP service; throws on a bad "http", "notify", "mqtt" or "snmp"
    // member or when the service cannot listen.
    SiteServices(const Json::Value& site, const Args& args, rt::LogSink& log);
    ~SiteServices();
    SiteServices(const SiteServices&) = delete;
    SiteServices& operator=(const SiteServices&) = delete;

    // A line of the site, before its first round (the web page keeps the
    // site's order).
    void AddLine(std::uint32_t busDataId, const std::string& port);
    // On the worker thread, in order.
    void Event(const rt::RuntimeEvent& e);
    // Whether any service reads rounds (HTTP, MQTT, SNMP).
    bool WantsRounds() const { return web_ || mqtt_ || snmp_; }
    // The round, complete (active alarms added); shared, not copied.
    void Round(const model::RoundPtr& round);
    // Ends the commands still running and says "offline" to the broker.
    void Stop();

private:
    std::unique_ptr<http::Server> web_;
    std::unique_ptr<notify::Notifier> notifier_;
    std::unique_ptr<mqtt::Publisher> mqtt_;
    std::unique_ptr<snmp::Service> snmp_;
};

}  // namespace monitor
