// A named, recursive mutex shared by every process that opens the same
// name, the way a Windows named mutex behaves.
//
// Waiting has no time limit. A holder that dies (thread or process) does
// not block the others forever: the next waiter takes the mutex over.
#pragma once

#include <cstdint>

namespace plat {

class NamedMutex {
public:
    NamedMutex() = default;
    ~NamedMutex() { close(); }
    NamedMutex(const NamedMutex &) = delete;
    NamedMutex &operator=(const NamedMutex &) = delete;

    // Creates the mutex or opens the existing one of that name; not owned.
    bool open(const char *name);
    void close();
    bool isOpen() const { return shared_ != nullptr; }

    // Waits without time limit. Recursive for the owning thread.
    void lock();
    // False when the calling thread does not own the mutex (nothing changes).
    bool unlock();

    struct Shared;

private:
    Shared *shared_ = nullptr;
};

} // namespace plat
