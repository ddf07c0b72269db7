// A recursive mutex with a bounded wait, the way a Windows mutex handle
// behaves under WaitForSingleObject with a time-out.
#pragma once

#include <cstdint>
#include <mutex>

namespace plat {

class TimedRecursiveMutex {
public:
    enum class WaitResult { Locked, TimedOut };

    // Waits at most `timeoutMs` on the platform clock.
    WaitResult lockFor(std::uint32_t timeoutMs);
    void unlock() { mutex_.unlock(); }

private:
    std::recursive_timed_mutex mutex_;
};

} // namespace plat
