#include "tools/mqtt/mqtt_config.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace mqtt {
namespace {

[[noreturn]] void Bad(const std::string& what) { throw std::runtime_error("mqtt: " + what); }

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

const std::vector<std::string>& MqttKeys() {
    static const std::vector<std::string> keys = {"url",      "topic_prefix", "client_id",  "username",
                                                  "password_file", "qos",     "ca_file",    "queue_size",
                                                  "ha_discovery",  "keepalive_s"};
    return keys;
}

std::optional<MqttConfig> MqttConfigFromSite(const Json::Value& site, const std::optional<std::string>& url,
                                             rt::ConfigProblems& problems) {
    if (!site.isMember("mqtt") && !url) return std::nullopt;
    const Json::Value m = site.isMember("mqtt") ? site["mqtt"] : Json::Value(Json::objectValue);
    if (!m.isObject()) {
        problems.Add("mqtt", "must be an object");
        return std::nullopt;
    }
    rt::CheckKnownKeys(m, "mqtt", MqttKeys(), problems);
    auto bad = [&problems](const char* key, const std::string& what) { problems.Add(rt::KeyPath("mqtt", key), what); };
    auto text = [&](const char* key) -> std::string {
        const Json::Value& v = m[key];
        if (v.isNull()) return "";
        if (!v.isString()) {
            bad(key, "must be a string");
            return "";
        }
        return v.asString();
    };
    MqttConfig c;
    const std::string u = url ? *url : text("url");
    if (u.empty()) {
        bad("url", "is required");
    } else {
        try {
            ParseUrl(u, c);
        } catch (const std::runtime_error& e) {
            bad("url", std::string(e.what()).substr(std::string("mqtt: ").size()));
        }
    }
    if (m.isMember("topic_prefix")) c.topic_prefix = text("topic_prefix");
    if (c.topic_prefix.empty() || c.topic_prefix.find_first_of("+#") != std::string::npos ||
        c.topic_prefix.front() == '/' || c.topic_prefix.back() == '/')
        bad("topic_prefix", "must be a topic without wildcards or a leading or trailing '/'");
    c.client_id = text("client_id");
    if (c.client_id.empty()) c.client_id = "pmbus-monitor-" + std::to_string(::getpid());
    c.username = text("username");
    const std::string pwFile = text("password_file");
    if (!pwFile.empty()) {
        std::ifstream in(pwFile);
        if (!in) {
            bad("password_file", "cannot read " + pwFile);
        } else {
            std::getline(in, c.password);
            if (!c.password.empty() && c.password.back() == '\r') c.password.pop_back();
            if (c.password.empty())
                bad("password_file", pwFile + " is empty: the password is its first line");
        }
        if (c.username.empty()) bad("password_file", "needs a \"username\"");
    }
    if (m.isMember("qos")) {
        if (!m["qos"].isInt() || m["qos"].asInt() < 0 || m["qos"].asInt() > 2) bad("qos", "must be 0, 1 or 2");
        else c.qos = m["qos"].asInt();
    }
    c.ca_file = text("ca_file");
    if (!c.ca_file.empty()) {
        if (!c.tls) bad("ca_file", "needs an mqtts:// URL (TLS), not " + u);
        std::ifstream in(c.ca_file);
        if (!in) {
            bad("ca_file", "cannot read " + c.ca_file);
        } else {
            const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
                bad("ca_file", c.ca_file + " holds no PEM certificate");
        }
    }
    if (m.isMember("queue_size")) {
        if (!m["queue_size"].isUInt() || m["queue_size"].asUInt() < 1 || m["queue_size"].asUInt() > 1000000)
            bad("queue_size", "must be a whole number from 1 to 1000000");
        else c.queue_size = m["queue_size"].asUInt();
    }
    if (m.isMember("ha_discovery")) {
        if (!m["ha_discovery"].isBool()) bad("ha_discovery", "must be true or false");
        else c.ha_discovery = m["ha_discovery"].asBool();
    }
    if (m.isMember("keepalive_s")) {
        if (!m["keepalive_s"].isInt() || m["keepalive_s"].asInt() < 5 || m["keepalive_s"].asInt() > 3600)
            bad("keepalive_s", "must be 5 to 3600");
        else c.keepalive_s = m["keepalive_s"].asInt();
    }
    return c;
}

std::optional<MqttConfig> MqttConfigFromSite(const Json::Value& site, const std::optional<std::string>& url) {
    rt::ConfigProblems throwing;
    return MqttConfigFromSite(site, url, throwing);
}

}  // namespace mqtt
