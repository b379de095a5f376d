#pragma once
// The pause before the next attempt to reach the broker: random between the
// minimum and a ceiling that doubles with every failed attempt (twice the
// minimum first) up to the maximum. The monitors of a fleet lose a broker
// that stops at the same moment; with pauses drawn at random their attempts
// drift apart, so when it is back they come one by one over up to the
// maximum pause instead of all in the same second.
#include <chrono>
#include <cstdint>
#include <random>

namespace mqtt {

class Backoff {
public:
    Backoff(std::chrono::milliseconds min, std::chrono::milliseconds max, std::uint64_t seed)
        : min_(min), max_(max), random_(seed) {}

    // The pause before the next attempt; counts one more failed attempt.
    std::chrono::milliseconds Next();
    // Connected: the next pause starts from the minimum again.
    void Reset() { failures_ = 0; }
    // The largest pause Next() may give now.
    std::chrono::milliseconds Ceiling() const;

private:
    std::chrono::milliseconds min_, max_;
    unsigned failures_ = 0;
    std::mt19937_64 random_;
};

// A seed that differs between processes started at the same moment.
std::uint64_t BackoffSeed();

}  // namespace mqtt
