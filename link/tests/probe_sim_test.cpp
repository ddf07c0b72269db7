// The probe layer against the simulated probe: the open brings it up, the
// firmware is kept equal to the library's image across connects, the text
// commands change what the probe holds, and the supply switching moves the
// target voltage.
#include "api.h"
#include "capture.h"
#include "cpu_state.h"
#include "firmware.h"
#include "link.h"
#include "probe.h"
#include "sim_tcp_server.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <cstring>

using ferrox_test::captured;

namespace {

// The library's image as the probe holds it after a download: the CRC in
// its last two bytes.
std::vector<std::uint8_t> sentImage() {
    std::vector<std::uint8_t> image(FirmwareImage, FirmwareImage + FW_IMAGE_SIZE);
    FW_PlaceCRC(image.data(), FW_IMAGE_SIZE, 0);
    return image;
}

// An image whose identification is `text`, as another firmware would carry.
std::vector<std::uint8_t> imageWithBanner(const std::string &text) {
    std::vector<std::uint8_t> image(FirmwareImage, FirmwareImage + FW_IMAGE_SIZE);
    std::memset(image.data() + FW_BANNER_OFFSET, 0, 128);
    std::memcpy(image.data() + FW_BANNER_OFFSET, text.data(), text.size());
    FW_PlaceCRC(image.data(), FW_IMAGE_SIZE, 0);
    return image;
}

class ProbeSim : public ::testing::Test {
protected:
    explicit ProbeSim(const sim::ProbeOptions &options = {}) : probe_(*clock_, options), front_(probe_) {
        probe_.setTrace([this](bool toProbe, const std::uint8_t *p, std::size_t n) {
            if (toProbe && n > 0 && p[0] == 0x06 && n == 1) {
                ++downloads_;
            }
        });
    }
    std::string probeFirmware() {
        return front_.withProbe([](sim::Probe &p) { return p.firmwareString(); });
    }
    int reopen() {
        FERROX_Close();
        return FERROX_Open(nullptr, ferrox_test::errorOut);
    }

    plat::ScopedVirtualClock clock_{1000};
    sim::Probe probe_{*clock_};
    sim::DeviceFront front_;
    int downloads_ = 0;
};

TEST_F(ProbeSim, OpenBringsTheProbeUpWithItsCachesFilled) {
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_IsOpen(), 1);
    EXPECT_EQ(downloads_, 0);
    EXPECT_EQ(FERROX_EMU_GetCaps() & 0x70u, 0x70u);
    U8 config[256];
    ASSERT_EQ(FERROX_EMU_ReadConfigMem(config, 0, 256), 0);
    EXPECT_EQ(0, std::memcmp(config, probe_.configMemory().data(), 256));
    // The firmware string comes from the cache: the probe sees nothing.
    int requests = 0;
    probe_.setTrace([&](bool toProbe, const std::uint8_t *, std::size_t) { requests += toProbe ? 1 : 0; });
    char fw[256];
    FERROX_EMU_GetFirmwareString(fw, sizeof fw);
    EXPECT_STREQ(fw, sim::kLibraryBanner);
    EXPECT_EQ(requests, 0);
    EXPECT_EQ(FERROX_EMU_GetHWVersion(), 22000);
    EXPECT_FALSE(probe_.supplyOn());
    EXPECT_TRUE(captured().errors.empty());
}

class OlderProbe : public ProbeSim {
protected:
    static sim::ProbeOptions older() {
        sim::ProbeOptions o;
        o.firmware = sim::ProbeOptions::Firmware::Older;
        return o;
    }
    OlderProbe() : ProbeSim(older()) {}
};

TEST_F(OlderProbe, IsUpdatedAtConnectAndNotAtTheNextOne) {
    ASSERT_EQ(probeFirmware(), sim::kOlderBanner);
    const std::uint32_t start = clock_->tickMs();
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(downloads_, 1);
    EXPECT_GE(clock_->tickMs() - start, 2500u);
    EXPECT_EQ(probeFirmware(), sim::kLibraryBanner);
    EXPECT_EQ(probe_.firmwareImage(), sentImage());
    EXPECT_FALSE(EMU_IsProbeUnusable());

    ASSERT_EQ(reopen(), 0);
    EXPECT_EQ(downloads_, 1);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(ProbeSim, ALeadingPartOfTheBannerIsNotUpdated) {
    probe_.loadFirmwareImage(imageWithBanner("Quidor Rev 2.0"));
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(downloads_, 0);
    EXPECT_EQ(probeFirmware(), "Quidor Rev 2.0");
}

TEST_F(ProbeSim, RefusedUpdateLeavesTheOpenStandingButTheProbeUnusable) {
    probe_.loadFirmwareImage(imageWithBanner("Quidor Rev 1.0"));
    probe_.setRefuseFirmwareUpdate(true);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    // Both connects of the open try, and each reports once.
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Quidor can not execute firmware update\n"
                                                          "Quidor can not execute firmware update"});
    FERROX_HW_STATUS st;
    EXPECT_EQ(FERROX_EMU_GetHWStatus(&st), 1);
    // The next connect starts afresh and tries again.
    probe_.setRefuseFirmwareUpdate(false);
    ASSERT_EQ(reopen(), 0);
    EXPECT_EQ(probeFirmware(), sim::kLibraryBanner);
    EXPECT_EQ(FERROX_EMU_GetHWStatus(&st), 0);
}

class ForeignProbe : public ProbeSim {
protected:
    static sim::ProbeOptions foreign() {
        sim::ProbeOptions o;
        o.firmware = sim::ProbeOptions::Firmware::Foreign;
        return o;
    }
    ForeignProbe() : ProbeSim(foreign()) {}
};

TEST_F(ForeignProbe, FailsTheOpenUntilAutoUpdateIsDisabled) {
    EXPECT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 1);
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Can not connect to Quidor via USB."});
    EXPECT_EQ(downloads_, 0);

    // The text command needs an open connection: bring up a probe of ours,
    // disable the check, then meet the foreign firmware again.
    probe_.loadFirmwareImage(sentImage());
    FERROX_ClrError();
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    char reply[32];
    ASSERT_EQ(FERROX_EMU_ExecCommand("DisableAutoUpdateFW", reply, sizeof reply), 0);
    FERROX_Close();
    probe_.loadFirmwareImage(imageWithBanner(sim::kForeignBanner));
    EXPECT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(probeFirmware(), sim::kForeignBanner);
    EXPECT_EQ(downloads_, 0);
}

TEST_F(ProbeSim, InvalidateFWMakesTheNextConnectUpdateAgain) {
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    char reply[32] = "x";
    ASSERT_EQ(FERROX_EMU_ExecCommand("InvalidateFW", reply, sizeof reply), 0);
    EXPECT_STREQ(reply, "");
    EXPECT_EQ(downloads_, 1);
    const std::string changed = probeFirmware();
    EXPECT_NE(changed, sim::kLibraryBanner);
    EXPECT_EQ(changed.substr(0, 7), "Quidor ");
    EXPECT_STREQ(FW_GetBanner(), sim::kLibraryBanner);

    ASSERT_EQ(reopen(), 0);
    EXPECT_EQ(downloads_, 2);
    EXPECT_EQ(probeFirmware(), sim::kLibraryBanner);
    EXPECT_EQ(probe_.firmwareImage(), sentImage());
}

TEST_F(ProbeSim, UpdateFirmwareCommandComparesWithoutThePrefixTest) {
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    char reply[32];
    ASSERT_EQ(FERROX_EMU_ExecCommand("UpdateFirmware", reply, sizeof reply), 0);
    EXPECT_EQ(downloads_, 0); // equal: nothing to do
    FERROX_Close();
    probe_.loadFirmwareImage(imageWithBanner(sim::kForeignBanner));
    ASSERT_EQ(FERROX_EMU_ExecCommand("DisableAutoUpdateFW", reply, sizeof reply), 0); // opens: fails
    EXPECT_EQ(FERROX_IsOpen(), 0);
    probe_.loadFirmwareImage(sentImage());
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    ASSERT_EQ(FERROX_EMU_ExecCommand("DisableAutoUpdateFW", reply, sizeof reply), 0);
    FERROX_Close();
    probe_.loadFirmwareImage(imageWithBanner(sim::kForeignBanner));
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    ASSERT_EQ(FERROX_EMU_ExecCommand("UpdateFirmware", reply, sizeof reply), 0);
    EXPECT_EQ(downloads_, 1);
    EXPECT_EQ(probeFirmware(), sim::kLibraryBanner);
}

class NumberedProbe : public ProbeSim {
protected:
    static sim::ProbeOptions numbered() {
        sim::ProbeOptions o;
        o.serialNumber = 77;
        return o;
    }
    NumberedProbe() : ProbeSim(numbered()) {}
};

TEST_F(NumberedProbe, SerialNumberCanNotBeOverwritten) {
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_EMU_GetSN(), 77);
    char reply[80];
    EXPECT_EQ(FERROX_EMU_ExecCommand("SetSN=5", reply, sizeof reply), 1);
    EXPECT_STREQ(reply, "ERROR - S/N 77 can not be overwritten by S/N 5\n");
    EXPECT_EQ(probe_.serialNumber(), 77u);
}

TEST_F(ProbeSim, SerialNumberIsProgrammedOnce) {
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_EMU_GetSN(), -1);
    char reply[80];
    EXPECT_EQ(FERROX_EMU_ExecCommand("  SetSN = 4711", reply, sizeof reply), 0);
    EXPECT_STREQ(reply, "O.K.\n");
    EXPECT_EQ(probe_.serialNumber(), 4711u);
    EXPECT_EQ(FERROX_EMU_GetSN(), 4711); // the write dropped the cached copy
    EXPECT_EQ(FERROX_EMU_ExecCommand("SetSN=1", reply, sizeof reply), 1);
    EXPECT_STREQ(reply, "ERROR - S/N 4711 can not be overwritten by S/N 1\n");
}

TEST_F(ProbeSim, SwitchingAProbeSuppliedTargetOffLetsItsVoltageFall) {
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    ASSERT_EQ(FERROX_EMU_SwitchPower(1), 0);
    FERROX_HW_STATUS st;
    ASSERT_EQ(FERROX_EMU_GetHWStatus(&st), 0);
    EXPECT_EQ(st.TargetPowerOn, 1);
    EXPECT_GT(st.VTarget, 3000);
    EXPECT_FALSE(CPU_IsTargetPoweredDown());

    ASSERT_EQ(FERROX_EMU_SwitchPower(0), 0);
    ASSERT_EQ(FERROX_EMU_GetHWStatus(&st), 0);
    EXPECT_EQ(st.TargetPowerOn, 0);
    EXPECT_LT(st.VTarget, 800);
    EXPECT_TRUE(CPU_IsTargetPoweredDown());

    // The extended switch answers with the probe's own byte.
    EXPECT_EQ(FERROX_EMU_SwitchPowerEx(1), 0);
    ASSERT_EQ(FERROX_EMU_GetHWStatus(&st), 0);
    EXPECT_EQ(st.TargetPowerOn, 1);
    EXPECT_EQ(FERROX_EMU_SwitchInterface(2), 2);
    EXPECT_EQ(probe_.interfaceMode(), 2);
}

TEST_F(ProbeSim, ConfigurationMemoryRoundTripsThroughTheProbe) {
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    const U8 sel = SUPPLY_SEL_5V;
    EXPECT_EQ(FERROX_EMU_WriteConfigMem(&sel, CONFIG_OFF_VOLTAGE_SEL, 1), 0);
    EXPECT_EQ(probe_.configMemory()[CONFIG_OFF_VOLTAGE_SEL], SUPPLY_SEL_5V);
    EXPECT_EQ(FERROX_EMU_SetUSBAddr(0), 0);
    EXPECT_EQ(probe_.configMemory()[0], 0);
    EXPECT_EQ(probe_.configMemory()[CONFIG_OFF_VOLTAGE_SEL], SUPPLY_SEL_5V);

    // A new address is read back at once and used from the next plug-in on.
    EXPECT_EQ(FERROX_EMU_SetUSBAddr(2), 0);
    EXPECT_EQ(probe_.configMemory()[0], 2);
    FERROX_Close();
    front_.unplug();
    front_.plugIn();
    EXPECT_EQ(FERROX_SelectUSB(2), 0);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    U8 cfg[1] = {0xEE};
    EXPECT_EQ(FERROX_EMU_ReadConfigMem(cfg, 0, 1), 0);
    EXPECT_EQ(cfg[0], 2);
}

TEST_F(ProbeSim, BuffersCollectWhatTheProbeRecorded) {
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_CLEAN, 0), 0);
    EXPECT_EQ(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_GET_CNT, 0), 0);
    U16 items[8];
    EXPECT_EQ(FERROX_EMU_ReadUserBuffer(8, items), 0);
}

TEST(ProbeSimTcp, OpenOverTcpFillsTheCaches) {
    sim::ProbeOptions options;
    options.firmware = sim::ProbeOptions::Firmware::Older;
    plat::ScopedVirtualClock clock(0);
    sim::Probe probe(*clock, options);
    ferrox_test::SimTcpServer tcp(probe);
    ASSERT_TRUE(tcp.start());
    EXPECT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    char fw[256];
    FERROX_EMU_GetFirmwareString(fw, sizeof fw);
    EXPECT_STREQ(fw, sim::kLibraryBanner);
    EXPECT_EQ(FERROX_EMU_GetCaps() & 0x70u, 0x70u);
    U8 b = 0;
    EXPECT_EQ(FERROX_EMU_ReadConfigMem(&b, 0, 1), 0);
    EXPECT_EQ(FERROX_EMU_GetHWVersion(), 22000);
    EXPECT_TRUE(captured().errors.empty());
    FERROX_Close();
}

} // namespace
