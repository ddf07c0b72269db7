// kshim, the kernel stand-in: the host side of it. A test loads the driver,
// plugs simulated USB devices into kshim's USB bus, sends plug-and-play and
// power requests through its plug-and-play and power manager, and opens the
// driver's devices by name through its I/O manager, directly or through the
// platform layer's device namespace.
#pragma once

#include <ntddk.h>

#include "plat/device.h"
#include "sim/usb_device.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kshim {

// --- Pool accounting --------------------------------------------------------
// Allocations of ExAllocatePoolWithTag not freed yet, all or of one tag.
std::size_t poolOutstanding();
std::size_t poolOutstanding(ULONG tag);
// Makes allocations of `tag` fail: `skip` pass first, then `count` fail
// (-1: all). Tag 0 means every tag.
void failPoolAllocations(ULONG tag, int skip, int count);
constexpr ULONG poolTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// --- Dispatcher and work items -----------------------------------------------
// Threads blocked in KeWaitForSingleObject right now.
int blockedWaiters();
// Waits (really) until `count` threads are blocked in KeWaitForSingleObject.
void waitForBlockedWaiters(int count);
// Returns when the work queue is empty and no work item runs.
void drainWorkItems();

// --- Object namespace --------------------------------------------------------
// The device a symbolic link such as "\DosDevices\halvornquidor" names
// (empty when there is no such link). Names compare without case.
std::string linkTarget(const std::string &link);
std::vector<std::string> symbolicLinks();
// Device interfaces registered for a physical device and whether enabled.
struct DeviceInterface {
    std::string name;
    bool enabled = false;
};
std::vector<DeviceInterface> deviceInterfaces(PDEVICE_OBJECT physicalDevice);
// Converts a counted wide string to 8-bit text (ASCII names).
std::string narrow(PCUNICODE_STRING text);

// --- I/O manager ---------------------------------------------------------------
// One request in flight from user mode.
class Request {
public:
    bool done() const;
    // Waits (really) for completion; false after `realMs` without it.
    bool wait(std::uint32_t realMs = 10000) const;
    NTSTATUS status() const;
    ULONG_PTR information() const;
    // The tick at which the data the request carries are on the wire, when
    // the device sent them late.
    bool hasDueTick() const;
    ULONG dueTick() const;

    struct State;
    explicit Request(std::shared_ptr<State> state) : state_(std::move(state)) {}

private:
    std::shared_ptr<State> state_;
};

// An open handle: the device itself or one of its pipes. Destroying it
// sends cleanup, cancels what is still pending, and sends close.
class File {
public:
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    // Asynchronous: the request runs on until it completes or is cancelled.
    // Buffers must outlive it.
    Request startRead(void *buffer, ULONG length);
    Request startWrite(const void *buffer, ULONG length);
    // Synchronous forms; `transferred` receives the information field.
    NTSTATUS read(void *buffer, ULONG length, ULONG_PTR &transferred);
    NTSTATUS write(const void *buffer, ULONG length, ULONG_PTR &transferred);
    // Buffered device control.
    NTSTATUS control(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                     ULONG_PTR &returned);
    // Cancels every pending request of this handle and waits until they
    // have completed.
    void cancelIo();
    PFILE_OBJECT fileObject() const { return fileObject_; }

    struct Impl;
    Impl *impl() const { return impl_.get(); }
    explicit File(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
    PFILE_OBJECT fileObject_;
};

// Opens a user-mode name ("\\.\halvornquidor1\pipe00") through the DOS
// links, as CreateFile would. nullptr with the reason in `status`.
std::unique_ptr<File> openFile(const std::string &name, NTSTATUS &status);

// The I/O manager as a provider of the platform layer's device namespace:
// the library's USB transport reaches the driver through it.
class DeviceProvider final : public plat::DeviceProvider {
public:
    DeviceProvider();
    ~DeviceProvider() override;
    DeviceProvider(const DeviceProvider &) = delete;
    DeviceProvider &operator=(const DeviceProvider &) = delete;
    std::unique_ptr<plat::DeviceFile> open(const char *name) override;
};

// --- USB bus, plug and play, power ----------------------------------------------
struct PlugOptions {
    // The bus driver's answer to the capabilities query. The default maps
    // S1 to D1, S2 and S3 to D2, S4 and S5 to D3, wakes from D2 and S1.
    DEVICE_CAPABILITIES capabilities = defaultCapabilities();
    static DEVICE_CAPABILITIES defaultCapabilities();
};

class Kernel;

// One device on the bus, with the driver's device stack on top of it.
struct Device {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr; // the driver's device object; nullptr after removal
    NTSTATUS addStatus = STATUS_UNSUCCESSFUL;
    NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
    sim::UsbFunction *function = nullptr;
    bool removed = false;
};

// The kernel with one driver loaded. One per process.
class Kernel {
public:
    // Loads the driver through its entry point.
    explicit Kernel(PDRIVER_INITIALIZE driverEntry,
                    const std::wstring &registryPath =
                        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\quidor");
    // Removes what is still plugged in and unloads the driver.
    ~Kernel();
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;

    NTSTATUS entryStatus() const { return entryStatus_; }
    PDRIVER_OBJECT driver() const { return driver_; }

    // Enumerates a device: the driver's add-device, the capabilities query
    // and the start. The device stays until removed.
    Device &plugIn(sim::UsbFunction &function, const PlugOptions &options = {});
    // Plug-and-play requests; each returns the request's final status.
    NTSTATUS start(Device &device);
    NTSTATUS queryStop(Device &device);
    NTSTATUS cancelStop(Device &device);
    NTSTATUS stop(Device &device);
    NTSTATUS queryRemove(Device &device);
    NTSTATUS cancelRemove(Device &device);
    // Orderly removal: query-remove, then remove (refused while handles are
    // open, as a veto).
    NTSTATUS remove(Device &device);
    // The device left the bus: pending transfers fail, surprise removal is
    // sent, and the remove follows when its last handle closes.
    void surpriseRemove(Device &device);
    NTSTATUS sendPnp(Device &device, UCHAR minor);
    NTSTATUS queryCapabilities(Device &device, DEVICE_CAPABILITIES &capabilities);

    // Power requests as the power manager sends them; each waits for the
    // request's completion.
    NTSTATUS setSystemPower(Device &device, SYSTEM_POWER_STATE state);
    NTSTATUS querySystemPower(Device &device, SYSTEM_POWER_STATE state);
    NTSTATUS setDevicePower(Device &device, DEVICE_POWER_STATE state);
    NTSTATUS queryDevicePower(Device &device, DEVICE_POWER_STATE state);
    // The device power state the driver last reported (PoSetPowerState).
    DEVICE_POWER_STATE reportedPowerState(Device &device) const;
    // The bus: whether a wait-wake request waits on the device, and the
    // device signalling wakeup (completes it with success).
    bool waitWakePending(Device &device) const;
    bool wake(Device &device);
    // The device has new data for the host: the bus serves waiting IN
    // transfers (after a bulk OUT it does so by itself).
    void serviceBus(Device &device);
    // A power request the driver sent with PoRequestPowerIrp that has not
    // finished yet.
    int requestedPowerIrpsInFlight() const;
    // Requests the bus served, by URB function (tests count traffic).
    std::size_t urbCount(Device &device, USHORT function) const;
    // Calls the driver's unload routine (the destructor does it otherwise).
    void unloadDriver();

private:
    NTSTATUS sendPower(Device &device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    void finishRemoval(Device &device);

    PDRIVER_OBJECT driver_ = nullptr;
    NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
    bool unloaded_ = false;
    std::vector<std::unique_ptr<Device>> devices_;
    UNICODE_STRING registryPath_{};
    std::wstring registryPathText_;
};

} // namespace kshim
