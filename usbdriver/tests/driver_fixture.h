// Shared fixture of the driver tests: the driver loaded into kshim, with
// USB devices that a test scripts byte by byte or the simulated probe.
#pragma once

#include "quidor.h"

#include "kshim/kshim.h"
#include "sim/usb_device.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quidor_test {

struct UsbIdentity {
    std::uint16_t vendorId = QUIDOR_VENDOR_ID;
    std::uint16_t productId = QUIDOR_PRODUCT_ID_BASE + 1;
    std::uint8_t serialIndex = 3;
    bool remoteWakeup = false;
    // Endpoint addresses of the first interface, in order.
    std::vector<std::uint8_t> endpoints{0x81, 0x02};
    std::string serial = "Q1234567";
};

// A USB device whose IN data the test queues as transfers and whose OUT
// transfers it reads back.
class ScriptedUsb final : public sim::UsbFunction {
public:
    explicit ScriptedUsb(const UsbIdentity &id = {}) : id_(id) {}

    std::vector<std::uint8_t> getDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (type == 1 && index == 0) {
            std::vector<std::uint8_t> d{18, 1, 0x00, 0x02, 0, 0, 0, 64};
            put16(d, id_.vendorId);
            put16(d, id_.productId);
            put16(d, 0x0100);
            d.insert(d.end(), {0, 0, id_.serialIndex, 1});
            return d;
        }
        if (type == 2 && index == 0) {
            std::vector<std::uint8_t> c{
                9, 2, 0, 0, 1, 1, 0, static_cast<std::uint8_t>(0x80 | (id_.remoteWakeup ? 0x20 : 0)), 50};
            c.insert(c.end(), {9, 4, 0, 0, static_cast<std::uint8_t>(id_.endpoints.size()), 0xFF, 0, 0, 0});
            for (std::uint8_t ep : id_.endpoints) {
                c.insert(c.end(), {7, 5, ep, 2, 64, 0, 0});
            }
            c[2] = static_cast<std::uint8_t>(c.size());
            return c;
        }
        if (type == 3 && index == id_.serialIndex && index != 0) {
            return sim::usbStringDescriptor(id_.serial);
        }
        return {};
    }

    Result bulkOut(std::uint8_t, const std::uint8_t *data, std::size_t size) override {
        std::lock_guard<std::mutex> lock(mutex_);
        written_.insert(written_.end(), data, data + size);
        outTransfers_.push_back(size);
        return Result::Done;
    }

    Result bulkIn(std::uint8_t, std::uint8_t *data, std::size_t size, std::size_t &received,
                  std::uint32_t &due) override {
        std::lock_guard<std::mutex> lock(mutex_);
        due = plat::tickMs();
        received = 0;
        if (in_.empty()) {
            return Result::Pending;
        }
        auto &front = in_.front();
        received = std::min(size, front.size());
        std::copy_n(front.begin(), received, data);
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(received));
        if (front.empty()) {
            in_.pop_front();
        }
        ++inTransfers_;
        return Result::Done;
    }

    // Queues one IN transfer's data (split further when the host asks for
    // less at a time).
    void send(const std::vector<std::uint8_t> &bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        in_.push_back(bytes);
    }
    std::vector<std::uint8_t> written() {
        std::lock_guard<std::mutex> lock(mutex_);
        return written_;
    }
    std::vector<std::size_t> outTransfers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return outTransfers_;
    }
    std::size_t inTransfers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return inTransfers_;
    }

private:
    static void put16(std::vector<std::uint8_t> &v, unsigned x) {
        v.push_back(static_cast<std::uint8_t>(x & 0xFF));
        v.push_back(static_cast<std::uint8_t>(x >> 8));
    }

    UsbIdentity id_;
    std::mutex mutex_;
    std::deque<std::vector<std::uint8_t>> in_;
    std::vector<std::uint8_t> written_;
    std::vector<std::size_t> outTransfers_;
    std::size_t inTransfers_ = 0;
};

inline std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed = 0) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>((i * 31 + seed) ^ (i >> 8));
    }
    return v;
}

inline PQUIDOR_DEVICE_EXTENSION extensionOf(const kshim::Device &device) {
    return static_cast<PQUIDOR_DEVICE_EXTENSION>(device.fdo->DeviceExtension);
}

inline std::string deviceNameOf(const kshim::Device &device) {
    std::string name;
    for (const WCHAR *p = extensionOf(device)->DeviceName; *p != 0; ++p) {
        name.push_back(static_cast<char>(*p));
    }
    return name;
}

class DriverTest : public ::testing::Test {
protected:
    kshim::Device &plug(sim::UsbFunction &function, const kshim::PlugOptions &options = {}) {
        kshim::Device &d = kernel_->plugIn(function, options);
        EXPECT_EQ(d.addStatus, STATUS_SUCCESS);
        EXPECT_EQ(d.startStatus, STATUS_SUCCESS);
        return d;
    }
    std::unique_ptr<kshim::File> open(const std::string &name, NTSTATUS expected = STATUS_SUCCESS) {
        NTSTATUS status = STATUS_PENDING;
        auto file = kshim::openFile(name, status);
        EXPECT_EQ(status, expected) << name;
        return file;
    }
    NTSTATUS control(kshim::File &file, ULONG code, const void *in, ULONG inLength, void *out,
                     ULONG outLength, ULONG_PTR &returned) {
        return file.control(code, in, inLength, out, outLength, returned);
    }
    NTSTATUS setReadMode(ULONG mode) {
        auto device = open("\\\\.\\halvornquidor");
        ULONG_PTR returned = 0;
        ULONG answer = 0;
        return device->control(IOCTL_QUIDOR_SET_READ_MODE, &mode, sizeof mode, &answer, sizeof answer,
                               returned);
    }

    plat::ScopedVirtualClock clock_{5000};
    std::unique_ptr<kshim::Kernel> kernel_ = std::make_unique<kshim::Kernel>(DriverEntry);
};

} // namespace quidor_test
