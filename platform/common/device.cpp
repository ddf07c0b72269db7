#include "plat/device.h"

#include "plat/clock.h"
#include "plat/file.h"
#include "registry.h"
#include "system.h"

#include <chrono>

namespace plat {

void IoCompletion::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
    pending_ = false;
    due_ = false;
    transferred_ = 0;
}

void IoCompletion::markPending() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = true;
}

void IoCompletion::complete(std::uint32_t transferred) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        transferred_ = transferred;
        signalled_ = true;
        pending_ = false;
        due_ = false;
    }
    cv_.notify_all();
}

void IoCompletion::completeAt(std::uint32_t tick, std::uint32_t transferred) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = true;
    due_ = true;
    dueTick_ = tick;
    dueCount_ = transferred;
}

void IoCompletion::cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pending_) {
            return;
        }
        pending_ = false;
        due_ = false;
        signalled_ = true;
    }
    cv_.notify_all();
}

bool IoCompletion::pollDueLocked(std::uint32_t now) {
    if (due_ && static_cast<std::int32_t>(now - dueTick_) >= 0) {
        due_ = false;
        pending_ = false;
        signalled_ = true;
        transferred_ = dueCount_;
    }
    return signalled_;
}

bool IoCompletion::wait(std::uint32_t timeoutMs) {
    Clock &c = clock();
    const std::uint32_t start = c.tickMs();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const std::uint32_t now = c.tickMs();
        if (pollDueLocked(now)) {
            return true;
        }
        const std::uint32_t elapsed = now - start;
        if (elapsed >= timeoutMs) {
            return false;
        }
        if (c.isReal()) {
            std::uint32_t slice = timeoutMs - elapsed;
            if (due_) {
                slice = std::min(slice, std::max<std::uint32_t>(1, dueTick_ - now));
            }
            cv_.wait_for(lock, std::chrono::milliseconds(slice));
        } else {
            // Virtual time: an in-process device answers at once or at the
            // time it named, so the clock goes straight to that time, or to
            // the deadline when nothing is on its way.
            const std::uint32_t left = timeoutMs - elapsed;
            const std::uint32_t step =
                due_ ? std::min(left, std::max<std::uint32_t>(1, dueTick_ - now)) : left;
            lock.unlock();
            c.sleepMs(step);
            lock.lock();
        }
    }
}

std::uint32_t IoCompletion::transferred() {
    std::lock_guard<std::mutex> lock(mutex_);
    pollDueLocked(clock().tickMs());
    return signalled_ ? transferred_ : 0;
}

bool IoCompletion::isPending() {
    std::lock_guard<std::mutex> lock(mutex_);
    pollDueLocked(clock().tickMs());
    return pending_;
}

namespace {

common::ProviderRegistry<DeviceProvider> &providers() {
    static common::ProviderRegistry<DeviceProvider> registry;
    return registry;
}

} // namespace

void registerDeviceProvider(DeviceProvider *provider) {
    providers().add(provider);
}

void unregisterDeviceProvider(DeviceProvider *provider) {
    providers().remove(provider);
}

std::unique_ptr<DeviceFile> openDevice(const char *name, std::uint32_t &winError) {
    if (name == nullptr) {
        winError = kErrFileNotFound;
        return nullptr;
    }
    if (auto f = providers().first([name](DeviceProvider *p) { return p->open(name); })) {
        winError = kErrNone;
        return f;
    }
    return system::openDevice(name, winError);
}

} // namespace plat
