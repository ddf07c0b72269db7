// The target link at wire level against the scripted probe: request
// layouts, answer and trailer handling, the guards, the monitor entry's
// passes, and the register writes' answer mapping.
#include "FerroxConst.h"
#include "api.h"
#include "capture.h"
#include "cpu_state.h"
#include "link.h"
#include "main_log.h"
#include "probe_script.h"
#include "scripted_probe.h"
#include "scripted_server.h"
#include "target.h"
#include "target_wire.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>

using namespace ferrox_test;

namespace {

Words entry(std::uint16_t p) {
    return {0x0200, p, 0x0000, 0x0708, 0x0032};
}

class TargetWire : public OpenedWire {
protected:
    // The halted guard's exchanges, with the target marked as in the monitor.
    void scriptHalted() {
        CPU_SetMonitorEntered(1);
        CPU_SetMonitorEntryFailed(0);
        OpenedWire::scriptHalted();
    }
};

TEST_F(TargetWire, SetBaudSendsTheRateCommandAndAsksForTheTrailerOnly) {
    probe_.expect(req({cmd(C_SET_BAUD_RATE + 1, CMD_MODE_TX)}), answer({}));
    EXPECT_EQ(FERROX_CPU_SetBaud(1), 0);
    EXPECT_EQ(writes(),
              (std::vector<Bytes>{{0xCD, 0x04, 0x00, 0x00, 0x01, 0x01, 0x00, 0x01, 0xBC, 0x01, 0x00}}));
    EXPECT_EQ(probe_.readSizes().back(), 2u);
    // Rates the link does not have are refused before anything is sent.
    EXPECT_EQ(FERROX_CPU_SetBaud(2), -1);
    EXPECT_EQ(FERROX_CPU_SetBaud(0xFFFFFFFFu), -1);
    EXPECT_EQ(writes().size(), 1u);
    // A failing probe status is the result and is reported.
    probe_.expect(req({cmd(C_SET_BAUD_RATE, CMD_MODE_TX)}), answer({}, 0x0001));
    EXPECT_EQ(FERROX_CPU_SetBaud(0), 1);
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Rx/Tx timeout during communication to target."});
}

TEST_F(TargetWire, SendCommandPassesTheModeThroughAndModeZeroSendsNothing) {
    EXPECT_EQ(FERROX_CPU_SendCommand(C_RUN, 0), 16);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(MAIN_GetLastErrorCode(), 0);
    // The probe status comes back unreported: only recorded.
    probe_.expect(req({cmd(0x1234, 3)}), answer({}, 0x0008));
    EXPECT_EQ(FERROX_CPU_SendCommand(0x1234, 3), 8);
    probe_.expect(req({data({0xBEEF})}), answer({}));
    EXPECT_EQ(FERROX_CPU_SendData(0x1BEEF), 0);
    probe_.expect(req({cmd(C_CLR_WATCHP, 1)}), answer({}));
    EXPECT_EQ(FERROX_CPU_ClrWatchp(), 0);
    EXPECT_EQ(MAIN_GetLastErrorCode(), 8);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetWire, AnEmptyRequestIsNeverSent) {
    API_Lock("FERROX_Test");
    CPU_BeginRequest();
    EXPECT_EQ(CPU_GetRequestPosition(), 3);
    int n = 5;
    EXPECT_EQ(CPU_Execute(0, 1, &n), 0);
    EXPECT_EQ(CPU_GetRequestPosition(), 0);
    EXPECT_EQ(n, 5);
    API_Unlock();
    EXPECT_TRUE(writes().empty());
}

TEST_F(TargetWire, ARequestTooLongForTheBufferIsNotSentAtAll) {
    API_Lock("FERROX_Test");
    const std::vector<U16> words(250, 0x5A5A);
    EXPECT_EQ(CPU_AddData(words.data(), 250), 0);
    EXPECT_EQ(CPU_AddCommand(C_GET_DATA, 1), 0);
    EXPECT_EQ(CPU_AddAnswer(2), -1); // 258 words
    EXPECT_EQ(CPU_Execute(1, 0, nullptr), -1);
    // The next request starts afresh; nonsense counts spoil it too.
    EXPECT_EQ(CPU_AddAnswer(257), -1);
    EXPECT_EQ(CPU_Execute(1, 0, nullptr), -1);
    for (int n : {-1, -300, 0x7FFFFFFF}) {
        EXPECT_EQ(CPU_AddData(words.data(), n), -1);
        EXPECT_EQ(CPU_Execute(1, 0, nullptr), -1);
        EXPECT_EQ(CPU_AddAnswer(n), -1);
        EXPECT_EQ(CPU_Execute(1, 0, nullptr), -1);
        const U8 bytes[2] = {1, 2};
        EXPECT_EQ(CPU_AddBytes(bytes, n), -1);
        EXPECT_EQ(CPU_Execute(1, 0, nullptr), -1);
    }
    API_Unlock();
    EXPECT_TRUE(writes().empty());
}

TEST_F(TargetWire, TwoByteAnswerToARequestForWords) {
    struct Case {
        U8 checkLength;
        int status;
    };
    for (const Case c : {Case{1, 1}, Case{0, 0}}) {
        SCOPED_TRACE(static_cast<int>(c.checkLength));
        probe_.expect(req({cmd(C_GET_DEV_STAT, 3), ans(2)}), answer({}));
        API_Lock("FERROX_Test");
        CPU_AddCommand(C_GET_DEV_STAT, 3);
        CPU_AddAnswer(2);
        int n = -1;
        EXPECT_EQ(CPU_Execute(1, c.checkLength, &n), c.status);
        EXPECT_EQ(n, 0);
        U16 w = 0x7777;
        EXPECT_EQ(CPU_NextAnswerWord(&w), -1);
        EXPECT_EQ(w, 0x7777);
        API_Unlock();
        EXPECT_EQ(probe_.readSizes().back(), 6u);
        EXPECT_EQ(MAIN_GetLastErrorCode(), 1);
    }
    // The short answer is the target's doing: the link stays usable.
    EXPECT_EQ(LINK_HasCommError(), 0);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetWire, AbortMapsTheAnswer) {
    struct Case {
        Bytes reply;
        int result;
        int lastResponse;
        const char *message;
    };
    const Case cases[] = {
        {answer({}, 0x0001), 0, TAMSA_STATUS_CODE_NOT_SENT, nullptr}, // nothing was running
        {answer({TAMSA_STATUS_CODE_ABORT}), 0, TAMSA_STATUS_CODE_ABORT, nullptr},
        {answer({0x0007}), 2, 7, "Target sent unexpected data."},
        {answer({}, 0x000A), 0, TAMSA_STATUS_CODE_NOT_SENT, nullptr}, // the length check comes first
        {answer({5}, 0x000A), 10, TAMSA_STATUS_CODE_INVALID,
         "Address parameter invalid on EROM read or write."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.result);
        captured().errors.clear();
        probe_.expect(req({cmd(C_ABORT, 1), ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_Abort(), c.result);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        EXPECT_EQ(captured().errors,
                  c.message != nullptr ? std::vector<std::string>{c.message} : std::vector<std::string>{});
        MAIN_SetErrorReported(0);
    }
}

TEST_F(TargetWire, AbortWithoutAnAnswerIsAUsbError) {
    probe_.expect(req({cmd(C_ABORT, 1), ans(1)}), {0x01}, ScriptedProbe::Reply::Short, 1);
    EXPECT_EQ(FERROX_CPU_Abort(), 7);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_INVALID);
    ASSERT_EQ(captured().errors.size(), 2u);
    EXPECT_EQ(captured().errors[1], "USB communication error !");
}

TEST_F(TargetWire, PowerOffStateIsToldWithoutATargetRequest) {
    probe_.expect({0x07}, hw(1801, 1, 0, 1));
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_POWEROFF);
    EXPECT_EQ(writes(), std::vector<Bytes>{{0x07}});
}

TEST_F(TargetWire, HaltStateFromTheDeviceStatusWord) {
    struct Case {
        Words words; // one device status answer per attempt
        int state;
        U8 running;
    };
    const Case cases[] = {
        {{0xD003}, FERROX_HALT_STATE_USER, 0},
        {{0xC003}, FERROX_HALT_STATE_RUNNING, 1},
        {{0x1003, 0x8000, 0xD003}, FERROX_HALT_STATE_USER, 0}, // words without bits 15..14 are retried
        {{0x1003, 0x4000, 0x0000}, FERROX_HALT_STATE_ERROR, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.state);
        // The error case starts running: the probe is asked for a halt
        // notification first, which does not come.
        const U8 startRunning = c.state == FERROX_HALT_STATE_ERROR ? 1 : 0;
        CPU_SetTargetRunning(startRunning);
        probe_.expect({0x07}, hw(3300, 0, 1, 1));
        if (startRunning != 0) {
            probe_.expect(req({ans(2)}), answer({}, 0x0001));
        }
        for (std::uint16_t w : c.words) {
            probe_.expect({0x07}, hw(3300, 0, 1, 1));
            probe_.expect(kDevStatReq, answer({w}));
        }
        EXPECT_EQ(FERROX_CPU_IsHaltedEx(1), c.state);
        EXPECT_EQ(CPU_IsTargetRunning(), c.running);
    }
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetWire, AHaltNotificationGivesTheBreakpointOnceWithItsPc) {
    CPU_SetTargetRunning(1);
    probe_.expect({0x07}, hw(3300, 0, 1, 1));
    probe_.expect(req({ans(2)}), answer({TAMSA_STATUS_CODE_SWBP_HIT, 0x0123}));
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_SWBP);
    EXPECT_EQ(CPU_IsTargetRunning(), 0);
    EXPECT_EQ(CPU_IsRegisterCached(0), 1);
    EXPECT_EQ(CPU_GetCachedRegister(0), 0x0123);
}

TEST_F(TargetWire, WithAnErrorPendingEveryGuardedOperationRefusesAtOnce) {
    API_Lock("FERROX_Test");
    MAIN_ReportErrorOnce("Earlier failure.");
    API_Unlock();
    TAMSA_REGISTERS regs{};
    const std::vector<std::pair<const char *, std::function<long long()>>> ops = {
        {"Go", [] { return FERROX_CPU_Go(); }},
        {"Halt", [] { return FERROX_CPU_Halt(); }},
        {"Step", [] { return FERROX_CPU_Step(); }},
        {"Reset", [] { return FERROX_CPU_Reset(); }},
        {"GetReg", [] { return static_cast<int>(FERROX_CPU_GetReg(0)); }},
        {"GetRegsAll", [&] { return FERROX_CPU_GetRegsAll(&regs); }},
        {"SetReg", [] { return FERROX_CPU_SetReg(1, 1); }},
        {"WriteBP", [] { return static_cast<int>(FERROX_CPU_WriteBP(0x10, 0x40)); }},
        {"SetBaud", [] { return FERROX_CPU_SetBaud(0); }},
    };
    for (const auto &[name, op] : ops) {
        SCOPED_TRACE(name);
        EXPECT_EQ(op(), std::string(name) == "Halt" ? 1 : -1);
    }
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Earlier failure."});
}

TEST_F(TargetWire, APoweredDownTargetIsRefusedWithCode13) {
    CPU_SetTargetPoweredDown(1);
    EXPECT_EQ(FERROX_CPU_Go(), -1);
    EXPECT_EQ(FERROX_CPU_Step(), -1);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(MAIN_GetLastErrorCode(), 13);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{"Target was powered down, function call not allowed."});
}

// One pass of the entry on an unsupplied target that does not answer.
void scriptFailedPass(ScriptedProbe &probe) {
    probe.expect({0x07}, hw(0, 0, 0, 0));
    probe.expect({0xF1, 0x02}, {0});
    probe.expect(req({entry(1), data({CPU_ENTRY_WORD}), ans(2)}), answer({}, 0x0001));
    probe.expect(kDevStatReq, answer({0xC003}));
}

TEST_F(TargetWire, FirstEntryAfterLoadRunsItsSequenceTwiceLaterOnesOnce) {
    ASSERT_EQ(CPU_GetEntryPassCount(), 2);
    scriptFailedPass(probe_);
    scriptFailedPass(probe_);
    API_Lock("FERROX_Test");
    EXPECT_EQ(CPU_TryEnterMonitor(1), 9);
    EXPECT_EQ(CPU_GetEntryPassCount(), 0);
    EXPECT_TRUE(probe_.scriptDone());
    scriptFailedPass(probe_);
    EXPECT_EQ(CPU_TryEnterMonitor(1), 9);
    API_Unlock();
    EXPECT_EQ(CPU_IsMonitorEntryFailed(), 1);
    EXPECT_EQ(CPU_IsTargetTouched(), 1);
    EXPECT_EQ(MAIN_GetLastErrorCode(), 9);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetWire, ASuccessfulFirstEntryEndsItsSecondPassAtOnce) {
    probe_.expect({0x07}, hw(0, 0, 0, 0));
    probe_.expect({0xF1, 0x02}, {0});
    probe_.expect(req({entry(1), data({CPU_ENTRY_WORD}), ans(2)}),
                  answer({0x0000, TAMSA_STATUS_CODE_BOOT_MONITOR, 0x1234}));
    probe_.expect(kDevStatReq, answer({kHaltedInit}));
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), 0);
    EXPECT_EQ(CPU_IsMonitorEntered(), 1);
    EXPECT_EQ(CPU_IsMonitorEntryFailed(), 0);
    EXPECT_EQ(CPU_GetCachedRegister(0), 0x1234);
    // The extra pass was made (and ended at once): it is not made again.
    EXPECT_EQ(CPU_GetEntryPassCount(), 1);
}

TEST_F(TargetWire, AProtectedDeviceEndsTheEntryPassWith4) {
    probe_.expect({0x07}, hw(0, 0, 0, 0));
    probe_.expect({0xF1, 0x02}, {0});
    probe_.expect(req({entry(1), data({CPU_ENTRY_WORD}), ans(2)}),
                  answer({0x0000, TAMSA_STATUS_CODE_BOOT_MONITOR, 0x0000}));
    probe_.expect(kDevStatReq, answer({0xD004}));
    API_Lock("FERROX_Test");
    EXPECT_EQ(CPU_TryEnterMonitor(0), 4);
    API_Unlock();
    EXPECT_TRUE(captured().errors.empty()); // the caller tells "Target is protected."
}

TEST_F(TargetWire, SetRegMapsTheTargetAnswer) {
    struct Case {
        Bytes reply;
        int result;
        int lastResponse;
        U8 validAfter;
        U16 valueAfter;
        const char *message;
    };
    const Case cases[] = {
        {answer({0}), 0, 0, 1, 0x2345, nullptr},
        {answer({4}), 8, 4, 0, 0x1111, "Unsupported command sent to Quidor."},
        {answer({6}), 16, 6, 1, 0x1111, "Invalid parameter sent to target CPU."},
        {answer({9}), 2, TAMSA_STATUS_CODE_INVALID, 0, 0x1111, "Target sent unexpected data."},
        {answer({}, 0x0001), 1, TAMSA_STATUS_CODE_INVALID, 0, 0x1111,
         "Rx/Tx timeout during communication to target."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.result);
        MAIN_SetErrorReported(0);
        captured().errors.clear();
        CPU_StoreRegister(3, 0x1111);
        scriptHalted();
        probe_.expect(req({cmd(C_SET_REGS, 1), data({3, 0x2345}), ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_SetReg(3, 0x12345), c.result);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        EXPECT_EQ(CPU_IsRegisterCached(3), c.validAfter);
        EXPECT_EQ(CPU_GetCachedRegister(3), c.valueAfter);
        EXPECT_EQ(captured().errors,
                  c.message != nullptr ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    }
}

TEST_F(TargetWire, WriteBPSendsFlagsThenAddress) {
    struct Case {
        Bytes reply;
        U32 result;
        int lastResponse;
    };
    const Case cases[] = {
        {answer({0}), 0, 0},
        {answer({4}), 8, 4},
        {answer({6}), 16, 6},
        {answer({}, 0x0001), 1, TAMSA_STATUS_CODE_INVALID},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.result);
        MAIN_SetErrorReported(0);
        scriptHalted();
        probe_.expect(req({cmd(C_SET_BP, 1), data({0x0041, 0x0200}), ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_WriteBP(0x10200, 0x10041), c.result);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
    }
}

TEST_F(TargetWire, RegisterIndexesOutsideTheCacheAreRefused) {
    for (int index : {-1, 10, 1000}) {
        SCOPED_TRACE(index);
        MAIN_SetLastErrorCode(0);
        EXPECT_EQ(FERROX_CPU_GetReg(index), 0xFFFFFFFFu);
        EXPECT_EQ(MAIN_GetLastErrorCode(), 16);
        MAIN_SetLastErrorCode(0);
        EXPECT_EQ(FERROX_CPU_SetReg(index, 1), -1);
        EXPECT_EQ(MAIN_GetLastErrorCode(), 16);
    }
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetWire, StepFailureAnswers) {
    struct Case {
        Bytes reply;
        int result;
        int lastResponse;
        const char *message;
    };
    const Case cases[] = {
        {answer({0, 2, 0x0101}), 0, 2, nullptr},
        {answer({0, 3, 0x0101}), 1, 3, "Target sent unexpected data."},
        {answer({4}, 0x0101), 1, 4, nullptr}, // refused: silent
        {answer({6}, 0x0101), 1, 6, "Rx/Tx timeout during communication to target."},
        {answer({9}, 0x0201), 1, 9, "Rx/Tx timeout during communication to target."},
        {answer({}, 0x0001), 1, TAMSA_STATUS_CODE_INVALID, "Rx/Tx timeout during communication to target."},
        {answer({0, 2, 0x0101}, 0x0007), 1, TAMSA_STATUS_CODE_INVALID, "USB communication error !"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lastResponse);
        MAIN_SetErrorReported(0);
        captured().errors.clear();
        scriptHalted();
        probe_.expect(req({cmd(C_TRACE, 1), ans(3)}), c.reply);
        EXPECT_EQ(FERROX_CPU_Step(), c.result);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        EXPECT_EQ(CPU_IsRegisterCached(0), c.result == 0 ? 1 : 0);
        EXPECT_EQ(captured().errors,
                  c.message != nullptr ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    }
}

// One pass of the entry: the hardware status, then what each sequence
// (8: break in, 1: power-up entry) gets as its answer.
void scriptSequence(ScriptedProbe &probe, std::uint16_t p, bool ok) {
    probe.expect({0xF1, 0x02}, {0});
    probe.expect(req({entry(p), data({CPU_ENTRY_WORD}), ans(2)}),
                 ok ? answer({0x0000,
                              static_cast<std::uint16_t>(p == 8 ? TAMSA_STATUS_CODE_STOP
                                                                : TAMSA_STATUS_CODE_BOOT_MONITOR),
                              0x0042})
                    : answer({}, 0x0001));
}

TEST_F(TargetWire, AProbeSuppliedTargetThatIgnoresTheBreakInIsPowerCycled) {
    probe_.expect({0x07}, hw(3300, 0, 0, 1));
    scriptSequence(probe_, 8, false);
    probe_.expect({0x07}, hw(3300, 0, 0, 1)); // the switch-off and its wait
    probe_.expect({0xF2, 0x00}, {0});
    probe_.expect({0x07}, hw(700, 0, 0, 0));
    scriptSequence(probe_, 1, true);
    probe_.expect(kDevStatReq, answer({kHaltedInit}));
    const std::uint32_t start = clock_->tickMs();
    API_Lock("FERROX_Test");
    EXPECT_EQ(CPU_TryEnterMonitor(1), 0);
    API_Unlock();
    EXPECT_EQ(clock_->tickMs() - start, 30u); // one poll, then twice its time
    EXPECT_EQ(CPU_GetCachedRegister(0), 0x0042);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetWire, ATargetWithItsOwnSupplyIsNeverPowerCycled) {
    for (int pass = 0; pass < 2; ++pass) { // the first entry makes its extra pass
        probe_.expect({0x07}, hw(3300, 0, 0, 0));
        scriptSequence(probe_, 8, false);
        probe_.expect(kDevStatReq, answer({0xC003}));
    }
    API_Lock("FERROX_Test");
    EXPECT_EQ(CPU_TryEnterMonitor(0), 9);
    API_Unlock();
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{"Could not enter Monitor mode.\nIs a target connected to Quidor?"});
}

TEST_F(TargetWire, AnAwakeTargetWithItsOwnSupplyIsStoppedNotEntered) {
    probe_.expect({0x07}, hw(3300, 1, 1, 0));
    probe_.expect({0x07}, hw(3300, 1, 1, 0)); // the halt-state query
    probe_.expect({0x07}, hw(3300, 1, 1, 0));
    probe_.expect(kDevStatReq, answer({0xC003}));
    probe_.expect(req({cmd(C_STOP, 1), ans(2)}), answer({TAMSA_STATUS_CODE_STOP, 0x0777}));
    API_Lock("FERROX_Test");
    EXPECT_EQ(CPU_TryEnterMonitor(0), 0);
    API_Unlock();
    EXPECT_EQ(CPU_IsMonitorEntered(), 1);
    EXPECT_EQ(CPU_GetCachedRegister(0), 0x0777);
}

// Over TCP/IP the server tells the answer's length; a target answer may be
// shorter than asked for, never longer, and never shorter than its trailer.
TEST(TargetTcp, TargetAnswersOfTheProbesOwnLength) {
    plat::ScopedVirtualClock clock(0);
    ferrox_test::ScriptedServer server;
    ferrox_test::scriptOpen(server);
    ASSERT_EQ(FERROX_SelectTCPIP("127.0.0.1", server.port()), 0);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    struct Case {
        Bytes reply;
        int status;
        int count;
    };
    const Case cases[] = {
        {answer({0x0011, 0x0022}), 0, 2},
        {answer({0x0011}, 0x0101), 1, 1},
        {answer({}), 0, 0},
        {answer({1, 2, 3}), 7, -1}, // longer than asked for: nothing taken
        {{0x00}, 7, -1},            // not even the trailer
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply.size());
        server.expect(req({cmd(C_GET_REGS, 1), ans(2)}), c.reply);
        API_Lock("FERROX_Test");
        CPU_AddCommand(C_GET_REGS, 1);
        CPU_AddAnswer(2);
        int n = -1;
        EXPECT_EQ(CPU_Execute(1, 0, &n), c.status);
        EXPECT_EQ(n, c.count);
        API_Unlock();
    }
    // The stream stayed in step: a probe command after them is answered.
    server.expect({0x07}, hw(0, 0, 0, 0));
    FERROX_HW_STATUS st{};
    EXPECT_EQ(FERROX_EMU_GetHWStatus(&st), 0);
    EXPECT_TRUE(server.mismatches().empty());
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetWire, BytesArePackedTwoAWordLowByteFirst) {
    probe_.expect(req({cmd(C_SET_DATA, 1), data({0x0040, 3}), data({0x0201, 0x0003}), ans(1)}), answer({0}));
    API_Lock("FERROX_Test");
    CPU_AddCommand(C_SET_DATA, 1);
    const U16 head[2] = {0x0040, 3};
    CPU_AddData(head, 2);
    const U8 bytes[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(CPU_AddBytes(bytes, 3), 0);
    CPU_AddAnswer(1);
    EXPECT_EQ(CPU_Execute(0, 1, nullptr), 0);
    U16 w = 0xFFFF;
    EXPECT_EQ(CPU_NextAnswerWord(&w), 0);
    EXPECT_EQ(w, 0);
    API_Unlock();
}

TEST_F(TargetWire, AnswerTimeoutIsSentAsFourBytesLowFirst) {
    probe_.expect({0xF4, 0xC0, 0xD4, 0x01, 0x00}, {0x00});
    probe_.expect({0xF4, 0x00, 0x00, 0x00, 0x00}, {0x03});
    probe_.expect({0xF4, 0xC0, 0x27, 0x09, 0x00}, {}, ScriptedProbe::Reply::None);
    API_Lock("FERROX_Test");
    EXPECT_EQ(CPU_SetAnswerTimeout(120000), 0);
    EXPECT_EQ(CPU_SetAnswerTimeout(0), 3);
    EXPECT_EQ(CPU_SetAnswerTimeout(600000), -1);
    API_Unlock();
}

TEST_F(TargetWire, RequireMonitorNeedsAnEstablishedMonitorAndAsksNothing) {
    struct Case {
        U8 entryFailed;
        U8 poweredDown;
        int result;
        int code;
    };
    for (const Case c : {Case{0, 0, 0, 0}, Case{1, 0, -1, 9}, Case{0, 1, -1, 13}}) {
        SCOPED_TRACE(c.code);
        MAIN_SetErrorReported(0);
        MAIN_SetLastErrorCode(0);
        CPU_SetMonitorEntryFailed(c.entryFailed);
        CPU_SetTargetPoweredDown(c.poweredDown);
        API_Lock("FERROX_Test");
        EXPECT_EQ(CPU_RequireMonitor(), c.result);
        API_Unlock();
        EXPECT_EQ(MAIN_GetLastErrorCode(), c.code);
    }
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(captured().errors,
              (std::vector<std::string>{"Could not enter Monitor mode.\nIs a target connected to Quidor?",
                                        "Target was powered down, function call not allowed."}));
}

} // namespace

// ------------------------------------------------- answer judging, in tables

namespace {

const Words kResetEntry = {0x0800, 0x000F, 0x0008, 0x0000, 0x0708, 0x0032};

class ExecWire : public TargetWire {
protected:
    void SetUp() override {
        TargetWire::SetUp();
        CPU_SetMonitorEntered(1);
        CPU_SetMonitorEntryFailed(0);
    }
    void clearErrors() {
        MAIN_SetErrorReported(0);
        MAIN_SetLastErrorCode(0);
        captured().errors.clear();
    }
    static std::vector<std::string> errors(const char *message) {
        return message != nullptr ? std::vector<std::string>{message} : std::vector<std::string>{};
    }
    // A halt-state query that finds the target halted in the monitor.
    void scriptQueryHalted() {
        probe_.expect({0x07}, hw(3300, 0, 1, 1));
        probe_.expect({0x07}, hw(3300, 0, 1, 1));
        probe_.expect(kDevStatReq, answer({kHaltedInit}));
    }
    // Everything a reset asks before its reset exchange, on a target that
    // is halted in the monitor and not protected.
    void scriptResetLeadIn() {
        probe_.expect({0x07}, hw(3300, 0, 1, 1)); // the entry pass finds it halted
        scriptQueryHalted();
        probe_.expect(kDevStatReq, answer({kHaltedInit})); // not protected
        probe_.expect({0x07}, hw(3300, 0, 1, 1));
        scriptQueryHalted(); // the halt: not running
        scriptQueryHalted(); // its second look
        scriptQueryHalted(); // still running?
    }
};

TEST_F(ExecWire, ResetExchangeAnswers) {
    struct Case {
        const char *what;
        Bytes reply;
        int result;
        int lastResponse; // the halt before the exchange leaves -2
        const char *message;
    };
    const Case cases[] = {
        {"reset", answer({0, 0, 3, 0x0100}), 0, 0, nullptr},
        {"refused by the target", answer({0, 4, 3, 0}), 1, 4, nullptr},
        {"another target status", answer({0, 6, 3, 0}), 2, -2, "Target sent unexpected data."},
        {"not in the boot monitor", answer({0, 0, 1, 0}), 9, -2,
         "Could not enter Monitor mode.\nIs a target connected to Quidor?"},
        {"trailer detail", answer({0, 0, 3, 0x0100}, 0x0100), 0x100, -2,
         "Unknown error occured, error-code 0x0100"},
        {"three words", answer({0, 0, 3}), 7, -2, "USB communication error !"},
        {"probe status", answer({}, 0x0001), 1, -2, "Rx/Tx timeout during communication to target."},
        {"no target status", answer({0}), 7, -2, "USB communication error !"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clearErrors();
        CPU_SetMonitorEntered(1);
        scriptResetLeadIn();
        probe_.expect(req({kResetEntry, data({CPU_ENTRY_WORD}), ans(3)}), c.reply);
        EXPECT_EQ(FERROX_CPU_Reset(), c.result);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        EXPECT_EQ(CPU_IsMonitorEntered(), c.result == 0 ? 1 : 0);
        EXPECT_EQ(captured().errors, errors(c.message));
        EXPECT_TRUE(probe_.scriptDone());
    }
    EXPECT_EQ(CPU_GetCachedRegister(0), 0x0100); // from the reset that worked
}

TEST_F(ExecWire, RegisterReadFailures) {
    Words all{0, 10};
    for (std::uint16_t r = 0; r < 10; ++r) {
        all.push_back(static_cast<std::uint16_t>(0x1000 + r));
    }
    struct Case {
        const char *what;
        Bytes reply;
        int result;
        int lastResponse;
        const char *message;
    };
    const Case cases[] = {
        {"all ten", answer(all), 10, 0, nullptr},
        {"refused by the target", answer({4}, 0x0101), -1, 4, nullptr},
        {"another target status", answer({6}, 0x0101), -1, 6,
         "Rx/Tx timeout during communication to target."},
        {"nothing from the target", answer({}, 0x0001), -1, TAMSA_STATUS_CODE_INVALID,
         "Rx/Tx timeout during communication to target."},
        {"status word not 0", answer({3, 10}), -1, TAMSA_STATUS_CODE_INVALID, "Target sent unexpected data."},
        {"count not 10", answer({0, 9}), -1, TAMSA_STATUS_CODE_INVALID, "Target sent unexpected data."},
        {"answer ends early", answer({0, 10, 1, 2, 3}), -1, TAMSA_STATUS_CODE_INVALID,
         "Target sent unexpected data."},
        {"other probe status", answer({}, 0x0007), -1, TAMSA_STATUS_CODE_INVALID,
         "USB communication error !"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clearErrors();
        scriptHalted();
        probe_.expect(req({cmd(C_GET_REGS, 1), ans(12)}), c.reply);
        TAMSA_REGISTERS regs{};
        EXPECT_EQ(FERROX_CPU_GetRegsAll(&regs), c.result);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        EXPECT_EQ(MAIN_GetLastErrorCode(), c.result == 10 ? 0 : 8);
        EXPECT_EQ(CPU_IsRegisterCached(9), c.result == 10 ? 1 : 0);
        EXPECT_EQ(regs.R7, c.result == 10 ? 0x1009 : 0);
        EXPECT_EQ(captured().errors, errors(c.message));
    }
}

TEST_F(ExecWire, GoAnswers) {
    struct Case {
        const char *what;
        Bytes reply;
        int result;
        int lastResponse;
        U8 running;
        const char *message;
    };
    const Case cases[] = {
        {"started", answer({0}), 0, 0, 1, nullptr},
        {"refused by the target", answer({4}), -1, 4, 0, nullptr},
        {"another answer", answer({7}), 0, TAMSA_STATUS_CODE_INVALID, 0, nullptr},
        {"probe status", answer({}, 0x0001), 1, TAMSA_STATUS_CODE_INVALID, 0,
         "Rx/Tx timeout during communication to target."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clearErrors();
        CPU_SetTargetRunning(0);
        scriptQueryHalted();
        probe_.expect(req({cmd(C_RUN, 1), ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_Go(), c.result);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        EXPECT_EQ(CPU_IsTargetRunning(), c.running);
        EXPECT_EQ(captured().errors, errors(c.message));
    }
}

// A halt that finds the target unreachable or in its power-off state gets
// it back through the monitor entry.
TEST_F(ExecWire, HaltReentersAnUnreachableOrSleepingTarget) {
    struct Case {
        const char *what;
        std::function<void(ScriptedProbe &)> query; // the first halt-state query
        std::function<void(ScriptedProbe &)> pass;  // one entry pass
        int passes;
        int result;
    };
    const auto entryOk = [](ScriptedProbe &p, std::uint16_t seq) {
        p.expect({0xF1, 0x02}, {0});
        p.expect(req({entry(seq), data({CPU_ENTRY_WORD}), ans(2)}),
                 answer({0,
                         static_cast<std::uint16_t>(seq == 8 ? TAMSA_STATUS_CODE_STOP
                                                             : TAMSA_STATUS_CODE_BOOT_MONITOR),
                         0x0042}));
        p.expect(kDevStatReq, answer({kHaltedInit}));
    };
    const Case cases[] = {
        {"asleep, broken into", [](ScriptedProbe &p) { p.expect({0x07}, hw(3300, 1, 0, 1)); },
         [&](ScriptedProbe &p) {
             p.expect({0x07}, hw(3300, 1, 0, 1));
             entryOk(p, 8);
         },
         1, 0},
        {"unreachable, powered up again",
         [](ScriptedProbe &p) {
             p.expect({0x07}, hw(3300, 0, 1, 1));
             for (int attempt = 0; attempt < 3; ++attempt) {
                 p.expect({0x07}, hw(3300, 0, 1, 1));
                 p.expect(kDevStatReq, answer({}, 0x0001));
             }
         },
         [&](ScriptedProbe &p) {
             p.expect({0x07}, hw(0, 0, 0, 0));
             entryOk(p, 1);
         },
         1, 0},
        {"asleep for good", [](ScriptedProbe &p) { p.expect({0x07}, hw(3300, 1, 0, 1)); },
         [](ScriptedProbe &p) {
             p.expect({0x07}, hw(3300, 1, 0, 1));
             p.expect({0xF1, 0x02}, {0});
             p.expect(req({entry(8), data({CPU_ENTRY_WORD}), ans(2)}), answer({}, 0x0001));
             p.expect({0x07}, hw(3300, 1, 0, 1)); // power cycle: off, and fallen at once
             p.expect({0xF2, 0x00}, {0});
             p.expect({0x07}, hw(700, 0, 0, 0));
             p.expect({0xF1, 0x02}, {0});
             p.expect(req({entry(1), data({CPU_ENTRY_WORD}), ans(2)}), answer({}, 0x0001));
             p.expect(kDevStatReq, answer({}, 0x0001));
         },
         11, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clearErrors();
        CPU_SetMonitorEntered(1);
        probe_.expect({0x07}, hw(3300, 0, 1, 1)); // the halt's own status read
        c.query(probe_);
        for (int pass = 0; pass < c.passes; ++pass) {
            c.pass(probe_);
        }
        if (c.result != 0) {
            probe_.expect({0x07}, hw(3300, 1, 0, 1)); // the last look: still asleep
        }
        EXPECT_EQ(FERROX_CPU_Halt(), c.result);
        EXPECT_EQ(CPU_IsMonitorEntered(), c.result == 0 ? 1 : 0);
        EXPECT_TRUE(probe_.scriptDone());
        EXPECT_TRUE(captured().errors.empty()); // every attempt was a silent one
    }
}

// The close operation: which targets are switched off, which are left as
// they are, and which self-powered ones run on.
TEST_F(ExecWire, CloseOperationBranches) {
    enum Flag { kPoweredDown = 1, kEntryFailed = 2 };
    struct Case {
        const char *what;
        int flags;
        U8 mode;
        std::function<void(ScriptedProbe &)> script;
        int result;
        U8 touchedAfter;
        const char *message;
    };
    const auto offAndFallen = [](ScriptedProbe &p) {
        p.expect({0x07}, hw(3300, 0, 1, 1));
        p.expect({0xDC}, {0});
        p.expect({0x07}, hw(700, 0, 0, 0));
    };
    const Case cases[] = {
        {"powered down", kPoweredDown, 0, offAndFallen, 0, 1, nullptr},
        {"entry failed", kEntryFailed, 0, offAndFallen, 0, 1, nullptr},
        {"protected", 0, 0,
         [&](ScriptedProbe &p) {
             p.expect(kDevStatReq, answer({0xD004}));
             offAndFallen(p);
         },
         0, 1, nullptr},
        {"status unreadable", 0, 2,
         [&](ScriptedProbe &p) {
             p.expect(kDevStatReq, answer({}, 0x0001));
             offAndFallen(p);
         },
         0, 1, nullptr},
        {"left halted", 0, 2, [](ScriptedProbe &p) { p.expect(kDevStatReq, answer({kHaltedInit})); }, -1, 1,
         nullptr},
        {"probe supply switched off", 0, 1,
         [&](ScriptedProbe &p) {
             p.expect(kDevStatReq, answer({kHaltedInit}));
             p.expect({0x07}, hw(3300, 0, 1, 1));
             offAndFallen(p);
         },
         0, 0, nullptr},
        {"own supply runs on", 0, 0,
         [](ScriptedProbe &p) {
             p.expect(kDevStatReq, answer({kHaltedInit}));
             p.expect({0x07}, hw(3300, 0, 1, 0));
             p.expect(req({cmd(C_RUN, 1), ans(1)}), answer({0}));
             p.expect({0x07}, hw(3300, 0, 1, 0));
             p.expect({0xDC}, {0});
         },
         0, 0, nullptr},
        {"own supply refuses to run", 0, 0,
         [](ScriptedProbe &p) {
             p.expect(kDevStatReq, answer({kHaltedInit}));
             p.expect({0x07}, hw(3300, 0, 1, 0));
             p.expect(req({cmd(C_RUN, 1), ans(1)}), answer({4}));
             p.expect({0x07}, hw(3300, 0, 1, 0));
             p.expect({0xDC}, {0});
         },
         -1, 0, nullptr},
        {"supply does not fall", 0, 0,
         [](ScriptedProbe &p) {
             p.expect(kDevStatReq, answer({kHaltedInit}));
             p.expect({0x07}, hw(3300, 0, 1, 1));
             p.expect({0x07}, hw(3300, 0, 1, 1));
             p.expect({0xDC}, {0});
             for (int round = 0; round < 200; ++round) {
                 p.expect({0x07}, hw(3300, 0, 1, 1));
             }
         },
         -1, 0, "Quidor Hardware problem !\nCould not power down target when disconnecting."},
        {"switch-off unanswered", kPoweredDown, 0,
         [](ScriptedProbe &p) {
             p.expect({0x07}, hw(3300, 0, 1, 1));
             p.expect({0xDC}, {}, ScriptedProbe::Reply::None);
         },
         0, 1, "USB communication timed out: Writing 1 bytes, requesting 1 bytes, received 0 bytes !"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clearErrors();
        LINK_ClearCommError();
        CPU_SetTargetTouched(1);
        CPU_SetTargetPoweredDown((c.flags & kPoweredDown) != 0 ? 1 : 0);
        CPU_SetMonitorEntryFailed((c.flags & kEntryFailed) != 0 ? 1 : 0);
        c.script(probe_);
        API_Lock("FERROX_Test");
        const int result = pDeviceOps->Close(c.mode);
        API_Unlock();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(CPU_IsTargetTouched(), c.touchedAfter);
        EXPECT_EQ(captured().errors, errors(c.message));
        EXPECT_TRUE(probe_.scriptDone());
    }
    CPU_SetTargetPoweredDown(0);
}

} // namespace
