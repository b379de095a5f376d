#include "tools/http/http_config.h"

#include <boost/asio/ip/address.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

std::optional<HttpConfig> ConfigFromSite(const Json::Value& site, const std::optional<std::string>& listen,
                                         const std::string& www, const std::string& database) {
    const Json::Value& h = site["http"];
    if (!h.isNull() && !h.isObject()) throw std::runtime_error("site key \"http\" must be an object");
    if (!listen && !h.isMember("listen")) return std::nullopt;
    HttpConfig c;
    try {
        ParseListen(listen ? *listen : h["listen"].asString(), c);
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error(e.what());
    }
    if (h.isMember("token_file")) {
        const std::string path = h["token_file"].asString();
        std::ifstream in(path);
        if (!in) throw std::runtime_error("cannot read the HTTP token file " + path);
        std::getline(in, c.token);
        while (!c.token.empty() && (c.token.back() == '\r' || c.token.back() == ' ')) c.token.pop_back();
        if (c.token.empty()) throw std::runtime_error("the HTTP token file " + path + " is empty");
    }
    if (h.isMember("timeout_s")) {
        c.timeout_s = h["timeout_s"].asInt();
        if (c.timeout_s < 1) throw std::runtime_error("\"http\": \"timeout_s\" must be at least 1");
    }
    if (h.isMember("health_rounds")) {
        c.health_rounds = h["health_rounds"].asInt();
        if (c.health_rounds < 1) throw std::runtime_error("\"http\": \"health_rounds\" must be at least 1");
    }
    c.www = www;
    c.chartjs = h.get("chartjs", PMB_CHARTJS).asString();
    c.database = database;
    return c;
}

}  // namespace http
