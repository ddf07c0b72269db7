// The API frame: not-open values, the lock's depth and its errors, the
// release at thread end, the version number.
#include "api.h"
#include "capture.h"
#include "main_log.h"
#include "probe_script.h"
#include "scripted_probe.h"

#include "plat/clock.h"
#include "plat/named_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using ferrox_test::captured;

namespace {

TEST(Frame, ExportsWithoutProbeReturnTheirNotOpenValues) {
    ferrox_test::CaptureMessageBoxes boxes;
    EXPECT_EQ(FERROX_HasError(), -1);
    EXPECT_EQ(FERROX_IsOpen(), 0);
    EXPECT_EQ(FERROX_CPU_IsHalted(), 0);
    EXPECT_EQ(FERROX_CPU_IsHaltedEx(0), 0);
    EXPECT_EQ(FERROX_CPU_IsProtected(), 0);
    EXPECT_EQ(FERROX_CPU_Step(), 1);
    EXPECT_EQ(FERROX_CPU_Unprotect("00"), 4);
    U8 sign[3] = {1, 2, 3};
    EXPECT_EQ(FERROX_CPU_CalcSign(0, 16, sign), -2);
    EXPECT_EQ(FERROX_CPU_Go(), -1);
    EXPECT_EQ(FERROX_CPU_GetReg(1), 0xFFFFFFFFu);
    EXPECT_EQ(FERROX_EMU_GetCaps(), 0u);
    EXPECT_EQ(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_START, 0), 0);
    FERROX_HW_STATUS status;
    std::memset(&status, 0xEE, sizeof status);
    EXPECT_EQ(FERROX_EMU_GetHWStatus(&status), -1);
    EXPECT_EQ(status.VTarget, 0);
    EXPECT_EQ(status.TargetPowerOn, 0);
    char text[16] = "stale";
    FERROX_EMU_GetFirmwareString(text, sizeof text);
    EXPECT_EQ(text[0], '\0');
    char response[16] = "stale";
    EXPECT_EQ(FERROX_EMU_ExecCommand("Version", response, sizeof response), 0);
    EXPECT_EQ(response[0], '\0');
    // Every automatic open failed on its own and said so (no output
    // function was ever given, so in a message box).
    EXPECT_EQ(captured().messageBoxes.size(), 13u);
    EXPECT_EQ(captured().messageBoxes.front(), "Quidor Error|Can not connect to Quidor via USB.");
    EXPECT_EQ(API_GetLockDepth(), 0);
}

TEST(Frame, LockOnlyExportsBeforeOpenNeitherOpenNorComplain) {
    plat::ScopedVirtualClock clock(0);
    ferrox_test::CaptureMessageBoxes boxes;
    const std::string path = ferrox_test::tempLogPath("lockonly");
    FERROX_SetLogFile(path.c_str());
    // Without a probe the operations fail on their own terms: the link
    // delivers nothing (7), and later the hardware status cannot be read.
    EXPECT_EQ(FERROX_CPU_Abort(), 7);
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), -3);
    EXPECT_EQ(FERROX_CPU_Erase(), -1);
    EXPECT_EQ(FERROX_CPU_PowerOnReset(), -3);
    FERROX_SetLogFile(nullptr);
    EXPECT_EQ(FERROX_IsOpen(), 0);
    EXPECT_EQ(captured().messageBoxes, std::vector<std::string>{"Quidor Error|USB communication error !"});
    EXPECT_EQ(ferrox_test::readFile(path).find("API Error"), std::string::npos);
}

TEST(Frame, FourthLevelOfNestingIsALockCountError) {
    plat::ScopedVirtualClock clock(0);
    ferrox_test::CaptureMessageBoxes boxes;
    const std::string path = ferrox_test::tempLogPath("depth");
    FERROX_SetLogFile(path.c_str());
    API_Lock("FERROX_A");
    API_Lock("FERROX_B");
    API_Lock("FERROX_C");
    EXPECT_EQ(FERROX_IsOpen(), 0); // the call still goes on
    API_Unlock();
    API_Unlock();
    API_Unlock();
    EXPECT_EQ(captured().messageBoxes,
              std::vector<std::string>{
                  "Quidor Error|Lock count error (increment)\nFERROX_A\nFERROX_B\nFERROX_C\nFERROX_IsOpen"});
    FERROX_SetLogFile(nullptr);
    const std::string log = ferrox_test::readFile(path);
    EXPECT_NE(log.find("\r\n\n  ***** Lock count error (increment)\n        FERROX_A\n        FERROX_B\n     "
                       "   FERROX_C\n"
                       "        FERROX_IsOpenFERROX_IsOpen()  returns 0x00 (0000ms)\r\n"),
              std::string::npos)
        << log;

    API_Unlock(); // one more than taken
    EXPECT_EQ(captured().messageBoxes.back(), "Quidor Error|Lock count error (decrement)");
}

TEST(Frame, ThreadEndingInsideACallReleasesTheLock) {
    const std::string path = ferrox_test::tempLogPath("threadend");
    FERROX_SetLogFile(path.c_str());
    std::thread([] {
        API_Lock("FERROX_Open");
        API_Lock("FERROX_ClrError");
    }).join();
    EXPECT_EQ(API_GetLockDepth(), 0);
    // Another thread gets the lock at once.
    std::thread([] {
        API_Lock("FERROX_IsOpen");
        API_Unlock();
    }).join();
    FERROX_SetLogFile(nullptr);
    const std::string log = ferrox_test::readFile(path);
    const std::string line = "\n  ********* Quidor owning thread terminated ********";
    const auto first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    const auto second = log.find(line, first + 1);
    ASSERT_NE(second, std::string::npos) << log;
    EXPECT_EQ(log.find(line, second + 1), std::string::npos) << log;
}

TEST(Frame, VersionNumberFromTheProductVersion) {
    struct Case {
        const char *text;
        int number;
    };
    for (const Case &c : {Case{"1.92", 1092}, Case{"1.9", 1009}, Case{"2.05.3", 2005}, Case{"10.5", 10005},
                          Case{"12.34", 12034}, Case{"123.4567", 127567}, Case{"100", 100000}, Case{"1.", 0},
                          Case{"", 0}, Case{nullptr, 0}}) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        EXPECT_EQ(API_ParseVersion(c.text), c.number);
    }
    EXPECT_EQ(FERROX_GetDLLVersion(), 1092);
}

TEST(Frame, CompileDateInTheShapeOfTheBuildDate) {
    const std::string date = FERROX_GetCompileDateTime();
    EXPECT_TRUE(
        std::regex_match(date, std::regex("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << date;
}

TEST(Frame, CallTextsNameRegistersAndUnknownOnes) {
    plat::ScopedVirtualClock clock(0); // the unscripted SetReg waits out its answer
    ferrox_test::ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    const std::string path = ferrox_test::tempLogPath("regnames");
    FERROX_SetLogFile(path.c_str());
    FERROX_CPU_GetReg(10);
    FERROX_CPU_SetReg(9, 0x1234);
    FERROX_SetLogFile(nullptr);
    const std::string log = ferrox_test::readFile(path);
    EXPECT_NE(log.find("FERROX_CPU_GetReg(\?\?\?)"), std::string::npos) << log;
    EXPECT_NE(log.find("FERROX_CPU_SetReg(R7 / SP , 0x00001234)"), std::string::npos) << log;
    EXPECT_NE(log.find("API Error: API FERROX_CPU_GetReg function called before FERROX_Open()"),
              std::string::npos);
}

} // namespace

namespace {

// The lock's race windows, held open from the platform's test hooks: a
// thread about to wait for the lock, and a thread that just let go of it.
std::atomic<bool> someoneWaits{false};
std::atomic<bool> waiterGotIn{false};

void noteWaiter() {
    someoneWaits = true;
}
void holdUntilTheWaiterIsIn() {
    for (int i = 0; i < 2000 && !waiterGotIn; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
void waitForAWaiter() {
    while (!someoneWaits) {
        std::this_thread::yield();
    }
}

struct LockHooks {
    explicit LockHooks(plat::NamedMutex::TestHooks hooks) {
        someoneWaits = false;
        waiterGotIn = false;
        plat::NamedMutex::setTestHooks(hooks);
    }
    ~LockHooks() { plat::NamedMutex::setTestHooks({}); }
};

TEST(FrameRaces, AThreadEndingInACallIsUncountedBeforeTheNextOwnerGetsIn) {
    const LockHooks hooks({&noteWaiter, &holdUntilTheWaiterIsIn});
    std::atomic<bool> held{false};
    std::thread owner([&] {
        API_Lock("FERROX_Open");
        held = true;
        waitForAWaiter();
        // ends holding the lock: the thread-end release lets the waiter in
    });
    while (!held) {
        std::this_thread::yield();
    }
    API_Lock("FERROX_IsOpen");
    const int depth = API_GetLockDepth();
    waiterGotIn = true;
    API_Unlock();
    owner.join();
    EXPECT_EQ(depth, 1); // 2 would log this call as nested in the dead one
    EXPECT_EQ(API_GetLockDepth(), 0);
}

TEST(FrameRaces, ACallThatWaitedThroughACloseDoesNotRunOnTheClosedConnection) {
    plat::ScopedVirtualClock clock(0);
    ferrox_test::CaptureMessageBoxes boxes;
    ferrox_test::ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    const LockHooks hooks({&noteWaiter, nullptr});
    const std::string path = ferrox_test::tempLogPath("enterclose");
    FERROX_SetLogFile(path.c_str());
    API_Lock("FERROX_Test");
    std::atomic<int> halted{99};
    std::thread caller([&] { halted = FERROX_CPU_IsHalted(); }); // finds the connection open
    waitForAWaiter();
    probe.setPresent(false);
    FERROX_Close();
    API_Unlock();
    caller.join();
    FERROX_SetLogFile(nullptr);
    // Closed by the time it had the lock: it opens afresh like any call
    // after a close, which fails without the probe.
    EXPECT_EQ(halted, 0);
    EXPECT_NE(ferrox_test::readFile(path).find(
                  "API Error: API FERROX_CPU_IsHalted function called before FERROX_Open()"),
              std::string::npos);
    EXPECT_EQ(captured().messageBoxes,
              std::vector<std::string>{"Quidor Error|Can not connect to Quidor via USB."});
}

TEST(FrameRaces, ALockThatCannotBeSharedStillSerialisesAndSaysSoOnce) {
    ferrox_test::CaptureMessageBoxes boxes;
#ifdef _WIN32
    // Another kind of object under the name: no mutex can be had by it.
    const std::string name = "ferrox_test_squat" + std::to_string(GetCurrentProcessId());
    const HANDLE squat = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    ASSERT_NE(squat, nullptr);
#else
    // Somebody else's object under the name (open to everyone): not used.
    const std::string name = "ferrox_test_squat" + std::to_string(::getpid());
    const std::string object = "/" + name + "." + std::to_string(::geteuid());
    const int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ::fchmod(fd, 0666);
    ::close(fd);
#endif
    EXPECT_FALSE(API_OpenLock(name.c_str()));
    EXPECT_EQ(FERROX_IsOpen(), 0);
    EXPECT_EQ(FERROX_IsOpen(), 0);
    EXPECT_EQ(captured().messageBoxes,
              std::vector<std::string>{"Quidor Error|Could not open the lock " + name +
                                       " shared by all processes: calls are serialised within this "
                                       "process only."});
    // The threads of this process still take turns.
    {
        const LockHooks hooks({&noteWaiter, nullptr});
        API_Lock("FERROX_Test");
        std::atomic<bool> done{false};
        std::thread other([&] {
            API_Lock("FERROX_IsOpen");
            done = true;
            API_Unlock();
        });
        waitForAWaiter();
        EXPECT_FALSE(done);
        API_Unlock();
        other.join();
        EXPECT_TRUE(done);
    }
    EXPECT_TRUE(API_OpenLock(API_LockName));
#ifdef _WIN32
    CloseHandle(squat);
#else
    ::shm_unlink(object.c_str());
#endif
}

} // namespace
