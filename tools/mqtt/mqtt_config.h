#pragma once
// The site file's "mqtt" object, or --mqtt URL:
//   {"url": "mqtt://host:1883" | "mqtts://host:8883", "topic_prefix": "pmbus/site1",
//    "client_id": "...", "username": "...", "password_file": "/etc/...", "qos": 1,
//    "ca_file": "/etc/ssl/certs/ca.pem", "queue_size": 1000, "ha_discovery": false}
#include "tools/runtime/config_problems.h"

#include <json/value.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace mqtt {

struct MqttConfig {
    std::string host;
    int port = 1883;
    bool tls = false;                   // mqtts://
    std::string topic_prefix = "pmbus";
    std::string client_id;              // default "pmbus-monitor-<pid>"
    std::string username;
    std::string password;               // first line of "password_file"
    int qos = 1;                        // alarm, line and status messages
    std::string ca_file;                // TLS: default the system's CA folder
    std::size_t queue_size = 1000;      // alarm and line events kept while the broker is away
    bool ha_discovery = false;
    int keepalive_s = 30;
};

// The keys of the site's "mqtt" object.
const std::vector<std::string>& MqttKeys();
// "mqtt://host[:port]" or "mqtts://host[:port]" into host, port and tls.
void ParseUrl(const std::string& url, MqttConfig& c);
// Nothing when neither the site's "mqtt" nor url is given; url (from
// --mqtt) overrides the site's "url". Reports every bad member (path
// "mqtt.KEY"), a password or CA file that cannot be read included.
std::optional<MqttConfig> MqttConfigFromSite(const Json::Value& site, const std::optional<std::string>& url,
                                             rt::ConfigProblems& problems);
// The same; the first bad member throws rt::ConfigError.
std::optional<MqttConfig> MqttConfigFromSite(const Json::Value& site, const std::optional<std::string>& url);

}  // namespace mqtt
