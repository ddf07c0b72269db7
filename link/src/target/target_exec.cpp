// Execution control of the target: run, halt, single step, reset, the halt
// state, registers and breakpoints, and what the close does with the
// target.
#include "target.h"

#include "FerroxConst.h"
#include "cpu_state.h"
#include "link.h"
#include "main_log.h"
#include "probe.h"

namespace {

// The C_RUN exchange of Go and of the close: 0 running, -1 refused, else
// the probe status.
int runExchange() {
    CPU_AddCommand(C_RUN, CMD_MODE_TX);
    CPU_AddAnswer(1);
    const int status = CPU_Execute(0, 0, nullptr);
    if (status != 0) {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        return status;
    }
    U16 word = 0xFFFF;
    CPU_NextAnswerWord(&word);
    if (word == TAMSA_STATUS_CODE_OK) {
        CPU_SetTargetRunning(1);
        CPU_SetLastResponse(TAMSA_STATUS_CODE_OK);
        return 0;
    }
    if (word == TAMSA_STATUS_CODE_CMD_ERROR) {
        CPU_SetTargetRunning(0);
        CPU_SetLastResponse(TAMSA_STATUS_CODE_CMD_ERROR);
        return -1;
    }
    CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
    return 0;
}

// The reset-entry exchange: the target restarts into its boot monitor.
// Every failure is reported, except a target that refuses the reset with
// its command error (4): that refusal is silent, with 1 and LastResponse 4.
int resetExchange() {
    CPU_AddResetEntry();
    const U16 entryWord = CPU_ENTRY_WORD;
    CPU_AddData(&entryWord, 1);
    CPU_AddAnswer(3);
    int count = 0;
    const int status = CPU_Execute(1, 0, &count);
    const auto fail = [](int code) {
        MAIN_ReportStatus(code, 0);
        return code;
    };
    if (status != 0) {
        return fail(status);
    }
    const U16 trailer = CPU_GetTrailer();
    if (trailer != 0) {
        return fail(trailer);
    }
    if (count != 4) {
        return fail(7);
    }
    U16 w = 0;
    if (CPU_NextAnswerWord(&w) != 0) { // the entry item's own word
        return fail(-1);
    }
    U16 target = 0;
    if (CPU_NextAnswerWord(&target) != 0) {
        return fail(-1);
    }
    if (target == TAMSA_STATUS_CODE_CMD_ERROR) {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_CMD_ERROR);
        return 1;
    }
    if (target != TAMSA_STATUS_CODE_OK) {
        return fail(2);
    }
    U16 boot = 0;
    if (CPU_NextAnswerWord(&boot) != 0) {
        return fail(-1);
    }
    if (boot != TAMSA_STATUS_CODE_BOOT_MONITOR) {
        return fail(9);
    }
    U16 pc = 0;
    if (CPU_NextAnswerWord(&pc) != 0) {
        return fail(2);
    }
    CPU_StoreRegister(0, pc);
    CPU_SetLastResponse(TAMSA_STATUS_CODE_OK);
    CPU_SetMonitorEntryFailed(0);
    CPU_SetTargetRunning(0);
    CPU_SetMonitorEntered(1);
    return 0;
}

// A failed status-position answer of the long operations: the trailer's
// high byte tells whether a target status word follows.
int nextStatusWord(U16 &word) {
    return CPU_NextAnswerWord(&word);
}

// Executes a request whose one answer word acknowledges it and judges that
// word: 0 when accepted, else 8 (command error), 16 (parameter), 2 (no or
// another word) or the probe status; LastResponse follows. Nothing reported.
int executeAcknowledged() {
    const int status = CPU_Execute(1, 0, nullptr);
    if (status != 0) {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        return status;
    }
    U16 word = 0xFFFF;
    const bool present = CPU_NextAnswerWord(&word) == 0;
    if (present && word == TAMSA_STATUS_CODE_OK) {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_OK);
        return 0;
    }
    if (present && word == TAMSA_STATUS_CODE_CMD_ERROR) {
        CPU_SetLastResponse(word);
        return 8;
    }
    if (present && word == TAMSA_STATUS_CODE_PARAMETER) {
        CPU_SetLastResponse(word);
        return 16;
    }
    CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
    return 2;
}

} // namespace

int CPU_IsHalted() {
    return CPU_GetHaltState(0);
}

int CPU_IsHaltedEx(U8 SuppressErrorOut) {
    return CPU_GetHaltState(SuppressErrorOut);
}

int CPU_Go() {
    if (CPU_GuardStart() != 0) {
        return -1;
    }
    const int r = CPU_EnsureMonitor(1);
    if (CPU_IsMonitorEntryFailed() != 0) {
        MAIN_ReportStatus(9, 0);
        return -1;
    }
    if (r != 0) {
        MAIN_ReportStatus(r, 0);
        return r;
    }
    const int h = CPU_GetHaltState(0);
    if (h == FERROX_HALT_STATE_RUNNING) {
        return 0;
    }
    if (h == FERROX_HALT_STATE_POWEROFF) {
        return FERROX_HALT_STATE_POWEROFF;
    }
    CPU_InvalidateRegisterCache();
    return runExchange();
}

int CPU_HaltTarget(U8 OnlyRecord) {
    int result = CPU_GetHaltState(1);
    CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
    if (result == FERROX_HALT_STATE_RUNNING) {
        int first = -1;
        result = CPU_StopTarget(OnlyRecord, &first);
        if (result == 0) {
            CPU_SetLastResponse(TAMSA_STATUS_CODE_STOP);
            return 0;
        }
        if (result == 2) {
            MAIN_ReportStatus(2, OnlyRecord);
            CPU_SetLastResponse(first);
            return 2;
        }
        if (result == -1 && first == -1) {
            MAIN_ReportStatus(-1, OnlyRecord);
            return -1;
        }
        // A failed execution, or a stop without its PC: tried again below.
    }
    if (result == FERROX_HALT_STATE_POWEROFF || result == FERROX_HALT_STATE_ERROR) {
        // Unreachable or asleep: get it back through the monitor entry.
        CPU_SetMonitorEntered(0);
        CPU_RetryEnterMonitor(1);
        if (CPU_IsMonitorEntered() != 0) {
            return 0;
        }
    }
    const int h2 = CPU_GetHaltState(OnlyRecord);
    return h2 == FERROX_HALT_STATE_POWEROFF || h2 == FERROX_HALT_STATE_ERROR ? h2 : 0;
}

int CPU_Halt() {
    if (CPU_GuardStart() != 0) {
        return 1;
    }
    const int r = CPU_EnsureMonitor(0);
    if (r != 0) {
        MAIN_ReportStatus(r, 0);
        return r;
    }
    FERROX_HW_STATUS hw = {};
    if (EMU_GetHWStatus(&hw) != 0) {
        return 1;
    }
    return CPU_HaltTarget(0) == 0 ? 0 : 1;
}

int CPU_Step() {
    if (CPU_RequireHalted() != 0) {
        return -1;
    }
    CPU_InvalidateRegisterCache();
    CPU_AddCommand(C_TRACE, CMD_MODE_TX);
    CPU_AddAnswer(3);
    const int status = CPU_Execute(1, 1, nullptr);
    if (status == 0) {
        U16 first = 0xFFFF;
        U16 second = 0xFFFF;
        CPU_NextAnswerWord(&first);
        if (first != TAMSA_STATUS_CODE_OK) {
            CPU_SetLastResponse(first);
            MAIN_ReportStatus(2, 0);
            return 1;
        }
        CPU_NextAnswerWord(&second);
        if (second != TAMSA_STATUS_CODE_HWBP_HIT) {
            CPU_SetLastResponse(second);
            MAIN_ReportStatus(2, 0);
            return 1;
        }
        U16 pc = 0;
        if (CPU_NextAnswerWord(&pc) != 0) {
            CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
            MAIN_ReportStatus(2, 0);
            return 1;
        }
        CPU_StoreRegister(0, pc);
        CPU_SetLastResponse(TAMSA_STATUS_CODE_HWBP_HIT);
        return 0;
    }
    if (status == 1) {
        const int detail = CPU_GetTrailer() >> 8;
        U16 w = 0;
        if (detail == 0 || nextStatusWord(w) != 0) {
            CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
            MAIN_ReportStatus(1, 0);
            return 1;
        }
        if (detail == 1) {
            if (w == TAMSA_STATUS_CODE_CMD_ERROR) {
                CPU_SetLastResponse(w);
                return 1;
            }
            if (w == TAMSA_STATUS_CODE_OK) {
                if (CPU_GetHaltState(1) == FERROX_HALT_STATE_POWEROFF) {
                    // The instruction stepped put the target to sleep.
                    CPU_SetLastResponse(TAMSA_STATUS_CODE_OK);
                    return 0;
                }
                CPU_SetLastResponse(w);
                MAIN_ReportStatus(1, 0);
                return 1;
            }
        }
        CPU_SetLastResponse(w);
        MAIN_ReportStatus(1, 0);
        return 1;
    }
    CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
    MAIN_ReportStatus(status, 0);
    return 1;
}

int CPU_Reset() {
    if (CPU_GuardStart() != 0) {
        return -1;
    }
    CPU_SetMonitorEntered(0);
    CPU_RetryEnterMonitor(1);
    U32 status = 0;
    if (CPU_GetDeviceStatus(&status, 0) == 0 && (status & DEV_STAT_MODE_MASK) == DEV_STAT_MODE_PROTECTED) {
        MAIN_ReportStatus(4, 0);
        return 4;
    }
    const int r = CPU_EnsureMonitor(0);
    if (r != 0) {
        if (CPU_IsMonitorEntryFailed() != 0) {
            MAIN_ReportStatus(9, 0);
            return -1;
        }
        MAIN_ReportStatus(r, 0);
        return r;
    }
    FERROX_HW_STATUS hw = {};
    if (EMU_GetHWStatus(&hw) == 0) {
        CPU_HaltTarget(1);
    }
    if (CPU_IsMonitorEntered() == 0) {
        CPU_RetryEnterMonitor(1);
    }
    if (CPU_GetHaltState(0) == FERROX_HALT_STATE_RUNNING) {
        MAIN_ReportStatus(3, 0);
        return 3;
    }
    CPU_InvalidateRegisterCache();
    CPU_SetMonitorEntered(0);
    CPU_SetTargetRunning(0);
    return resetExchange();
}

int CPU_ReadRegisters() {
    CPU_InvalidateRegisterCache();
    CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
    CPU_AddCommand(C_GET_REGS, CMD_MODE_TX);
    CPU_AddAnswer(12);
    const int status = CPU_Execute(1, 0, nullptr);
    int result = status;
    if (status == 0) {
        U16 first = 0xFFFF;
        U16 count = 0;
        result = 2;
        if (CPU_NextAnswerWord(&first) == 0 && first == TAMSA_STATUS_CODE_OK &&
            CPU_NextAnswerWord(&count) == 0 && count == 10) {
            U16 values[10] = {};
            int filled = 0;
            while (filled < 10 && CPU_NextAnswerWord(&values[filled]) == 0) {
                ++filled;
            }
            if (filled == 10) {
                for (int i = 0; i < 10; ++i) {
                    CPU_StoreRegister(i, values[i]);
                }
                CPU_SetLastResponse(TAMSA_STATUS_CODE_OK);
                return 0;
            }
        }
    } else if (status == 1) {
        U16 w = 0;
        if ((CPU_GetTrailer() >> 8) == 0 || nextStatusWord(w) != 0) {
            CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
            result = 1;
        } else if (w == TAMSA_STATUS_CODE_CMD_ERROR) {
            CPU_SetLastResponse(w);
            return -1;
        } else {
            CPU_SetLastResponse(w);
            result = 1;
        }
    }
    MAIN_ReportStatus(result, 0);
    return result;
}

U32 CPU_GetReg(int RegIndex) {
    if (RegIndex < 0 || RegIndex > 9) {
        // The cache has ten entries; nothing is asked of the target.
        MAIN_SetLastErrorCode(16);
        return static_cast<U32>(-1);
    }
    if (CPU_RequireHalted() != 0) {
        return static_cast<U32>(-1);
    }
    if (CPU_ReadRegisters() != 0) {
        return 0;
    }
    MAIN_SetLastErrorCode(CPU_IsRegisterCached(RegIndex) != 0 ? 0 : 8);
    return CPU_GetCachedRegister(RegIndex);
}

int CPU_GetRegsAll(TAMSA_REGISTERS *pRegs) {
    if (CPU_RequireHalted() != 0) {
        return -1;
    }
    if (CPU_ReadRegisters() != 0) {
        MAIN_SetLastErrorCode(8);
        return -1;
    }
    if (pRegs != nullptr) {
        pRegs->PC = CPU_GetCachedRegister(0);
        pRegs->PSW = CPU_GetCachedRegister(1);
        pRegs->R0 = CPU_GetCachedRegister(2);
        pRegs->R1 = CPU_GetCachedRegister(3);
        pRegs->R2 = CPU_GetCachedRegister(4);
        pRegs->R3 = CPU_GetCachedRegister(5);
        pRegs->R4 = CPU_GetCachedRegister(6);
        pRegs->R5 = CPU_GetCachedRegister(7);
        pRegs->R6 = CPU_GetCachedRegister(8);
        pRegs->R7 = CPU_GetCachedRegister(9);
    }
    return 10;
}

int CPU_SetReg(int RegIndex, U32 Data) {
    if (RegIndex < 0 || RegIndex > 9) {
        MAIN_SetLastErrorCode(16);
        return -1;
    }
    if (CPU_RequireHalted() != 0) {
        return -1;
    }
    const U16 value = static_cast<U16>(Data & 0xFFFF);
    CPU_AddCommand(C_SET_REGS, CMD_MODE_TX);
    const U16 words[2] = {static_cast<U16>(RegIndex), value};
    CPU_AddData(words, 2);
    CPU_AddAnswer(1);
    const int result = executeAcknowledged();
    if (result == 0) {
        CPU_StoreRegister(RegIndex, value);
        return 0;
    }
    MAIN_ReportStatus(result, 0);
    if (result != 16) {
        // The register may or may not have been written: forget its value.
        CPU_ForgetRegister(RegIndex);
    }
    return result;
}

U32 CPU_WriteBP(U32 Addr, U32 Flags) {
    if (CPU_RequireHalted() != 0) {
        return static_cast<U32>(-1);
    }
    CPU_AddCommand(C_SET_BP, CMD_MODE_TX);
    const U16 words[2] = {static_cast<U16>(Flags & 0xFFFF), static_cast<U16>(Addr & 0xFFFF)};
    CPU_AddData(words, 2);
    CPU_AddAnswer(1);
    const int result = executeAcknowledged();
    if (result != 0) {
        MAIN_ReportStatus(result, 0);
    }
    return static_cast<U32>(result);
}

int CPU_Close(U8 RunMode) {
    if (MAIN_IsErrorReported() != 0 || LINK_HasCommError() != 0) {
        EMU_ClearErrors(1); // as FERROX_ClrError does; the connection is open
    }
    if (CPU_IsTargetTouched() == 0) {
        return 0; // no target operation ran: nothing to put back
    }
    if (CPU_IsTargetPoweredDown() != 0 || CPU_IsMonitorEntryFailed() != 0) {
        CPU_PowerDownOnClose();
        return 0;
    }
    U32 status = 0;
    if (CPU_GetDeviceStatus(&status, 1) != 0 || (status & DEV_STAT_MODE_MASK) == DEV_STAT_MODE_PROTECTED) {
        CPU_PowerDownOnClose();
        return 0;
    }
    if (RunMode >= 2) {
        return -1; // left powered and halted for whoever comes next
    }
    CPU_SetTargetTouched(0);
    int result = 0;
    FERROX_HW_STATUS hw = {};
    if (EMU_GetHWStatus(&hw) == 0 && hw.TargetPowerOn == 0) {
        result = runExchange(); // a self-powered target runs on
    }
    if (CPU_PowerDownOnClose() != 0) {
        return -1;
    }
    return result;
}
