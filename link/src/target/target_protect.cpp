// What changes or describes the whole device: protection and its key, the
// erase, the target's own signatures and its version items.
#include "target.h"

#include "FerroxConst.h"
#include "cpu_state.h"
#include "main_log.h"

namespace {

constexpr U16 kEraseCode[8] = TAMSA_ERASE_ACCESS_CODE;
constexpr int kKeyDigits = 32;
// Answer time limits of the long target operations.
constexpr U32 kEraseTimeout = 120000;
constexpr U32 kSignTimeout = 600000;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return 0; // anything else counts as a 0 digit
}

// Leaves the monitor and enters it afresh: ten silent passes and one with
// OnlyRecord. False when no pass reached the monitor.
bool freshMonitorEntry(U8 OnlyRecord) {
    CPU_SetMonitorEntered(0);
    return CPU_RetryEnterMonitor(OnlyRecord) == 0 || CPU_IsMonitorEntryFailed() == 0;
}

// One command, its one-word data items, one answer word; no length check.
// *pWord receives the answer word; false when none came.
bool commandWithWords(U16 Command, const U16 *pWords, int N, U8 OnlyRecord, int &status, U16 &word) {
    CPU_AddCommand(Command, CMD_MODE_TX);
    for (int i = 0; i < N; ++i) {
        CPU_AddData(&pWords[i], 1);
    }
    CPU_AddAnswer(1);
    int count = 0;
    status = CPU_Execute(OnlyRecord, 0, &count);
    return status == 0 && count >= 1 && CPU_NextAnswerWord(&word) == 0;
}

} // namespace

void CPU_KeyWords(const char *sHexKey, U16 (&words)[8]) {
    for (int group = 0; group < 8; ++group) {
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            value = value << 4 | static_cast<unsigned>(hexDigit(sHexKey[group * 4 + i]));
        }
        words[7 - group] = static_cast<U16>(value); // last group first
    }
}

int CPU_IsProtected() {
    if (CPU_RequireMonitorHalted() != 0) {
        return -1;
    }
    U32 status = 0;
    if (CPU_GetDeviceStatus(&status, 1) != 0) {
        return -1;
    }
    return (status & DEV_STAT_MODE_MASK) == DEV_STAT_MODE_PROTECTED ? 1 : 0;
}

int CPU_Protect() {
    if (CPU_GuardStart() != 0) {
        return -2;
    }
    if (!freshMonitorEntry(0)) {
        MAIN_ReportStatus(9, 0);
        return -2;
    }
    U32 devStatus = 0;
    int status = 0;
    U16 w = 0;
    int result = 0;
    if (CPU_GetDeviceStatus(&devStatus, 1) == 0 &&
        (devStatus & DEV_STAT_MODE_MASK) == DEV_STAT_MODE_PROTECTED) {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        result = -1; // already protected: no protect command
    } else if (commandWithWords(C_PROTECT, nullptr, 0, 1, status, w)) {
        CPU_SetLastResponse(w);
        result = w == TAMSA_STATUS_CODE_CMD_ERROR || w == TAMSA_STATUS_CODE_NV_ERROR ? -2 : 0;
    } else if (status != 0) {
        MAIN_ReportStatus(status, 0);
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        result = status;
    } else {
        MAIN_ReportStatus(1, 0);
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        result = 1;
    }
    // End in the monitor under the new protection state.
    freshMonitorEntry(0);
    return result;
}

int CPU_Unprotect(const char *sHexKey) {
    // The key is read digit by digit: a short text is refused, not overrun.
    bool complete = sHexKey != nullptr;
    for (int i = 0; complete && i < kKeyDigits; ++i) {
        complete = sHexKey[i] != '\0';
    }
    if (!complete) {
        MAIN_SetLastErrorCode(16);
        return -1;
    }
    if (CPU_GuardStart() != 0) {
        return -1;
    }
    if (!freshMonitorEntry(1)) {
        MAIN_ReportStatus(9, 0);
        return -1;
    }
    U16 key[8] = {};
    CPU_KeyWords(sHexKey, key);
    int status = 0;
    U16 w = 0;
    if (!commandWithWords(C_UNPROTECT, key, 8, 0, status, w)) {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        if (status != 0) {
            return status; // reported by the execution
        }
        MAIN_ReportStatus(1, 0);
        return 1;
    }
    CPU_SetLastResponse(w);
    if (w == TAMSA_STATUS_CODE_OK) {
        return 0;
    }
    if (w == TAMSA_STATUS_CODE_CMD_ERROR || w == TAMSA_STATUS_CODE_PARAMETER ||
        w == TAMSA_STATUS_CODE_NV_ERROR) {
        return -1;
    }
    MAIN_ReportStatus(2, 0);
    return 2;
}

int CPU_Erase() {
    if (!freshMonitorEntry(1)) {
        MAIN_ReportStatus(9, 0);
        return -1;
    }
    CPU_SetAnswerTimeout(kEraseTimeout);
    int status = 0;
    U16 w = 0;
    int result = 0;
    if (commandWithWords(C_ERASE, kEraseCode, 8, 0, status, w)) {
        CPU_SetLastResponse(w);
        if (w == TAMSA_STATUS_CODE_CMD_ERROR || w == TAMSA_STATUS_CODE_NV_ERROR) {
            result = -1;
        } else if (w != TAMSA_STATUS_CODE_OK) {
            result = 2;
        }
    } else {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        result = status != 0 ? status : 1;
    }
    // The erased target boots into its monitor again.
    freshMonitorEntry(1);
    if (result > 0) {
        MAIN_ReportStatus(result, 0); // a refusal (-1) stays silent
    }
    CPU_SetAnswerTimeout(0);
    return result;
}

int CPU_CalcSign(int Instance, int NumBytes, U8 *pData) {
    if (NumBytes > 0 && pData == nullptr) {
        MAIN_SetLastErrorCode(16);
        return -1;
    }
    if (CPU_RequireMonitor() != 0) {
        return -1;
    }
    CPU_SetAnswerTimeout(kSignTimeout);
    const U16 instance = static_cast<U16>(Instance & 0xFFFF);
    CPU_AddCommand(C_CALC_SIGN, CMD_MODE_TX);
    CPU_AddData(&instance, 1);
    CPU_AddAnswer(3);
    const int status = CPU_Execute(1, 0, nullptr);
    int result = -1;
    if (status == 0) {
        U16 first = 0xFFFF;
        U16 hi = 0;
        U16 lo = 0;
        const bool gotFirst = CPU_NextAnswerWord(&first) == 0;
        const bool whole = gotFirst && CPU_NextAnswerWord(&hi) == 0 && CPU_NextAnswerWord(&lo) == 0;
        if (!whole || first != TAMSA_STATUS_CODE_OK) {
            // A status word other than 0 is the target's response; an answer
            // that ended early is no valid response at all.
            CPU_SetLastResponse(gotFirst && first != TAMSA_STATUS_CODE_OK ? first
                                                                          : TAMSA_STATUS_CODE_INVALID);
            MAIN_ReportStatus(2, 0);
        } else {
            const U8 bytes[4] = {static_cast<U8>(lo & 0xFF), static_cast<U8>(lo >> 8),
                                 static_cast<U8>(hi & 0xFF), static_cast<U8>(hi >> 8)};
            for (int i = 0; i < NumBytes && i < 4; ++i) {
                pData[i] = bytes[i];
            }
            CPU_SetLastResponse(TAMSA_STATUS_CODE_OK);
            result = 4;
        }
    } else if (status == 1) {
        U16 w = 0;
        if ((CPU_GetTrailer() >> 8) == 0 || CPU_NextAnswerWord(&w) != 0) {
            CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
            MAIN_ReportStatus(1, 0);
        } else {
            CPU_SetLastResponse(w);
            if (w != 0 && w != TAMSA_STATUS_CODE_CMD_ERROR && w != TAMSA_STATUS_CODE_PARAMETER) {
                MAIN_ReportStatus(1, 0);
            }
        }
    } else {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        MAIN_ReportStatus(status, 0);
    }
    CPU_SetAnswerTimeout(0);
    return result;
}

int CPU_GetVersion(U32 *pData) {
    if (CPU_RequireMonitor() != 0) {
        return -1;
    }
    CPU_AddCommand(C_GET_VERSION, CMD_MODE_TX);
    CPU_AddAnswer(1);
    U16 n = 0;
    if (CPU_Execute(0, 1, nullptr) != 0 || CPU_NextAnswerWord(&n) != 0) {
        return -1;
    }
    for (U16 i = 0; i < n; ++i) {
        CPU_AddAnswer(2);
        U16 id = 0;
        U16 version = 0;
        if (CPU_Execute(0, 1, nullptr) != 0 || CPU_NextAnswerWord(&id) != 0 ||
            CPU_NextAnswerWord(&version) != 0) {
            return -1;
        }
        if (pData != nullptr) {
            pData[i] = static_cast<U32>(version) << 16 | id;
        }
    }
    return n;
}
