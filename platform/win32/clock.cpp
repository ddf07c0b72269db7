#include "../common/system.h"

#include <windows.h>

#include <mmsystem.h>

namespace plat::system {
namespace {

// The multimedia timer's millisecond count.
class RealClock final : public Clock {
public:
    std::uint32_t tickMs() override { return timeGetTime(); }
    void sleepMs(std::uint32_t ms) override { Sleep(ms); }
    bool isReal() const override { return true; }
};

// 1 ms timer resolution for as long as the module that holds the platform
// layer is loaded: a library from its process attach to its detach.
struct TimerResolution {
    TimerResolution() { timeBeginPeriod(1); }
    ~TimerResolution() { timeEndPeriod(1); }
    TimerResolution(const TimerResolution &) = delete;
    TimerResolution &operator=(const TimerResolution &) = delete;
};
const TimerResolution resolution;

} // namespace

Clock &wallClock() {
    // Made on first use: other modules' start-up code may read the clock
    // before this file's objects exist.
    static RealClock instance;
    return instance;
}

} // namespace plat::system
