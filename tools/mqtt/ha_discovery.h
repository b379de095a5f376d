#pragma once
// Home Assistant MQTT discovery: one retained config message per numeric
// signal, under homeassistant/sensor/<node>/<data_id>_<signal>/config, so
// that the value shows there with its unit and device class.
#include <json/value.h>

#include <cstdint>
#include <string>

namespace mqtt {

struct SignalKind {
    const char* unit;          // "" when the signal is a state, not a quantity
    const char* device_class;  // "" likewise
};

// By the monitor's signal names: ia/ib/ic and i in A, channel_N_f in Hz,
// channel_N_a/b/c and v in V, *_alert states without unit.
SignalKind KindOfSignal(const std::string& name);

struct Discovery {
    std::string topic;
    Json::Value payload;  // the config object
};

Discovery DiscoveryFor(const std::string& prefix, std::uint32_t dataId, const std::string& deviceType,
                       const std::string& signal);

}  // namespace mqtt
