// A named, recursive mutex shared by every process of the same user that
// opens the same name, the way a Windows named mutex in a logon session
// behaves.
//
// Waiting has no time limit. A holder that dies (thread or process) does
// not block the others forever: the next waiter takes the mutex over. When
// the shared object cannot be had (or is not the user's own), the mutex
// still serialises the threads of this process: it is never a no-op.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace plat {

class NamedMutex {
public:
    NamedMutex() = default;
    ~NamedMutex() { close(); }
    NamedMutex(const NamedMutex &) = delete;
    NamedMutex &operator=(const NamedMutex &) = delete;

    // Creates the mutex or opens the existing one of that name; not owned.
    // False when it cannot be shared with other processes: it then works
    // for this process alone (isShared() tells).
    bool open(const char *name);
    void close();
    bool isShared() const { return shared_ != nullptr; }

    // Waits without time limit. Recursive for the owning thread.
    void lock();
    // False when the calling thread does not own the mutex (nothing changes).
    bool unlock();
    // The calling thread holds the mutex (at any depth).
    bool ownedByCurrentThread() const;

    struct Shared;

    // Test hooks, process-wide: run by a thread about to wait for a mutex
    // another thread holds, and by a thread right after it released one.
    struct TestHooks {
        void (*beforeWait)() = nullptr;
        void (*afterRelease)() = nullptr;
    };
    static void setTestHooks(const TestHooks &hooks);

private:
    void lockUnderlying();
    void unlockUnderlying();

    Shared *shared_ = nullptr;
    std::mutex local_; // used while no shared object is open
    std::atomic<std::uint32_t> owner_{0};
    int depth_ = 0; // changed by the owner only
};

} // namespace plat
