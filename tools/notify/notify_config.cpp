#include "tools/notify/notify_config.h"

#include <unistd.h>

#include <cmath>

namespace notify {
namespace {

void Bad(rt::ConfigProblems& problems, const char* key, const std::string& what) {
    problems.Add(rt::KeyPath("notify", key), what);
}

unsigned long Count(const Json::Value& n, const char* key, unsigned long fallback, unsigned long max,
                    rt::ConfigProblems& problems) {
    const Json::Value& v = n[key];
    if (v.isNull()) return fallback;
    if (!v.isUInt() || v.asUInt() < 1 || v.asUInt() > max) {
        Bad(problems, key, "must be a whole number from 1 to " + std::to_string(max));
        return fallback;
    }
    return v.asUInt();
}

}  // namespace

const std::vector<std::string>& NotifyKeys() {
    static const std::vector<std::string> keys = {"command", "timeout_s", "max_running", "queue_size"};
    return keys;
}

std::optional<NotifyConfig> NotifyConfigFromSite(const Json::Value& site, rt::ConfigProblems& problems) {
    if (!site.isMember("notify")) return std::nullopt;
    const Json::Value& n = site["notify"];
    if (!n.isObject()) {
        problems.Add("notify", "must be an object");
        return std::nullopt;
    }
    rt::CheckKnownKeys(n, "notify", NotifyKeys(), problems);
    NotifyConfig c;
    if (!n["command"].isString() || n["command"].asString().empty()) {
        Bad(problems, "command", "is required (an absolute path)");
    } else {
        c.command = n["command"].asString();
        if (c.command[0] != '/') Bad(problems, "command", "must be an absolute path, not '" + c.command + "'");
        else if (::access(c.command.c_str(), X_OK) != 0)
            Bad(problems, "command", c.command + " is not an executable file");
    }
    if (n.isMember("timeout_s")) {
        const Json::Value& t = n["timeout_s"];
        if (!t.isNumeric() || !std::isfinite(t.asDouble()) || t.asDouble() <= 0 || t.asDouble() > 3600)
            Bad(problems, "timeout_s", "must be a number of seconds above 0 and at most 3600");
        else c.timeout_s = t.asDouble();
    }
    c.max_running = static_cast<unsigned>(Count(n, "max_running", c.max_running, 64, problems));
    c.queue_size = Count(n, "queue_size", c.queue_size, 100000, problems);
    return c;
}

std::optional<NotifyConfig> NotifyConfigFromSite(const Json::Value& site) {
    rt::ConfigProblems throwing;
    return NotifyConfigFromSite(site, throwing);
}

}  // namespace notify
