#include "host/ttime.h"

#include <boost/date_time/posix_time/posix_time.hpp>

ttime get_ttime(const boost::posix_time::ptime& local) {
    ttime t{};
    if (local.is_special()) return t;
    const auto d = local.date();
    const auto tod = local.time_of_day();
    const unsigned year = static_cast<unsigned>(d.year());
    t.year_lo = static_cast<std::uint8_t>(year & 0xFF);
    t.year_hi = static_cast<std::uint8_t>(year >> 8);
    t.month = static_cast<std::uint8_t>(d.month().as_number());
    t.day = static_cast<std::uint8_t>(d.day());
    t.hour = static_cast<std::uint8_t>(tod.hours());
    t.minute = static_cast<std::uint8_t>(tod.minutes());
    t.second = static_cast<std::uint8_t>(tod.seconds());
    return t;
}
