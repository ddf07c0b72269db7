// Device I/O by name, with overlapped (asynchronous) transfers.
//
// The USB transport opens its probe by Windows device and pipe names. On
// Windows they reach the driver; on POSIX they resolve to registered device
// providers: in-process devices (tests, the simulator) and, later, real
// probes. A name no provider serves fails exactly as a missing device does.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace plat {

// Completion record of one overlapped request together with its
// manual-reset event: created non-signalled, signalled when the device
// completes the request.
class IoCompletion {
public:
    void reset();
    // Waits at most `timeoutMs` on the platform clock; true when signalled.
    // Under virtual time a device answers at once or at a due time
    // (completeAt): a request that is neither done nor due by the deadline
    // times out without any real wait.
    bool wait(std::uint32_t timeoutMs);
    // Bytes transferred so far, without waiting (0 while still pending).
    std::uint32_t transferred();
    bool isPending();

    // Device side, from any thread: the request was started and waits.
    void markPending();
    // Device side: completes the request now.
    void complete(std::uint32_t transferred);
    // Device side: completes the request when the platform clock reaches
    // `tick` (a device that answers late); a cancel before then ends it with
    // nothing transferred.
    void completeAt(std::uint32_t tick, std::uint32_t transferred);
    // Device side: ends a pending request as cancelled (keeps its count).
    void cancel();

private:
    bool pollDueLocked(std::uint32_t now);

    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
    bool pending_ = false;
    bool due_ = false;
    std::uint32_t dueTick_ = 0;
    std::uint32_t dueCount_ = 0;
    std::uint32_t transferred_ = 0;
};

// One open device or pipe. Closing (destroying) it ends its pending requests.
class DeviceFile {
public:
    virtual ~DeviceFile() = default;
    // Starts a transfer that the device completes through `io`, at once or
    // later. Buffers and `io` must stay valid until completion or cancel.
    // False when the device refuses the request outright.
    virtual bool startWrite(const std::uint8_t *data, std::uint32_t size, IoCompletion &io) = 0;
    virtual bool startRead(std::uint8_t *data, std::uint32_t size, IoCompletion &io) = 0;
    // Ends every pending request of this file; each keeps what it transferred.
    virtual void cancelIo() = 0;
};

class DeviceProvider {
public:
    virtual ~DeviceProvider() = default;
    // Opens `name` if this provider serves it, else nullptr.
    virtual std::unique_ptr<DeviceFile> open(const char *name) = 0;
};

// Providers are asked in registration order.
void registerDeviceProvider(DeviceProvider *provider);
void unregisterDeviceProvider(DeviceProvider *provider);

// Opens a device or pipe by name. A name no provider serves fails with
// kErrFileNotFound, as a missing device does.
std::unique_ptr<DeviceFile> openDevice(const char *name, std::uint32_t &winError);

} // namespace plat
