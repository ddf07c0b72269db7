// Millisecond clock and sleep of the platform layer.
//
// Every component reads time and sleeps through here, so that tests can
// swap in a virtual clock whose sleep only advances the count.
#pragma once

#include <atomic>
#include <cstdint>

namespace plat {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps like a 32-bit tick count.
    virtual std::uint32_t tickMs() = 0;
    virtual void sleepMs(std::uint32_t ms) = 0;
    // True for the wall clock: waits may block in the OS instead of polling.
    virtual bool isReal() const { return false; }
};

// The clock in force; the real one unless a test installed another.
Clock &clock();
// Installs `c` (nullptr restores the real clock). Not thread safe: call it
// before the code under test starts.
void setClock(Clock *c);

inline std::uint32_t tickMs() {
    return clock().tickMs();
}
inline void sleepMs(std::uint32_t ms) {
    clock().sleepMs(ms);
}

// Under virtual time, a wait on another thread or process (a socket peer, a
// lock holder) first gives that peer this much real time before the virtual
// clock runs on. The peer is real: a clock racing ahead while it is merely
// descheduled would fire time-outs that the real system never sees, and would
// run simulated time forward behind the test's back.
inline constexpr std::uint32_t kPeerGraceMs = 300;

// Virtual time: sleeping advances the count at once.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(std::uint32_t startMs = 0) : now_(startMs) {}
    std::uint32_t tickMs() override { return now_.load(); }
    void sleepMs(std::uint32_t ms) override { now_.fetch_add(ms); }
    void advance(std::uint32_t ms) { now_.fetch_add(ms); }

private:
    std::atomic<std::uint32_t> now_;
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
