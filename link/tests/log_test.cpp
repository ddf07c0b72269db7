// The log file byte for byte, and the error buffer with its delivery.
#include "api.h"
#include "capture.h"
#include "main_log.h"
#include "probe_script.h"
#include "scripted_probe.h"

#include "plat/clock.h"
#include "plat/thread.h"
#include "plat/time.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

using ferrox_test::captured;

namespace {

std::string threadPrefix(const char *time) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "T%.4X %s ", plat::currentThreadId(), time);
    return buf;
}

// The three lines a new log file starts with, all at time 000:000.
std::string header() {
    const std::string t = threadPrefix("000:000");
    const plat::SystemTime now = plat::utcTime();
    char started[64];
    std::snprintf(started, sizeof started, "Logging started @ %.4d-%.2d-%.2d %.2d:%.2d", now.year, now.month,
                  now.day, now.hour, now.minute);
    return "\r\n" + t + "Quidor DLL Log File (0000ms)\r\n" + t + started + " (0000ms)\r\n" + t +
           "DLL Compiled: " + FERROX_GetCompileDateTime() + " (0000ms)\r\n";
}

std::string fourDigits(std::size_t n) {
    std::string s = std::to_string(n);
    return std::string(s.size() < 4 ? 4 - s.size() : 0, '0') + s;
}

class LogFile : public ::testing::Test {
protected:
    void SetUp() override { path_ = ferrox_test::tempLogPath("log"); }
    void TearDown() override { std::remove(path_.c_str()); }
    std::string content() const { return ferrox_test::readFile(path_); }
    std::string path_;
    plat::ScopedVirtualClock clock_{7000};
};

TEST_F(LogFile, TopLevelCallsCarryThreadTimeResultAndDuration) {
    FERROX_SetLogFile(path_.c_str());
    clock_->advance(1234);
    EXPECT_EQ(FERROX_SelectUSB(3), 0);
    API_Lock("FERROX_Test");
    MAIN_LogString("FERROX_Test()");
    const U8 data[18] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    MAIN_LogData(data, 18);
    clock_->advance(3);
    MAIN_LogString("  returns 0x00\n");
    API_Unlock();
    FERROX_SetLogFile(nullptr);
    const std::string t = threadPrefix("001:234");
    const std::string t2 = threadPrefix("001:237");
    EXPECT_EQ(content(), header() + t + "FERROX_SelectUSB(Port = 3)  returns 0x00 (0000ms)\r\n" + t +
                             "FERROX_Test() -- Data:  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ..."
                             "  returns 0x00 (0003ms)\r\n" +
                             t2 + " (0000ms)\r\n" + t2 + "Closed (0000ms)\r\n");
}

TEST_F(LogFile, NestedCallBreaksTheLineAndTheOuterCallResumesIndented) {
    ferrox_test::ScriptedProbe probe;
    probe.setOpenCost(2); // every open of a name shows in the duration
    ferrox_test::scriptOpen(probe);
    FERROX_SetLogFile(path_.c_str());
    // A reported error makes the open clear it first, with a nested export.
    MAIN_SetErrorReported(1);
    EXPECT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    FERROX_SetLogFile(nullptr);
    const std::string log = content();
    const std::string expected = threadPrefix("000:000") + "FERROX_Open(...)\r\n" + std::string(16, ' ') +
                                 "FERROX_ClrError() (0000ms)\r\n" + std::string(14, ' ') +
                                 "  returns O.K. (" + fourDigits(2 * probe.openedNames().size()) + "ms)\r\n";
    EXPECT_EQ(log.substr(0, header().size()), header());
    EXPECT_EQ(log.substr(header().size(), expected.size()), expected) << log;
}

TEST_F(LogFile, ApiErrorLineBeforeTheAutomaticOpen) {
    ferrox_test::ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    FERROX_SetLogFile(path_.c_str());
    // An export that asks nothing of the target: only the open is scripted.
    FERROX_CPU_GetLastResponse();
    FERROX_SetLogFile(nullptr);
    const std::string t = threadPrefix("000:000");
    const std::string expected =
        std::string("\n  ***** API Error: API FERROX_CPU_GetLastResponse function called before "
                    "FERROX_Open()\r\n") +
        t + "FERROX_CPU_GetLastResponse  returns 0xFFFFFFFF (0000ms)\r\n";
    const std::string log = content();
    EXPECT_EQ(log.substr(header().size(), expected.size()), expected) << log;
}

TEST_F(LogFile, SecondFileNameOnlyRestartsTheFirstFile) {
    const std::string other = ferrox_test::tempLogPath("other");
    FERROX_SetLogFile(path_.c_str());
    FERROX_SetLogFile(other.c_str());
    FERROX_SetLogFile(nullptr);
    EXPECT_NE(content().find(threadPrefix("000:000") + "***** Logging restarted ??? ***** (0000ms)\r\n"),
              std::string::npos);
    EXPECT_EQ(ferrox_test::readFile(other), "");
}

TEST_F(LogFile, SizeCapClosesTheFileWithANotice) {
    FERROX_SetLogFile(path_.c_str());
    const std::string before = content();
    MAIN_SetLogByteCount(100000000 - 10);
    MAIN_LogString("0123456789"); // exactly at the cap: still written
    MAIN_LogString("x");
    MAIN_LogString("after\n");
    EXPECT_EQ(content(), before + "0123456789\r\n*** Max log file size reached, file closed. ***\r\n");
    // The count is never reset: a later file only receives the notice.
    const std::string other = ferrox_test::tempLogPath("capped");
    FERROX_SetLogFile(nullptr);
    FERROX_SetLogFile(other.c_str());
    FERROX_IsOpen();
    EXPECT_EQ(ferrox_test::readFile(other), "\r\n*** Max log file size reached, file closed. ***\r\n");
    std::remove(other.c_str());
}

TEST(ErrorBuffer, ErrorsAreJoinedAndDeliveredOnceAtUnlock) {
    API_Lock("FERROX_Test");
    MAIN_LogError("first");
    MAIN_LogError("second\n");
    MAIN_LogError("third");
    MAIN_LogError(nullptr);
    EXPECT_TRUE(captured().errors.empty());
    // No output function: the message box carries them.
    ferrox_test::CaptureMessageBoxes boxes;
    API_Unlock();
    EXPECT_EQ(captured().messageBoxes, std::vector<std::string>{"Quidor Error|first\nsecond\nthird"});
    API_Lock("FERROX_Test");
    API_Unlock();
    EXPECT_EQ(captured().messageBoxes.size(), 1u);
}

TEST(ErrorBuffer, OverflowIsAnInternalErrorAndKeepsTheEarlierText) {
    ferrox_test::CaptureMessageBoxes boxes;
    const std::string big(4000, 'a');
    const std::string more(100, 'b');
    API_Lock("FERROX_Test");
    MAIN_LogError(big.c_str());
    MAIN_LogError(more.c_str());
    EXPECT_EQ(captured().messageBoxes,
              std::vector<std::string>{
                  "Orrix.dll: Internal error|MAIN_LogError: Insufficient space in error buffer!"});
    API_Unlock();
    ASSERT_EQ(captured().messageBoxes.size(), 2u);
    EXPECT_EQ(captured().messageBoxes[1], "Quidor Error|" + big);
    // Exactly full still fits: 4095 characters and the terminator.
    API_Lock("FERROX_Test");
    MAIN_LogError(std::string(4094, 'c').c_str());
    API_Unlock();
    ASSERT_EQ(captured().messageBoxes.size(), 3u);
    EXPECT_EQ(captured().messageBoxes[2].size(), std::string("Quidor Error|").size() + 4094);
}

TEST(ErrorBuffer, ReportStatusReportsTheFirstCodeOnlyUntilCleared) {
    ferrox_test::CaptureMessageBoxes boxes;
    API_Lock("FERROX_Test");
    MAIN_ReportStatus(0, 0);
    MAIN_ReportStatus(3, 1); // only recorded
    EXPECT_EQ(MAIN_GetLastErrorCode(), 3);
    EXPECT_EQ(MAIN_IsErrorReported(), 0);
    MAIN_ReportStatus(25, 0);
    MAIN_ReportStatus(4, 0); // neither reported nor recorded
    EXPECT_EQ(MAIN_GetLastErrorCode(), 25);
    API_Unlock();
    MAIN_SetErrorReported(0);
    API_Lock("FERROX_Test");
    MAIN_ReportStatus(-1, 0);
    API_Unlock();
    EXPECT_EQ(captured().messageBoxes,
              (std::vector<std::string>{"Quidor Error|Unknown error occured, error-code 0x0019",
                                        "Quidor Error|Unknown error occured, error-code 0xffffffff"}));
}

TEST(ErrorBuffer, EveryCodeHasItsMessage) {
    EXPECT_STREQ(MAIN_ErrorMessage(1), "Rx/Tx timeout during communication to target.");
    EXPECT_STREQ(MAIN_ErrorMessage(12),
                 "Selected device can not be handled by connected Quidor, select an other device.");
    EXPECT_STREQ(MAIN_ErrorMessage(18), "Brown out occurred.");
    EXPECT_EQ(MAIN_ErrorMessage(0), nullptr);
    EXPECT_EQ(MAIN_ErrorMessage(19), nullptr);
}

} // namespace
