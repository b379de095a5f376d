#include "tools/notify/notify_config.h"

#include <unistd.h>

#include <cmath>
#include <stdexcept>

namespace notify {
namespace {

[[noreturn]] void Bad(const std::string& what) { throw std::runtime_error("site \"notify\": " + what); }

unsigned long Count(const Json::Value& n, const char* key, unsigned long fallback, unsigned long max) {
    const Json::Value& v = n[key];
    if (v.isNull()) return fallback;
    if (!v.isUInt() || v.asUInt() < 1 || v.asUInt() > max)
        Bad(std::string("\"") + key + "\" must be a whole number from 1 to " + std::to_string(max));
    return v.asUInt();
}

}  // namespace

std::optional<NotifyConfig> NotifyConfigFromSite(const Json::Value& site) {
    if (!site.isMember("notify")) return std::nullopt;
    const Json::Value& n = site["notify"];
    if (!n.isObject()) Bad("must be an object");
    for (const auto& k : n.getMemberNames())
        if (k != "command" && k != "timeout_s" && k != "max_running" && k != "queue_size") Bad("unknown key \"" + k + "\"");
    NotifyConfig c;
    if (!n["command"].isString() || n["command"].asString().empty()) Bad("\"command\" (a path) is required");
    c.command = n["command"].asString();
    if (c.command[0] != '/') Bad("\"command\" must be an absolute path, not '" + c.command + "'");
    if (::access(c.command.c_str(), X_OK) != 0) Bad("\"command\" " + c.command + " is not an executable file");
    if (n.isMember("timeout_s")) {
        const Json::Value& t = n["timeout_s"];
        if (!t.isNumeric() || !std::isfinite(t.asDouble()) || t.asDouble() <= 0 || t.asDouble() > 3600)
            Bad("\"timeout_s\" must be a number of seconds above 0 and at most 3600");
        c.timeout_s = t.asDouble();
    }
    c.max_running = static_cast<unsigned>(Count(n, "max_running", c.max_running, 64));
    c.queue_size = Count(n, "queue_size", c.queue_size, 100000);
    return c;
}

}  // namespace notify
