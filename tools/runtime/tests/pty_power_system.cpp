#include "tools/runtime/tests/pty_power_system.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace rttest {

std::string AnswerFrame(std::uint8_t cid1, const std::vector<std::uint8_t>& info, std::uint8_t rtn,
                        std::uint8_t ver, std::uint8_t adr) {
    return frame::EncodeFrame(ver, adr, cid1, rtn, info.data(), info.size());
}

std::vector<std::uint8_t> Float(float f) {
    std::vector<std::uint8_t> b(4);
    std::memcpy(b.data(), &f, 4);
    return b;
}

PtyPowerSystem::PtyPowerSystem(const std::string& dir, Script script)
    : link_(dir + "/ttyPS"), script_(std::move(script)) {
    Open();
    thread_ = std::thread([this] { Loop(); });
}

PtyPowerSystem::~PtyPowerSystem() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    ::unlink(link_.c_str());
}

void PtyPowerSystem::Open() {
    int m = -1, s = -1;
    char name[128] = {};
    if (::openpty(&m, &s, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    termios t{};
    ::tcgetattr(s, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(s, TCSANOW, &t);
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
    std::lock_guard<std::mutex> lock(mutex_);
    master_ = m;
    slave_ = s;  // held so that the master never reads EIO while the runtime reopens
    const std::string tmp = link_ + ".new";
    ::unlink(tmp.c_str());
    if (::symlink(name, tmp.c_str()) != 0 || ::rename(tmp.c_str(), link_.c_str()) != 0)
        throw std::runtime_error("cannot link the pty");
    decoder_ = frame::FrameDecoder();
    due_.clear();
}

void PtyPowerSystem::Unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    // Point the name nowhere first, then pull the pty away under the runtime.
    const std::string tmp = link_ + ".new";
    ::unlink(tmp.c_str());
    if (::symlink("/nonexistent/ttyPS", tmp.c_str()) == 0) ::rename(tmp.c_str(), link_.c_str());
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    master_ = slave_ = -1;
    due_.clear();
}

void PtyPowerSystem::Plug() { Open(); }

void PtyPowerSystem::SendRaw(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    due_.push_back({std::chrono::steady_clock::now(), bytes});
}

std::vector<frame::Frame> PtyPowerSystem::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int PtyPowerSystem::RequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(requests_.size());
}

void PtyPowerSystem::Loop() {
    while (!stop_) {
        int fd;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd = master_;
        }
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 5);
        std::lock_guard<std::mutex> lock(mutex_);
        if (master_ != fd) continue;  // unplugged meanwhile
        std::uint8_t buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            std::vector<frame::DecodeEvent> events;
            decoder_.Feed(buf, static_cast<std::size_t>(n), events);
            for (const auto& e : events) {
                if (!e.ok) continue;
                const int index = static_cast<int>(requests_.size());
                requests_.push_back(e.frame);
                for (auto& r : script_(e.frame, index))
                    due_.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(r.delay_ms),
                                    std::move(r.bytes)});
            }
        }
        const auto now = std::chrono::steady_clock::now();
        for (auto it = due_.begin(); it != due_.end();) {
            if (it->at <= now) {
                const ssize_t w = ::write(fd, it->bytes.data(), it->bytes.size());
                (void)w;
                it = due_.erase(it);
            } else {
                ++it;
            }
        }
    }
}

}  // namespace rttest
