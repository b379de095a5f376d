// The reconnect pause: within its bounds attempt after attempt, and random
// enough that fifty monitors losing one broker together come back spread
// out when it returns after 30 s.
#include "tools/mqtt/backoff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using std::chrono::milliseconds;

TEST(MqttBackoff, PausesStayWithinADoublingCeilingAndTheCap) {
    // (failed attempts before, largest pause in ms)
    const std::pair<int, std::int64_t> ceilings[] = {{0, 2000}, {1, 4000}, {2, 8000}, {3, 16000}, {4, 30000}, {9, 30000}};
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        for (const auto& [before, top] : ceilings) {
            mqtt::Backoff b(milliseconds(1000), milliseconds(30000), seed);
            for (int i = 0; i < before; ++i) b.Next();
            EXPECT_EQ(b.Ceiling().count(), top) << before;
            const auto pause = b.Next().count();
            EXPECT_GE(pause, 1000) << before;
            EXPECT_LE(pause, top) << before;
        }
        mqtt::Backoff b(milliseconds(1000), milliseconds(30000), seed);
        for (int i = 0; i < 6; ++i) b.Next();
        b.Reset();
        EXPECT_EQ(b.Ceiling().count(), 2000);
    }
}

// Fifty monitors lose the broker at 0 and try again after each pause; it
// is back at 30 s. The first attempt of each after that is its reconnect:
// never more than a fifth of them within one second.
TEST(MqttBackoff, AFleetComesBackSpreadOut) {
    const int sites = 50;
    const std::int64_t back = 30000;
    std::vector<std::int64_t> reconnect;
    for (int s = 0; s < sites; ++s) {
        mqtt::Backoff b(milliseconds(1000), milliseconds(30000), 1000 + s);
        std::int64_t t = 0;
        while (t < back) t += b.Next().count();
        reconnect.push_back(t);
    }
    std::sort(reconnect.begin(), reconnect.end());
    std::size_t most = 0;
    for (std::size_t i = 0, j = 0; i < reconnect.size(); ++i) {
        while (reconnect[i] - reconnect[j] >= 1000) ++j;
        most = std::max(most, i - j + 1);
    }
    EXPECT_LE(most, static_cast<std::size_t>(sites / 5));
    EXPECT_GT(reconnect.back() - reconnect.front(), 10000) << "spread over more than 10 s";
}

}  // namespace
