// The target request (probe command 0xCD) and its answer, the target state
// the library keeps, the monitor entry with its power cycling, the guards,
// and the target operations that are little more than one request.
#include "target.h"

#include "FerroxConst.h"
#include "cpu_state.h"
#include "link.h"
#include "main_log.h"
#include "probe.h"

#include "plat/clock.h"

#include <cstring>

namespace {

// The request and answer buffers and the target request's state, in one
// place.
struct State {
    U8 Request[CPU_REQUEST_BYTES] = {};
    int WritePos = 0; // 0: no request open
    int RequestWords = 0;
    int AnswerWords = 0; // R: answer words the items ask for
    bool RequestSpoilt = false;

    U8 Answer[CPU_ANSWER_BYTES] = {};
    int AnswerCount = 0;
    int AnswerCursor = 0;
    U16 Trailer = 0;

    int LastResponse = TAMSA_STATUS_CODE_NA;
    U8 EntryPassCount = 2;
    U16 RegisterValues[10] = {};
};
State g;

constexpr U8 kCmdLinkSetup = 0xF1;
constexpr U8 kCmdAnswerTimeout = 0xF4;
constexpr U16 kPowerOffMillivolts = 1800;
constexpr int kSilentPasses = 10;
constexpr U16 kEntryWord = CPU_ENTRY_WORD;

void putWord(U16 w) {
    g.Request[g.WritePos] = static_cast<U8>(w & 0xFF);
    g.Request[g.WritePos + 1] = static_cast<U8>(w >> 8);
    g.WritePos += 2;
}

U16 getWord(const U8 *p) {
    return static_cast<U16>(p[0] | p[1] << 8);
}

// Room for an item of `words` request words asking for `answers` words. An
// item that does not fit spoils the request instead of cutting it short.
bool fits(int words, int answers) {
    CPU_BeginRequest();
    if (words < 0 || answers < 0 || words > CPU_MAX_REQUEST_WORDS - g.RequestWords ||
        answers > CPU_MAX_ANSWER_WORDS - g.AnswerWords) {
        g.RequestSpoilt = true;
        return false;
    }
    return true;
}

// The target's power-off state: clock line low, data line high, supplied.
bool inPowerOffState(const FERROX_HW_STATUS &s) {
    return s.SCL == 0 && s.SDA != 0 && s.VTarget > kPowerOffMillivolts;
}

bool deviceProtected(U32 status) {
    return (status & DEV_STAT_MODE_MASK) == DEV_STAT_MODE_PROTECTED;
}

void monitorEstablished() {
    CPU_SetMonitorEntered(1);
    CPU_SetMonitorEntryFailed(0);
}

// Entry sequence A (p = 8, break into a running target) or B (p = 1, the
// power-up entry).
int entrySequence(U16 p, U8 OnlyRecord) {
    if (CPU_IsMonitorEntered() != 0) {
        return 0;
    }
    const U8 setup[2] = {kCmdLinkSetup, 2};
    U8 ignored = 0;
    LINK_WriteRead(setup, 2, &ignored, 1);

    CPU_AddEntry(p);
    CPU_AddData(&kEntryWord, 1);
    CPU_AddAnswer(2);
    int count = 0;
    const int status = CPU_Execute(1, 0, &count);
    int result = 0;
    if (status != 0 || g.Trailer != 0 || count != 3) {
        result = 9;
    } else {
        // The entry item's own word and the target's status go unexamined;
        // the third word is the PC.
        U16 skipped[2] = {};
        U16 pc = 0;
        if (CPU_NextAnswerWord(&skipped[0]) != 0 || CPU_NextAnswerWord(&skipped[1]) != 0 ||
            CPU_NextAnswerWord(&pc) != 0) {
            result = -1;
        } else {
            CPU_StoreRegister(0, pc);
        }
    }
    if (result == 0) {
        monitorEstablished();
        return 0;
    }
    MAIN_ReportStatus(result, OnlyRecord);
    return result;
}

// One pass of the monitor entry (steps 1 to 9 of a pass; the caller
// checks the device and decides on another pass).
int entryPass(U8 OnlyRecord, bool &done) {
    done = false;
    if (CPU_IsMonitorEntered() != 0) {
        CPU_SetMonitorEntryFailed(0);
        done = true;
        return 0;
    }
    CPU_SetMonitorEntryFailed(1);
    CPU_SetTargetTouched(1);
    FERROX_HW_STATUS hw = {};
    if (EMU_GetHWStatus(&hw) != 0) {
        done = true;
        return -3;
    }
    if (hw.VTarget <= kPowerOffMillivolts) {
        return entrySequence(1, OnlyRecord); // no supply: power-up entry
    }
    const bool external = hw.TargetPowerOn == 0;
    if (hw.SCL == 1) {
        // The target may be in the monitor already, or running.
        const int h = CPU_GetHaltState(1);
        if (h == FERROX_HALT_STATE_HWBP || h == FERROX_HALT_STATE_SWBP || h == FERROX_HALT_STATE_UNKNOWN ||
            h == FERROX_HALT_STATE_USER) {
            monitorEstablished();
            done = true;
            return 0;
        }
        if (h == FERROX_HALT_STATE_RUNNING || h == FERROX_HALT_STATE_ERROR) {
            const int r = CPU_StopTarget(1, nullptr);
            if (r == 0) {
                done = true;
                return 0;
            }
            if (r == 2 || r == -1) {
                MAIN_ReportStatus(r, OnlyRecord);
            }
        }
    }
    int result = 0;
    if (hw.SCL == 0) {
        result = entrySequence(8, OnlyRecord);
        if (result == 0 || external) {
            return result;
        }
    } else if (external) {
        return entrySequence(1, OnlyRecord);
    }
    // A probe-supplied target that does not answer is power-cycled into
    // its boot monitor.
    CPU_PowerDownForEntry(0, OnlyRecord);
    return entrySequence(1, OnlyRecord);
}

// Ten silent passes, then one with the caller's OnlyRecord.
int retryEntry(U8 OnlyRecord) {
    int r = 0;
    for (int pass = 0; pass < kSilentPasses; ++pass) {
        r = CPU_TryEnterMonitor(1);
        if (r == 0) {
            return 0;
        }
    }
    return CPU_TryEnterMonitor(OnlyRecord);
}

} // namespace

// ------------------------------------------------------ request and answer

void CPU_BeginRequest() {
    if (g.WritePos != 0) {
        return;
    }
    std::memset(g.Request, 0, sizeof g.Request);
    g.Request[0] = CPU_REQUEST_COMMAND;
    g.RequestWords = 0;
    g.AnswerWords = 0;
    g.RequestSpoilt = false;
    g.WritePos = 3;
}

int CPU_AddCommand(U16 Code, U16 Mode) {
    if (!fits(4, 0)) {
        return -1;
    }
    putWord(0x0100);
    putWord(0x0001);
    putWord(Code);
    putWord(Mode);
    g.RequestWords += 4;
    return 0;
}

int CPU_AddData(const U16 *pWords, int N) {
    if (N < 0 || N > CPU_MAX_REQUEST_WORDS || (N > 0 && pWords == nullptr) || !fits(N + 2, 0)) {
        g.RequestSpoilt = true;
        return -1;
    }
    putWord(0x0000);
    putWord(static_cast<U16>(N));
    for (int i = 0; i < N; ++i) {
        putWord(pWords[i]);
    }
    g.RequestWords += N + 2;
    return 0;
}

int CPU_AddBytes(const U8 *pBytes, int NumBytes) {
    const int n = NumBytes > 0 ? NumBytes / 2 + NumBytes % 2 : 0;
    if ((NumBytes > 0 && pBytes == nullptr) || NumBytes < 0 || !fits(n + 2, 0)) {
        g.RequestSpoilt = true;
        return -1;
    }
    putWord(0x0000);
    putWord(static_cast<U16>(n));
    for (int i = 0; i < n; ++i) {
        const U8 lo = pBytes[2 * std::size_t(i)];
        const U8 hi = 2 * i + 1 < NumBytes ? pBytes[2 * i + 1] : 0;
        putWord(static_cast<U16>(lo | hi << 8));
    }
    g.RequestWords += n + 2;
    return 0;
}

int CPU_AddAnswer(int N) {
    if (!fits(2, N)) {
        return -1;
    }
    putWord(0x0500);
    putWord(static_cast<U16>(N));
    g.RequestWords += 2;
    g.AnswerWords += N;
    return 0;
}

int CPU_AddEntry(U16 p) {
    if (!fits(5, 1)) {
        return -1;
    }
    putWord(0x0200);
    putWord(p);
    putWord(0x0000);
    putWord(0x0708);
    putWord(0x0032);
    g.RequestWords += 5;
    g.AnswerWords += 1;
    return 0;
}

int CPU_AddResetEntry() {
    if (!fits(6, 1)) {
        return -1;
    }
    putWord(0x0800);
    putWord(0x000F);
    putWord(0x0008);
    putWord(0x0000);
    putWord(0x0708);
    putWord(0x0032);
    g.RequestWords += 6;
    g.AnswerWords += 1;
    return 0;
}

int CPU_Execute(U8 OnlyRecord, U8 CheckLength, int *pAnswerCount) {
    if (g.RequestSpoilt) {
        // Half a request could leave the target waiting for words that
        // never come; nothing of it is sent.
        g.WritePos = 0;
        g.RequestSpoilt = false;
        return -1;
    }
    if (g.RequestWords == 0) {
        g.WritePos = 0;
        return 0;
    }
    g.Request[1] = static_cast<U8>(g.RequestWords & 0xFF);
    g.Request[2] = static_cast<U8>(g.RequestWords >> 8);
    std::memset(g.Answer, 0, sizeof g.Answer);
    g.AnswerCursor = 0;
    g.AnswerCount = 0;
    g.Trailer = 0;
    // The probe answers with the words it collected and the trailer: an
    // answer shorter than asked for is the target's doing, not the link's.
    const int got = LINK_WriteReadUpTo(g.Request, 2 * g.RequestWords + 3, g.Answer, 2 * g.AnswerWords + 2, 2);
    g.WritePos = 0;
    const int asked = g.AnswerWords;
    g.RequestWords = 0;
    g.AnswerWords = 0;
    if (got < 2) {
        MAIN_ReportStatus(7, OnlyRecord);
        return 7;
    }
    const int n = (got - 2) / 2;
    g.AnswerCount = n;
    if (pAnswerCount != nullptr) {
        *pAnswerCount = n;
    }
    g.Trailer = getWord(g.Answer + 2 * std::size_t(n));
    if (n != asked && CheckLength != 0) {
        MAIN_ReportStatus(1, OnlyRecord);
        return 1;
    }
    const int status = g.Trailer & 0xFF;
    MAIN_ReportStatus(status, OnlyRecord);
    return status;
}

int CPU_NextAnswerWord(U16 *pWord) {
    if (g.AnswerCursor >= g.AnswerCount) {
        return -1;
    }
    *pWord = getWord(g.Answer + 2 * std::size_t(g.AnswerCursor));
    ++g.AnswerCursor;
    return 0;
}

U16 CPU_GetTrailer() {
    return g.Trailer;
}
const U8 *CPU_GetRequestBuffer() {
    return g.Request;
}
int CPU_GetRequestPosition() {
    return g.WritePos;
}

// ------------------------------------------------------------------ state

int CPU_GetLastResponse() {
    return g.LastResponse;
}
void CPU_SetLastResponse(int Value) {
    g.LastResponse = Value;
}
U8 CPU_GetEntryPassCount() {
    return g.EntryPassCount;
}

void CPU_StoreRegister(int RegIndex, U16 Value) {
    if (RegIndex >= 0 && RegIndex < 10) {
        g.RegisterValues[RegIndex] = Value;
        CPU_MarkRegisterCached(RegIndex);
    }
}
U16 CPU_GetCachedRegister(int RegIndex) {
    return RegIndex >= 0 && RegIndex < 10 ? g.RegisterValues[RegIndex] : 0;
}

// ------------------------------------------------------ queries and entry

int CPU_GetDeviceStatus(U32 *pStatus, U8 OnlyRecord) {
    CPU_AddCommand(C_GET_DEV_STAT, CMD_MODE_RX_TX);
    CPU_AddAnswer(1);
    int count = 0;
    const int status = CPU_Execute(OnlyRecord, 0, &count);
    if (status != 0) {
        return status;
    }
    U16 word = 0;
    if (count != 1 || CPU_NextAnswerWord(&word) != 0) {
        MAIN_ReportStatus(7, OnlyRecord);
        return 7;
    }
    *pStatus = word;
    return 0;
}

int CPU_GetHaltState(U8 OnlyRecord) {
    FERROX_HW_STATUS hw = {};
    if (EMU_GetHWStatus(&hw) != 0) {
        return FERROX_HALT_STATE_ERROR;
    }
    if (inPowerOffState(hw)) {
        return FERROX_HALT_STATE_POWEROFF;
    }
    if (CPU_IsTargetRunning() != 0) {
        // A breakpoint hit leaves its notification in the probe.
        CPU_AddAnswer(2);
        if (CPU_Execute(1, 1, nullptr) == 0) {
            U16 code = 0;
            U16 pc = 0;
            if (CPU_NextAnswerWord(&code) == 0 && CPU_NextAnswerWord(&pc) == 0 &&
                (code == TAMSA_STATUS_CODE_HWBP_HIT || code == TAMSA_STATUS_CODE_SWBP_HIT)) {
                CPU_SetTargetRunning(0);
                CPU_StoreRegister(0, pc);
                return code == TAMSA_STATUS_CODE_HWBP_HIT ? FERROX_HALT_STATE_HWBP : FERROX_HALT_STATE_SWBP;
            }
        }
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (EMU_GetHWStatus(&hw) != 0) {
            return FERROX_HALT_STATE_ERROR;
        }
        if (inPowerOffState(hw)) {
            return FERROX_HALT_STATE_POWEROFF;
        }
        U32 word = 0;
        if (CPU_GetDeviceStatus(&word, OnlyRecord) != 0) {
            MAIN_ReportStatus(-3, OnlyRecord);
            continue;
        }
        if ((word & DEV_STAT_VALID_MASK) == DEV_STAT_VALID_MASK) {
            if ((word & DEV_STAT_MONITOR) != 0) {
                CPU_SetTargetRunning(0);
                return FERROX_HALT_STATE_USER;
            }
            CPU_SetTargetRunning(1);
            return FERROX_HALT_STATE_RUNNING;
        }
    }
    return FERROX_HALT_STATE_ERROR;
}

int CPU_StopTarget(U8 OnlyRecord, int *pFirst) {
    if (pFirst != nullptr) {
        *pFirst = -1;
    }
    CPU_AddCommand(C_STOP, CMD_MODE_TX);
    CPU_AddAnswer(2);
    const int status = CPU_Execute(OnlyRecord, 0, nullptr);
    if (status != 0) {
        return status;
    }
    U16 first = 0;
    if (CPU_NextAnswerWord(&first) != 0) {
        return -1;
    }
    if (pFirst != nullptr) {
        *pFirst = first;
    }
    if (first != TAMSA_STATUS_CODE_STOP) {
        return 2;
    }
    U16 pc = 0;
    if (CPU_NextAnswerWord(&pc) != 0) {
        return -1;
    }
    CPU_StoreRegister(0, pc);
    monitorEstablished();
    return 0;
}

int CPU_SetAnswerTimeout(U32 Value) {
    const U8 request[5] = {kCmdAnswerTimeout, static_cast<U8>(Value & 0xFF),
                           static_cast<U8>((Value >> 8) & 0xFF), static_cast<U8>((Value >> 16) & 0xFF),
                           static_cast<U8>(Value >> 24)};
    U8 answer = 0;
    if (LINK_WriteRead(request, 5, &answer, 1) != 1) {
        return -1;
    }
    return answer;
}

int CPU_TryEnterMonitor(U8 OnlyRecord) {
    for (;;) {
        bool done = false;
        const int result = entryPass(OnlyRecord, done);
        if (done) {
            return result;
        }
        if (g.EntryPassCount > 0) {
            --g.EntryPassCount;
        }
        // Only a target that says it is protected ends the pass with 4
        // ("Target is protected." is for the caller to tell); a status that
        // cannot be read keeps the pass's own result.
        U32 status = 0;
        if (CPU_GetDeviceStatus(&status, 1) == 0 && deviceProtected(status)) {
            return 4;
        }
        if (g.EntryPassCount == 0) {
            return result;
        }
    }
}

int CPU_EnsureMonitor(U8 OnlyRecord) {
    CPU_SetTargetTouched(1);
    if (CPU_IsMonitorEntered() != 0) {
        return 0;
    }
    return retryEntry(OnlyRecord);
}

int CPU_RetryEnterMonitor(U8 OnlyRecord) {
    return retryEntry(OnlyRecord);
}

int CPU_GuardStart() {
    if (CPU_IsTargetPoweredDown() != 0) {
        MAIN_ReportStatus(13, 0);
        return -1;
    }
    if (MAIN_IsErrorReported() != 0) {
        return -1; // the pending error says it all
    }
    return 0;
}

int CPU_RequireMonitor() {
    if (CPU_GuardStart() != 0) {
        return -1;
    }
    if (CPU_IsMonitorEntryFailed() != 0) {
        MAIN_ReportStatus(9, 0);
        return -1;
    }
    return 0;
}

int CPU_RequireMonitorHalted() {
    if (CPU_GuardStart() != 0) {
        return -1;
    }
    int r = CPU_EnsureMonitor(0);
    if (r == 0) {
        const int h = CPU_GetHaltState(0);
        if (h == FERROX_HALT_STATE_RUNNING || h == FERROX_HALT_STATE_ERROR ||
            h == FERROX_HALT_STATE_POWEROFF) {
            r = 6;
        }
    }
    if (r != 0) {
        MAIN_ReportStatus(r, 0);
        return -1;
    }
    return 0;
}

int CPU_RequireHalted() {
    if (CPU_RequireMonitorHalted() != 0) {
        return -1;
    }
    if (CPU_IsMonitorEntryFailed() != 0) {
        MAIN_ReportStatus(9, 0);
        return -1;
    }
    U32 status = 0;
    if (CPU_GetDeviceStatus(&status, 1) != 0 || deviceProtected(status)) {
        MAIN_ReportStatus(4, 0);
        return -1;
    }
    return 0;
}

// --------------------------------------------------------- the operations

int CPU_SendCommand(U32 Command, U32 Mode) {
    if (Mode == 0) {
        return 16;
    }
    CPU_AddCommand(static_cast<U16>(Command & 0xFFFF), static_cast<U16>(Mode & 0xFFFF));
    return CPU_Execute(1, 0, nullptr);
}

int CPU_SendData(U32 Data) {
    const U16 word = static_cast<U16>(Data & 0xFFFF);
    CPU_AddData(&word, 1);
    return CPU_Execute(1, 0, nullptr);
}

int CPU_SetBaud(U32 Speed) {
    if (CPU_GuardStart() != 0 || Speed > 1) {
        return -1;
    }
    CPU_AddCommand(static_cast<U16>(C_SET_BAUD_RATE + Speed), CMD_MODE_TX);
    return CPU_Execute(0, 0, nullptr);
}

int CPU_GetLastResponseOp() {
    return g.LastResponse;
}

int CPU_Abort() {
    CPU_AddCommand(C_ABORT, CMD_MODE_TX);
    CPU_AddAnswer(1);
    const int status = CPU_Execute(1, 1, nullptr);
    if (status == 1) {
        g.LastResponse = TAMSA_STATUS_CODE_NOT_SENT; // nothing was running to abort
        return 0;
    }
    if (status != 0) {
        g.LastResponse = TAMSA_STATUS_CODE_INVALID;
        MAIN_ReportStatus(status, 0);
        return status;
    }
    U16 word = 0;
    CPU_NextAnswerWord(&word);
    g.LastResponse = word;
    if (word == TAMSA_STATUS_CODE_ABORT) {
        return 0;
    }
    MAIN_ReportStatus(2, 0);
    return 2;
}

int CPU_EnterMonitor() {
    CPU_SetMonitorEntered(0);
    CPU_SetTargetRunning(0);
    CPU_SetMonitorEntryFailed(1);
    return retryEntry(0);
}

int CPU_PowerOnReset() {
    // The supply goes off as device operation 40 switches it, with the same
    // effect on the target state (a failed status read is told the same way).
    CPU_SwitchPower(0);
    plat::sleepMs(100);
    const int r = CPU_EnterMonitor();
    CPU_SetTargetPoweredDown(0);
    return r;
}

int CPU_GetStatus(U8 SuppressErrorOut) {
    U32 status = 0;
    if (CPU_GetDeviceStatus(&status, SuppressErrorOut) != 0) {
        return -1;
    }
    return static_cast<int>(status);
}

void CPU_ResetRequestState() {
    g = State{};
}
