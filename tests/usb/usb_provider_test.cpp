// The libusb provider as libusb finds it: probes in a umockdev testbed whose
// URBs the simulator's USB device model serves. The library opens them by
// the driver's names and talks to them through its unchanged USB transport.
#include "usb_testbed.h"

#include "Ferrox.h"

#include "plat/device.h"
#include "plat/usb.h"
#include "sim/probe.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using ferrox_test::UsbTestbed;

std::string errors;
void errorOut(const char *text) {
    errors += text;
    errors += '\n';
}

std::vector<std::string> notices;
void noticeOut(plat::UsbNotice, const char *text) {
    notices.emplace_back(text);
}

// A simulated probe on the wall clock, as a real one runs, with the USB
// address its configuration memory holds when it enumerates.
struct SimulatedProbe {
    SimulatedProbe(std::uint32_t serial, unsigned usbAddress, std::uint16_t vendor = sim::kUsbVendorId)
        : probe(plat::realClock(), options(serial)), usb(addressed(probe, usbAddress), {vendor, false}) {}
    static sim::ProbeOptions options(std::uint32_t serial) {
        sim::ProbeOptions o;
        o.serialNumber = serial;
        return o;
    }
    static sim::Probe &addressed(sim::Probe &p, unsigned usbAddress) {
        p.configMemory()[0] = static_cast<std::uint8_t>(usbAddress);
        return p;
    }
    sim::Probe probe;
    sim::UsbDevice usb;
};

class UsbProvider : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(UsbTestbed::available()) << "run this test under umockdev-wrapper";
        errors.clear();
        notices.clear();
        plat::setUsbNoticeSink(noticeOut);
    }
    void TearDown() override {
        FERROX_Close();
        plat::setUsbNoticeSink(nullptr);
    }
    SimulatedProbe &probe(std::uint32_t serial, unsigned usbAddress, std::uint16_t vendor = sim::kUsbVendorId) {
        probes_.push_back(std::make_unique<SimulatedProbe>(serial, usbAddress, vendor));
        return *probes_.back();
    }

    std::vector<std::unique_ptr<SimulatedProbe>> probes_;
    UsbTestbed bed_;
};

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(i * seed + 3);
    }
    return v;
}

TEST_F(UsbProvider, TheLibraryOpensReadsAndWritesAProbeThroughLibusb) {
    SimulatedProbe &p = probe(0x1234, 0);
    bed_.plugIn(p.usb, 1, 2);
    ASSERT_TRUE(ferrox_test::waitUntilOpens("\\\\.\\halvornquidor"));
    ASSERT_EQ(FERROX_Open(nullptr, errorOut), 0) << errors;
    EXPECT_EQ(FERROX_EMU_GetSN(), 0x1234);
    EXPECT_EQ(FERROX_EMU_GetHWVersion(), 22000);

    const std::vector<std::uint8_t> data = pattern(3000, 7);
    ASSERT_EQ(FERROX_CPU_SetData(0x0100, 3000, data.data()), 3000) << errors;
    std::vector<std::uint8_t> back(3000);
    ASSERT_EQ(FERROX_CPU_GetData(0x0100, 3000, back.data()), 3000) << errors;
    EXPECT_EQ(back, data);

    const std::vector<std::uint8_t> page = pattern(64, 11);
    ASSERT_EQ(FERROX_CPU_ProgEEPROM(0x40, 64, page.data()), 64) << errors;
    std::vector<std::uint8_t> eeprom(64);
    ASSERT_EQ(FERROX_CPU_GetEEPROM(0x40, 64, eeprom.data()), 64) << errors;
    EXPECT_EQ(eeprom, page);
    EXPECT_EQ(errors, "");
    EXPECT_TRUE(notices.empty());
}

} // namespace
