// The in-process front: the probe appears in the platform's device namespace
// under the names the USB driver gives it, so that the library's unchanged
// USB transport reaches it. Writes to "\pipe01" feed the probe; reads of
// "\pipe00" collect its answers.
#pragma once

#include "sim/probe.h"

#include "plat/device.h"

#include <memory>
#include <mutex>
#include <string>

namespace sim {

class DeviceFront final : public plat::DeviceProvider {
public:
    // Registers itself with the device namespace for its lifetime.
    explicit DeviceFront(Probe &probe);
    ~DeviceFront() override;
    DeviceFront(const DeviceFront &) = delete;
    DeviceFront &operator=(const DeviceFront &) = delete;

    std::unique_ptr<plat::DeviceFile> open(const char *name) override;

    // "\\.\halvornquidor" for USB address 0, else with the address appended:
    // byte 0 of the configuration memory as it was when the probe was last
    // plugged in. A new address takes effect at the next plug-in, as a real
    // probe enumerates with it only then.
    std::string deviceName();

    // The probe vanishes from the namespace (a dropped connection) until
    // plugged in again.
    void unplug();
    void plugIn();
    bool plugged();

    // Scenario access to the probe while the front may be in use.
    template <typename F> auto withProbe(F &&f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(probe_);
    }

    class Pipe;

private:
    friend class Pipe;
    struct PendingRead {
        Pipe *owner = nullptr;
        std::uint8_t *data = nullptr;
        std::uint32_t size = 0;
        plat::IoCompletion *io = nullptr;
    };

    bool write(const std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io);
    bool read(Pipe *owner, std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io);
    void cancel(Pipe *owner);
    // Serves the pending read from what the probe has queued; lock held.
    void servePendingLocked();
    std::string deviceNameLocked() const;

    Probe &probe_;
    std::mutex mutex_;
    bool plugged_ = true;
    unsigned enumeratedAddress_ = 0;
    PendingRead pending_;
    PendingRead late_;
};

} // namespace sim
