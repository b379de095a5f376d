#pragma once
// What each path answers: the endpoints' rules, independent of the sockets.
#include "tools/http/history_reader.h"
#include "tools/http/http_config.h"
#include "tools/http/served_state.h"

#include <map>
#include <string>

namespace http {

struct Request {
    std::string method;
    std::string target;
    std::string authorization;  // the Authorization header
    std::string last_event_id;  // the Last-Event-ID header
};

struct Reply {
    int status = 200;
    std::string content_type = "application/json; charset=utf-8";
    std::string body;
    std::map<std::string, std::string> headers;  // extra ones (Allow, WWW-Authenticate)
    bool stream = false;                         // /api/events: body is the replay, events follow
};

class Routes {
public:
    Routes(const HttpConfig& config, const ServedState& state);
    Reply Handle(const Request& req);

private:
    Reply Api(const std::string& path, const std::map<std::string, std::string>& q, const Request& req);
    Reply File(const std::string& path);

    const HttpConfig& config_;
    const ServedState& state_;
    HistoryReader history_;
};

// An error answer: {"error": message} as one line.
Reply Error(int status, const std::string& message);

// "a=1&b=x%20y" to its pairs; false for a duplicate or a bad escape.
bool ParseQuery(const std::string& query, std::map<std::string, std::string>& out);

}  // namespace http
