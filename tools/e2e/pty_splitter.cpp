#include "tools/e2e/pty_splitter.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace e2e {

PtySplitter::PtySplitter(const std::vector<std::string>& units) {
    int master = -1;
    char name[128];
    if (::openpty(&master, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    path_ = name;
    fds_.push_back(master);
    for (const std::string& u : units) {
        const int fd = ::open(u.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("cannot open " + u);
        fds_.push_back(fd);
    }
    std::vector<int> raw(fds_.begin() + 1, fds_.end());
    raw.push_back(slave_);
    for (int fd : raw) {
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    thread_ = std::thread([this] {
        std::vector<pollfd> p;
        for (int fd : fds_) p.push_back({fd, POLLIN, 0});
        char buf[512];
        while (!stop_) {
            if (::poll(p.data(), p.size(), 50) <= 0) continue;
            for (std::size_t i = 0; i < p.size(); ++i) {
                if (p[i].revents & (POLLHUP | POLLERR)) p[i].fd = -1;  // a simulator ended
                if (!(p[i].revents & POLLIN)) continue;
                const ssize_t n = ::read(fds_[i], buf, sizeof buf);
                if (n <= 0) continue;
                // Requests to every unit, at the speed the monitor set on
                // its end; answers to the monitor. A unit that went away
                // loses them.
                if (i == 0) PassSpeed();
                const std::size_t from = i == 0 ? 1 : 0, to = i == 0 ? fds_.size() : 1;
                for (std::size_t j = from; j < to; ++j)
                    if (::write(fds_[j], buf, static_cast<std::size_t>(n)) != n && j > 0) p[j].fd = -1;
            }
        }
    });
}

void PtySplitter::PassSpeed() {
    termios line{};
    if (::tcgetattr(fds_[0], &line) != 0) return;
    for (std::size_t j = 1; j < fds_.size(); ++j) {
        termios unit{};
        if (::tcgetattr(fds_[j], &unit) != 0 || cfgetispeed(&unit) == cfgetispeed(&line)) continue;
        ::cfsetispeed(&unit, cfgetispeed(&line));
        ::cfsetospeed(&unit, cfgetospeed(&line));
        ::tcsetattr(fds_[j], TCSANOW, &unit);
    }
}

PtySplitter::~PtySplitter() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) ::close(fd);
    ::close(slave_);
}

}  // namespace e2e
