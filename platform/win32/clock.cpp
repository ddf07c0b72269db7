#include "../common/system.h"

#include <windows.h>

#include <mmsystem.h>

namespace plat::system {
namespace {

// The multimedia timer's millisecond count, at 1 ms resolution for as long as
// the module that holds the platform layer is loaded (a library from its
// process attach to its detach).
class RealClock final : public Clock {
public:
    RealClock() { timeBeginPeriod(1); }
    ~RealClock() override { timeEndPeriod(1); }
    RealClock(const RealClock &) = delete;
    RealClock &operator=(const RealClock &) = delete;
    std::uint32_t tickMs() override { return timeGetTime(); }
    void sleepMs(std::uint32_t ms) override { Sleep(ms); }
    bool isReal() const override { return true; }
};

RealClock instance;

} // namespace

Clock &wallClock() {
    return instance;
}

} // namespace plat::system
