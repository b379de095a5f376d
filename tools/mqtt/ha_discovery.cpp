#include "tools/mqtt/ha_discovery.h"

#include <cctype>

namespace mqtt {
namespace {

struct KindRule {
    const char* prefix;
    const char* suffix;
    SignalKind kind;
};

// First match wins.
const KindRule kRules[] = {
    {"", "_alert", {"", ""}},
    {"channel_", "_f", {"Hz", "frequency"}},
    {"channel_", "", {"V", "voltage"}},
    {"i", "", {"A", "current"}},
    {"v", "", {"V", "voltage"}},
};

bool Matches(const std::string& name, const KindRule& r) {
    const std::string p = r.prefix, s = r.suffix;
    return name.size() >= p.size() + s.size() && name.compare(0, p.size(), p) == 0 &&
           name.compare(name.size() - s.size(), s.size(), s) == 0;
}

// Topic levels and ids of Home Assistant take [a-zA-Z0-9_-].
std::string Id(const std::string& s) {
    std::string out;
    for (char c : s) out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    return out;
}

}  // namespace

SignalKind KindOfSignal(const std::string& name) {
    for (const auto& r : kRules)
        if (Matches(name, r)) return r.kind;
    return {"", ""};
}

Discovery DiscoveryFor(const std::string& prefix, std::uint32_t dataId, const std::string& deviceType,
                       const std::string& signal) {
    const std::string node = Id(prefix);
    const std::string object = std::to_string(dataId) + "_" + Id(signal);
    const SignalKind kind = KindOfSignal(signal);
    Json::Value c(Json::objectValue);
    c["name"] = signal;
    c["unique_id"] = node + "_" + object;
    c["state_topic"] = prefix + "/" + std::to_string(dataId) + "/" + signal;
    c["availability_topic"] = prefix + "/status";
    c["payload_available"] = "online";
    c["payload_not_available"] = "offline";
    if (*kind.unit) {
        c["unit_of_measurement"] = kind.unit;
        c["device_class"] = kind.device_class;
        c["state_class"] = "measurement";
    }
    c["device"]["identifiers"].append(node + "_" + std::to_string(dataId));
    c["device"]["name"] = deviceType + " " + std::to_string(dataId);
    return {"homeassistant/sensor/" + node + "/" + object + "/config", c};
}

}  // namespace mqtt
