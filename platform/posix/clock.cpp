#include "../common/system.h"

#include <chrono>
#include <thread>

namespace plat::system {
namespace {

class RealClock final : public Clock {
public:
    std::uint32_t tickMs() override {
        auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }
    void sleepMs(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    bool isReal() const override { return true; }
};

} // namespace

Clock &wallClock() {
    static RealClock instance;
    return instance;
}

} // namespace plat::system
