#pragma once
// The host's 7-byte local-time record, as stored in every snapshot:
// bytes 0-1 year (little-endian), 2 month (1-12), 3 day (1-31),
// 4 hour, 5 minute, 6 second.
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>

#pragma pack(push, 1)
struct ttime {
    std::uint8_t year_lo;
    std::uint8_t year_hi;
    std::uint8_t month;
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
};
#pragma pack(pop)
static_assert(sizeof(ttime) == 7, "ttime is a 7-byte record");

ttime get_ttime(const boost::posix_time::ptime& local);
