#include "tools/e2e/pty_splitter.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace e2e {
namespace {

void MakeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return;
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
}

// Writes all of it; a unit that went away loses its bytes.
void WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

}  // namespace

PtySplitter::PtySplitter(const std::vector<std::string>& units) {
    char name[128];
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    MakeRaw(slave_);
    path_ = name;
    for (const std::string& u : units) {
        const int fd = ::open(u.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("cannot open " + u);
        MakeRaw(fd);
        units_.push_back(fd);
    }
    thread_ = std::thread([this] { Loop(); });
}

PtySplitter::~PtySplitter() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : units_) ::close(fd);
    ::close(slave_);
    ::close(master_);
}

void PtySplitter::Loop() {
    std::vector<pollfd> fds;
    fds.push_back({master_, POLLIN, 0});
    for (int fd : units_) fds.push_back({fd, POLLIN, 0});
    char buf[512];
    while (!stop_) {
        if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) {
                // A unit whose simulator ended: stop polling it.
                if (fds[i].revents & (POLLHUP | POLLERR) && i > 0) fds[i].fd = -1;
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) continue;
            if (i == 0) {
                for (int u : units_) WriteAll(u, buf, static_cast<std::size_t>(n));
            } else {
                WriteAll(master_, buf, static_cast<std::size_t>(n));
            }
        }
    }
}

}  // namespace e2e
