#pragma once
// Where the plug-in's own trace lines (its writes to standard output) go.
// By default nowhere: they are a few lines a round, every round, and a
// service's log must not grow with the rounds. With --trace each goes into
// the log as a line of its own, time-stamped and named by its line:
//   "plug-in 1000: parse 42 41: ..."
// File descriptor 1 is then a pipe that Drain empties on the io thread
// each time the plug-in returns, so every text is the line's that ran.
#include "tools/runtime/log_sink.h"

#include <cstdint>
#include <string>

namespace monitor {

class PluginTrace {
public:
    // Points file descriptor 1 at the pipe (keep) or at /dev/null; throws
    // std::runtime_error when it cannot. Take the real standard output
    // before.
    PluginTrace(bool keep, rt::LogSink& log);
    ~PluginTrace();
    PluginTrace(const PluginTrace&) = delete;
    PluginTrace& operator=(const PluginTrace&) = delete;

    bool Keeps() const { return readFd_ >= 0; }
    // Logs the complete lines written since the last call as line's.
    void Drain(std::uint32_t line);

private:
    rt::LogSink& log_;
    int readFd_ = -1;
    std::string pending_;  // a line not ended yet
};

}  // namespace monitor
