#include "tools/e2e/child_process.h"

#include "tools/runtime/tests/launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace e2e {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& errPath) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const int err = ::open(errPath.empty() ? "/dev/null" : errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                           0644);
    if (err < 0) throw std::runtime_error("cannot open " + errPath);
    std::vector<std::string> words = rttest::LaunchWords(program, args);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(fds[1], 1);
        ::dup2(err, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    ::close(err);
    fd_ = fds[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
    }
    if (fd_ >= 0) ::close(fd_);
}

ChildProcess::Pumped ChildProcess::Pump(int ms) {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) return Pumped::kSome;
    if (r <= 0) return Pumped::kNothing;
    char chunk[4096];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) return Pumped::kSome;
    if (n <= 0) {
        ::close(fd_);
        fd_ = -1;
        return Pumped::kEnd;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return Pumped::kSome;
}

bool ChildProcess::Line(std::string& line, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || fd_ < 0) break;
        const Pumped r = Pump(static_cast<int>(left.count()));
        if (r == Pumped::kNothing) break;
        if (r == Pumped::kEnd) {
            // The end of the output: a last line without its newline still counts.
            if (buffer_.empty()) return false;
            line.swap(buffer_);
            buffer_.clear();
            return true;
        }
    }
    return false;
}

void ChildProcess::Signal(int sig) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            reaped_ = true;
            return -1;
        }
        // What it still writes is read meanwhile (and kept for Line): a
        // child blocked on a full pipe could not end.
        if (fd_ >= 0) Pump(20);
        else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace e2e
