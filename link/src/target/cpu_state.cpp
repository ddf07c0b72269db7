// Target state flags and the target supply switching.
#include "cpu_state.h"

#include "main_log.h"
#include "probe.h"

namespace {

// The target flags and the register cache's validity, in one place.
struct State {
    U8 MonitorEntered = 0;
    U8 MonitorEntryFailed = 1;
    U8 TargetRunning = 0;
    U8 TargetPoweredDown = 0;
    U8 TargetTouched = 0;
    U16 RegisterCacheValid = 0;
};
State g;

// A target whose supply the probe switched off is out of its monitor mode
// and no longer runs: a later entry must start afresh (after a close and a
// new open too).
void lostProbeSupply(const FERROX_HW_STATUS &before) {
    if (before.TargetPowerOn == 1) {
        g.MonitorEntered = 0;
        g.TargetRunning = 0;
    }
}

// The supply switches of slots 40 and 41: the same steps, their own command.
int switchSupply(U8 Command, U8 On, const char *sStatusError) {
    FERROX_HW_STATUS status = {};
    const int r = EMU_GetHWStatus(&status);
    if (r != 0) {
        MAIN_ReportErrorOnce(sStatusError);
        return r;
    }
    if (status.TargetPowerOn == 1 && On == 0 && g.TargetTouched != 0) {
        CPU_InvalidateRegisterCache();
    }
    U8 answer = 0;
    int result = EMU_SwitchSupply(Command, On, 0, &answer, nullptr);
    if (On == 0 && status.TargetPowerOn == 1) {
        g.MonitorEntered = 0;
        g.TargetRunning = 0;
    }
    g.TargetPoweredDown = On == 0 ? 1 : 0;
    if (result == 0 && Command == EMU_CMD_SWITCH_POWER_EX) {
        result = answer; // the applications read 1 and 2 as their reasons
    }
    return result & 0xFF;
}

} // namespace

U8 CPU_IsMonitorEntered() {
    return g.MonitorEntered;
}
void CPU_SetMonitorEntered(U8 On) {
    g.MonitorEntered = On != 0 ? 1 : 0;
}
U8 CPU_IsMonitorEntryFailed() {
    return g.MonitorEntryFailed;
}
void CPU_SetMonitorEntryFailed(U8 On) {
    g.MonitorEntryFailed = On != 0 ? 1 : 0;
}
U8 CPU_IsTargetRunning() {
    return g.TargetRunning;
}
void CPU_SetTargetRunning(U8 On) {
    g.TargetRunning = On != 0 ? 1 : 0;
}
U8 CPU_IsTargetPoweredDown() {
    return g.TargetPoweredDown;
}
void CPU_SetTargetPoweredDown(U8 On) {
    g.TargetPoweredDown = On != 0 ? 1 : 0;
}
U8 CPU_IsTargetTouched() {
    return g.TargetTouched;
}
void CPU_SetTargetTouched(U8 On) {
    g.TargetTouched = On != 0 ? 1 : 0;
}

void CPU_InvalidateRegisterCache() {
    g.RegisterCacheValid = 0;
}
void CPU_MarkRegisterCached(int RegIndex) {
    if (RegIndex >= 0 && RegIndex < 10) {
        g.RegisterCacheValid = static_cast<U16>(g.RegisterCacheValid | (1u << RegIndex));
    }
}
void CPU_ForgetRegister(int RegIndex) {
    if (RegIndex >= 0 && RegIndex < 10) {
        g.RegisterCacheValid = static_cast<U16>(g.RegisterCacheValid & ~(1u << RegIndex));
    }
}
U8 CPU_IsRegisterCached(int RegIndex) {
    return RegIndex >= 0 && RegIndex < 10 && (g.RegisterCacheValid & (1u << RegIndex)) != 0 ? 1 : 0;
}

int CPU_PowerDownForEntry(U8 On, U8 OnlyRecord) {
    FERROX_HW_STATUS before = {};
    const int r = EMU_SwitchSupply(EMU_CMD_SWITCH_POWER, On, OnlyRecord, nullptr, &before);
    if (On == 0) {
        lostProbeSupply(before);
    }
    return r;
}

int CPU_PowerDownOnClose() {
    FERROX_HW_STATUS before = {};
    const int r = EMU_PowerOffAtClose(&before);
    lostProbeSupply(before);
    return r;
}

int CPU_SwitchPower(U8 On) {
    return switchSupply(EMU_CMD_SWITCH_POWER, On,
                        "Error during TAMSA_SwitchPower, could not read Quidor hardware status ");
}

int CPU_SwitchPowerEx(U8 On) {
    return switchSupply(EMU_CMD_SWITCH_POWER_EX, On,
                        "Error during TAMSA_SwitchPowerEx, could not read Quidor hardware status ");
}

void CPU_ResetFlags() {
    g = State{};
}
