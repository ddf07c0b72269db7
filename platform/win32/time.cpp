#include "plat/time.h"

#include <windows.h>

namespace plat {
namespace {

SystemTime fromWindows(const SYSTEMTIME &t) {
    return SystemTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

} // namespace

SystemTime utcTime() {
    SYSTEMTIME t{};
    GetSystemTime(&t);
    return fromWindows(t);
}

SystemTime localTime() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return fromWindows(t);
}

} // namespace plat
