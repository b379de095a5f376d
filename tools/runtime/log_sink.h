#pragma once
// Time-stamped log lines to standard error or a file, from any thread.
#include <cstdio>
#include <mutex>
#include <string>

namespace rt {

class LogSink {
public:
    // Writes to stderr until Open succeeds.
    LogSink() = default;
    ~LogSink();
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    // Appends to the file at path; false (and stderr kept) when it cannot be opened.
    bool Open(const std::string& path);
    // One line: "YYYY-MM-DD HH:MM:SS.mmm " + text + "\n", flushed.
    void Write(const std::string& text);

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;  // null: stderr
};

// Local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string LocalTimestamp();

}  // namespace rt
