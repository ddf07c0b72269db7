#include "plat/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace plat {
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

RealClock wallClock;
std::atomic<Clock *> current{&wallClock};

} // namespace

Clock &clock() {
    return *current.load(std::memory_order_acquire);
}

Clock &realClock() {
    return wallClock;
}

void setClock(Clock *c) {
    current.store(c != nullptr ? c : &wallClock, std::memory_order_release);
}

void VirtualClock::advance(std::uint32_t ms) {
    now_.fetch_add(ms);
    if (ms == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(watchersMutex_);
    for (ClockWatcher *w : watchers_) {
        w->clockMoved();
    }
}

void VirtualClock::watch(ClockWatcher *w) {
    std::lock_guard<std::mutex> lock(watchersMutex_);
    watchers_.push_back(w);
}

void VirtualClock::unwatch(ClockWatcher *w) {
    std::lock_guard<std::mutex> lock(watchersMutex_);
    watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), w), watchers_.end());
}

} // namespace plat
