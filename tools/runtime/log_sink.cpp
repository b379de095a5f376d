#include "tools/runtime/log_sink.h"

#include <chrono>
#include <ctime>

namespace rt {

std::string LocalTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[40];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03d", static_cast<int>(ms));
    return buf;
}

LogSink::~LogSink() {
    if (file_) std::fclose(file_);
}

bool LogSink::Open(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (!f) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = f;
    return true;
}

void LogSink::Write(const std::string& text) {
    const std::string line = LocalTimestamp() + " " + text + "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    std::FILE* out = file_ ? file_ : stderr;
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

}  // namespace rt
