#include "plat/mutex.h"

#include "plat/clock.h"
#include "plat/thread.h"

#include <chrono>

namespace plat {
namespace {

// Wakes a waiter whenever a virtual clock moves, so that it can see its
// deadline pass.
class WakeOnClock final : public ClockWatcher {
public:
    WakeOnClock(Clock &c, std::mutex &m, std::condition_variable &cv) : clock_(c), mutex_(m), cv_(cv) {
        clock_.watch(this);
    }
    ~WakeOnClock() override { clock_.unwatch(this); }
    WakeOnClock(const WakeOnClock &) = delete;
    WakeOnClock &operator=(const WakeOnClock &) = delete;
    void clockMoved() override {
        // Taking the mutex orders the wake after the waiter's look at the time.
        { std::lock_guard<std::mutex> lock(mutex_); }
        cv_.notify_all();
    }

private:
    Clock &clock_;
    std::mutex &mutex_;
    std::condition_variable &cv_;
};

} // namespace

TimedRecursiveMutex::WaitResult TimedRecursiveMutex::lockFor(std::uint32_t timeoutMs) {
    const std::uint32_t self = currentThreadId();
    Clock &c = clock();
    // Watching before the lock is taken keeps one order between the two
    // locks: the clock's watcher list, then this mutex.
    WakeOnClock wake(c, mutex_, released_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (owner_ == self) {
        ++count_;
        return WaitResult::Locked;
    }
    if (owner_ != 0) {
        ++waiting_;
        if (c.isReal()) {
            released_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return owner_ == 0; });
        } else {
            const std::uint32_t start = c.tickMs();
            released_.wait(lock, [&] { return owner_ == 0 || c.tickMs() - start >= timeoutMs; });
        }
        --waiting_;
        if (owner_ != 0) {
            return WaitResult::TimedOut;
        }
    }
    owner_ = self;
    count_ = 1;
    return WaitResult::Locked;
}

void TimedRecursiveMutex::unlock() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (owner_ != currentThreadId() || --count_ > 0) {
            return;
        }
        owner_ = 0;
    }
    released_.notify_all();
}

int TimedRecursiveMutex::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

} // namespace plat
