#include "tools/http/routes.h"

#include "tools/http/field_json.h"
#include "tools/http/metrics.h"
#include "tools/model/round_view.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace http {

Reply Error(int status, const std::string& message) {
    Reply r;
    r.status = status;
    Json::Value j(Json::objectValue);
    j["error"] = message;
    r.body = model::JsonLine(j) + "\n";
    return r;
}

namespace {

Reply Json200(const Json::Value& v) {
    Reply r;
    r.body = model::JsonLine(v) + "\n";
    return r;
}

// Compares without stopping at the first difference.
bool SameSecret(const std::string& a, const std::string& b) {
    unsigned diff = a.size() == b.size() ? 0U : 1U;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    return diff == 0 && !b.empty();
}

bool Unsigned(const std::string& s, unsigned long max, unsigned long& v) {
    if (s.empty() || s.size() > 10 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    v = std::strtoul(s.c_str(), nullptr, 10);
    return v <= max;
}

// The parameters an endpoint takes; anything else is refused.
std::string Unknown(const std::map<std::string, std::string>& q, std::initializer_list<const char*> known) {
    for (const auto& kv : q)
        if (std::find_if(known.begin(), known.end(), [&](const char* k) { return kv.first == k; }) == known.end())
            return kv.first;
    return "";
}

// from, to, limit; "" or the error text.
std::string ReadRange(const std::map<std::string, std::string>& q, Range& range) {
    for (const char* key : {"from", "to"}) {
        auto it = q.find(key);
        if (it == q.end()) continue;
        std::string db;
        if (!IsoToDb(it->second, db))
            return std::string(key) +
                   " must be a real ISO 8601 local time like 2026-01-31T13:45:00 (month 01-12, a day of that"
                   " month, hour 00-23, minutes and seconds 00-59)";
        (key[0] == 'f' ? range.from : range.to) = db;
    }
    if (range.to.size() >= 10 && range.to.size() < 23) range.to += "~";  // a bare minute or day includes all of it
    auto it = q.find("limit");
    if (it != q.end()) {
        unsigned long v = 0;
        if (!Unsigned(it->second, 100000, v) || v == 0) return "limit must be a whole number from 1 to 100000";
        range.limit = static_cast<unsigned>(v);
    }
    return "";
}

struct StaticType {
    const char* ext;
    const char* type;
};
const StaticType kTypes[] = {
    {".html", "text/html; charset=utf-8"},        {".js", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},          {".svg", "image/svg+xml; charset=utf-8"},
    {".json", "application/json; charset=utf-8"}, {".txt", "text/plain; charset=utf-8"},
};

}  // namespace

bool ParseQuery(const std::string& query, std::map<std::string, std::string>& out) {
    std::istringstream in(query);
    std::string part;
    while (std::getline(in, part, '&')) {
        if (part.empty()) continue;
        std::string decoded[2];
        const std::size_t eq = part.find('=');
        const std::string raw[2] = {part.substr(0, eq), eq == std::string::npos ? "" : part.substr(eq + 1)};
        for (int k = 0; k < 2; ++k) {
            for (std::size_t i = 0; i < raw[k].size(); ++i) {
                const char c = raw[k][i];
                if (c == '+') {
                    decoded[k] += ' ';
                } else if (c == '%') {
                    if (i + 2 >= raw[k].size() || !std::isxdigit(static_cast<unsigned char>(raw[k][i + 1])) ||
                        !std::isxdigit(static_cast<unsigned char>(raw[k][i + 2])))
                        return false;
                    decoded[k] += static_cast<char>(std::stoi(raw[k].substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    decoded[k] += c;
                }
            }
        }
        if (!out.emplace(decoded[0], decoded[1]).second) return false;
    }
    return true;
}

Routes::Routes(const HttpConfig& config, const ServedState& state)
    : config_(config), state_(state), history_(config.database) {}

Reply Routes::Handle(const Request& req) {
    if (req.method != "GET" && req.method != "HEAD") {
        Reply r = Error(405, "only GET and HEAD are served");
        r.headers["Allow"] = "GET, HEAD";
        return r;
    }
    const std::size_t qm = req.target.find('?');
    const std::string path = req.target.substr(0, qm);
    std::map<std::string, std::string> q;
    if (qm != std::string::npos && !ParseQuery(req.target.substr(qm + 1), q))
        return Error(400, "malformed query string");
    if (path.rfind("/api/", 0) == 0 || path == "/metrics" || path == "/healthz") {
        if (!config_.token.empty()) {
            // EventSource cannot send headers: the stream also takes the token as a parameter.
            std::string given;
            if (req.authorization.rfind("Bearer ", 0) == 0) given = req.authorization.substr(7);
            auto t = q.find("access_token");
            if (path == "/api/events" && t != q.end()) given = t->second;
            if (!SameSecret(given, config_.token)) {
                Reply r = Error(401, "a valid bearer token is required");
                r.headers["WWW-Authenticate"] = "Bearer";
                return r;
            }
        }
        q.erase("access_token");
        return Api(path, q, req);
    }
    if (!q.empty()) return Error(400, "the page's files take no parameters");
    return File(path);
}

Reply Routes::Api(const std::string& path, const std::map<std::string, std::string>& q, const Request& req) {
    const HealthRule health{config_.health_rounds, std::chrono::seconds(30 + 10 * config_.health_rounds)};
    if (path == "/api/round") {
        const std::string bad = Unknown(q, {"line"});
        if (!bad.empty()) return Error(400, "unknown parameter '" + bad + "'");
        const std::shared_ptr<const RoundShot>* shot = &state_.Latest();
        auto it = q.find("line");
        if (it != q.end()) {
            unsigned long id = 0;
            if (!Unsigned(it->second, 0xFFFFFFFFUL, id)) return Error(400, "line must be a line's bus data id");
            const LineState* line = state_.FindLine(static_cast<std::uint32_t>(id));
            if (!line) return Error(404, "no line with bus data id " + it->second);
            shot = &line->latest;
        }
        if (!*shot) return Error(503, "no round completed yet");
        Reply r;
        r.body = (*shot)->round->Text() + "\n";
        return r;
    }
    if (path == "/api/lines" || path == "/api/fields" || path == "/metrics" || path == "/healthz") {
        if (!q.empty()) return Error(400, "unknown parameter '" + q.begin()->first + "'");
        if (path == "/api/fields") return Json200(FieldTableJson());
        if (path == "/api/lines") {
            Reply r;
            r.body = "[";
            for (const LineState& line : state_.Lines())
                if (line.latest) r.body += (r.body.size() > 1 ? "," : "") + line.latest->round->Text();
            r.body += "]\n";
            return r;
        }
        if (path == "/metrics") {
            Reply r;
            r.content_type = "text/plain; version=0.0.4; charset=utf-8";
            r.body = RenderMetrics(state_, health, std::chrono::steady_clock::now());
            return r;
        }
        const Health h = state_.Check(health, std::chrono::steady_clock::now());
        Reply r;
        r.status = h.ok ? 200 : 503;
        r.content_type = "text/plain; charset=utf-8";
        r.body = h.reason + "\n";
        return r;
    }
    if (path == "/api/events") {
        if (!q.empty()) return Error(400, "unknown parameter '" + q.begin()->first + "'");
        Reply r;
        r.stream = true;
        r.content_type = "text/event-stream; charset=utf-8";
        r.body = "retry: 2000\n\n";
        if (!req.last_event_id.empty()) {
            unsigned long last = 0;
            if (!Unsigned(req.last_event_id, 0xFFFFFFFFUL, last))
                return Error(400, "Last-Event-ID must be an event id");
            bool missed = false;
            r.body += state_.ReplayAfter(last, missed);
            if (missed) r.body = ": some events since " + req.last_event_id + " are gone from the buffer\n" + r.body;
        }
        return r;
    }
    const bool history = path == "/api/history";
    if (!history && path != "/api/alarms") return Error(404, "no such endpoint: " + path);
    const std::string bad = history ? Unknown(q, {"data_id", "field", "from", "to", "limit", "step"})
                                    : Unknown(q, {"from", "to", "limit"});
    if (!bad.empty()) return Error(400, "unknown parameter '" + bad + "'");
    Range range;
    const std::string rangeError = ReadRange(q, range);
    if (!rangeError.empty()) return Error(400, rangeError);
    if (config_.database.empty()) return Error(503, "the monitor keeps no history database");
    try {
        if (!history) return Json200(history_.Alarms(range));
        unsigned long dataId = 0;
        auto d = q.find("data_id");
        auto f = q.find("field");
        if (d == q.end() || !Unsigned(d->second, 0xFFFFFFFFUL, dataId))
            return Error(400, "data_id must be a device's data id");
        if (f == q.end() || f->second.empty() || f->second.size() > 64 ||
            !std::all_of(f->second.begin(), f->second.end(),
                         [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.'; }))
            return Error(400, "field must be a decoded field name like v or channels.0.a");
        if (auto st = q.find("step"); st != q.end()) {
            if (st->second != "raw" && st->second != "minute" && st->second != "hour")
                return Error(400, "step must be raw, minute or hour");
            range.step = st->second;
        }
        return Json200(history_.Series(static_cast<std::uint32_t>(dataId), f->second, range));
    } catch (const std::invalid_argument& e) {
        return Error(400, e.what());
    } catch (const std::exception& e) {
        return Error(503, e.what());
    }
}

Reply Routes::File(const std::string& path) {
    std::string file;
    if (path == "/js/chart.js") {
        file = config_.chartjs;
    } else {
        const std::string name = path == "/" ? "index.html" : path.substr(1);
        // Only plain names in the page's folder: no sub-folders, no dot files.
        const bool plain = !name.empty() && name[0] != '.' && std::all_of(name.begin(), name.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
        });
        if (!plain || config_.www.empty()) return Error(404, "not found: " + path);
        file = config_.www + "/" + name;
    }
    const StaticType* type = nullptr;
    for (const StaticType& t : kTypes) {
        const std::string ext = t.ext;
        if (file.size() > ext.size() && file.compare(file.size() - ext.size(), ext.size(), ext) == 0) type = &t;
    }
    std::ifstream in(file, std::ios::binary);
    if (!type || !in) return Error(404, "not found: " + path);
    Reply r;
    r.content_type = type->type;
    std::ostringstream body;
    body << in.rdbuf();
    r.body = body.str();
    return r;
}

}  // namespace http
