// The device operations table. The operations of the connection (Open,
// ClrError, HasError) live here; the target's come with the target code.
#include "api.h"
#include "cpu_state.h"
#include "link.h"
#include "main_log.h"
#include "probe.h"
#include "target.h"

namespace {

void OP_ClrError() {
    LINK_ClearCommError();
    if (MAIN_IsErrorReported() != 0 && LINK_HasCommError() == 0) {
        MAIN_SetErrorReported(0);
        if (API_IsOpen()) {
            EMU_ControlBuffer(EMU_KIND_SYSTEM_BUFFER, EMU_CMD_BUFFER_CLEAN);
        }
    }
}

int OP_HasError() {
    return MAIN_IsErrorReported() != 0 || LINK_HasCommError() != 0 ? 1 : 0;
}

int OP_Open() {
    if (MAIN_IsErrorReported() != 0 || LINK_HasCommError() != 0) {
        FERROX_ClrError();
    }
    CPU_InvalidateRegisterCache();
    if (ProbeConnect() != 0) {
        if (LINK_HasCommError() == 0 && MAIN_IsErrorReported() == 0) {
            MAIN_SetErrorReported(1);
            MAIN_LogError("Can not connect to Quidor via USB.");
        }
        return 1;
    }
    // Every connection starts with the target unpowered; a failure here is
    // not the open's concern.
    CPU_PowerDownForEntry(0, 1);
    return 0;
}

const FERROX_DEVICE_OPS DeviceOps = {
    CPU_Abort,             // Abort
    CPU_CalcSign,          // CalcSign
    CPU_CopyPage,          // CopyPage
    CPU_Close,             // Close
    OP_ClrError,           // ClrError
    CPU_EnterMonitor,      // EnterMonitor
    CPU_Erase,             // Erase
    CPU_GetData,           // GetData
    CPU_GetEEPROM,         // GetEEPROM
    CPU_GetEROM,           // GetEROM
    CPU_GetLastResponseOp, // GetLastResponse
    CPU_GetReg,            // GetReg
    CPU_GetRegsAll,        // GetRegsAll
    CPU_GetStatus,         // GetStatus
    CPU_GetULP,            // GetULP
    CPU_GetVersion,        // GetVersion
    CPU_Go,                // Go
    CPU_Halt,              // Halt
    OP_HasError,           // HasError
    CPU_IoTest,            // IoTest
    CPU_IsHalted,          // IsHalted
    CPU_IsHaltedEx,        // IsHaltedEx
    CPU_IsProtected,       // IsProtected
    OP_Open,               // Open
    CPU_PowerOnReset,      // PowerOnReset
    CPU_ProgEEPROM,        // ProgEEPROM
    CPU_ProgEROM,          // ProgEROM
    CPU_ProgPfBits,        // ProgPfBits
    CPU_ProgULP,           // ProgULP
    CPU_ProgUlpBytes,      // ProgUlpBytes
    CPU_Protect,           // Protect
    CPU_Reset,             // Reset
    CPU_SendCommand,       // SendCommand
    CPU_SendData,          // SendData
    CPU_SetBaud,           // SetBaud
    CPU_SetBitField,       // SetBitField
    CPU_SetData,           // SetData
    CPU_SetReg,            // SetReg
    CPU_Step,              // Step
    EMU_SwitchInterface,   // SwitchInterface
    EMU_SwitchPower,       // SwitchPower
    EMU_SwitchPowerEx,     // SwitchPowerEx
    CPU_Unprotect,         // Unprotect
    CPU_WriteBP,           // WriteBP
};

static_assert(sizeof(FERROX_DEVICE_OPS) == 44 * sizeof(void (*)()), "44 slots");

} // namespace

const FERROX_DEVICE_OPS *const pDeviceOps = &DeviceOps;
