// Millisecond clock and sleep of the platform layer.
//
// Every component reads time and sleeps through here, so that tests can
// swap in a virtual clock whose sleep only advances the count.
//
// Virtual time is deterministic: it moves only when a thread sleeps on it or
// a test advances it. Waits on in-process peers (devices, streams) end at
// once or at the virtual time their peer named; a wait on another thread
// (a lock holder) ends when that thread lets go, or when virtual time has
// reached the wait's deadline.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace plat {

// Something waiting for the clock to reach a time: told whenever it moves.
class ClockWatcher {
public:
    virtual ~ClockWatcher() = default;
    virtual void clockMoved() = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps like a 32-bit tick count.
    virtual std::uint32_t tickMs() = 0;
    virtual void sleepMs(std::uint32_t ms) = 0;
    // True for the wall clock: waits may block in the OS for their time-out.
    virtual bool isReal() const { return false; }
    // A virtual clock tells its watchers when it moves; the real one never
    // needs to.
    virtual void watch(ClockWatcher *) {}
    virtual void unwatch(ClockWatcher *) {}
};

// The clock in force; the real one unless a test installed another.
Clock &clock();
// The wall clock, whatever is installed (for a server that serves real
// clients, say).
Clock &realClock();
// Installs `c` (nullptr restores the real clock). Not thread safe: call it
// before the code under test starts.
void setClock(Clock *c);

inline std::uint32_t tickMs() {
    return clock().tickMs();
}
inline void sleepMs(std::uint32_t ms) {
    clock().sleepMs(ms);
}

// Virtual time: sleeping advances the count at once.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(std::uint32_t startMs = 0) : now_(startMs) {}
    std::uint32_t tickMs() override { return now_.load(); }
    void sleepMs(std::uint32_t ms) override { advance(ms); }
    void advance(std::uint32_t ms);
    void watch(ClockWatcher *w) override;
    void unwatch(ClockWatcher *w) override;

private:
    std::atomic<std::uint32_t> now_;
    std::mutex watchersMutex_;
    std::vector<ClockWatcher *> watchers_;
};

// Installs a virtual clock for the lifetime of the object.
class ScopedVirtualClock {
public:
    explicit ScopedVirtualClock(std::uint32_t startMs = 0) : clock_(startMs) { setClock(&clock_); }
    ~ScopedVirtualClock() { setClock(nullptr); }
    ScopedVirtualClock(const ScopedVirtualClock &) = delete;
    ScopedVirtualClock &operator=(const ScopedVirtualClock &) = delete;
    VirtualClock &operator*() { return clock_; }
    VirtualClock *operator->() { return &clock_; }

private:
    VirtualClock clock_;
};

} // namespace plat
