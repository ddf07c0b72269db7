// The USB transport and the connection at wire level, against the scripted
// probe behind the device names.
#include "FerroxConst.h"
#include "api.h"
#include "capture.h"
#include "link.h"
#include "main_log.h"
#include "probe_script.h"
#include "scripted_probe.h"
#include "usb.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

using ferrox_test::Bytes;
using ferrox_test::captured;
using ferrox_test::ScriptedProbe;

namespace {

const std::string kDevice = "\\\\.\\halvornquidor";

TEST(UsbTransport, DeviceAndPipeNamesCarryThePortNumber) {
    struct Case {
        int port;
        std::string device;
    };
    for (const Case &c : {Case{0, kDevice}, Case{3, kDevice + "3"}, Case{12, kDevice + "12"}}) {
        SCOPED_TRACE(c.port);
        ScriptedProbe probe(c.port);
        LINK_Disconnect();
        ASSERT_EQ(LINK_SelectUSB(c.port), 0);
        ASSERT_EQ(LINK_Connect(), 0);
        EXPECT_EQ(probe.openedNames(),
                  (std::vector<std::string>{c.device, c.device + "\\pipe00", c.device + "\\pipe01"}));
    }
}

TEST(UsbTransport, ShortAnswerIsReportedOnceThenTheLinkStaysSilentUntilClrError) {
    ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    const std::size_t openWrites = probe.writes().size();
    const U8 request[1] = {0x07};
    U8 answer[4] = {};
    probe.expect({0x07}, {1, 2, 3, 4}, ScriptedProbe::Reply::Short, 3);
    EXPECT_EQ(LINK_WriteRead(request, 1, answer, 4), 3);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{
                  "USB communication timed out: Writing 1 bytes, requesting 4 bytes, received 3 bytes !"});
    EXPECT_EQ(LINK_HasCommError(), 1);

    // Silence: no I/O at all, nothing more reported.
    EXPECT_EQ(LINK_WriteRead(request, 1, answer, 4), 0);
    EXPECT_EQ(LINK_Write(request, 1), 0);
    EXPECT_EQ(LINK_Read(answer, 4), 0);
    EXPECT_EQ(probe.writes().size(), openWrites + 1);
    EXPECT_EQ(captured().errors.size(), 1u);
    EXPECT_EQ(FERROX_HasError(), 1);

    FERROX_ClrError();
    EXPECT_EQ(FERROX_HasError(), 0);
    probe.expect({0x07}, {9, 8, 7, 6});
    EXPECT_EQ(LINK_WriteRead(request, 1, answer, 4), 4);
    EXPECT_EQ(Bytes(answer, answer + 4), (Bytes{9, 8, 7, 6}));
    EXPECT_TRUE(probe.mismatches().empty());
}

TEST(UsbTransport, WriteReadWithoutAnswerOnlyWrites) {
    ScriptedProbe probe;
    ASSERT_EQ(LINK_Connect(), 0);
    const U8 request[2] = {0xF2, 0x01};
    probe.expect({0xF2, 0x01}, {});
    EXPECT_EQ(LINK_WriteRead(request, 2, nullptr, 0), 0);
    EXPECT_EQ(probe.writes(), std::vector<Bytes>{(Bytes{0xF2, 0x01})});
    EXPECT_TRUE(probe.readSizes().empty());
    EXPECT_EQ(LINK_HasCommError(), 0);
}

TEST(UsbTransport, ReadIsSplitIntoRequestsOfAtMost2048Bytes) {
    ScriptedProbe probe;
    ASSERT_EQ(LINK_Connect(), 0);
    Bytes big(5000);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<U8>(i * 7);
    }
    probe.expect({0xD3, 0x10}, big);
    const U8 request[2] = {0xD3, 0x10};
    ASSERT_EQ(LINK_Write(request, 2), 2);
    Bytes got(5000);
    EXPECT_EQ(LINK_Read(got.data(), 5000), 5000);
    EXPECT_EQ(probe.readSizes(), (std::vector<std::uint32_t>{2048, 2048, 904}));
    EXPECT_EQ(got, big);
}

TEST(UsbTransport, IncompleteReadChunkReportsItsOwnSizes) {
    ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    probe.expect({0xD2, 0x04}, {0x34}, ScriptedProbe::Reply::Short, 1);
    // The user buffer's count: two bytes written, two bytes read.
    EXPECT_EQ(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_GET_CNT, 0), 0x34);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{"USB communication timed out: Requested 2 bytes, received 1 bytes !"});
}

TEST(UsbTransport, AnswerCountsWithinItsBudgetOf5000ms) {
    plat::ScopedVirtualClock clock(0);
    ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    const U8 request[1] = {0xF0};
    U8 answer[4] = {};
    probe.expect({0xF0}, {0x10, 0x27, 0, 0}, ScriptedProbe::Reply::Late, 4999);
    EXPECT_EQ(LINK_WriteRead(request, 1, answer, 4), 4);
    EXPECT_EQ(clock->tickMs(), 4999u);
    EXPECT_TRUE(captured().errors.empty());

    probe.expect({0xF0}, {0x10, 0x27, 0, 0}, ScriptedProbe::Reply::Late, 5001);
    EXPECT_EQ(LINK_WriteRead(request, 1, answer, 4), 0);
    EXPECT_EQ(clock->tickMs(), 4999u + 5000u);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{
                  "USB communication timed out: Writing 1 bytes, requesting 4 bytes, received 0 bytes !"});
}

TEST(UsbTransport, UnpluggedProbeShowsOnTheNextTransfer) {
    ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    probe.setPresent(false);
    const U8 request[1] = {0x07};
    U8 answer[8] = {};
    EXPECT_EQ(LINK_WriteRead(request, 1, answer, 8), 0);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{"USB communication error: No USB connection opened !"});
}

TEST(UsbTransport, SelectUsbReconnectsOnlyWhenConnected) {
    ScriptedProbe probe;
    // Not connected: only remembers the port.
    EXPECT_EQ(FERROX_SelectUSB(3), 0);
    EXPECT_TRUE(probe.openedNames().empty());
    EXPECT_EQ(LINK_GetUsbPort(), 3);
    // Connected: reconnects at once, and fails where no probe answers.
    ASSERT_EQ(FERROX_SelectUSB(0), 0);
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_SelectUSB(3), 1);
    EXPECT_EQ(FERROX_SelectUSB(0), 0); // not connected after the failure
    EXPECT_EQ(LINK_IsConnected(), 0);
}

TEST(Open, WithoutProbeFailsWithTheConnectText) {
    EXPECT_EQ(FERROX_Open(ferrox_test::logOut, ferrox_test::errorOut), 1);
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Can not connect to Quidor via USB."});
    EXPECT_EQ(FERROX_IsOpen(), 0);
    EXPECT_EQ(FERROX_HasError(), -1);
}

TEST(Open, SecondOpenKeepsTheFirstOutputFunctions) {
    ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    ASSERT_EQ(FERROX_Open(nullptr, nullptr), 0);
    EXPECT_EQ(API_GetErrorOut(), &ferrox_test::errorOut);
    EXPECT_EQ(FERROX_IsOpen(), 1);
}

TEST(Open, ClrErrorAfterAReportedErrorCleansTheSystemBuffer) {
    ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    API_Lock("test");
    MAIN_ReportStatus(9, 0);
    API_Unlock();
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{"Could not enter Monitor mode.\nIs a target connected to Quidor?"});
    EXPECT_EQ(FERROX_HasError(), 1);
    probe.expect({0xD3, EMU_CMD_BUFFER_CLEAN}, {0, 0});
    FERROX_ClrError();
    EXPECT_EQ(FERROX_HasError(), 0);
    EXPECT_TRUE(probe.scriptDone());
    EXPECT_TRUE(probe.mismatches().empty());
}

TEST(Open, AfterCloseAnExportReopensWithoutOutputFunctions) {
    ferrox_test::CaptureMessageBoxes boxes;
    ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    FERROX_Close();
    EXPECT_EQ(FERROX_IsOpen(), 0);
    probe.setPresent(false);
    EXPECT_EQ(FERROX_CPU_Go(), -1);
    EXPECT_TRUE(captured().errors.empty());
    EXPECT_EQ(captured().messageBoxes,
              std::vector<std::string>{"Quidor Error|Can not connect to Quidor via USB."});
    probe.setPresent(true);
    ferrox_test::scriptOpen(probe);
    // An export that asks nothing of the target: only the reopen is scripted.
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_NA);
    EXPECT_EQ(FERROX_IsOpen(), 1);
    EXPECT_EQ(API_GetErrorOut(), nullptr);
    EXPECT_TRUE(probe.scriptDone());
}

TEST(Open, SwitchPowerExNeedsTheCapabilityBit) {
    ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    const std::size_t writes = probe.writes().size();
    EXPECT_EQ(FERROX_EMU_SwitchPowerEx(1), 1);
    EXPECT_EQ(probe.writes().size(), writes);
}

} // namespace
