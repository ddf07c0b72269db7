// Target state flags and the target supply switching.
#include "cpu_state.h"

#include "link.h"
#include "main_log.h"
#include "probe.h"

#include "plat/clock.h"

namespace {

U8 MonitorEntered = 0;
U8 MonitorEntryFailed = 1;
U8 TargetRunning = 0;
U8 TargetPoweredDown = 0;
U8 TargetTouched = 0;
U16 RegisterCacheValid = 0;

constexpr U8 kCmdPowerOffOnClose = 0xDC;
constexpr U8 kCmdSwitchPower = 0xF2;
// A switched-off supply must fall within this many polls of 10 ms.
constexpr int kPowerPolls = 200;
constexpr U32 kPollMs = 10;

} // namespace

U8 CPU_IsMonitorEntered() {
    return MonitorEntered;
}
void CPU_SetMonitorEntered(U8 On) {
    MonitorEntered = On != 0 ? 1 : 0;
}
U8 CPU_IsMonitorEntryFailed() {
    return MonitorEntryFailed;
}
void CPU_SetMonitorEntryFailed(U8 On) {
    MonitorEntryFailed = On != 0 ? 1 : 0;
}
U8 CPU_IsTargetRunning() {
    return TargetRunning;
}
void CPU_SetTargetRunning(U8 On) {
    TargetRunning = On != 0 ? 1 : 0;
}
U8 CPU_IsTargetPoweredDown() {
    return TargetPoweredDown;
}
void CPU_SetTargetPoweredDown(U8 On) {
    TargetPoweredDown = On != 0 ? 1 : 0;
}
U8 CPU_IsTargetTouched() {
    return TargetTouched;
}
void CPU_SetTargetTouched(U8 On) {
    TargetTouched = On != 0 ? 1 : 0;
}

void CPU_InvalidateRegisterCache() {
    RegisterCacheValid = 0;
}
void CPU_MarkRegisterCached(int RegIndex) {
    if (RegIndex >= 0 && RegIndex < 10) {
        RegisterCacheValid = static_cast<U16>(RegisterCacheValid | (1u << RegIndex));
    }
}
void CPU_ForgetRegister(int RegIndex) {
    if (RegIndex >= 0 && RegIndex < 10) {
        RegisterCacheValid = static_cast<U16>(RegisterCacheValid & ~(1u << RegIndex));
    }
}
U8 CPU_IsRegisterCached(int RegIndex) {
    return RegIndex >= 0 && RegIndex < 10 && (RegisterCacheValid & (1u << RegIndex)) != 0 ? 1 : 0;
}

int CPU_SwitchSupply(U8 Command, U8 On, U8 OnlyRecord, U8 *pAnswer) {
    FERROX_HW_STATUS before = {};
    if (EMU_GetHWStatus(&before) != 0) {
        return -1;
    }
    const U8 request[2] = {Command, On};
    U8 answer = 0;
    if (LINK_WriteRead(request, 2, &answer, 1) != 1) {
        return -1;
    }
    if (pAnswer != nullptr) {
        *pAnswer = answer;
    }
    if (before.TargetPowerOn == 0 || On != 0 || before.VTarget <= CPU_POWER_OFF_MILLIVOLTS) {
        return 0;
    }
    int polls = 0;
    FERROX_HW_STATUS now = before;
    while (now.VTarget > CPU_POWER_OFF_MILLIVOLTS) {
        if (polls == kPowerPolls) {
            if (OnlyRecord == 0) {
                MAIN_ReportErrorOnce(
                    "Quidor Hardware problem !\nCould not power down target to enter Monitor-mode.");
            }
            return -2;
        }
        plat::sleepMs(kPollMs);
        ++polls;
        if (EMU_GetHWStatus(&now) != 0) {
            return -3;
        }
    }
    // Give the target as long again as the fall took, so that it is really
    // reset before it is powered again.
    plat::sleepMs(2 * kPollMs * static_cast<U32>(polls));
    return 0;
}

int CPU_PowerDownForEntry(U8 On, U8 OnlyRecord) {
    return CPU_SwitchSupply(kCmdSwitchPower, On, OnlyRecord, nullptr);
}

int CPU_PowerDownOnClose() {
    FERROX_HW_STATUS before = {};
    if (EMU_GetHWStatus(&before) != 0) {
        return -1;
    }
    const U8 request[1] = {kCmdPowerOffOnClose};
    U8 answer = 0;
    if (LINK_WriteRead(request, 1, &answer, 1) != 1) {
        return -1;
    }
    if (before.TargetPowerOn == 0 || before.VTarget <= CPU_POWER_OFF_MILLIVOLTS) {
        return 0;
    }
    FERROX_HW_STATUS now = before;
    for (int round = 0; round < kPowerPolls; ++round) {
        if (EMU_GetHWStatus(&now) != 0) {
            return -1;
        }
        if (now.VTarget <= CPU_POWER_OFF_MILLIVOLTS) {
            return 0;
        }
        plat::sleepMs(kPollMs);
    }
    MAIN_ReportErrorOnce("Quidor Hardware problem !\nCould not power down target when disconnecting.");
    return -1;
}
