#pragma once
// A program run by a test: its standard output read line by line with a
// deadline, its standard error appended to a file. A process still running
// when the object goes is killed and reaped.
#include "tools/runtime/tests/temp_dir.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

class ChildProcess {
public:
    // errPath empty: standard error is discarded.
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& errPath = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output (without the newline); false at the
    // end of the output or when the deadline passed first.
    bool Line(std::string& line, std::chrono::steady_clock::time_point deadline);
    void Signal(int sig);
    // The exit status, 128 + the signal when a signal ended it; -1 when it
    // was still running after limit (it is then killed). Output written
    // meanwhile is kept for Line.
    int Wait(std::chrono::milliseconds limit);

private:
    enum class Pumped { kSome, kNothing, kEnd };
    // Waits up to ms for output and keeps it in buffer_; at the end of the
    // output the pipe is closed.
    Pumped Pump(int ms);

    pid_t pid_ = -1;
    int fd_ = -1;
    bool reaped_ = false;
    std::string buffer_;
};

using rttest::TempDir;

}  // namespace e2e
