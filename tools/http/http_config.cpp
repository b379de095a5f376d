#include "tools/http/http_config.h"

#include <boost/asio/ip/address.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#ifndef PMB_CHARTJS
#define PMB_CHARTJS "/usr/share/javascript/chart.js/chart.min.js"
#endif

namespace http {

std::string DefaultWww() {
    for (const char* dir : {PMB_WWW_BUILT, PMB_WWW_INSTALLED}) {
        std::ifstream index(std::string(dir) + "/index.html");
        if (index) return dir;
    }
    return PMB_WWW_INSTALLED;
}

void ParseListen(const std::string& text, HttpConfig& c) {
    const std::size_t colon = text.rfind(':');
    std::string port = text;
    if (colon != std::string::npos) {
        std::string addr = text.substr(0, colon);
        if (addr.size() >= 2 && addr.front() == '[' && addr.back() == ']') addr = addr.substr(1, addr.size() - 2);
        boost::system::error_code ec;
        boost::asio::ip::make_address(addr, ec);
        if (ec) throw std::invalid_argument("--http: '" + addr + "' is not an IP address");
        c.address = addr;
        port = text.substr(colon + 1);
    }
    char* end = nullptr;
    const long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || p < 1 || p > 65535)
        throw std::invalid_argument("--http: port '" + port + "' is not a number from 1 to 65535");
    c.port = static_cast<unsigned short>(p);
}

const std::vector<std::string>& HttpKeys() {
    static const std::vector<std::string> keys = {"listen", "token_file", "timeout_s", "health_rounds", "chartjs"};
    return keys;
}

std::optional<HttpConfig> ConfigFromSite(const Json::Value& site, const std::optional<std::string>& listen,
                                         const std::string& www, const std::string& database,
                                         rt::ConfigProblems& problems) {
    const Json::Value& h = site["http"];
    if (!h.isNull() && !h.isObject()) {
        problems.Add("http", "must be an object");
        return std::nullopt;
    }
    rt::CheckKnownKeys(h, "http", HttpKeys(), problems);
    if (!listen && !h.isMember("listen")) return std::nullopt;
    auto bad = [&problems](const char* key, const std::string& what) { problems.Add(rt::KeyPath("http", key), what); };
    HttpConfig c;
    if (!listen && !h["listen"].isString()) {
        bad("listen", "must be a string, \"[ADDR:]PORT\"");
    } else {
        try {
            ParseListen(listen ? *listen : h["listen"].asString(), c);
        } catch (const std::invalid_argument& e) {
            bad("listen", std::string(e.what()).substr(std::string("--http: ").size()));
        }
    }
    if (h.isMember("token_file")) {
        const std::string path = h["token_file"].isString() ? h["token_file"].asString() : "";
        std::ifstream in(path);
        if (!h["token_file"].isString()) {
            bad("token_file", "must be a string");
        } else if (!in) {
            bad("token_file", "cannot read " + path);
        } else {
            std::getline(in, c.token);
            while (!c.token.empty() && (c.token.back() == '\r' || c.token.back() == ' ')) c.token.pop_back();
            if (c.token.empty()) bad("token_file", path + " is empty: the token is its first line");
        }
    }
    for (auto [key, value] : {std::pair<const char*, int*>{"timeout_s", &c.timeout_s}, {"health_rounds", &c.health_rounds}}) {
        if (!h.isMember(key)) continue;
        if (!h[key].isInt() || h[key].asInt() < 1 || h[key].asInt() > 86400) bad(key, "must be a whole number from 1 to 86400");
        else *value = h[key].asInt();
    }
    c.www = www;
    if (h.isMember("chartjs") && !h["chartjs"].isString()) bad("chartjs", "must be a string");
    else c.chartjs = h.get("chartjs", PMB_CHARTJS).asString();
    c.database = database;
    return c;
}

std::optional<HttpConfig> ConfigFromSite(const Json::Value& site, const std::optional<std::string>& listen,
                                         const std::string& www, const std::string& database) {
    rt::ConfigProblems throwing;
    return ConfigFromSite(site, listen, www, database, throwing);
}

}  // namespace http
