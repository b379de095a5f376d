// Preloaded before libfaketime for a process on a sped-up clock (see
// bench/fast-clock). libfaketime turns the timeouts of sleeps, poll, epoll
// and pthread_cond_timedwait from the fast clock into real ones, but two
// waits the monitor depends on go wrong:
//  - pthread_cond_clockwait (std::condition_variable's wait_for and
//    wait_until) is not translated: its deadline on the fast monotonic
//    clock would be taken as a real one, far in the future;
//  - timerfd_settime with an absolute time (Boost.Asio arms its timerfd
//    that way, at time 0, when a timer is already due) becomes a real
//    absolute time far in the future: the io thread sleeps for good.
// Here both take the time left on the fast clock, divide it by the rate
// ("x<rate>" in FAKETIME) and wait that long on the real monotonic clock.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using ClockWait = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const timespec*);

double Rate() {
    static const double rate = [] {
        const char* faketime = std::getenv("FAKETIME");
        const char* x = faketime ? std::strchr(faketime, 'x') : nullptr;
        const double r = x ? std::strtod(x + 1, nullptr) : 1.0;
        return r > 0 ? r : 1.0;
    }();
    return rate;
}

long long Ns(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec; }

timespec Ts(long long ns) { return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)}; }

// A span on the fast clock as a real one; at least 1 ns, since 0 disarms a timer.
long long RealSpan(long long fastNs) {
    return fastNs <= 0 ? 1 : std::max(1LL, static_cast<long long>(static_cast<double>(fastNs) / Rate()));
}

// The clock of each timerfd, as created (CLOCK_MONOTONIC when unknown).
constexpr int kMaxFd = 4096;
std::atomic<int> g_timerClock[kMaxFd];

}  // namespace

extern "C" int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                      const timespec* deadline) {
    static const auto real = reinterpret_cast<ClockWait>(dlsym(RTLD_NEXT, "pthread_cond_clockwait"));
    timespec fastNow{};
    clock_gettime(clock, &fastNow);  // libfaketime's: the fast clock
    timespec realNow{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &realNow);  // past libfaketime and the vDSO
    long long left = Ns(*deadline) - Ns(fastNow);
    if (left < 0) left = 0;
    const long long until = Ns(realNow) + static_cast<long long>(static_cast<double>(left) / Rate());
    const timespec realDeadline = Ts(until);
    return real(cond, mutex, CLOCK_MONOTONIC, &realDeadline);
}

extern "C" int timerfd_create(int clock, int flags) {
    const int fd = static_cast<int>(syscall(SYS_timerfd_create, clock, flags));
    if (fd >= 0 && fd < kMaxFd) g_timerClock[fd].store(clock + 1);
    return fd;
}

// Arms the timer relative to now on the real clock, straight through the
// kernel. The old value is left as the kernel reports it (real time).
extern "C" int timerfd_settime(int fd, int flags, const struct itimerspec* value, struct itimerspec* old) {
    itimerspec real = *value;
    if (Ns(value->it_value) != 0) {
        long long left = Ns(value->it_value);
        if (flags & TFD_TIMER_ABSTIME) {
            const int stored = fd >= 0 && fd < kMaxFd ? g_timerClock[fd].load() : 0;
            timespec fastNow{};
            clock_gettime(stored ? stored - 1 : CLOCK_MONOTONIC, &fastNow);
            left -= Ns(fastNow);
        }
        real.it_value = Ts(RealSpan(left));
    }
    if (Ns(value->it_interval) != 0) real.it_interval = Ts(RealSpan(Ns(value->it_interval)));
    return static_cast<int>(syscall(SYS_timerfd_settime, fd, flags & ~TFD_TIMER_ABSTIME, &real, old));
}
