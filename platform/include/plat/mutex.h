// A recursive mutex with a bounded wait, the way a Windows mutex handle
// behaves under WaitForSingleObject with a time-out.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace plat {

class TimedRecursiveMutex {
public:
    enum class WaitResult { Locked, TimedOut };

    // Waits at most `timeoutMs` on the platform clock. The wait ends when the
    // holder lets go, or (virtual time) when the clock has been moved past
    // the deadline by whoever drives it.
    WaitResult lockFor(std::uint32_t timeoutMs);
    void unlock();
    // Threads waiting for it right now (tests wait for a waiter to be there
    // before they move virtual time).
    int waiting() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::uint32_t owner_ = 0; // thread id; 0 = free
    int count_ = 0;
    int waiting_ = 0;
};

} // namespace plat
