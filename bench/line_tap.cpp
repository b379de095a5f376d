// line-tap: the serial line between the monitor and a paced pmbus-sim.
//
//   line-tap --peer /dev/pts/N [--baud 9600] --log FILE
//
// Opens a pseudo-terminal for the monitor (the path of its other end is the
// first line on standard output) and relays bytes to and from the
// simulator's pseudo-terminal PEER. Requests are passed on at the line rate,
// 10 bit times a byte (the simulator paces its answers itself), so a round
// takes the time it would take on the wire. Every frame seen is logged, one
// line each:
//   Q|A  CID1  CID2|RTN  bytes  first-byte-us  last-byte-us
// (Q monitor to simulator, A back; times in microseconds of CLOCK_MONOTONIC).
// SIGINT or SIGTERM end it.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

std::int64_t NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

// Splits one direction's bytes into frames ('~' to CR) and logs each.
class FrameLog {
public:
    FrameLog(std::FILE* out, char dir) : out_(out), dir_(dir) {}
    void Byte(char c, std::int64_t ns) {
        if (c == '~') {
            frame_.assign(1, c);
            start_ = ns;
            return;
        }
        if (frame_.empty()) return;  // noise outside frames
        frame_.push_back(c);
        if (c == '\r') {
            const std::string cid1 = frame_.size() > 7 ? frame_.substr(5, 2) : "??";
            const std::string cid2 = frame_.size() > 9 ? frame_.substr(7, 2) : "??";
            std::fprintf(out_, "%c %s %s %zu %lld %lld\n", dir_, cid1.c_str(), cid2.c_str(), frame_.size(),
                         static_cast<long long>(start_ / 1000), static_cast<long long>(ns / 1000));
            std::fflush(out_);
            frame_.clear();
        } else if (frame_.size() > 5000) {
            frame_.clear();
        }
    }

private:
    std::FILE* out_;
    char dir_;
    std::string frame_;
    std::int64_t start_ = 0;
};

int Usage() {
    std::fprintf(stderr, "usage: line-tap --peer PATH [--baud N] --log FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string peerPath, logPath;
    long baud = 9600;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--peer" && i + 1 < argc)
            peerPath = argv[++i];
        else if (a == "--baud" && i + 1 < argc)
            baud = std::strtol(argv[++i], nullptr, 10);
        else if (a == "--log" && i + 1 < argc)
            logPath = argv[++i];
        else
            return Usage();
    }
    if (peerPath.empty() || logPath.empty() || baud <= 0) return Usage();

    std::FILE* log = std::fopen(logPath.c_str(), "w");
    if (!log) {
        std::perror("line-tap: log");
        return 1;
    }
    const int peer = ::open(peerPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (peer < 0) {
        std::perror("line-tap: peer");
        return 1;
    }
    MakeRaw(peer);
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("line-tap: openpty");
        return 1;
    }
    MakeRaw(slave);
    // The slave stays open here too, so the master never sees a hang-up
    // while the monitor has the line closed.
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    std::printf("%s\n", name);
    std::fflush(stdout);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    const std::int64_t perByteNs = static_cast<std::int64_t>(10.0e9 / static_cast<double>(baud));
    FrameLog requests(log, 'Q'), answers(log, 'A');
    std::deque<char> pending;  // requests waiting for their bit times
    std::int64_t nextSend = 0;
    char buf[512];

    while (!g_stop) {
        const std::int64_t now = NowNs();
        while (!pending.empty() && now >= nextSend) {
            const char c = pending.front();
            if (::write(peer, &c, 1) != 1) break;
            pending.pop_front();
            requests.Byte(c, now);
            nextSend += perByteNs;
            if (NowNs() < nextSend) break;
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {peer, POLLIN, 0}};
        timespec wait{0, 200000000};
        if (!pending.empty()) {
            const std::int64_t d = std::max<std::int64_t>(0, nextSend - NowNs());
            wait = {static_cast<time_t>(d / 1000000000), static_cast<long>(d % 1000000000)};
        }
        const int r = ppoll(fds, 2, &wait, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::perror("line-tap: poll");
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            // On an idle line the first byte has arrived one byte time from
            // now (at its stop bit); the others follow on an absolute
            // schedule, so a late wake-up is caught up, not added.
            if (n > 0 && pending.empty()) nextSend = std::max(nextSend, NowNs() + perByteNs);
            for (ssize_t k = 0; k < n; ++k) pending.push_back(buf[k]);
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = ::read(peer, buf, sizeof buf);
            const std::int64_t t = NowNs();
            for (ssize_t k = 0; k < n; ++k) answers.Byte(buf[k], t);
            for (ssize_t off = 0; off < n;) {
                const ssize_t w = ::write(master, buf + off, static_cast<std::size_t>(n - off));
                if (w < 0 && errno != EAGAIN && errno != EINTR) break;
                if (w > 0) off += w;
            }
        }
        if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN)) {
            std::fprintf(stderr, "line-tap: the simulator's line closed\n");
            return 1;
        }
    }
    return 0;
}
