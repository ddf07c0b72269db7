// Target state kept by the library across calls, and the target supply
// switching that the probe layer and the target code share.
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

// The supply falls below this before a switched-off target counts as off.
enum : U16 { CPU_POWER_OFF_MILLIVOLTS = 800 };

// Switches the target supply with probe command `Command` (0xF2 or 0xF7)
// and, when a probe-supplied target is switched off, waits for its voltage
// to fall. 0 ok, -1 status read or switch failed, -2 the supply did not
// fall, -3 status read failed while waiting. *pAnswer receives the probe's
// answer byte when the switch was answered.
int CPU_SwitchSupply(U8 Command, U8 On, U8 OnlyRecord, U8 *pAnswer);
// The switch of monitor entry (0xF2).
int CPU_PowerDownForEntry(U8 On, U8 OnlyRecord);
// The switch-off at close (0xDC): 0 ok, -1 failed.
int CPU_PowerDownOnClose();
