#include "tools/monitor/site_services.h"

#include "tools/notify/notifier.h"
#include "tools/mqtt/mqtt_publisher.h"
#include "tools/runtime/event_record.h"

namespace monitor {

SiteServices::SiteServices(const Json::Value& site, const std::optional<std::string>& mqttUrl, rt::LogSink& log) {
    if (auto n = notify::NotifyConfigFromSite(site)) notifier_ = std::make_unique<notify::Notifier>(*n, log);
    if (auto m = mqtt::MqttConfigFromSite(site, mqttUrl)) mqtt_ = std::make_unique<mqtt::Publisher>(*m, log);
}

SiteServices::~SiteServices() { Stop(); }

void SiteServices::Event(const rt::RuntimeEvent& e, std::uint32_t busDataId) {
    if (!notifier_ && !mqtt_) return;
    const Json::Value record = rt::EventRecord(e, busDataId);
    if (notifier_) notifier_->Post(record);
    if (mqtt_) mqtt_->Event(record);
}

void SiteServices::Round(const Json::Value& round) {
    if (mqtt_) mqtt_->Round(round);
}

void SiteServices::Stop() {
    if (notifier_) notifier_->Stop();
    if (mqtt_) mqtt_->Stop();
}

}  // namespace monitor
