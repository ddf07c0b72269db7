// Target state kept by the library across calls, and the target supply
// switching together with what it does to that state.
#pragma once

#include "Ferrox.h"

// The process-wide target flags. They start with the library and are not
// reset by an open.
U8 CPU_IsMonitorEntered();
void CPU_SetMonitorEntered(U8 On);
U8 CPU_IsMonitorEntryFailed();
void CPU_SetMonitorEntryFailed(U8 On);
U8 CPU_IsTargetRunning();
void CPU_SetTargetRunning(U8 On);
U8 CPU_IsTargetPoweredDown();
void CPU_SetTargetPoweredDown(U8 On);
U8 CPU_IsTargetTouched();
void CPU_SetTargetTouched(U8 On);

// The register cache's validity: one bit per register index 0..9.
void CPU_InvalidateRegisterCache();
void CPU_MarkRegisterCached(int RegIndex);
U8 CPU_IsRegisterCached(int RegIndex);
void CPU_ForgetRegister(int RegIndex);

// The switch of monitor entry (0xF2), with the wait for a probe-supplied
// target's voltage to fall.
int CPU_PowerDownForEntry(U8 On, U8 OnlyRecord);
// The switch-off at close (0xDC): 0 ok, -1 failed.
int CPU_PowerDownOnClose();
// Device operations 40 and 41: the supply switched at the caller's word,
// and what that does to the target state (a probe-supplied target switched
// off loses its monitor mode, its registers and its run; every call says
// whether the target is left powered down).
int CPU_SwitchPower(U8 On);
int CPU_SwitchPowerEx(U8 On);

// Back to the state at load.
void CPU_ResetFlags();
