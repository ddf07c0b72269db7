// Every export of the library with the arguments a careless or hostile
// caller hands it: null pointers, zero, negative and huge counts, addresses,
// indexes and modes out of range, and calls in the wrong state. The library
// must answer each with its result and error, never reach past a caller's
// buffer, and still work afterwards. Under the sanitizer build a crash, an
// overrun or undefined behaviour fails the test by itself; the canaries
// around the output buffers catch stray writes in the plain build too.
#include "FerroxConst.h"
#include "api.h"
#include "capture.h"
#include "main_log.h"
#include "sim_tcp_server.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using ferrox_test::captured;

namespace {

constexpr const char *kKey = "00112233445566778899AABBCCDDEEFF";
constexpr U8 kCanary = 0xA5;
constexpr std::size_t kPad = 32;

// An output buffer of `size` bytes for the caller, with canary bytes on
// both sides that the library must leave alone.
class Guarded {
public:
    explicit Guarded(std::size_t size) : size_(size), bytes_(size + 2 * kPad, kCanary) {}
    U8 *data() { return bytes_.data() + kPad; }
    char *text() { return reinterpret_cast<char *>(data()); }
    U16 *items() { return reinterpret_cast<U16 *>(data()); }
    U32 *words() { return reinterpret_cast<U32 *>(data()); }
    // The canaries are whole on both sides.
    bool intact() const {
        for (std::size_t i = 0; i < kPad; ++i) {
            if (bytes_[i] != kCanary || bytes_[kPad + size_ + i] != kCanary) {
                return false;
            }
        }
        return true;
    }
    // Bytes of the caller's part that were written (differ from the canary).
    std::size_t touched() const {
        std::size_t n = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            n += bytes_[kPad + i] != kCanary ? 1u : 0u;
        }
        return n;
    }

private:
    std::size_t size_;
    std::vector<U8> bytes_;
};

// Input data in a heap block of exactly `size` bytes: a read beyond it is
// an overrun the sanitizer reports.
std::unique_ptr<U8[]> exact(std::size_t size, U8 fill = 0x3C) {
    auto p = std::make_unique<U8[]>(size);
    std::memset(p.get(), fill, size);
    return p;
}

constexpr int kAnyCode = INT_MIN;

// One hostile call: its result, the last error code it leaves (kAnyCode:
// not fixed) and whether it may reach the probe. A call that also looks at
// a buffer folds what it saw into its value: result * 100 + the buffer's
// state (bytes touched, or whether its canaries are whole).
struct Case {
    const char *what;
    std::function<long long()> call;
    long long result;
    int code = kAnyCode;
    bool sends = true;
};

class HostileSim : public ::testing::Test {
protected:
    HostileSim() : front_(probe_) {
        probe_.setTrace([this](bool toProbe, const std::uint8_t *, std::size_t n) {
            if (toProbe) {
                sent_ += n;
            }
        });
    }
    void SetUp() override {
        // With the log on, every call text and data dump is built from the
        // hostile arguments too.
        FERROX_SetLogFile(log_.c_str());
        ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
        ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    }
    void TearDown() override {
        FERROX_Close();
        FERROX_SetLogFile(nullptr);
        std::remove(log_.c_str());
    }

    void run(const std::vector<Case> &cases) {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.what);
            MAIN_SetLastErrorCode(0);
            const std::size_t before = sent_;
            EXPECT_EQ(c.call(), c.result);
            if (c.code != kAnyCode) {
                EXPECT_EQ(MAIN_GetLastErrorCode(), c.code);
            }
            if (!c.sends) {
                EXPECT_EQ(sent_, before) << "a refused call reached the probe";
            }
            clear();
        }
    }
    // Forgets reported errors so that the next case reports its own.
    void clear() {
        FERROX_ClrError();
        captured().errors.clear();
    }
    // A good call after the bad ones still works.
    void expectStillWorks() {
        clear();
        EXPECT_EQ(FERROX_IsOpen(), 1);
        EXPECT_EQ(FERROX_EMU_GetHWVersion(), 22000);
        U8 data[4] = {1, 2, 3, 4};
        EXPECT_EQ(FERROX_CPU_SetData(0x40, 4, data), 4);
        U8 back[4] = {};
        EXPECT_EQ(FERROX_CPU_GetData(0x40, 4, back), 4);
        EXPECT_EQ(std::memcmp(back, data, 4), 0);
        EXPECT_LE(FERROX_CPU_GetReg(0), 0xFFFFu);
        EXPECT_TRUE(captured().errors.empty()) << captured().errors.front();
    }
    template <typename F> auto target(F &&f) {
        return front_.withProbe([&](sim::Probe &p) { return f(p.target()); });
    }

    const std::string log_ = ferrox_test::tempLogPath("hostile_sim");
    plat::ScopedVirtualClock clock_{1000};
    ferrox_test::CaptureMessageBoxes boxes_;
    sim::Probe probe_{*clock_};
    sim::DeviceFront front_;
    std::atomic<std::size_t> sent_{0};
};

TEST_F(HostileSim, ProbeExportsTakeOddBuffersSizesAndModes) {
    Guarded fw0(8), fw1(8), fw5(8), fwNeg(8), fwBig(200);
    Guarded ex0(8), ex1(8), ex4(8), exNeg(8), exSn(8);
    Guarded cfgEdge(6), cfgBad(8), cfgZero(8);
    Guarded user1(2), user0(2), sys2(4);
    // One item on the heap for the refused huge counts: the sanitizer sees
    // any read of more.
    const auto item = std::make_unique<U16[]>(1);
    item[0] = 0x5A5A;
    const std::string longText(100000, 'Q');
    const std::string blanks(5000, ' ');
    const auto cfg = exact(256, 0);
    const std::vector<Case> cases = {
        // The firmware text never reaches past the size given.
        {"GetFirmwareString null",
         [] {
             FERROX_EMU_GetFirmwareString(nullptr, 100);
             return 0LL;
         },
         0, 16, false},
        {"GetFirmwareString size 0",
         [&] {
             FERROX_EMU_GetFirmwareString(fw0.text(), 0);
             return static_cast<long long>(fw0.touched());
         },
         0},
        {"GetFirmwareString size -1",
         [&] {
             FERROX_EMU_GetFirmwareString(fwNeg.text(), -1);
             return static_cast<long long>(fwNeg.touched());
         },
         0},
        {"GetFirmwareString size 1",
         [&] {
             FERROX_EMU_GetFirmwareString(fw1.text(), 1);
             return static_cast<long long>(fw1.text()[0] == '\0' && fw1.touched() == 1);
         },
         1},
        {"GetFirmwareString size 5",
         [&] {
             FERROX_EMU_GetFirmwareString(fw5.text(), 5);
             return static_cast<long long>(std::strlen(fw5.text()));
         },
         4},
        {"GetFirmwareString size 200",
         [&] {
             FERROX_EMU_GetFirmwareString(fwBig.text(), 200);
             return static_cast<long long>(std::strncmp(fwBig.text(), "Quidor ", 7));
         },
         0},
        // Text commands: odd texts, responses of no, one and a few bytes.
        {"ExecCommand all null",
         [] { return static_cast<long long>(FERROX_EMU_ExecCommand(nullptr, nullptr, 0)); }, 1, 16, false},
        {"ExecCommand null text",
         [&] {
             return FERROX_EMU_ExecCommand(nullptr, ex1.text(), 1) * 100LL +
                    static_cast<long long>(ex1.touched());
         },
         101, 16, false},
        {"ExecCommand unknown, size 0",
         [&] {
             return FERROX_EMU_ExecCommand("Bogus", ex0.text(), 0) * 100LL +
                    static_cast<long long>(ex0.touched());
         },
         100},
        {"ExecCommand unknown, size -7",
         [&] {
             return FERROX_EMU_ExecCommand("Bogus", exNeg.text(), -7) * 100LL +
                    static_cast<long long>(exNeg.touched());
         },
         100},
        {"ExecCommand unknown, size 4",
         [&] {
             return FERROX_EMU_ExecCommand("Bogus", ex4.text(), 4) * 100LL +
                    static_cast<long long>(std::strlen(ex4.text()));
         },
         103},
        {"ExecCommand unknown, null response",
         [] { return static_cast<long long>(FERROX_EMU_ExecCommand("Bogus", nullptr, 100)); }, 1},
        {"ExecCommand a format text",
         [] { return static_cast<long long>(FERROX_EMU_ExecCommand("%s%n%s%n", nullptr, 0)); }, 1, kAnyCode,
         false},
        {"ExecCommand long text",
         [&] { return static_cast<long long>(FERROX_EMU_ExecCommand(longText.c_str(), nullptr, 0)); }, 1},
        {"ExecCommand only blanks",
         [&] { return static_cast<long long>(FERROX_EMU_ExecCommand(blanks.c_str(), nullptr, 0)); }, 0},
        {"ExecCommand SetSN without value",
         [&] {
             return FERROX_EMU_ExecCommand("SetSN", exSn.text(), 8) * 100LL +
                    static_cast<long long>(std::strlen(exSn.text()));
         },
         107},
        {"ExecCommand SetSN non-decimal",
         [] { return static_cast<long long>(FERROX_EMU_ExecCommand("SetSN = x", nullptr, 0)); }, 1},
        // Configuration memory: ranges at and past its 256 bytes.
        {"ReadConfigMem last bytes",
         [&] {
             return FERROX_EMU_ReadConfigMem(cfgEdge.data(), 250, 6) * 100LL +
                    static_cast<long long>(cfgEdge.touched());
         },
         6},
        {"ReadConfigMem past the end",
         [&] {
             return FERROX_EMU_ReadConfigMem(cfgBad.data(), 251, 6) * 100LL +
                    static_cast<long long>(cfgBad.touched());
         },
         100, kAnyCode, false},
        {"ReadConfigMem wrapping sum",
         [&] {
             return FERROX_EMU_ReadConfigMem(cfgBad.data(), 0xFFFFFFF0u, 0x20) * 100LL +
                    static_cast<long long>(cfgBad.touched());
         },
         100, kAnyCode, false},
        {"ReadConfigMem huge count",
         [&] { return static_cast<long long>(FERROX_EMU_ReadConfigMem(cfgBad.data(), 16, 0xFFFFFFF8u)); }, 1,
         kAnyCode, false},
        {"ReadConfigMem offset 256",
         [&] { return static_cast<long long>(FERROX_EMU_ReadConfigMem(cfgBad.data(), 256, 0)); }, 1, kAnyCode,
         false},
        {"ReadConfigMem null, count 4",
         [] { return static_cast<long long>(FERROX_EMU_ReadConfigMem(nullptr, 0, 4)); }, 1, 16, false},
        {"ReadConfigMem count 0",
         [&] {
             return FERROX_EMU_ReadConfigMem(cfgZero.data(), 3, 0) * 100LL +
                    static_cast<long long>(cfgZero.touched());
         },
         0},
        {"WriteConfigMem null, count 1",
         [] { return static_cast<long long>(FERROX_EMU_WriteConfigMem(nullptr, 0, 1)); }, 1, 16, false},
        {"WriteConfigMem past the end",
         [&] { return static_cast<long long>(FERROX_EMU_WriteConfigMem(cfg.get(), 200, 57)); }, 1, kAnyCode,
         false},
        {"WriteConfigMem wrapping sum",
         [&] { return static_cast<long long>(FERROX_EMU_WriteConfigMem(cfg.get(), 0xFFFFFF00u, 0x101)); }, 1,
         kAnyCode, false},
        {"WriteConfigMem one byte",
         [&] { return static_cast<long long>(FERROX_EMU_WriteConfigMem(cfg.get(), 0, 1)); }, 0},
        // The buffers: items never beyond the count given.
        {"ControlUserBuffer start",
         [] { return static_cast<long long>(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_START, -1)); }, 0},
        {"ControlSystemBuffer start",
         [] { return static_cast<long long>(FERROX_EMU_ControlSystemBuffer(EMU_CMD_BUFFER_START, INT_MIN)); },
         0},
        {"ControlUserBuffer unknown code",
         [] { return static_cast<long long>(FERROX_EMU_ControlUserBuffer(0xFF, 0)); }, 0xFFFF},
        {"ReadUserBuffer one item",
         [&] {
             clock_->advance(100);
             return FERROX_EMU_ReadUserBuffer(1, user1.items()) * 100LL +
                    static_cast<long long>(user1.intact());
         },
         101},
        {"ReadSystemBuffer two items",
         [&] {
             clock_->advance(100);
             return FERROX_EMU_ReadSystemBuffer(2, sys2.items()) * 100LL +
                    static_cast<long long>(sys2.intact());
         },
         201},
        {"ReadUserBuffer zero items",
         [&] {
             return FERROX_EMU_ReadUserBuffer(0, user0.items()) * 100LL +
                    static_cast<long long>(user0.touched());
         },
         0},
        {"ReadUserBuffer null, 4 items",
         [] { return static_cast<long long>(FERROX_EMU_ReadUserBuffer(4, nullptr)); }, -1, 16, false},
        {"ReadSystemBuffer null, 4 items",
         [] { return static_cast<long long>(FERROX_EMU_ReadSystemBuffer(4, nullptr)); }, -1, 16, false},
        {"ReadUserBuffer 65536 items",
         [&] { return FERROX_EMU_ReadUserBuffer(65536, item.get()) * 100LL + (item[0] == 0x5A5A ? 0 : 1); },
         -100, kAnyCode, false},
        {"ReadSystemBuffer UINT32_MAX items",
         [&] {
             return FERROX_EMU_ReadSystemBuffer(0xFFFFFFFFu, item.get()) * 100LL +
                    (item[0] == 0x5A5A ? 0 : 1);
         },
         -100, kAnyCode, false},
        {"ControlUserBuffer read code",
         [] { return static_cast<long long>(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_READ, 0)); }, -1, 16,
         false},
        {"ControlSystemBuffer read code",
         [] { return static_cast<long long>(FERROX_EMU_ControlSystemBuffer(EMU_CMD_BUFFER_READ, 0)); }, -1,
         16, false},
        {"the probe keeps in step",
         [] {
             const U8 d[2] = {9, 8};
             return static_cast<long long>(FERROX_CPU_SetData(0x40, 2, d));
         },
         2},
        {"ControlUserBuffer stop",
         [] { return static_cast<long long>(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_STOP, 0)); }, 0},
        {"ControlSystemBuffer stop",
         [] { return static_cast<long long>(FERROX_EMU_ControlSystemBuffer(EMU_CMD_BUFFER_STOP, 0)); }, 0},
        // Hardware status into no record.
        {"GetHWStatus null", [] { return static_cast<long long>(FERROX_EMU_GetHWStatus(nullptr)); }, 0,
         kAnyCode, false},
        // USB addresses beyond the four the probe takes.
        {"SetUSBAddr 4", [] { return static_cast<long long>(FERROX_EMU_SetUSBAddr(4)); }, 1, kAnyCode, false},
        {"SetUSBAddr UINT32_MAX", [] { return static_cast<long long>(FERROX_EMU_SetUSBAddr(0xFFFFFFFFu)); },
         1, kAnyCode, false},
        // Modes outside the documented ones.
        {"SwitchInterface 0xFF", [] { return static_cast<long long>(FERROX_EMU_SwitchInterface(0xFF)); },
         0xFF},
        {"SwitchInterface 0", [] { return static_cast<long long>(FERROX_EMU_SwitchInterface(0)); }, 0},
        {"SwitchInterface 1", [] { return static_cast<long long>(FERROX_EMU_SwitchInterface(1)); }, 1},
        {"SwitchPower 0xFF", [] { return static_cast<long long>(FERROX_EMU_SwitchPower(0xFF)); }, 0},
        {"SwitchPowerEx 0xFF", [] { return static_cast<long long>(FERROX_EMU_SwitchPowerEx(0xFF)); }, 2},
        {"GetSN erased", [] { return static_cast<long long>(FERROX_EMU_GetSN()); }, -1},
        {"GetCaps", [] { return static_cast<long long>(FERROX_EMU_GetCaps() & 0x76u); }, 0x76},
    };
    run(cases);
    for (Guarded *g : {&fw0, &fw1, &fw5, &fwNeg, &fwBig, &ex0, &ex1, &ex4, &exNeg, &exSn, &cfgEdge, &cfgBad,
                       &cfgZero, &user1, &user0, &sys2}) {
        EXPECT_TRUE(g->intact());
    }
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), 0);
    expectStillWorks();
}

TEST_F(HostileSim, ExecutionExportsRefuseOddRegistersAndWrongStates) {
    Guarded regs(sizeof(TAMSA_REGISTERS));
    const std::vector<Case> halted = {
        {"GetReg -1", [] { return static_cast<long long>(FERROX_CPU_GetReg(-1)); }, 0xFFFFFFFFLL, 16, false},
        {"GetReg 10", [] { return static_cast<long long>(FERROX_CPU_GetReg(10)); }, 0xFFFFFFFFLL, 16, false},
        {"GetReg INT_MIN", [] { return static_cast<long long>(FERROX_CPU_GetReg(INT_MIN)); }, 0xFFFFFFFFLL,
         16, false},
        {"GetReg INT_MAX", [] { return static_cast<long long>(FERROX_CPU_GetReg(INT_MAX)); }, 0xFFFFFFFFLL,
         16, false},
        {"SetReg -1", [] { return static_cast<long long>(FERROX_CPU_SetReg(-1, 0x1234)); }, -1, 16, false},
        {"SetReg 10", [] { return static_cast<long long>(FERROX_CPU_SetReg(10, 0x1234)); }, -1, 16, false},
        {"SetReg INT_MIN", [] { return static_cast<long long>(FERROX_CPU_SetReg(INT_MIN, 0)); }, -1, 16,
         false},
        {"GetRegsAll null", [] { return static_cast<long long>(FERROX_CPU_GetRegsAll(nullptr)); }, 10},
        {"GetRegsAll",
         [&] {
             return FERROX_CPU_GetRegsAll(reinterpret_cast<TAMSA_REGISTERS *>(regs.data())) * 100LL +
                    regs.intact();
         },
         1001},
        {"SetReg R7 with a value over 16 bits",
         [] { return static_cast<long long>(FERROX_CPU_SetReg(9, 0xFFFFFFFFu)); }, 0},
        {"R7 holds the low half", [] { return static_cast<long long>(FERROX_CPU_GetReg(9)); }, 0xFFFF},
        {"GetStatus 0xFF",
         [&] {
             return FERROX_CPU_GetStatus(0xFF) -
                    static_cast<long long>(target([](sim::Target &t) { return t.deviceStatus(); }));
         },
         0},
        {"IsHaltedEx 0xFF", [] { return static_cast<long long>(FERROX_CPU_IsHaltedEx(0xFF)); },
         FERROX_HALT_STATE_USER},
        {"SetBaud UINT32_MAX", [] { return static_cast<long long>(FERROX_CPU_SetBaud(0xFFFFFFFFu)); }, -1},
        {"SendCommand mode 0", [] { return static_cast<long long>(FERROX_CPU_SendCommand(0xFFFFFFFFu, 0)); },
         16, kAnyCode, false},
        {"WriteBP all ones",
         [] { return static_cast<long long>(FERROX_CPU_WriteBP(0xFFFFFFFFu, 0xFFFFFFFFu)); }, 16, 16},
        {"WriteBP number 15", [] { return static_cast<long long>(FERROX_CPU_WriteBP(0xFFFFFFFFu, 0x0Fu)); },
         16, 16},
        {"ClrWatchp", [] { return static_cast<long long>(FERROX_CPU_ClrWatchp()); }, 0},
        {"SendData all ones", [] { return static_cast<long long>(FERROX_CPU_SendData(0xFFFFFFFFu)); }, 0},
        {"SendCommand all ones",
         [] { return static_cast<long long>(FERROX_CPU_SendCommand(0xFFFFFFFFu, 0xFFFFFFFFu)); }, 0},
        {"GetLastResponse", [] { return static_cast<long long>(FERROX_CPU_GetLastResponse()); },
         TAMSA_STATUS_CODE_PARAMETER},
        {"Abort", [] { return static_cast<long long>(FERROX_CPU_Abort()); }, 0},
        {"PowerOnReset", [] { return static_cast<long long>(FERROX_CPU_PowerOnReset()); }, 0},
    };
    run(halted);

    // A running target: the guarded operations refuse, the rest keep to
    // their answers.
    ASSERT_EQ(FERROX_CPU_Go(), 0);
    Guarded running(4);
    const std::vector<Case> whileRunning = {
        {"Go again", [] { return static_cast<long long>(FERROX_CPU_Go()); }, 0},
        {"GetData",
         [&] {
             return FERROX_CPU_GetData(0, 4, running.data()) * 100LL +
                    static_cast<long long>(running.touched());
         },
         -100, 6},
        {"IsHalted", [] { return static_cast<long long>(FERROX_CPU_IsHalted()); }, FERROX_HALT_STATE_RUNNING},
        {"GetReg 0", [] { return static_cast<long long>(FERROX_CPU_GetReg(0)); }, 0xFFFFFFFFLL},
        {"SetReg 0", [] { return static_cast<long long>(FERROX_CPU_SetReg(0, 0xFFFFFFFFu)); }, -1, 6},
        {"WriteBP", [] { return static_cast<long long>(FERROX_CPU_WriteBP(0, 0x41)); }, 0xFFFFFFFFLL, 6},
        {"Step", [] { return static_cast<long long>(FERROX_CPU_Step()); }, -1, 6},
        {"Reset", [] { return static_cast<long long>(FERROX_CPU_Reset()); }, 0},
        {"Go after the reset", [] { return static_cast<long long>(FERROX_CPU_Go()); }, 0},
        {"Halt", [] { return static_cast<long long>(FERROX_CPU_Halt()); }, 0},
    };
    run(whileRunning);

    // A target switched off: nothing reaches past the caller's buffer.
    ASSERT_EQ(FERROX_EMU_SwitchPower(0), 0);
    Guarded off(4), offRegs(sizeof(TAMSA_REGISTERS));
    const std::vector<Case> whilePoweredOff = {
        {"GetData",
         [&] { return FERROX_CPU_GetData(0, 4, off.data()) * 100LL + static_cast<long long>(off.touched()); },
         -100, 13},
        {"GetRegsAll",
         [&] {
             return FERROX_CPU_GetRegsAll(reinterpret_cast<TAMSA_REGISTERS *>(offRegs.data())) * 100LL +
                    static_cast<long long>(offRegs.touched());
         },
         -100, 13},
        {"IsHalted", [] { return static_cast<long long>(FERROX_CPU_IsHalted()); }, FERROX_HALT_STATE_ERROR},
        {"Step", [] { return static_cast<long long>(FERROX_CPU_Step()); }, -1},
    };
    run(whilePoweredOff);
    EXPECT_TRUE(regs.intact());
    EXPECT_TRUE(running.intact());
    EXPECT_TRUE(off.intact());
    EXPECT_TRUE(offRegs.intact());
    EXPECT_EQ(FERROX_EMU_SwitchPower(1), 0);
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), 0);
    expectStillWorks();
}

TEST_F(HostileSim, MemoryExportsNeverReachPastTheCallersBuffers) {
    Guarded d3(3), e1(1), o1(1), o3(3), u1(4), far(8);
    // Heap blocks of the caller's true size for the refused huge counts:
    // nothing of them is read or written, not even for the log.
    const auto tiny = exact(1);
    const auto page = std::make_unique<U32[]>(1);
    const auto in1 = exact(1), in3 = exact(3), in66 = exact(66), in2 = exact(2), in4 = exact(4);
    const U32 ulp[1] = {0x12345678};
    const std::vector<Case> cases = {
        // Null buffers and counts an int result can not carry: refused.
        {"GetData null", [] { return static_cast<long long>(FERROX_CPU_GetData(0, 1, nullptr)); }, -1, 16,
         false},
        {"GetEEPROM null", [] { return static_cast<long long>(FERROX_CPU_GetEEPROM(0, 4, nullptr)); }, -1, 16,
         false},
        {"GetEROM null", [] { return static_cast<long long>(FERROX_CPU_GetEROM(1, 4, nullptr)); }, -1, 16,
         false},
        {"GetULP null", [] { return static_cast<long long>(FERROX_CPU_GetULP(0, 1, nullptr)); }, -1, 16,
         false},
        {"SetData null", [] { return static_cast<long long>(FERROX_CPU_SetData(0, 1, nullptr)); }, -1, 16,
         false},
        {"ProgEEPROM null", [] { return static_cast<long long>(FERROX_CPU_ProgEEPROM(0, 64, nullptr)); }, -1,
         16, false},
        {"ProgEROM null", [] { return static_cast<long long>(FERROX_CPU_ProgEROM(1, 1, nullptr)); }, -1, 16,
         false},
        {"ProgULP null", [] { return static_cast<long long>(FERROX_CPU_ProgULP(0, 1, nullptr)); }, -1, 16,
         false},
        {"GetData 2^31 bytes",
         [&] { return static_cast<long long>(FERROX_CPU_GetData(0, 0x80000000u, tiny.get())); }, -1, 16,
         false},
        {"GetEEPROM UINT32_MAX bytes",
         [&] { return static_cast<long long>(FERROX_CPU_GetEEPROM(0, 0xFFFFFFFFu, tiny.get())); }, -1, 16,
         false},
        {"GetEROM 2^31 bytes",
         [&] { return static_cast<long long>(FERROX_CPU_GetEROM(1, 0x80000000u, tiny.get())); }, -1, 16,
         false},
        {"GetULP 2^29 pages",
         [&] { return static_cast<long long>(FERROX_CPU_GetULP(0, 0x20000000u, page.get())); }, -1, 16,
         false},
        {"SetData 2^31 bytes",
         [&] { return static_cast<long long>(FERROX_CPU_SetData(0, 0x80000000u, in1.get())); }, -1, 16,
         false},
        {"ProgEEPROM UINT32_MAX bytes",
         [&] { return static_cast<long long>(FERROX_CPU_ProgEEPROM(0, 0xFFFFFFFFu, in1.get())); }, -1, 16,
         false},
        {"ProgEROM 2^31 bytes",
         [&] { return static_cast<long long>(FERROX_CPU_ProgEROM(0, 0x80000000u, in1.get())); }, -1, 16,
         false},
        {"ProgULP 2^31 pages",
         [&] { return static_cast<long long>(FERROX_CPU_ProgULP(0, 0x80000000u, ulp)); }, -1, 16, false},
        // A count of 0 is done at once, buffer or not.
        {"GetData 0 bytes", [] { return static_cast<long long>(FERROX_CPU_GetData(0, 0, nullptr)); }, 0,
         kAnyCode, false},
        {"GetEROM 0 bytes",
         [] { return static_cast<long long>(FERROX_CPU_GetEROM(0xFFFFFFFFu, 0, nullptr)); }, 0, kAnyCode,
         false},
        {"ProgEROM 0 bytes", [] { return static_cast<long long>(FERROX_CPU_ProgEROM(1, 0, nullptr)); }, 0,
         kAnyCode, false},
        {"ProgULP 0 pages", [] { return static_cast<long long>(FERROX_CPU_ProgULP(0, 0, nullptr)); }, 0,
         kAnyCode, false},
        // Buffers of exactly the size asked for, at odd addresses and across
        // page ends: nothing read or written beyond them.
        {"SetData 3", [&] { return static_cast<long long>(FERROX_CPU_SetData(0x21, 3, in3.get())); }, 3},
        {"GetData 3", [&] { return FERROX_CPU_GetData(0x21, 3, d3.data()) * 100LL + d3.intact(); }, 301},
        {"ProgEEPROM 3 across a page",
         [&] { return static_cast<long long>(FERROX_CPU_ProgEEPROM(0x3F, 3, in3.get())); }, 3},
        {"GetEEPROM last byte",
         [&] { return FERROX_CPU_GetEEPROM(0xFFF, 1, e1.data()) * 100LL + e1.intact(); }, 101},
        {"ProgEROM 1 at an odd address",
         [&] { return static_cast<long long>(FERROX_CPU_ProgEROM(1, 1, in1.get())); }, 1},
        {"ProgEROM 3 at an odd address",
         [&] { return static_cast<long long>(FERROX_CPU_ProgEROM(0x41, 3, in3.get())); }, 3},
        {"ProgEROM 66 across pages",
         [&] { return static_cast<long long>(FERROX_CPU_ProgEROM(0x3F, 66, in66.get())); }, 66},
        {"GetEROM 1 at an odd address",
         [&] {
             return FERROX_CPU_GetEROM(1, 1, o1.data()) * 100LL + o1.intact() * 10 + (o1.data()[0] == 0x3C);
         },
         111},
        {"GetEROM 3 at an odd address",
         [&] { return FERROX_CPU_GetEROM(0x41, 3, o3.data()) * 100LL + o3.intact(); }, 301},
        {"ProgULP 1", [&] { return static_cast<long long>(FERROX_CPU_ProgULP(0xFF, 1, ulp)); }, 1},
        {"GetULP 1", [&] { return FERROX_CPU_GetULP(0xFF, 1, u1.words()) * 100LL + u1.intact(); }, 101},
        // Addresses beyond the memories.
        {"GetData beyond DATA",
         [&] { return FERROX_CPU_GetData(0xFFFFFFF0u, 8, far.data()) * 100LL + far.intact(); }, -99, 15},
        {"GetEROM beyond EROM",
         [&] { return FERROX_CPU_GetEROM(0xFFFFFFFFu, 8, far.data()) * 100LL + far.intact(); }, -99},
        // Bit runs: offsets and lengths the request can not carry.
        {"ProgPfBits offset -1",
         [&] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0, -1, 5, in4.get())); }, -1, 16, false},
        {"ProgPfBits offset 16",
         [&] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0, 16, 1, in4.get())); }, -1, 16, false},
        {"ProgPfBits offset INT_MIN",
         [&] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0, INT_MIN, 1, in4.get())); }, -1, 16,
         false},
        {"ProgPfBits bits -1",
         [&] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0, 0, -1, in4.get())); }, -1, 16, false},
        {"ProgPfBits bits 3921",
         [&] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0, 0, 3921, in4.get())); }, -1, 16, false},
        {"ProgPfBits bits INT_MAX",
         [&] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0, 15, INT_MAX, in4.get())); }, -1, 16,
         false},
        {"ProgPfBits null data",
         [] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0, 0, 8, nullptr)); }, -1, 16, false},
        {"ProgPfBits 10 bits at 3 from 2 bytes",
         [&] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0x100, 3, 10, in2.get())); }, 0},
        {"ProgPfBits 10 bits at 8 from 4 bytes",
         [&] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0x100, 8, 10, in4.get())); }, 0},
        {"ProgPfBits no bits, no data",
         [] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0x100, 0, 0, nullptr)); }, 0},
        // Single-request operations with every bit set.
        {"SetBitField all ones",
         [] { return static_cast<long long>(FERROX_CPU_SetBitField(0xFFFFFFFFu, -1, INT_MAX, 0xFFFFFFFFu)); },
         -1},
        {"CopyPage all ones",
         [] { return static_cast<long long>(FERROX_CPU_CopyPage(0xFFFFFFFFu, 0xFFFFFFFFu)); }, 10, 10},
        {"ProgUlpBytes all ones",
         [] {
             return static_cast<long long>(FERROX_CPU_ProgUlpBytes(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu));
         },
         16},
        {"IoTest on with a negative flag", [] { return static_cast<long long>(FERROX_CPU_IoTest(INT_MIN)); },
         0},
        {"IoTest off", [] { return static_cast<long long>(FERROX_CPU_IoTest(0)); }, 0},
    };
    run(cases);
    for (Guarded *g : {&d3, &e1, &o1, &o3, &u1, &far}) {
        EXPECT_TRUE(g->intact());
    }
    EXPECT_EQ(tiny[0], 0x3C);
    EXPECT_EQ(page[0], 0u);
    expectStillWorks();
}

TEST_F(HostileSim, ProtectionAndVersionExportsTakeOddKeysAndBuffers) {
    const std::string shortKey(kKey, 31);
    const std::string longKey = std::string(kKey) + std::string(100000, 'F');
    Guarded s0(4), s2(2), s4(4), sMax(4), sBad(4);
    const int items = FERROX_CPU_GetVersion(nullptr);
    ASSERT_GT(items, 0);
    Guarded version(4u * static_cast<std::size_t>(items));
    const std::vector<Case> cases = {
        {"Unprotect null", [] { return static_cast<long long>(FERROX_CPU_Unprotect(nullptr)); }, -1, 16,
         false},
        {"Unprotect empty", [] { return static_cast<long long>(FERROX_CPU_Unprotect("")); }, -1, 16, false},
        {"Unprotect 31 digits",
         [&] { return static_cast<long long>(FERROX_CPU_Unprotect(shortKey.c_str())); }, -1, 16, false},
        {"CalcSign null, 4 bytes", [] { return static_cast<long long>(FERROX_CPU_CalcSign(0, 4, nullptr)); },
         -1, 16, false},
        {"CalcSign null, no bytes", [] { return static_cast<long long>(FERROX_CPU_CalcSign(0, 0, nullptr)); },
         4},
        {"CalcSign -5 bytes",
         [&] {
             return FERROX_CPU_CalcSign(INT_MIN, -5, s0.data()) * 100LL +
                    static_cast<long long>(s0.touched());
         },
         400},
        {"CalcSign 2 bytes", [&] { return FERROX_CPU_CalcSign(0, 2, s2.data()) * 100LL + s2.intact(); }, 401},
        {"CalcSign 4 bytes", [&] { return FERROX_CPU_CalcSign(0, 4, s4.data()) * 100LL + s4.intact(); }, 401},
        {"CalcSign unknown instance",
         [&] {
             return FERROX_CPU_CalcSign(0xFFFF, 4, sBad.data()) * 100LL +
                    static_cast<long long>(sBad.touched());
         },
         -100},
        {"CalcSign INT_MAX bytes into 4",
         [&] { return FERROX_CPU_CalcSign(0, INT_MAX, sMax.data()) * 100LL + sMax.intact(); }, 401},
        {"GetVersion null", [] { return static_cast<long long>(FERROX_CPU_GetVersion(nullptr)); }, items},
        {"GetVersion", [&] { return FERROX_CPU_GetVersion(version.words()) * 100LL + version.intact(); },
         items * 100LL + 1},
        {"Protect", [] { return static_cast<long long>(FERROX_CPU_Protect()); }, 0},
        {"Protect again", [] { return static_cast<long long>(FERROX_CPU_Protect()); }, -1},
        {"GetData while protected", [&] { return FERROX_CPU_GetData(0, 4, s4.data()) * 100LL + s4.intact(); },
         -99, 4},
        {"SetReg while protected", [] { return static_cast<long long>(FERROX_CPU_SetReg(0, 0)); }, -1, 4},
        {"Unprotect non-hex key",
         [] { return static_cast<long long>(FERROX_CPU_Unprotect("zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz")); }, -1},
        {"IsProtected", [] { return static_cast<long long>(FERROX_CPU_IsProtected()); }, 1},
        {"Unprotect with a long tail",
         [&] { return static_cast<long long>(FERROX_CPU_Unprotect(longKey.c_str())); }, 0},
        {"IsProtected after", [] { return static_cast<long long>(FERROX_CPU_IsProtected()); }, 0},
        {"Protect to erase", [] { return static_cast<long long>(FERROX_CPU_Protect()); }, 0},
        {"Erase", [] { return static_cast<long long>(FERROX_CPU_Erase()); }, 0},
        {"IsProtected after erase", [] { return static_cast<long long>(FERROX_CPU_IsProtected()); }, 0},
    };
    run(cases);
    for (Guarded *g : {&s0, &s2, &s4, &sMax, &sBad, &version}) {
        EXPECT_TRUE(g->intact());
    }
    expectStillWorks();
}

TEST_F(HostileSim, FrameExportsTakeOddPathsHostsAndPorts) {
    const std::string longPath = "/tmp/" + std::string(5000, 'p') + ".log";
    const std::string longHost(600, 'h');
    const std::string log = ferrox_test::tempLogPath("hostile");
    FERROX_HW_STATUS hw = {};
    const std::vector<Case> cases = {
        {"SetLogFile null",
         [] {
             FERROX_SetLogFile(nullptr);
             return 0LL;
         },
         0, kAnyCode, false},
        {"SetLogFile empty",
         [] {
             FERROX_SetLogFile("");
             return 0LL;
         },
         0, kAnyCode, false},
        {"SetLogFile into a missing folder",
         [] {
             FERROX_SetLogFile("/nonexistent-ferrox/x/y.log");
             return static_cast<long long>(FERROX_IsOpen());
         },
         1, kAnyCode, false},
        {"SetLogFile a folder",
         [] {
             FERROX_SetLogFile(nullptr);
             FERROX_SetLogFile("/");
             return static_cast<long long>(FERROX_IsOpen());
         },
         1, kAnyCode, false},
        {"SetLogFile a very long path",
         [&] {
             FERROX_SetLogFile(nullptr);
             FERROX_SetLogFile(longPath.c_str());
             return static_cast<long long>(FERROX_IsOpen());
         },
         1, kAnyCode, false},
        {"SetLogFile null twice",
         [] {
             FERROX_SetLogFile(nullptr);
             FERROX_SetLogFile(nullptr);
             return 0LL;
         },
         0, kAnyCode, false},
        {"SelectTCPIP null host", [] { return static_cast<long long>(FERROX_SelectTCPIP(nullptr, 5151)); }, 1,
         kAnyCode, false},
        {"SelectTCPIP a format text as host",
         [] { return static_cast<long long>(FERROX_SelectTCPIP("%s%n%s%n%99999d", 0)); }, 1, kAnyCode, false},
        {"SelectTCPIP empty host", [] { return static_cast<long long>(FERROX_SelectTCPIP("", 5151)); }, 1,
         kAnyCode, false},
        {"SelectTCPIP port 0", [] { return static_cast<long long>(FERROX_SelectTCPIP("127.0.0.1", 0)); }, 1,
         kAnyCode, false},
        {"SelectTCPIP port -1", [] { return static_cast<long long>(FERROX_SelectTCPIP("127.0.0.1", -1)); }, 1,
         kAnyCode, false},
        {"SelectTCPIP port 65536",
         [] { return static_cast<long long>(FERROX_SelectTCPIP("127.0.0.1", 65536)); }, 1, kAnyCode, false},
        {"SelectTCPIP port INT_MIN",
         [] { return static_cast<long long>(FERROX_SelectTCPIP("127.0.0.1", INT_MIN)); }, 1, kAnyCode, false},
        {"SelectTCPIP very long host",
         [&] { return static_cast<long long>(FERROX_SelectTCPIP(longHost.c_str(), 5151)); }, 1, kAnyCode,
         false},
        {"still on USB", [] { return static_cast<long long>(FERROX_EMU_GetHWVersion()); }, 22000},
        {"Open while open", [] { return static_cast<long long>(FERROX_Open(nullptr, nullptr)); }, 0, kAnyCode,
         false},
        {"HasError", [] { return static_cast<long long>(FERROX_HasError()); }, 0, kAnyCode, false},
        {"GetCompileDateTime",
         [] { return static_cast<long long>(std::strlen(FERROX_GetCompileDateTime())); }, 20, kAnyCode,
         false},
        {"SelectUSB -1 reconnects nowhere", [] { return static_cast<long long>(FERROX_SelectUSB(-1)); }, 1},
        {"SelectUSB INT_MIN", [] { return static_cast<long long>(FERROX_SelectUSB(INT_MIN)); }, 0, kAnyCode,
         false},
        {"SelectUSB INT_MAX", [] { return static_cast<long long>(FERROX_SelectUSB(INT_MAX)); }, 0, kAnyCode,
         false},
        {"SelectUSB 0", [] { return static_cast<long long>(FERROX_SelectUSB(0)); }, 0, kAnyCode, false},
        {"the probe answers on port 0 again",
         [&] { return static_cast<long long>(FERROX_EMU_GetHWStatus(&hw)); }, 0},
        {"CloseEx odd mode",
         [] {
             FERROX_CloseEx(0xFF);
             return static_cast<long long>(FERROX_IsOpen());
         },
         0},
        {"CloseEx twice",
         [] {
             FERROX_CloseEx(0xFF);
             return static_cast<long long>(FERROX_IsOpen());
         },
         0, kAnyCode, false},
        {"Close after close",
         [] {
             FERROX_Close();
             return static_cast<long long>(FERROX_HasError());
         },
         -1, kAnyCode, false},
        {"Open again", [] { return static_cast<long long>(FERROX_Open(nullptr, ferrox_test::errorOut)); }, 0},
        {"SelectTCPIP a closed port",
         [] { return static_cast<long long>(FERROX_SelectTCPIP("127.0.0.1", 1)); }, 1},
        {"SelectUSB 0 from TCP/IP", [] { return static_cast<long long>(FERROX_SelectUSB(0)); }, 0, kAnyCode,
         false},
        {"the probe answers over USB again",
         [&] { return static_cast<long long>(FERROX_EMU_GetHWStatus(&hw)); }, 0},
        {"SetLogFile a good path",
         [&] {
             FERROX_SetLogFile(log.c_str());
             return static_cast<long long>(FERROX_IsOpen());
         },
         1, kAnyCode, false},
    };
    run(cases);
    FERROX_SetLogFile(nullptr);
    EXPECT_NE(ferrox_test::readFile(log).find("FERROX_IsOpen()"), std::string::npos);
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), 0);
    expectStillWorks();
}

// Without a probe every export answers its not-open value and touches no
// more of the caller's buffers than it says, before any open and after a
// close alike.
void everyExportNotOpen() {
    Guarded fw0(4), fw8(8), ex0(4), ex8(8), status(sizeof(FERROX_HW_STATUS)), data(8),
        regs(sizeof(TAMSA_REGISTERS));
    const std::vector<Case> cases = {
        {"IsOpen", [] { return static_cast<long long>(FERROX_IsOpen()); }, 0},
        {"HasError", [] { return static_cast<long long>(FERROX_HasError()); }, -1},
        {"ClrError",
         [] {
             FERROX_ClrError();
             return 0LL;
         },
         0},
        {"GetDLLVersion", [] { return static_cast<long long>(FERROX_GetDLLVersion() > 0); }, 1},
        {"GetCompileDateTime", [] { return static_cast<long long>(FERROX_GetCompileDateTime() != nullptr); },
         1},
        {"SelectTCPIP null", [] { return static_cast<long long>(FERROX_SelectTCPIP(nullptr, -1)); }, 1},
        {"SelectUSB 0", [] { return static_cast<long long>(FERROX_SelectUSB(0)); }, 0},
        {"SetLogFile null",
         [] {
             FERROX_SetLogFile(nullptr);
             return 0LL;
         },
         0},
        {"CloseEx odd mode",
         [] {
             FERROX_CloseEx(0xFF);
             return 0LL;
         },
         0},
        {"Abort", [] { return static_cast<long long>(FERROX_CPU_Abort()); }, 7},
        {"EnterMonitor", [] { return static_cast<long long>(FERROX_CPU_EnterMonitor()); }, -3},
        {"Erase", [] { return static_cast<long long>(FERROX_CPU_Erase()); }, -1},
        {"PowerOnReset", [] { return static_cast<long long>(FERROX_CPU_PowerOnReset()); }, -3},
        {"CalcSign", [] { return static_cast<long long>(FERROX_CPU_CalcSign(-1, INT_MAX, nullptr)); }, -2},
        {"ClrWatchp", [] { return static_cast<long long>(FERROX_CPU_ClrWatchp()); }, -1},
        {"CopyPage", [] { return static_cast<long long>(FERROX_CPU_CopyPage(0xFFFFFFFFu, 0xFFFFFFFFu)); },
         -1},
        {"GetData",
         [&] {
             return FERROX_CPU_GetData(0, 0xFFFFFFFFu, data.data()) * 100LL +
                    static_cast<long long>(data.touched());
         },
         -100},
        {"GetEEPROM", [] { return static_cast<long long>(FERROX_CPU_GetEEPROM(0, 1, nullptr)); }, -1},
        {"GetEROM",
         [&] {
             return FERROX_CPU_GetEROM(1, 8, data.data()) * 100LL + static_cast<long long>(data.touched());
         },
         -100},
        {"GetLastResponse", [] { return static_cast<long long>(FERROX_CPU_GetLastResponse()); }, -1},
        {"GetReg", [] { return static_cast<long long>(FERROX_CPU_GetReg(INT_MIN)); }, 0xFFFFFFFFLL},
        {"GetRegsAll",
         [&] {
             return FERROX_CPU_GetRegsAll(reinterpret_cast<TAMSA_REGISTERS *>(regs.data())) * 100LL +
                    static_cast<long long>(regs.touched());
         },
         -100},
        {"GetRegsAll null", [] { return static_cast<long long>(FERROX_CPU_GetRegsAll(nullptr)); }, -1},
        {"GetStatus", [] { return static_cast<long long>(FERROX_CPU_GetStatus(0xFF)); }, -1},
        {"GetULP", [] { return static_cast<long long>(FERROX_CPU_GetULP(0, 0xFFFFFFFFu, nullptr)); }, -1},
        {"GetVersion", [] { return static_cast<long long>(FERROX_CPU_GetVersion(nullptr)); }, -1},
        {"Go", [] { return static_cast<long long>(FERROX_CPU_Go()); }, -1},
        {"Halt", [] { return static_cast<long long>(FERROX_CPU_Halt()); }, -1},
        {"IoTest", [] { return static_cast<long long>(FERROX_CPU_IoTest(INT_MIN)); }, -1},
        {"IsHalted", [] { return static_cast<long long>(FERROX_CPU_IsHalted()); }, 0},
        {"IsHaltedEx", [] { return static_cast<long long>(FERROX_CPU_IsHaltedEx(0xFF)); }, 0},
        {"IsProtected", [] { return static_cast<long long>(FERROX_CPU_IsProtected()); }, 0},
        {"ProgEEPROM", [] { return static_cast<long long>(FERROX_CPU_ProgEEPROM(0, 0xFFFFFFFFu, nullptr)); },
         -1},
        {"ProgEROM", [] { return static_cast<long long>(FERROX_CPU_ProgEROM(1, 1, nullptr)); }, -1},
        {"ProgPfBits",
         [] { return static_cast<long long>(FERROX_CPU_ProgPfBits(0, INT_MIN, INT_MAX, nullptr)); }, -1},
        {"ProgULP", [] { return static_cast<long long>(FERROX_CPU_ProgULP(0, 1, nullptr)); }, -1},
        {"ProgUlpBytes",
         [] { return static_cast<long long>(FERROX_CPU_ProgUlpBytes(0xFFFFFFFFu, 0xFFFFFFFFu, 0)); }, -1},
        {"Protect", [] { return static_cast<long long>(FERROX_CPU_Protect()); }, -1},
        {"Reset", [] { return static_cast<long long>(FERROX_CPU_Reset()); }, -1},
        {"SendCommand", [] { return static_cast<long long>(FERROX_CPU_SendCommand(0xFFFFFFFFu, 0)); }, -1},
        {"SendData", [] { return static_cast<long long>(FERROX_CPU_SendData(0xFFFFFFFFu)); }, -1},
        {"SetBaud", [] { return static_cast<long long>(FERROX_CPU_SetBaud(0xFFFFFFFFu)); }, -1},
        {"SetBitField", [] { return static_cast<long long>(FERROX_CPU_SetBitField(0, INT_MIN, INT_MIN, 0)); },
         -1},
        {"SetData", [] { return static_cast<long long>(FERROX_CPU_SetData(0, 0x80000000u, nullptr)); }, -1},
        {"SetReg", [] { return static_cast<long long>(FERROX_CPU_SetReg(-1, 0)); }, -1},
        {"Step", [] { return static_cast<long long>(FERROX_CPU_Step()); }, 1},
        {"Unprotect null", [] { return static_cast<long long>(FERROX_CPU_Unprotect(nullptr)); }, 4},
        {"WriteBP", [] { return static_cast<long long>(FERROX_CPU_WriteBP(0xFFFFFFFFu, 0xFFFFFFFFu)); },
         0xFFFFFFFFLL},
        {"ControlSystemBuffer",
         [] { return static_cast<long long>(FERROX_EMU_ControlSystemBuffer(0xFF, -1)); }, 0},
        {"ControlUserBuffer", [] { return static_cast<long long>(FERROX_EMU_ControlUserBuffer(0xFF, -1)); },
         0},
        {"ExecCommand null",
         [] { return static_cast<long long>(FERROX_EMU_ExecCommand(nullptr, nullptr, 100)); }, 0},
        {"ExecCommand size 0",
         [&] {
             return FERROX_EMU_ExecCommand("Bogus", ex0.text(), 0) * 100LL +
                    static_cast<long long>(ex0.touched());
         },
         0},
        {"ExecCommand size 8",
         [&] {
             return FERROX_EMU_ExecCommand("Bogus", ex8.text(), 8) * 100LL +
                    static_cast<long long>(ex8.touched()) * 10 + (ex8.text()[0] == '\0');
         },
         11},
        {"GetCaps", [] { return static_cast<long long>(FERROX_EMU_GetCaps()); }, 0},
        {"GetFirmwareString null",
         [] {
             FERROX_EMU_GetFirmwareString(nullptr, 100);
             return 0LL;
         },
         0},
        {"GetFirmwareString size 0",
         [&] {
             FERROX_EMU_GetFirmwareString(fw0.text(), 0);
             return static_cast<long long>(fw0.touched());
         },
         0},
        {"GetFirmwareString size 8",
         [&] {
             FERROX_EMU_GetFirmwareString(fw8.text(), 8);
             return static_cast<long long>(fw8.touched()) * 10 + (fw8.text()[0] == '\0');
         },
         11},
        {"GetHWStatus",
         [&] {
             return FERROX_EMU_GetHWStatus(reinterpret_cast<FERROX_HW_STATUS *>(status.data())) * 100LL +
                    static_cast<long long>(status.touched());
         },
         -100 + 8},
        {"GetHWStatus null", [] { return static_cast<long long>(FERROX_EMU_GetHWStatus(nullptr)); }, -1},
        {"GetHWVersion", [] { return static_cast<long long>(FERROX_EMU_GetHWVersion()); }, -1},
        {"GetSN", [] { return static_cast<long long>(FERROX_EMU_GetSN()); }, -1},
        {"ReadConfigMem",
         [] { return static_cast<long long>(FERROX_EMU_ReadConfigMem(nullptr, 0xFFFFFFFFu, 0xFFFFFFFFu)); },
         0},
        {"ReadSystemBuffer",
         [] { return static_cast<long long>(FERROX_EMU_ReadSystemBuffer(0xFFFFFFFFu, nullptr)); }, -1},
        {"ReadUserBuffer", [] { return static_cast<long long>(FERROX_EMU_ReadUserBuffer(1, nullptr)); }, -1},
        {"SetUSBAddr", [] { return static_cast<long long>(FERROX_EMU_SetUSBAddr(0xFFFFFFFFu)); }, -1},
        {"SwitchInterface", [] { return static_cast<long long>(FERROX_EMU_SwitchInterface(0xFF)); }, -1},
        {"SwitchPower", [] { return static_cast<long long>(FERROX_EMU_SwitchPower(0xFF)); }, -1},
        {"SwitchPowerEx", [] { return static_cast<long long>(FERROX_EMU_SwitchPowerEx(0xFF)); }, -1},
        {"WriteConfigMem",
         [] { return static_cast<long long>(FERROX_EMU_WriteConfigMem(nullptr, 0xFFFFFFFFu, 1)); }, 0},
        {"Close",
         [] {
             FERROX_Close();
             return static_cast<long long>(FERROX_IsOpen());
         },
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(FERROX_IsOpen(), 0);
    }
    for (Guarded *g : {&fw0, &fw8, &ex0, &ex8, &status, &data, &regs}) {
        EXPECT_TRUE(g->intact());
    }
}

TEST(HostileNotOpen, EveryExportAnswersItsNotOpenValueBeforeOpenAndAfterClose) {
    plat::ScopedVirtualClock clock(1000);
    ferrox_test::CaptureMessageBoxes boxes;
    {
        SCOPED_TRACE("before any open");
        everyExportNotOpen();
    }
    {
        sim::Probe probe(*clock);
        sim::DeviceFront front(probe);
        ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
        ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
        FERROX_Close();
    }
    {
        SCOPED_TRACE("after a close");
        everyExportNotOpen();
    }
    // With a probe back, the library opens and works again.
    sim::Probe probe(*clock);
    sim::DeviceFront front(probe);
    EXPECT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), 0);
    U8 data[2] = {};
    EXPECT_EQ(FERROX_CPU_GetData(0, 2, data), 2);
    FERROX_Close();
}

// An error output function that calls back into the library, down to
// closing the connection under the call whose error it is given.
int callbacks = 0;
void closingErrorOut(const char *text) {
    captured().errors.emplace_back(text);
    ++callbacks;
    U8 data[2] = {};
    EXPECT_EQ(FERROX_CPU_GetData(0, 2, data), -1); // the error is still pending
    EXPECT_EQ(FERROX_EMU_GetHWVersion(), 22000);
    FERROX_Close();
}

TEST(HostileCallback, AnErrorOutputFunctionMayCallInAndClose) {
    plat::ScopedVirtualClock clock(1000);
    ferrox_test::CaptureMessageBoxes boxes;
    sim::ProbeOptions options;
    options.targetProtected = true;
    sim::Probe probe(*clock, options);
    sim::DeviceFront front(probe);
    callbacks = 0;
    ASSERT_EQ(FERROX_Open(nullptr, closingErrorOut), 0);
    U8 data[2] = {};
    EXPECT_EQ(FERROX_CPU_GetData(0, 2, data), -1);
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Target is protected."});
    EXPECT_EQ(FERROX_IsOpen(), 0);
    EXPECT_EQ(API_GetLockDepth(), 0);
    EXPECT_TRUE(captured().messageBoxes.empty());
    // Opened again, the library works.
    captured().errors.clear();
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_CPU_Unprotect(kKey), 0);
    EXPECT_EQ(FERROX_CPU_GetData(0, 2, data), 2);
    EXPECT_TRUE(captured().errors.empty());
    FERROX_Close();
}

// The probe unplugged under an open connection: every call fails with its
// failure value, writes nothing into the caller's buffers and hangs on
// nothing; plugged in again, a new open works.
TEST(HostileUnplugged, CallsWithoutTheProbeFailCleanlyAndAReopenWorks) {
    plat::ScopedVirtualClock clock(1000);
    ferrox_test::CaptureMessageBoxes boxes;
    sim::Probe probe(*clock);
    auto front = std::make_unique<sim::DeviceFront>(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    front.reset();
    Guarded data(8), fw(16), items(4), regs(sizeof(TAMSA_REGISTERS)), ex(8);
    // The frame clears the first byte of a text buffer; nothing else is
    // written while the probe is gone.
    const std::vector<Case> cases = {
        {"GetData",
         [&] {
             return FERROX_CPU_GetData(0, 8, data.data()) * 100LL + static_cast<long long>(data.touched());
         },
         -100},
        {"SetData", [&] { return static_cast<long long>(FERROX_CPU_SetData(0, 8, data.data())); }, -1},
        {"GetRegsAll",
         [&] {
             return FERROX_CPU_GetRegsAll(reinterpret_cast<TAMSA_REGISTERS *>(regs.data())) * 100LL +
                    static_cast<long long>(regs.touched());
         },
         -100},
        {"GetReg", [] { return static_cast<long long>(FERROX_CPU_GetReg(0)); }, 0xFFFFFFFFLL},
        {"Go", [] { return static_cast<long long>(FERROX_CPU_Go()); }, -1},
        {"IsHalted", [] { return static_cast<long long>(FERROX_CPU_IsHalted()); }, FERROX_HALT_STATE_ERROR},
        {"GetVersion", [] { return static_cast<long long>(FERROX_CPU_GetVersion(nullptr)); }, -1},
        {"ReadUserBuffer",
         [&] {
             return FERROX_EMU_ReadUserBuffer(2, items.items()) * 100LL +
                    static_cast<long long>(items.touched());
         },
         -100},
        {"GetFirmwareString",
         [&] {
             FERROX_EMU_GetFirmwareString(fw.text(), 16);
             return static_cast<long long>(fw.touched());
         },
         1},
        {"ExecCommand",
         [&] {
             return FERROX_EMU_ExecCommand("UpdateFirmware", ex.text(), 8) * 100LL +
                    static_cast<long long>(ex.touched());
         },
         1},
        {"HasError", [] { return static_cast<long long>(FERROX_HasError()); }, 1},
        {"IsOpen", [] { return static_cast<long long>(FERROX_IsOpen()); }, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.result);
    }
    for (Guarded *g : {&data, &fw, &items, &regs, &ex}) {
        EXPECT_TRUE(g->intact());
    }
    front = std::make_unique<sim::DeviceFront>(probe);
    FERROX_Close();
    captured().errors.clear();
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), 0);
    U8 back[8] = {};
    EXPECT_EQ(FERROX_CPU_GetData(0, 8, back), 8);
    EXPECT_TRUE(captured().errors.empty());
    FERROX_Close();
}

// The same kind of calls over TCP/IP, whose transport carries the counts
// in its own frames: short buffers and refused codes leave the stream in
// step.
TEST(HostileTcp, OddBuffersAndCodesKeepTheServerStreamInStep) {
    plat::ScopedVirtualClock clock(0);
    sim::Probe probe(*clock);
    ferrox_test::SimTcpServer tcp(probe);
    ASSERT_TRUE(tcp.start());
    ferrox_test::CaptureMessageBoxes boxes;
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    Guarded fw(4), ex(3), items(2), data(3);
    const auto tiny = exact(1);
    const std::vector<Case> cases = {
        {"GetFirmwareString 4",
         [&] {
             FERROX_EMU_GetFirmwareString(fw.text(), 4);
             return static_cast<long long>(std::strlen(fw.text()));
         },
         3},
        {"ExecCommand 3",
         [&] {
             return FERROX_EMU_ExecCommand("Bogus", ex.text(), 3) * 100LL +
                    static_cast<long long>(std::strlen(ex.text()));
         },
         102},
        {"ControlUserBuffer start",
         [] { return static_cast<long long>(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_START, 0)); }, 0},
        {"ControlUserBuffer read code",
         [] { return static_cast<long long>(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_READ, 0)); }, -1, 16},
        {"ReadUserBuffer 1",
         [&] {
             clock->advance(100);
             return FERROX_EMU_ReadUserBuffer(1, items.items()) * 100LL + items.intact();
         },
         101},
        {"ReadUserBuffer 65536",
         [] { return static_cast<long long>(FERROX_EMU_ReadUserBuffer(65536, nullptr)); }, -1, 16},
        {"GetData 2^31",
         [&] { return static_cast<long long>(FERROX_CPU_GetData(0, 0x80000000u, tiny.get())); }, -1, 16},
        {"GetEROM 3 at an odd address",
         [&] { return FERROX_CPU_GetEROM(0x41, 3, data.data()) * 100LL + data.intact(); }, 301},
        {"ControlUserBuffer stop",
         [] { return static_cast<long long>(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_STOP, 0)); }, 0},
        {"GetHWVersion", [] { return static_cast<long long>(FERROX_EMU_GetHWVersion()); }, 22000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MAIN_SetLastErrorCode(0);
        EXPECT_EQ(c.call(), c.result);
        if (c.code != kAnyCode) {
            EXPECT_EQ(MAIN_GetLastErrorCode(), c.code);
        }
    }
    for (Guarded *g : {&fw, &ex, &items, &data}) {
        EXPECT_TRUE(g->intact());
    }
    EXPECT_EQ(tiny[0], 0x3C);
    EXPECT_TRUE(captured().errors.empty());
    FERROX_Close();
}

} // namespace
