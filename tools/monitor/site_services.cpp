#include "tools/monitor/site_services.h"

#include "tools/http/http_server.h"
#include "tools/notify/notifier.h"
#include "tools/mqtt/mqtt_publisher.h"
#include "tools/runtime/event_record.h"
#include "tools/snmp/snmp_service.h"

namespace monitor {

SiteServices::SiteServices(const Json::Value& site, const Args& args, rt::LogSink& log) {
    if (auto h = http::ConfigFromSite(site, args.http, args.www ? *args.www : http::DefaultWww(),
                                      site.get("database", "").asString()))
        web_ = std::make_unique<http::Server>(*h, log);
    if (auto n = notify::NotifyConfigFromSite(site)) notifier_ = std::make_unique<notify::Notifier>(*n, log);
    if (auto m = mqtt::MqttConfigFromSite(site, args.mqtt)) mqtt_ = std::make_unique<mqtt::Publisher>(*m, log);
    if (auto s = snmp::SnmpConfigFromSite(site)) snmp_ = snmp::StartAgent(*s, log);
}

SiteServices::~SiteServices() { Stop(); }

void SiteServices::AddLine(std::uint32_t busDataId, const std::string& port) {
    if (web_) web_->AddLine(busDataId, port);
    if (snmp_) snmp_->AddLine(busDataId, port);
}

void SiteServices::Event(const rt::RuntimeEvent& e) {
    if (notifier_ || mqtt_) {
        const Json::Value record = rt::EventRecord(e);
        if (notifier_) notifier_->Post(record);
        if (mqtt_) mqtt_->Event(record);
    }
    if (web_) web_->PublishEvent(e);
    if (snmp_) snmp_->Event(e);
}

void SiteServices::Round(const model::RoundPtr& round) {
    if (web_) web_->PublishRound(round);
    if (mqtt_) mqtt_->Round(*round);
    if (snmp_) snmp_->Round(round);
}

void SiteServices::Stop() {
    if (notifier_) notifier_->Stop();
    if (mqtt_) mqtt_->Stop();
    if (snmp_) snmp_->Stop();
}

}  // namespace monitor
