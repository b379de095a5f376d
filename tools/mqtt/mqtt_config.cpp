#include "tools/mqtt/mqtt_config.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace mqtt {
namespace {

[[noreturn]] void Bad(const std::string& what) { throw std::runtime_error("mqtt: " + what); }

std::string Text(const Json::Value& m, const char* key) {
    const Json::Value& v = m[key];
    if (v.isNull()) return "";
    if (!v.isString()) Bad(std::string("\"") + key + "\" must be a string");
    return v.asString();
}

}  // namespace

void ParseUrl(const std::string& url, MqttConfig& c) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        c.tls = false;
        c.port = 1883;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        c.tls = true;
        c.port = 8883;
    } else {
        Bad("URL '" + url + "' must start with mqtt:// or mqtts://");
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.empty()) Bad("URL '" + url + "' names no host");
    // host, host:port, [v6], [v6]:port
    const auto close = rest.front() == '[' ? rest.find(']') : std::string::npos;
    const auto colon = rest.front() == '[' ? (close == std::string::npos ? close : rest.find(':', close))
                                            : rest.rfind(':');
    if (colon != std::string::npos) {
        const std::string p = rest.substr(colon + 1);
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos || std::stoi(p) < 1 ||
            std::stoi(p) > 65535)
            Bad("URL '" + url + "': bad port '" + p + "'");
        c.port = std::stoi(p);
        rest.resize(colon);
    }
    if (rest.size() > 2 && rest.front() == '[' && rest.back() == ']') rest = rest.substr(1, rest.size() - 2);
    if (rest.empty() || rest.find_first_of("/@?# ") != std::string::npos)
        Bad("URL '" + url + "': give mqtt://host[:port] (no user, path or query)");
    c.host = rest;
}

std::optional<MqttConfig> MqttConfigFromSite(const Json::Value& site, const std::optional<std::string>& url) {
    if (!site.isMember("mqtt") && !url) return std::nullopt;
    const Json::Value m = site.isMember("mqtt") ? site["mqtt"] : Json::Value(Json::objectValue);
    if (!m.isObject()) Bad("site \"mqtt\" must be an object");
    static const char* const kKeys[] = {"url",      "topic_prefix", "client_id", "username",     "password_file",
                                        "qos",      "ca_file",      "queue_size", "ha_discovery", "keepalive_s"};
    for (const auto& k : m.getMemberNames()) {
        bool known = false;
        for (const char* key : kKeys) known = known || k == key;
        if (!known) Bad("unknown key \"" + k + "\" in the site's \"mqtt\"");
    }
    MqttConfig c;
    const std::string u = url ? *url : Text(m, "url");
    if (u.empty()) Bad("\"url\" is required");
    ParseUrl(u, c);
    if (m.isMember("topic_prefix")) c.topic_prefix = Text(m, "topic_prefix");
    if (c.topic_prefix.empty() || c.topic_prefix.find_first_of("+#") != std::string::npos ||
        c.topic_prefix.front() == '/' || c.topic_prefix.back() == '/')
        Bad("\"topic_prefix\" must be a topic without wildcards or a leading or trailing '/'");
    c.client_id = Text(m, "client_id");
    if (c.client_id.empty()) c.client_id = "pmbus-monitor-" + std::to_string(::getpid());
    c.username = Text(m, "username");
    const std::string pwFile = Text(m, "password_file");
    if (!pwFile.empty()) {
        std::ifstream in(pwFile);
        if (!in) Bad("cannot read \"password_file\" " + pwFile);
        std::getline(in, c.password);
        if (!c.password.empty() && c.password.back() == '\r') c.password.pop_back();
        if (c.password.empty()) Bad("\"password_file\" " + pwFile + " is empty: the password is its first line");
        if (c.username.empty()) Bad("\"password_file\" needs a \"username\"");
    }
    if (m.isMember("qos")) {
        if (!m["qos"].isInt() || m["qos"].asInt() < 0 || m["qos"].asInt() > 2) Bad("\"qos\" must be 0, 1 or 2");
        c.qos = m["qos"].asInt();
    }
    c.ca_file = Text(m, "ca_file");
    if (!c.ca_file.empty()) {
        if (!c.tls) Bad("\"ca_file\" needs an mqtts:// URL (TLS), not " + u);
        std::ifstream in(c.ca_file);
        if (!in) Bad("cannot read \"ca_file\" " + c.ca_file);
        const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
            Bad("\"ca_file\" " + c.ca_file + " holds no PEM certificate");
    }
    if (m.isMember("queue_size")) {
        if (!m["queue_size"].isUInt() || m["queue_size"].asUInt() < 1 || m["queue_size"].asUInt() > 1000000)
            Bad("\"queue_size\" must be a whole number from 1 to 1000000");
        c.queue_size = m["queue_size"].asUInt();
    }
    if (m.isMember("ha_discovery")) {
        if (!m["ha_discovery"].isBool()) Bad("\"ha_discovery\" must be true or false");
        c.ha_discovery = m["ha_discovery"].asBool();
    }
    if (m.isMember("keepalive_s")) {
        if (!m["keepalive_s"].isInt() || m["keepalive_s"].asInt() < 5 || m["keepalive_s"].asInt() > 3600)
            Bad("\"keepalive_s\" must be 5 to 3600");
        c.keepalive_s = m["keepalive_s"].asInt();
    }
    return c;
}

}  // namespace mqtt
