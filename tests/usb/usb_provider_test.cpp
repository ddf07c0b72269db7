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
    SimulatedProbe &probe(std::uint32_t serial, unsigned usbAddress,
                          std::uint16_t vendor = sim::kUsbVendorId) {
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

TEST_F(UsbProvider, SeveralProbesAnswerEachByItsOwnName) {
    SimulatedProbe &first = probe(0x1111, 1);
    SimulatedProbe &second = probe(0x2222, 2);
    bed_.plugIn(first.usb, 1, 5);
    bed_.plugIn(second.usb, 2, 3);
    ASSERT_TRUE(ferrox_test::waitUntilOpens("\\\\.\\halvornquidor1\\pipe00"));
    ASSERT_TRUE(ferrox_test::waitUntilOpens("\\\\.\\halvornquidor2\\pipe01"));

    ASSERT_EQ(FERROX_SelectUSB(1), 0);
    ASSERT_EQ(FERROX_Open(nullptr, errorOut), 0) << errors;
    EXPECT_EQ(FERROX_EMU_GetSN(), 0x1111);
    FERROX_Close();
    ASSERT_EQ(FERROX_SelectUSB(2), 0);
    ASSERT_EQ(FERROX_Open(nullptr, errorOut), 0) << errors;
    EXPECT_EQ(FERROX_EMU_GetSN(), 0x2222);
    const std::vector<std::uint8_t> data = pattern(200, 5);
    EXPECT_EQ(FERROX_CPU_SetData(0x200, 200, data.data()), 200) << errors;
    EXPECT_EQ(FERROX_SelectUSB(3), 1); // no probe at USB address 3
    EXPECT_EQ(FERROX_SelectUSB(2), 0);
    std::vector<std::uint8_t> back(200);
    EXPECT_EQ(FERROX_CPU_GetData(0x200, 200, back.data()), 200) << errors;
    EXPECT_EQ(back, data);
    EXPECT_EQ(second.usb.withProbe([](sim::Probe &p) { return p.target().dataMemory()[0x200]; }), data[0]);
    EXPECT_EQ(first.usb.withProbe([](sim::Probe &p) { return p.target().dataMemory()[0x200]; }), 0);
}

TEST_F(UsbProvider, AProbeOfAnotherVendorIsNotAQuidor) {
    SimulatedProbe &foreign = probe(0x1234, 0, 0x1234);
    bed_.plugIn(foreign.usb, 1, 2);
    SimulatedProbe &quidor = probe(0x5678, 1);
    bed_.plugIn(quidor.usb, 1, 3);
    ASSERT_TRUE(ferrox_test::waitUntilOpens("\\\\.\\halvornquidor1"));
    std::uint32_t error = 0;
    EXPECT_EQ(plat::openDevice("\\\\.\\halvornquidor", error), nullptr);
    EXPECT_NE(FERROX_Open(nullptr, errorOut), 0);
    EXPECT_TRUE(notices.empty());
}

TEST_F(UsbProvider, AProbeRemovedMidTransferFailsItAndWorksAgainWhenPluggedBackIn) {
    SimulatedProbe &p = probe(0x1234, 0);
    bed_.plugIn(p.usb, 1, 2);
    ASSERT_TRUE(ferrox_test::waitUntilOpens("\\\\.\\halvornquidor"));
    ASSERT_EQ(FERROX_Open(nullptr, errorOut), 0) << errors;
    std::vector<std::uint8_t> back(16);
    ASSERT_EQ(FERROX_CPU_GetData(0, 16, back.data()), 16) << errors;

    // The probe drops off the bus as it takes the next target request: the
    // answer never comes, and the read waiting for it fails at once.
    p.usb.withProbe([](sim::Probe &probe) { probe.setAnswerFault({sim::FaultKind::Drop, 0xCD, 0, 1, 0}); });
    EXPECT_LT(FERROX_CPU_GetData(0, 16, back.data()), 16);
    EXPECT_TRUE(bed_.droppedOff(1, 2)) << errors;
    EXPECT_NE(errors.find("USB communication timed out: Writing "), std::string::npos) << errors;
    EXPECT_NE(errors.find("received 0 bytes !"), std::string::npos) << errors;
    bed_.unplug(1, 2);

    errors.clear();
    FERROX_ClrError();
    EXPECT_LT(FERROX_CPU_GetData(0, 16, back.data()), 16);
    EXPECT_NE(errors.find("USB communication error: No USB connection opened !"), std::string::npos)
        << errors;

    // Plugged in again, it enumerates at a new address and is found by the
    // same name at the next open.
    bed_.plugIn(p.usb, 1, 7);
    ASSERT_TRUE(ferrox_test::waitUntilOpens("\\\\.\\halvornquidor"));
    errors.clear();
    FERROX_ClrError();
    const std::vector<std::uint8_t> data = pattern(16, 3);
    EXPECT_EQ(FERROX_CPU_SetData(0x10, 16, data.data()), 16) << errors;
    EXPECT_EQ(FERROX_CPU_GetData(0x10, 16, back.data()), 16) << errors;
    EXPECT_EQ(back, data);
}

TEST_F(UsbProvider, ANodeWithoutPermissionNamesTheUdevRule) {
    SimulatedProbe &p = probe(0x1234, 0);
    bed_.plugIn(p.usb, 1, 2);
    ASSERT_TRUE(ferrox_test::waitUntilOpens("\\\\.\\halvornquidor"));
    bed_.denyAccess(1, 2);
    ferrox_test::dropFileCapabilities();
    EXPECT_NE(FERROX_Open(nullptr, errorOut), 0);
    std::uint32_t error = 0;
    EXPECT_EQ(plat::openDevice("\\\\.\\halvornquidor\\pipe00", error), nullptr);
    ASSERT_EQ(notices.size(), 1u); // told once, not at every open
    EXPECT_NE(notices[0].find("/dev/bus/usb/001/002"), std::string::npos) << notices[0];
    EXPECT_NE(notices[0].find("70-quidor.rules"), std::string::npos) << notices[0];
}

// The pipes as the driver serves them, below the library.
class UsbPipes : public UsbProvider {
protected:
    void SetUp() override {
        UsbProvider::SetUp();
        bed_.plugIn(probe(0x1234, 0).usb, 1, 2);
        ASSERT_TRUE(ferrox_test::waitUntilOpens("\\\\.\\halvornquidor"));
        device_ = open("\\\\.\\halvornquidor");
        in_ = open("\\\\.\\HALVORNQUIDOR\\pipe0");
        out_ = open("\\\\.\\halvornquidor\\x01");
        ASSERT_TRUE(device_ && in_ && out_);
    }
    static std::unique_ptr<plat::DeviceFile> open(const char *name) {
        std::uint32_t error = 0;
        return plat::openDevice(name, error);
    }
    // Sends a request and waits for its write to complete.
    void send(std::vector<std::uint8_t> request) {
        plat::IoCompletion io;
        ASSERT_TRUE(out_->startWrite(request.data(), static_cast<std::uint32_t>(request.size()), io));
        ASSERT_TRUE(io.wait(5000));
        EXPECT_EQ(io.transferred(), request.size());
    }
    std::uint32_t read(std::uint8_t *p, std::uint32_t n, std::uint32_t waitMs) {
        plat::IoCompletion io;
        if (!in_->startRead(p, n, io)) {
            return 0xFFFFFFFF;
        }
        if (!io.wait(waitMs)) {
            in_->cancelIo();
        }
        return io.transferred();
    }

    std::unique_ptr<plat::DeviceFile> device_;
    std::unique_ptr<plat::DeviceFile> in_;
    std::unique_ptr<plat::DeviceFile> out_;
};

TEST_F(UsbPipes, ReadsAreServedWholeFromTheReadAhead) {
    send({0x07}); // hardware status: an 8-byte answer in one short packet
    std::uint8_t answer[8] = {};
    EXPECT_EQ(read(answer, 3, 5000), 3u);
    EXPECT_EQ(read(answer + 3, 5, 5000), 5u); // the rest, from the read-ahead
    EXPECT_EQ(answer[0] | answer[1] << 8, 0); // no supply yet
    EXPECT_EQ(answer[6], 1);                  // FPGA

    // A read longer than the answer completes only whole: it waits on.
    send({0x07});
    std::uint8_t more[16] = {};
    EXPECT_EQ(read(more, 16, 50), 0u);
}

TEST_F(UsbPipes, ClosingAHandleDiscardsTheReadAhead) {
    send({0xE8}); // capabilities: 4 bytes
    std::uint8_t caps[4] = {};
    EXPECT_EQ(read(caps, 2, 5000), 2u);
    device_.reset();
    EXPECT_EQ(read(caps + 2, 2, 50), 0u);
}

TEST_F(UsbPipes, ThePipesRefuseWhatTheDriverRefuses) {
    std::uint8_t byte = 0;
    plat::IoCompletion io;
    EXPECT_FALSE(out_->startRead(&byte, 1, io));    // an OUT pipe is not read
    EXPECT_FALSE(in_->startWrite(&byte, 1, io));    // nor an IN pipe written
    EXPECT_FALSE(device_->startRead(&byte, 1, io)); // the device itself moves no data
    std::vector<std::uint8_t> big(65537);
    EXPECT_FALSE(out_->startWrite(big.data(), 65537, io));
    ASSERT_TRUE(out_->startWrite(big.data(), 0, io));
    EXPECT_TRUE(io.wait(0));
    EXPECT_EQ(io.transferred(), 0u);
    EXPECT_EQ(open("\\\\.\\halvornquidor\\pipe02"), nullptr); // two endpoints only
    EXPECT_EQ(open("\\\\.\\halvornquidor\\pipe07"), nullptr);
    EXPECT_EQ(open("\\\\.\\halvornquidor\\pipe"), nullptr);
    EXPECT_EQ(open("\\\\.\\halvornquidor4"), nullptr);
}

TEST_F(UsbPipes, ALongWriteGoesOutWhole) {
    // A configuration memory write is 257 bytes; two of them back to back
    // in one write of 514 bytes go out in one piece and both take effect.
    std::vector<std::uint8_t> request;
    for (int i = 0; i < 2; ++i) {
        request.push_back(0x8F);
        for (int b = 0; b < 256; ++b) {
            request.push_back(static_cast<std::uint8_t>(b == 0 ? 0 : b + i));
        }
    }
    send(request);
    send({0x8E});
    std::vector<std::uint8_t> config(256);
    ASSERT_EQ(read(config.data(), 256, 5000), 256u);
    EXPECT_EQ(config[1], 2);
    EXPECT_EQ(config[255], 0);
}

} // namespace
