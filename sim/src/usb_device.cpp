#include "sim/usb_device.h"

#include "plat/clock.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
constexpr std::uint16_t kDeviceRelease = 0x0242;
constexpr std::uint8_t kAttributesBusPowered = 0x80;
constexpr std::uint8_t kAttributesRemoteWakeup = 0x20;
constexpr std::uint8_t kTransferBulk = 2;
constexpr std::uint8_t kClassVendor = 0xFF;

void put16(std::vector<std::uint8_t> &out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void endpoint(std::vector<std::uint8_t> &out, std::uint8_t address) {
    out.insert(out.end(), {7, 5, address, kTransferBulk});
    put16(out, kUsbBulkPacketSize);
    out.push_back(0); // interval: not used by bulk endpoints
}

bool laterThan(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) > 0;
}

} // namespace

std::uint16_t usbProductId(unsigned usbAddress) {
    const unsigned address = usbAddress <= 3 ? usbAddress : 0;
    return static_cast<std::uint16_t>(kUsbProductIdBase + address + 1);
}

std::vector<std::uint8_t> usbStringDescriptor(const std::string &text) {
    const std::size_t chars = std::min<std::size_t>(text.size(), 126);
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * chars), kUsbDescriptorString};
    for (std::size_t i = 0; i < chars; ++i) {
        put16(out, static_cast<unsigned char>(text[i]));
    }
    return out;
}

UsbDevice::UsbDevice(Probe &probe, const UsbDeviceOptions &options)
    : probe_(probe), options_(options), productId_(usbProductId(probe.configMemory()[0])) {}

std::vector<std::uint8_t> UsbDevice::deviceDescriptor() const {
    std::vector<std::uint8_t> d{18, kUsbDescriptorDevice};
    put16(d, 0x0200); // USB 2.0
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, options_.vendorId);
    put16(d, productId_);
    put16(d, kDeviceRelease);
    d.insert(d.end(), {kUsbStringManufacturer, kUsbStringProduct, kUsbStringSerial, 1});
    return d;
}

std::vector<std::uint8_t> UsbDevice::configurationDescriptor() const {
    std::vector<std::uint8_t> c{9, kUsbDescriptorConfiguration, 0, 0, 1, 1, 0};
    c.push_back(static_cast<std::uint8_t>(kAttributesBusPowered |
                                          (options_.remoteWakeup ? kAttributesRemoteWakeup : 0)));
    c.push_back(50); // 100 mA
    c.insert(c.end(), {9, 4, 0, 0, 2, kClassVendor, 0, 0, 0});
    endpoint(c, kUsbBulkInEndpoint);
    endpoint(c, kUsbBulkOutEndpoint);
    c[2] = static_cast<std::uint8_t>(c.size());
    return c;
}

std::string UsbDevice::serialTextLocked() const {
    const auto &sys = probe_.systemConfig();
    const unsigned serial =
        static_cast<unsigned>(sys[0] | sys[1] << 8 | sys[2] << 16) | static_cast<unsigned>(sys[3]) << 24;
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

std::string UsbDevice::serialText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return serialTextLocked();
}

std::vector<std::uint8_t> UsbDevice::getDescriptor(std::uint8_t type, std::uint8_t index,
                                                   std::uint16_t language) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (type) {
    case kUsbDescriptorDevice:
        return index == 0 ? deviceDescriptor() : std::vector<std::uint8_t>{};
    case kUsbDescriptorConfiguration:
        return index == 0 ? configurationDescriptor() : std::vector<std::uint8_t>{};
    case kUsbDescriptorString:
        if (index == 0) {
            std::vector<std::uint8_t> langs{4, kUsbDescriptorString};
            put16(langs, kLanguageEnglishUs);
            return langs;
        }
        (void)language; // one language: every language ID gets it
        if (index == kUsbStringManufacturer) {
            return usbStringDescriptor("Halvorn");
        }
        if (index == kUsbStringProduct) {
            return usbStringDescriptor("Quidor");
        }
        if (index == kUsbStringSerial) {
            return usbStringDescriptor(serialTextLocked());
        }
        return {};
    default:
        return {};
    }
}

UsbFunction::Result UsbDevice::bulkOut(std::uint8_t endpointAddress, const std::uint8_t *data,
                                       std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (endpointAddress != kUsbBulkOutEndpoint || disconnected_) {
        return Result::Stall;
    }
    probe_.write(data, size);
    if (probe_.takeDropRequest()) {
        disconnected_ = true;
        probe_.resetStreams();
    }
    return Result::Done;
}

UsbFunction::Result UsbDevice::bulkIn(std::uint8_t endpointAddress, std::uint8_t *data, std::size_t size,
                                      std::size_t &received, std::uint32_t &due) {
    std::lock_guard<std::mutex> lock(mutex_);
    received = 0;
    due = plat::tickMs();
    if (endpointAddress != kUsbBulkInEndpoint || disconnected_) {
        return Result::Stall;
    }
    for (;;) {
        if (received == size) {
            return Result::Done;
        }
        if (zeroLengthOwed_) {
            zeroLengthOwed_ = false;
            return Result::Done; // the zero-length packet ends the answer's transfer
        }
        std::size_t remaining = 0;
        std::uint32_t answerDue = 0;
        if (!probe_.peekAnswer(remaining, answerDue)) {
            return received > 0 ? Result::Done : Result::Pending;
        }
        const std::size_t packet = std::min<std::size_t>(remaining, kUsbBulkPacketSize);
        if (laterThan(answerDue, due)) {
            due = answerDue;
        }
        if (packet > size - received) {
            // The host asked for less than a whole packet: the packet's end
            // is lost, as a host controller's babble is.
            std::vector<std::uint8_t> whole(packet);
            probe_.takeAnswer(whole.data(), packet);
            std::copy_n(whole.begin(), size - received, data + received);
            received = size;
            return Result::Overrun;
        }
        received += probe_.takeAnswer(data + received, packet);
        if (packet < kUsbBulkPacketSize) {
            return Result::Done; // short packet
        }
        if (packet == remaining) {
            zeroLengthOwed_ = true;
        }
    }
}

void UsbDevice::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    zeroLengthOwed_ = false;
}

bool UsbDevice::takeDisconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool was = disconnected_;
    disconnected_ = false;
    return was;
}

} // namespace sim
