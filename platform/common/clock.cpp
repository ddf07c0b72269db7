#include "plat/clock.h"

#include "system.h"

#include <algorithm>
#include <atomic>

namespace plat {
namespace {

std::atomic<Clock *> current{nullptr};

} // namespace

Clock &clock() {
    Clock *c = current.load(std::memory_order_acquire);
    return c != nullptr ? *c : system::wallClock();
}

Clock &realClock() {
    return system::wallClock();
}

void setClock(Clock *c) {
    current.store(c, std::memory_order_release);
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
