// The whole stack on the host: the library's unchanged USB transport opens
// the driver's pipes by name through kshim's I/O manager, the driver moves
// the bytes over kshim's USB bus, and the simulated probe answers.
#include "Ferrox.h"
#include "commander.h"

#include "quidor.h"

#include "kshim/kshim.h"
#include "sim/probe.h"
#include "sim/usb_device.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string errors;
void errorOut(const char *text) {
    errors += text;
}

// A probe enumerates with the USB address its configuration memory holds.
struct SimulatedProbe {
    SimulatedProbe(plat::Clock &clock, const sim::ProbeOptions &options, unsigned usbAddress)
        : probe(addressed(clock, options, usbAddress)), usb(probe) {}
    static sim::Probe addressed(plat::Clock &clock, const sim::ProbeOptions &options, unsigned usbAddress) {
        sim::Probe p(clock, options);
        p.configMemory()[0] = static_cast<std::uint8_t>(usbAddress);
        return p;
    }
    sim::Probe probe;
    sim::UsbDevice usb;
};

sim::ProbeOptions withSerial(std::uint32_t serial) {
    sim::ProbeOptions options;
    options.serialNumber = serial;
    return options;
}

class DriverStack : public ::testing::Test {
protected:
    // A probe plugged in; it lives as long as the kernel that serves it.
    SimulatedProbe &probe(std::uint32_t serial, unsigned usbAddress) {
        probes_.push_back(std::make_unique<SimulatedProbe>(*clock_, withSerial(serial), usbAddress));
        return *probes_.back();
    }
    kshim::Device &plug(SimulatedProbe &p) {
        kshim::Device &d = kernel_.plugIn(p.usb);
        EXPECT_EQ(d.startStatus, STATUS_SUCCESS);
        return d;
    }
    void TearDown() override {
        FERROX_Close();
        EXPECT_EQ(errors, "");
    }

    plat::ScopedVirtualClock clock_{1000};
    std::vector<std::unique_ptr<SimulatedProbe>> probes_;
    kshim::Kernel kernel_{DriverEntry};
    kshim::DeviceProvider provider_;
};

TEST_F(DriverStack, ProbeAndMemoryOperationsGoThroughTheDriver) {
    SimulatedProbe &p = probe(0x1234, 0);
    kshim::Device &d = plug(p);
    ASSERT_EQ(FERROX_Open(nullptr, errorOut), 0) << errors;
    EXPECT_EQ(FERROX_EMU_GetSN(), 0x1234);
    EXPECT_EQ(FERROX_EMU_GetHWVersion(), 22000);

    std::vector<std::uint8_t> data(300);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    ASSERT_EQ(FERROX_CPU_SetData(0x0100, 300, data.data()), 300) << errors;
    std::vector<std::uint8_t> back(300);
    ASSERT_EQ(FERROX_CPU_GetData(0x0100, 300, back.data()), 300) << errors;
    EXPECT_EQ(back, data);
    p.usb.withProbe([&](sim::Probe &probe) {
        EXPECT_TRUE(std::equal(data.begin(), data.end(), probe.target().dataMemory().begin() + 0x100));
    });

    std::vector<std::uint8_t> page(64, 0x5C);
    ASSERT_EQ(FERROX_CPU_ProgEEPROM(0x40, 64, page.data()), 64) << errors;
    std::vector<std::uint8_t> eeprom(64);
    ASSERT_EQ(FERROX_CPU_GetEEPROM(0x40, 64, eeprom.data()), 64) << errors;
    EXPECT_EQ(eeprom, page);

    EXPECT_GT(kernel_.urbCount(d, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 10u);
}

TEST_F(DriverStack, SeveralProbesAnswerAtTheirOwnAddresses) {
    SimulatedProbe &first = probe(111, 0);
    SimulatedProbe &second = probe(222, 2);
    SimulatedProbe &third = probe(333, 3);
    plug(first);
    plug(second);
    plug(third);
    EXPECT_EQ(kshim::linkTarget("\\DosDevices\\halvornquidor2"), "\\Device\\halvornquidor1");

    const std::pair<int, int> serials[] = {{2, 222}, {0, 111}, {3, 333}};
    for (const auto &[port, serial] : serials) {
        ASSERT_EQ(FERROX_SelectUSB(port), 0);
        ASSERT_EQ(FERROX_Open(nullptr, errorOut), 0) << port << errors;
        EXPECT_EQ(FERROX_EMU_GetSN(), serial);
        FERROX_Close();
    }
    ASSERT_EQ(FERROX_SelectUSB(1), 0);
    EXPECT_NE(FERROX_Open(nullptr, errorOut), 0); // nobody at address 1
    errors.clear();
}

TEST_F(DriverStack, AnUnpluggedProbeIsNoLongerFound) {
    SimulatedProbe &p = probe(5, 0);
    kshim::Device &d = plug(p);
    ASSERT_EQ(FERROX_Open(nullptr, errorOut), 0) << errors;
    kernel_.surpriseRemove(d);
    EXPECT_NE(FERROX_EMU_GetSN(), 5);
    EXPECT_NE(errors.find("USB communication error: No USB connection opened !"), std::string::npos)
        << errors;
    errors.clear();
}

TEST_F(DriverStack, AProbeThatNeverAnswersTimesOutAndTheDriverStaysUsable) {
    SimulatedProbe &p = probe(77, 0);
    kshim::Device &d = plug(p);
    ASSERT_EQ(FERROX_Open(nullptr, errorOut), 0) << errors;
    p.usb.withProbe([](sim::Probe &probe) {
        probe.setAnswerFault({sim::FaultKind::Nothing, 0xE6, 0, 1, 0});
    });
    EXPECT_NE(FERROX_EMU_GetSN(), 77);
    EXPECT_NE(errors.find("USB communication timed out"), std::string::npos) << errors;
    errors.clear();
    FERROX_ClrError();
    EXPECT_EQ(FERROX_EMU_GetSN(), 77);
    auto *ext = static_cast<PQUIDOR_DEVICE_EXTENSION>(d.fdo->DeviceExtension);
    EXPECT_EQ(ext->OutStandingIO, 1);
    EXPECT_EQ(ext->OpenHandleCount, 0);
}

TEST_F(DriverStack, ALateAnswerArrivesAtItsTime) {
    SimulatedProbe &p = probe(88, 0);
    plug(p);
    ASSERT_EQ(FERROX_Open(nullptr, errorOut), 0) << errors;
    p.usb.withProbe([](sim::Probe &probe) { probe.setAnswerFault({sim::FaultKind::Late, 0xE6, 0, 1, 700}); });
    const std::uint32_t before = plat::tickMs();
    EXPECT_EQ(FERROX_EMU_GetSN(), 88) << errors;
    EXPECT_GE(plat::tickMs() - before, 700u);
}

} // namespace

namespace {

// The commander's interpreter through the driver: its output, caught from
// standard output, and the target memory the simulator holds afterwards.
std::string commanderOutput(const char *sScript) {
    std::fflush(stdout);
    const int saved = ::dup(1);
    std::FILE *capture = std::tmpfile();
    ::dup2(::fileno(capture), 1);
    std::vector<char> text(sScript, sScript + std::strlen(sScript) + 1);
    RunScriptText(text.data());
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    std::string out;
    std::rewind(capture);
    for (int c = std::fgetc(capture); c != EOF; c = std::fgetc(capture)) {
        out.push_back(static_cast<char>(c));
    }
    std::fclose(capture);
    return out;
}

TEST_F(DriverStack, TheCommanderReachesTheProbeThroughTheDriver) {
    SimulatedProbe &p = probe(0x2468, 2);
    plug(p);
    ASSERT_EQ(FERROX_SelectUSB(2), 0); // the probe at USB address 2
    CMD_ResetState();
    ASSERT_EQ(ConnectProbe(), 0) << errors;
    const std::string out = commanderOutput("wDat 100,12 34\nrDat 100,2\n");
    EXPECT_NE(out.find("00000100 = 12 34"), std::string::npos) << out;
    EXPECT_EQ(p.usb.withProbe([](sim::Probe &probe) { return probe.target().dataMemory()[0x101]; }), 0x34);
    EXPECT_EQ(ExitStatus, 0);
    CMD_ResetState();
}

} // namespace
