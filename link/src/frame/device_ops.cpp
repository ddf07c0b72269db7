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
    EMU_ClearErrors(API_IsOpen() ? 1 : 0);
}

int OP_HasError() {
    return MAIN_IsErrorReported() != 0 || LINK_HasCommError() != 0 ? 1 : 0;
}

int OP_Open() {
    if (MAIN_IsErrorReported() != 0 || LINK_HasCommError() != 0) {
        FERROX_ClrError();
    }
    CPU_InvalidateRegisterCache();
    if (ProbeConnect(API_GetErrorOut()) != 0) {
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

// Each slot names its operation; the slots stand in alphabetical order.
const FERROX_DEVICE_OPS DeviceOps = {
    .Abort = CPU_Abort,
    .CalcSign = CPU_CalcSign,
    .CopyPage = CPU_CopyPage,
    .Close = CPU_Close,
    .ClrError = OP_ClrError,
    .EnterMonitor = CPU_EnterMonitor,
    .Erase = CPU_Erase,
    .GetData = CPU_GetData,
    .GetEEPROM = CPU_GetEEPROM,
    .GetEROM = CPU_GetEROM,
    .GetLastResponse = CPU_GetLastResponseOp,
    .GetReg = CPU_GetReg,
    .GetRegsAll = CPU_GetRegsAll,
    .GetStatus = CPU_GetStatus,
    .GetULP = CPU_GetULP,
    .GetVersion = CPU_GetVersion,
    .Go = CPU_Go,
    .Halt = CPU_Halt,
    .HasError = OP_HasError,
    .IoTest = CPU_IoTest,
    .IsHalted = CPU_IsHalted,
    .IsHaltedEx = CPU_IsHaltedEx,
    .IsProtected = CPU_IsProtected,
    .Open = OP_Open,
    .PowerOnReset = CPU_PowerOnReset,
    .ProgEEPROM = CPU_ProgEEPROM,
    .ProgEROM = CPU_ProgEROM,
    .ProgPfBits = CPU_ProgPfBits,
    .ProgULP = CPU_ProgULP,
    .ProgUlpBytes = CPU_ProgUlpBytes,
    .Protect = CPU_Protect,
    .Reset = CPU_Reset,
    .SendCommand = CPU_SendCommand,
    .SendData = CPU_SendData,
    .SetBaud = CPU_SetBaud,
    .SetBitField = CPU_SetBitField,
    .SetData = CPU_SetData,
    .SetReg = CPU_SetReg,
    .Step = CPU_Step,
    .SwitchInterface = EMU_SwitchInterface,
    .SwitchPower = CPU_SwitchPower,
    .SwitchPowerEx = CPU_SwitchPowerEx,
    .Unprotect = CPU_Unprotect,
    .WriteBP = CPU_WriteBP,
};

static_assert(sizeof(FERROX_DEVICE_OPS) == 44 * sizeof(void (*)()), "44 slots");

} // namespace

const FERROX_DEVICE_OPS *const pDeviceOps = &DeviceOps;
