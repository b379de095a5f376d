#include "tools/monitor/plugin_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace monitor {
namespace {
// A line longer than this is logged in pieces.
constexpr std::size_t kMaxLine = 4096;
}  // namespace

PluginTrace::PluginTrace(bool keep, rt::LogSink& log) : log_(log) {
    std::fflush(stdout);
    std::cout.flush();
    int target = -1;
    if (keep) {
        int fds[2];
        // The writing end does not block: a plug-in that writes faster than
        // the io thread drains loses text, never its round.
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot make the trace pipe");
        readFd_ = fds[0];
        target = fds[1];
    } else {
        target = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (target < 0) throw std::runtime_error("cannot open /dev/null");
    }
    ::dup2(target, 1);
    ::close(target);
}

PluginTrace::~PluginTrace() {
    if (readFd_ >= 0) ::close(readFd_);
}

void PluginTrace::Drain(std::uint32_t line) {
    if (readFd_ < 0) return;
    std::fflush(stdout);
    std::cout.flush();
    std::clearerr(stdout);
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(readFd_, buf, sizeof buf);
        if (n <= 0) break;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t start = 0;
    for (;;) {
        std::size_t end = pending_.find('\n', start);
        if (end == std::string::npos) {
            if (pending_.size() - start < kMaxLine) break;
            end = start + kMaxLine;
        }
        log_.Write("plug-in " + std::to_string(line) + ": " + pending_.substr(start, end - start));
        start = end < pending_.size() && pending_[end] == '\n' ? end + 1 : end;
    }
    pending_.erase(0, start);
}

}  // namespace monitor
