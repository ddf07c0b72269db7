// Calendar time, UTC and local, as the Windows system time record has it.
#pragma once

#include <cstdint>

namespace plat {

struct SystemTime {
    std::uint16_t year;
    std::uint16_t month; // 1..12
    std::uint16_t day;
    std::uint16_t hour;
    std::uint16_t minute;
    std::uint16_t second;
    std::uint16_t milliseconds;
};

SystemTime utcTime();
SystemTime localTime();

} // namespace plat
