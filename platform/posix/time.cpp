#include "plat/time.h"

#include <ctime>

namespace plat {
namespace {

SystemTime fromTm(const std::tm &t, long nanos) {
    return SystemTime{static_cast<std::uint16_t>(t.tm_year + 1900), static_cast<std::uint16_t>(t.tm_mon + 1),
                      static_cast<std::uint16_t>(t.tm_mday),        static_cast<std::uint16_t>(t.tm_hour),
                      static_cast<std::uint16_t>(t.tm_min),         static_cast<std::uint16_t>(t.tm_sec),
                      static_cast<std::uint16_t>(nanos / 1000000)};
}

} // namespace

SystemTime utcTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm t{};
    gmtime_r(&ts.tv_sec, &t);
    return fromTm(t, ts.tv_nsec);
}

SystemTime localTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm t{};
    localtime_r(&ts.tv_sec, &t);
    return fromTm(t, ts.tv_nsec);
}

} // namespace plat
