#include "tools/mqtt/backoff.h"

#include <unistd.h>

#include <algorithm>

namespace mqtt {

std::chrono::milliseconds Backoff::Ceiling() const {
    const unsigned shift = std::min(failures_ + 1, 20u);
    return std::max(min_, std::min(max_, min_ * (std::int64_t{1} << shift)));
}

std::chrono::milliseconds Backoff::Next() {
    const std::chrono::milliseconds top = Ceiling();
    if (failures_ < 64) ++failures_;
    if (top <= min_) return min_;
    std::uniform_int_distribution<std::int64_t> pick(min_.count(), top.count());
    return std::chrono::milliseconds(pick(random_));
}

std::uint64_t BackoffSeed() {
    std::random_device device;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return (std::uint64_t{device()} << 32) ^ static_cast<std::uint64_t>(now) ^
           (static_cast<std::uint64_t>(getpid()) << 16);
}

}  // namespace mqtt
