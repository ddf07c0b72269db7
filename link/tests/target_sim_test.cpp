// Execution control against the simulated probe and target: monitor entry,
// run and breakpoints, halt, step, reset, registers, power-on reset and the
// close modes, in-process and over TCP/IP.
#include "FerroxConst.h"
#include "api.h"
#include "capture.h"
#include "cpu_state.h"
#include "main_log.h"
#include "sim_tcp_server.h"
#include "target.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using ferrox_test::captured;

namespace {

// What the library asked of the probe: every probe command byte, and for
// target requests the items by name ("run", "stop", "entry1", "reset", ...).
class Trace {
public:
    void record(const std::uint8_t *p, std::size_t n) {
        if (n == 0) {
            return;
        }
        if (p[0] != 0xCD || n < 3) {
            events_.push_back("probe" + std::to_string(p[0]) + (n > 1 ? ":" + std::to_string(p[1]) : ""));
            return;
        }
        const auto word = [p](std::size_t i) {
            return static_cast<std::uint16_t>(p[3 + 2 * i] | p[4 + 2 * i] << 8);
        };
        const std::size_t count = static_cast<std::size_t>(p[1] | p[2] << 8);
        for (std::size_t i = 0; i < count;) {
            switch (word(i) >> 8) {
            case 0:
                i += 2u + word(i + 1);
                break;
            case 1:
                events_.push_back(commandName(word(i + 2)));
                i += 4;
                break;
            case 2:
                events_.push_back("entry" + std::to_string(word(i + 1)));
                i += 5;
                break;
            case 8:
                events_.push_back("reset");
                i += 6;
                break;
            default:
                i += 2;
                break;
            }
        }
    }
    std::size_t count(const std::string &event) const {
        std::size_t n = 0;
        for (const std::string &e : events_) {
            n += e == event ? 1u : 0u;
        }
        return n;
    }
    std::size_t size() const { return events_.size(); }
    std::vector<std::string> since(std::size_t mark) const {
        return std::vector<std::string>(events_.begin() + static_cast<std::ptrdiff_t>(mark), events_.end());
    }

private:
    static std::string commandName(std::uint16_t code) {
        switch (code) {
        case C_RUN:
            return "run";
        case C_TRACE:
            return "trace";
        case C_STOP:
            return "stop";
        case C_GET_REGS:
            return "getregs";
        case C_GET_DEV_STAT:
            return "devstat";
        default:
            return "cmd" + std::to_string(code);
        }
    }
    std::vector<std::string> events_;
};

class TargetSim : public ::testing::Test {
protected:
    explicit TargetSim(const sim::ProbeOptions &options = {}) : probe_(*clock_, options), front_(probe_) {
        probe_.setTrace([this](bool toProbe, const std::uint8_t *p, std::size_t n) {
            if (toProbe) {
                trace_.record(p, n);
            }
        });
    }
    void SetUp() override { ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0); }
    template <typename F> auto target(F &&f) {
        return front_.withProbe([&](sim::Probe &p) { return f(p.target()); });
    }
    sim::Target::State state() {
        return target([](sim::Target &t) { return t.state(); });
    }
    bool supplyOn() {
        return front_.withProbe([](sim::Probe &p) { return p.supplyOn(); });
    }

    plat::ScopedVirtualClock clock_{1000};
    sim::Probe probe_{*clock_};
    sim::DeviceFront front_;
    Trace trace_;
};

TEST_F(TargetSim, EnterMonitorPowersTheTargetUpIntoItsBootMonitor) {
    EXPECT_FALSE(supplyOn());
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), 0);
    EXPECT_TRUE(supplyOn());
    EXPECT_EQ(state(), sim::Target::State::Monitor);
    EXPECT_EQ(trace_.count("entry1"), 1u);
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_USER);
    EXPECT_EQ(CPU_IsMonitorEntered(), 1);
    EXPECT_EQ(CPU_IsTargetTouched(), 1);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetSim, GoOnARunningTargetSendsNoRun) {
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    EXPECT_EQ(FERROX_CPU_Go(), 0);
    EXPECT_EQ(state(), sim::Target::State::Running);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_OK);
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_RUNNING);
    EXPECT_EQ(FERROX_CPU_Go(), 0);
    EXPECT_EQ(trace_.count("run"), 1u);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetSim, ABreakpointHitIsToldOnceWithItsPc) {
    struct Case {
        U32 flags; // breakpoint 1 with flags 4 (hardware) or 8 (software)
        int halt;
    };
    for (const Case c : {Case{0x41, FERROX_HALT_STATE_HWBP}, Case{0x81, FERROX_HALT_STATE_SWBP}}) {
        SCOPED_TRACE(c.halt);
        ASSERT_EQ(FERROX_CPU_Reset(), 0); // PC at the boot address
        ASSERT_EQ(FERROX_CPU_WriteBP(0x0400, c.flags), 0u);
        ASSERT_EQ(FERROX_CPU_Go(), 0);
        EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_RUNNING);
        clock_->advance(2000);
        EXPECT_EQ(FERROX_CPU_IsHalted(), c.halt);
        EXPECT_EQ(CPU_IsRegisterCached(0), 1);
        EXPECT_EQ(CPU_GetCachedRegister(0), 0x0400);
        EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_USER);
        EXPECT_EQ(FERROX_CPU_GetReg(0), 0x0400u);
        ASSERT_EQ(FERROX_CPU_WriteBP(0x0400, 0x01), 0u); // flags 0 remove it
    }
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetSim, HaltStopsARunningTargetAtItsPc) {
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    ASSERT_EQ(FERROX_CPU_Go(), 0);
    clock_->advance(50);
    EXPECT_EQ(FERROX_CPU_Halt(), 0);
    EXPECT_EQ(state(), sim::Target::State::Monitor);
    EXPECT_EQ(trace_.count("stop"), 1u);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_STOP);
    const U16 pc = target([](sim::Target &t) { return t.registers()[0]; });
    EXPECT_GT(pc, 50);
    EXPECT_EQ(CPU_GetCachedRegister(0), pc);
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_USER);
    // Halting a halted target sends no stop.
    EXPECT_EQ(FERROX_CPU_Halt(), 0);
    EXPECT_EQ(trace_.count("stop"), 1u);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetSim, GetRegsAllReadsAllTenAlsoWithoutARecord) {
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    target([](sim::Target &t) {
        for (int i = 0; i < 10; ++i) {
            t.registers()[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(0x1000 + 0x111 * i);
        }
        return 0;
    });
    EXPECT_EQ(FERROX_CPU_GetRegsAll(nullptr), 10);
    EXPECT_EQ(trace_.count("getregs"), 1u);
    TAMSA_REGISTERS regs{};
    EXPECT_EQ(FERROX_CPU_GetRegsAll(&regs), 10);
    EXPECT_EQ(trace_.count("getregs"), 2u);
    const U16 got[10] = {regs.PC, regs.PSW, regs.R0, regs.R1, regs.R2,
                         regs.R3, regs.R4,  regs.R5, regs.R6, regs.R7};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(got[i], 0x1000 + 0x111 * i) << i;
        EXPECT_EQ(CPU_IsRegisterCached(i), 1);
    }
    EXPECT_EQ(FERROX_CPU_GetReg(9), 0x1999u);
    EXPECT_EQ(MAIN_GetLastErrorCode(), 0);
}

TEST_F(TargetSim, SetRegWritesTheLow16Bits) {
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    EXPECT_EQ(FERROX_CPU_SetReg(3, 0xABCD1234), 0);
    EXPECT_EQ(target([](sim::Target &t) { return t.registers()[3]; }), 0x1234);
    EXPECT_EQ(CPU_GetCachedRegister(3), 0x1234);
    EXPECT_EQ(FERROX_CPU_GetReg(3), 0x1234u);
}

TEST_F(TargetSim, StepLeavesTheTargetHaltedAtTheNextPc) {
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    ASSERT_EQ(FERROX_CPU_SetReg(0, 0x0200), 0);
    EXPECT_EQ(FERROX_CPU_Step(), 0);
    EXPECT_EQ(CPU_GetCachedRegister(0), 0x0201);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_HWBP_HIT);
    EXPECT_EQ(state(), sim::Target::State::Monitor);
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_USER);
    EXPECT_EQ(FERROX_CPU_GetReg(0), 0x0201u);
    // A running target is not stepped.
    ASSERT_EQ(FERROX_CPU_Go(), 0);
    EXPECT_EQ(FERROX_CPU_Step(), -1);
    EXPECT_EQ(trace_.count("trace"), 1u);
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Target not halted !"});
}

TEST_F(TargetSim, ResetRestartsARunningTargetIntoItsBootMonitor) {
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    ASSERT_EQ(FERROX_CPU_SetReg(2, 0x5555), 0);
    ASSERT_EQ(FERROX_CPU_Go(), 0);
    clock_->advance(100);
    EXPECT_EQ(FERROX_CPU_Reset(), 0);
    EXPECT_EQ(trace_.count("reset"), 1u);
    EXPECT_EQ(state(), sim::Target::State::Monitor);
    EXPECT_EQ(CPU_GetCachedRegister(0), sim::Target::kBootPc);
    EXPECT_EQ(FERROX_CPU_GetReg(2), 0u);
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_USER);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetSim, PowerOnResetPowerCyclesAProbeSuppliedTarget) {
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    ASSERT_EQ(FERROX_CPU_SetReg(2, 0x5555), 0);
    const std::size_t mark = trace_.size();
    EXPECT_EQ(FERROX_CPU_PowerOnReset(), 0);
    const auto events = trace_.since(mark);
    const auto off = std::find(events.begin(), events.end(), "probe242:0"); // 0xF2, supply off
    ASSERT_NE(off, events.end());
    EXPECT_NE(std::find(off, events.end(), "entry1"), events.end());
    EXPECT_TRUE(supplyOn());
    EXPECT_EQ(state(), sim::Target::State::Monitor);
    EXPECT_EQ(target([](sim::Target &t) { return t.registers()[2]; }), 0); // lost with the supply
    EXPECT_EQ(CPU_IsTargetPoweredDown(), 0);
    EXPECT_EQ(CPU_IsMonitorEntered(), 1);
    EXPECT_EQ(FERROX_CPU_GetReg(2), 0u);
    EXPECT_TRUE(captured().errors.empty());
}

// The close switches a probe-supplied target off: the next open's calls must
// enter the monitor afresh instead of talking to a target that is off.
TEST_F(TargetSim, AfterACloseANewOpenEntersTheMonitorAfresh) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        U8 data[4] = {};
        EXPECT_EQ(FERROX_CPU_GetData(0x10, 4, data), 4);
        EXPECT_EQ(state(), sim::Target::State::Monitor);
        FERROX_Close();
        EXPECT_FALSE(supplyOn());
        ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    }
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(TargetSim, CloseWithoutATargetOperationSendsNothingToTheTarget) {
    const std::size_t mark = trace_.size();
    FERROX_Close();
    EXPECT_TRUE(trace_.since(mark).empty());
}

TEST_F(TargetSim, CloseModes) {
    struct Case {
        U8 mode;
        int result;
        bool powered;
        sim::Target::State state;
    };
    for (const Case c :
         {Case{2, -1, true, sim::Target::State::Monitor}, Case{3, -1, true, sim::Target::State::Monitor},
          Case{0, 0, false, sim::Target::State::Unpowered},
          Case{1, 0, false, sim::Target::State::Unpowered}}) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
        API_Lock("FERROX_Test");
        EXPECT_EQ(pDeviceOps->Close(c.mode), c.result);
        API_Unlock();
        EXPECT_EQ(supplyOn(), c.powered);
        EXPECT_EQ(state(), c.state);
        EXPECT_EQ(CPU_IsTargetTouched(), c.mode >= 2 ? 1 : 0);
    }
    // Through the export: mode 2 leaves the target halted for the next user.
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    FERROX_CloseEx(2);
    EXPECT_TRUE(supplyOn());
    EXPECT_EQ(state(), sim::Target::State::Monitor);
    EXPECT_TRUE(captured().errors.empty());
    EXPECT_TRUE(captured().messageBoxes.empty());
}

class SelfPoweredTargetSim : public TargetSim {
protected:
    static sim::ProbeOptions selfPowered() {
        sim::ProbeOptions o;
        o.selfPowered = true;
        return o;
    }
    SelfPoweredTargetSim() : TargetSim(selfPowered()) {}
};

TEST_F(SelfPoweredTargetSim, CloseLetsATargetWithItsOwnSupplyRunOn) {
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    // Found running and stopped: neither an entry sequence nor a power cycle.
    EXPECT_EQ(trace_.count("stop"), 1u);
    EXPECT_EQ(trace_.count("entry1") + trace_.count("entry8"), 0u);
    EXPECT_EQ(trace_.count("probe242:0"), 1u); // the open's switch-off only
    EXPECT_EQ(state(), sim::Target::State::Monitor);
    FERROX_Close();
    EXPECT_EQ(trace_.count("run"), 1u);
    EXPECT_EQ(state(), sim::Target::State::Running);
}

class ProtectedTargetSim : public TargetSim {
protected:
    static sim::ProbeOptions protectedTarget() {
        sim::ProbeOptions o;
        o.targetProtected = true;
        return o;
    }
    ProtectedTargetSim() : TargetSim(protectedTarget()) {}
};

TEST_F(ProtectedTargetSim, ResetReturns4WithoutTheResetSequence) {
    EXPECT_EQ(FERROX_CPU_Reset(), 4);
    EXPECT_EQ(trace_.count("reset"), 0u);
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Target is protected."});
    EXPECT_EQ(MAIN_GetLastErrorCode(), 4);
}

class NoTargetSim : public TargetSim {
protected:
    static sim::ProbeOptions noTarget() {
        sim::ProbeOptions o;
        o.targetPresent = false;
        return o;
    }
    NoTargetSim() : TargetSim(noTarget()) {}
};

// Nothing answers behind the probe: the entry says so, and nothing claims
// the target is protected.
TEST_F(NoTargetSim, EntryFailsWithNoTargetNotAsProtected) {
    const std::vector<std::string> noTargetText{
        "Could not enter Monitor mode.\nIs a target connected to Quidor?"};
    struct Case {
        const char *what;
        int (*call)();
        int result;
    };
    for (const Case &c :
         {Case{"EnterMonitor", &FERROX_CPU_EnterMonitor, 9}, Case{"Halt", &FERROX_CPU_Halt, 9},
          Case{"PowerOnReset", &FERROX_CPU_PowerOnReset, 9}}) {
        SCOPED_TRACE(c.what);
        captured().errors.clear();
        FERROX_ClrError();
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(captured().errors, noTargetText);
        EXPECT_EQ(MAIN_GetLastErrorCode(), 9);
    }
}

TEST(TargetSimTcp, ExecutionControlOverTcp) {
    plat::ScopedVirtualClock clock(1000);
    sim::Probe probe(*clock);
    ferrox_test::SimTcpServer tcp(probe);
    ASSERT_TRUE(tcp.start());
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), 0);
    EXPECT_EQ(FERROX_CPU_WriteBP(0x0300, 0x40), 0u);
    EXPECT_EQ(FERROX_CPU_Go(), 0);
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_RUNNING);
    clock->advance(2000);
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_HWBP);
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_USER);
    EXPECT_EQ(FERROX_CPU_Step(), 0);
    TAMSA_REGISTERS regs{};
    EXPECT_EQ(FERROX_CPU_GetRegsAll(&regs), 10);
    EXPECT_EQ(regs.PC, 0x0301);
    EXPECT_EQ(FERROX_CPU_SetReg(4, 0x10077), 0);
    EXPECT_EQ(FERROX_CPU_GetReg(4), 0x0077u);
    EXPECT_EQ(FERROX_CPU_Abort(), 0);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_NOT_SENT);
    EXPECT_EQ(FERROX_CPU_GetStatus(0) & 0xD007, 0xD003);
    EXPECT_TRUE(captured().errors.empty());
    FERROX_CloseEx(2);
    EXPECT_TRUE(tcp.withProbe([](sim::Probe &p) { return p.supplyOn(); }));
}

} // namespace

namespace {

// One of the few tests over a real socket: the probe server on a thread of
// its own, the wall clock on both sides.
TEST(TargetSimTcp, OverARealLoopbackSocketOnTheWallClock) {
    sim::Probe probe(plat::realClock());
    ferrox_test::SimTcpServer tcp(probe, ferrox_test::SimTcpServer::Over::Loopback);
    ASSERT_TRUE(tcp.start());
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    const U8 data[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(FERROX_CPU_SetData(0x100, 4, data), 4);
    U8 back[4] = {};
    EXPECT_EQ(FERROX_CPU_GetData(0x100, 4, back), 4);
    EXPECT_EQ(std::vector<U8>(back, back + 4), std::vector<U8>(data, data + 4));
    EXPECT_EQ(FERROX_CPU_IsHalted(), FERROX_HALT_STATE_USER);
    FERROX_Close();
    EXPECT_TRUE(captured().errors.empty());
}

} // namespace
