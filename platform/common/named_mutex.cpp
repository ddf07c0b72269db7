// The nesting of a named mutex, counted here for both platforms, so the
// mutex underneath is taken once per owner, and whether the caller owns it
// can be asked without releasing it.
#include "plat/named_mutex.h"

#include "plat/thread.h"
#include "system.h"

namespace plat {
namespace {

std::atomic<void (*)()> hookBeforeWait{nullptr};
std::atomic<void (*)()> hookAfterRelease{nullptr};

} // namespace

void NamedMutex::setTestHooks(const TestHooks &hooks) {
    hookBeforeWait.store(hooks.beforeWait);
    hookAfterRelease.store(hooks.afterRelease);
}

void system::runBeforeWaitHook() {
    if (auto hook = hookBeforeWait.load(); hook != nullptr) {
        hook();
    }
}

void NamedMutex::lock() {
    const std::uint32_t self = currentThreadId();
    if (owner_.load() == self) {
        ++depth_;
        return;
    }
    if (shared_ == nullptr) {
        // This process alone: its threads still take turns.
        if (!local_.try_lock()) {
            system::runBeforeWaitHook();
            local_.lock();
        }
    } else {
        lockUnderlying();
    }
    // Whoever held it before has let go (or died): the count starts afresh.
    owner_.store(self);
    depth_ = 1;
}

bool NamedMutex::unlock() {
    if (!ownedByCurrentThread()) {
        return false;
    }
    if (--depth_ > 0) {
        return true;
    }
    owner_.store(0);
    if (shared_ == nullptr) {
        local_.unlock();
    } else {
        unlockUnderlying();
    }
    if (auto hook = hookAfterRelease.load(); hook != nullptr) {
        hook();
    }
    return true;
}

bool NamedMutex::ownedByCurrentThread() const {
    return owner_.load() == currentThreadId();
}

} // namespace plat
