#pragma once
// Pacing of the polling rounds: the age of the bus device's last update in
// whole seconds of local time, truncated toward zero and negative for a
// last update in the future (clock set back).
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstdint>
#include <limits>

namespace bus_cycle {

// Rounds start no sooner than this many seconds after the last update.
constexpr std::int64_t kRoundSpacingSeconds = 2;

inline std::int64_t WholeSecondsSince(const boost::posix_time::ptime& last,
                                      const boost::posix_time::ptime& now) {
    // A last update the host never set does not hold the rounds back.
    if (last.is_not_a_date_time() || last.is_neg_infinity())
        return std::numeric_limits<std::int64_t>::max();
    if (last.is_pos_infinity()) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>((now - last).total_seconds());
}

}  // namespace bus_cycle
