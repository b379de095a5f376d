#pragma once
// The monitor's HTTP service: Boost.Beast on its own thread and io_context.
// The monitor hands it each round's object and the runtime's events; it
// never calls into the devices.
#include "tools/http/http_config.h"
#include "tools/model/round.h"
#include "tools/runtime/runtime_event.h"

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>

namespace rt {
class LogSink;
}

namespace http {

class Server {
public:
    // Binds (throws std::runtime_error when it cannot) and starts the thread.
    Server(const HttpConfig& config, rt::LogSink& log);
    ~Server();  // closes every connection and joins the thread
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // From any thread: a line of the site, named before its first round so
    // that the lines keep the site's order; the round's --json object,
    // complete (active alarms included); and the runtime's events with the
    // bus data id of their line.
    void AddLine(std::uint32_t busDataId, const std::string& port);
    // The round is shared, never copied; its text is written only when a
    // client asks for it or a stream is open.
    void PublishRound(model::RoundPtr round);
    void PublishEvent(const rt::RuntimeEvent& event);

    unsigned short Port() const;

    static constexpr int kMaxConnections = 64;
    static constexpr std::size_t kMaxQueuedEvents = 64;  // per stream; a client that falls behind is dropped
    static constexpr std::size_t kMaxHead = 8192;

    struct Impl;  // in http_server.cpp

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace http
