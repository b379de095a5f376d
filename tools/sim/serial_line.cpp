#include "tools/sim/serial_line.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace sim {
namespace {

struct Speed {
    unsigned baud;
    speed_t code;
};
const Speed kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},
                         {19200, B19200}, {38400, B38400}, {57600, B57600},   {115200, B115200},
                         {230400, B230400}};

speed_t SpeedCode(unsigned baud) {
    for (const Speed& s : kSpeeds)
        if (s.baud == baud) return s.code;
    throw std::runtime_error("unsupported baud rate " + std::to_string(baud));
}

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// Raw 8N1: no echo, no line editing, no CR/NL translation.
void MakeRaw(int fd, unsigned baud) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) Fail("tcgetattr");
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, SpeedCode(baud));
    cfsetospeed(&t, SpeedCode(baud));
    if (tcsetattr(fd, TCSANOW, &t) != 0) Fail("tcsetattr");
}

void AddNs(timespec& t, long ns) {
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
}

}  // namespace

bool KnownBaud(unsigned baud) {
    for (const Speed& s : kSpeeds)
        if (s.baud == baud) return true;
    return false;
}

SerialLine SerialLine::OpenDevice(const std::string& path, unsigned baud) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) Fail("cannot open " + path);
    try {
        MakeRaw(fd, baud);
    } catch (...) {
        ::close(fd);
        throw;
    }
    return SerialLine(fd, -1, path);
}

SerialLine SerialLine::OpenPty(unsigned baud) {
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) Fail("openpty");
    try {
        MakeRaw(slave, baud);
    } catch (...) {
        ::close(master);
        ::close(slave);
        throw;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    return SerialLine(master, slave, name);
}

SerialLine::SerialLine(SerialLine&& other) noexcept : fd_(other.fd_), keep_(other.keep_), peer_(std::move(other.peer_)) {
    other.fd_ = other.keep_ = -1;
}

SerialLine::~SerialLine() {
    if (fd_ >= 0) ::close(fd_);
    if (keep_ >= 0) ::close(keep_);
}

unsigned SerialLine::LineBaud() const {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return 0;
    const speed_t code = cfgetispeed(&t);
    for (const Speed& s : kSpeeds)
        if (s.code == code) return s.baud;
    return 0;
}

long SerialLine::Read(std::uint8_t* buf, std::size_t size, int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    const int n = ::poll(&p, 1, timeout_ms);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (n == 0) return 0;
    const ssize_t got = ::read(fd_, buf, size);
    if (got < 0) return errno == EINTR || errno == EAGAIN ? 0 : -1;
    if (got == 0) {
        errno = EIO;
        return -1;
    }
    return got;
}

bool SerialLine::Write(const std::string& bytes, unsigned pace_baud, const volatile std::sig_atomic_t& stop) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    if (pace_baud == 0) {
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        return true;
    }
    // One byte per 10 bit times, on an absolute schedule so sleeps do not drift.
    const long perByteNs = static_cast<long>(10.0e9 / pace_baud);
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (left > 0 && !stop) {
        const ssize_t n = ::write(fd_, p, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        ++p;
        --left;
        AddNs(next, perByteNs);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR && !stop) {
        }
    }
    return true;
}

}  // namespace sim
