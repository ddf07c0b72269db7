// The probe as a USB device: what a host controller sees of it. Endpoint 0
// answers the standard descriptor requests; the first interface has a bulk
// IN endpoint (answers, probe to host) first and a bulk OUT endpoint
// (requests) second. Bulk IN data leaves in packets of 64 bytes; an answer
// ends with a short packet, or with a zero-length packet when it fills its
// last packet, so every answer is a transfer of its own.
#pragma once

#include "sim/probe.h"

#include "quidor_ids.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

inline constexpr std::uint16_t kUsbVendorId = QUIDOR_VENDOR_ID;
inline constexpr std::uint16_t kUsbProductIdBase = QUIDOR_PRODUCT_ID_BASE;
inline constexpr std::uint8_t kUsbBulkInEndpoint = 0x81;
inline constexpr std::uint8_t kUsbBulkOutEndpoint = 0x02;
inline constexpr std::uint16_t kUsbBulkPacketSize = 64;
inline constexpr std::uint8_t kUsbDescriptorDevice = 1;
inline constexpr std::uint8_t kUsbDescriptorConfiguration = 2;
inline constexpr std::uint8_t kUsbDescriptorString = 3;
inline constexpr std::uint8_t kUsbStringManufacturer = 1;
inline constexpr std::uint8_t kUsbStringProduct = 2;
inline constexpr std::uint8_t kUsbStringSerial = 3;

// The product ID of a probe whose configuration memory holds `usbAddress`
// (0 to 3) when it enumerates; other addresses enumerate as address 0.
std::uint16_t usbProductId(unsigned usbAddress);

// A USB function as the bus sees it. Calls may come from any thread.
class UsbFunction {
public:
    enum class Result { Done, Pending, Stall, Overrun };

    virtual ~UsbFunction() = default;
    // Standard GET_DESCRIPTOR on endpoint 0; an empty answer is a stall.
    virtual std::vector<std::uint8_t> getDescriptor(std::uint8_t type, std::uint8_t index,
                                                    std::uint16_t language) = 0;
    // Host to device; the function takes every byte.
    virtual Result bulkOut(std::uint8_t endpoint, const std::uint8_t *data, std::size_t size) = 0;
    // Device to host: packets until `size` is full or a short packet ends the
    // transfer. Pending when the device has nothing to send yet. `due` is the
    // platform tick at which the last byte is on the wire (later than now for
    // a late answer). Overrun when a packet is larger than the room left.
    virtual Result bulkIn(std::uint8_t endpoint, std::uint8_t *data, std::size_t size, std::size_t &received,
                          std::uint32_t &due) = 0;
    // The host reset the port or a pipe: half-sent packets are forgotten.
    virtual void reset() {}
    // True once when the device dropped off the bus.
    virtual bool takeDisconnect() { return false; }
};

struct UsbDeviceOptions {
    std::uint16_t vendorId = kUsbVendorId;
    bool remoteWakeup = false;
};

// The Quidor probe on USB. The product ID follows the USB address that the
// configuration memory holds when the device is created (its enumeration);
// the serial number string is that of the system configuration.
class UsbDevice final : public UsbFunction {
public:
    explicit UsbDevice(Probe &probe, const UsbDeviceOptions &options = {});

    std::vector<std::uint8_t> getDescriptor(std::uint8_t type, std::uint8_t index,
                                            std::uint16_t language) override;
    Result bulkOut(std::uint8_t endpoint, const std::uint8_t *data, std::size_t size) override;
    Result bulkIn(std::uint8_t endpoint, std::uint8_t *data, std::size_t size, std::size_t &received,
                  std::uint32_t &due) override;
    void reset() override;
    bool takeDisconnect() override;

    std::uint16_t vendorId() const { return options_.vendorId; }
    std::uint16_t productId() const { return productId_; }
    // The serial number as the string descriptor carries it: eight hex digits.
    std::string serialText();

    std::vector<std::uint8_t> deviceDescriptor() const;
    std::vector<std::uint8_t> configurationDescriptor() const;

    // Scenario access to the probe while the device may be in use.
    template <typename F> auto withProbe(F &&f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(probe_);
    }

private:
    std::string serialTextLocked() const;

    Probe &probe_;
    UsbDeviceOptions options_;
    std::uint16_t productId_;
    std::mutex mutex_;
    bool zeroLengthOwed_ = false;
    bool disconnected_ = false;
};

// A string descriptor: bLength, type 3, the text as UTF-16LE (ASCII only).
std::vector<std::uint8_t> usbStringDescriptor(const std::string &text);

} // namespace sim
