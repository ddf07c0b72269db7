#include "plat/thread.h"

#include <atomic>
#include <sys/syscall.h>
#include <unistd.h>

namespace plat {
namespace {

std::atomic<ThreadEndHandler> endHandler{nullptr};

// A thread-local whose destructor runs when its thread ends.
struct ThreadWatch {
    bool armed = false;
    ThreadWatch() = default;
    ThreadWatch(const ThreadWatch &) = delete;
    ThreadWatch &operator=(const ThreadWatch &) = delete;
    ~ThreadWatch() {
        ThreadEndHandler h = endHandler.load();
        if (armed && h != nullptr) {
            h();
        }
    }
};

thread_local ThreadWatch watch;

} // namespace

std::uint32_t currentThreadId() {
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

void setThreadEndHandler(ThreadEndHandler handler) {
    endHandler.store(handler);
}

void watchCurrentThread() {
    watch.armed = true;
}

} // namespace plat
