#include "plat/mutex.h"

#include "plat/clock.h"

#include <chrono>

namespace plat {

TimedRecursiveMutex::WaitResult TimedRecursiveMutex::lockFor(std::uint32_t timeoutMs) {
    Clock &c = clock();
    if (c.isReal()) {
        return mutex_.try_lock_for(std::chrono::milliseconds(timeoutMs)) ? WaitResult::Locked
                                                                         : WaitResult::TimedOut;
    }
    // Virtual time: the holder gets a real grace first, then each miss
    // advances the clock by a millisecond.
    if (timeoutMs > 0 && mutex_.try_lock_for(std::chrono::milliseconds(kPeerGraceMs))) {
        return WaitResult::Locked;
    }
    const std::uint32_t start = c.tickMs();
    for (;;) {
        if (mutex_.try_lock()) {
            return WaitResult::Locked;
        }
        if (c.tickMs() - start >= timeoutMs) {
            return WaitResult::TimedOut;
        }
        c.sleepMs(1);
    }
}

} // namespace plat
