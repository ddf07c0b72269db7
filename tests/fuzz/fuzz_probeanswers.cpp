// The probe layer reading whatever a probe answers: the open with its
// firmware check and download, then every probe command. The input is the
// probe's whole answer stream; when it runs out, reads time out (in virtual
// time) and the link falls silent.
#include "api.h"
#include "cpu_state.h"
#include "firmware.h"
#include "link.h"
#include "probe.h"

#include "fuzz_probe_device.h"
#include "plat/device.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using ProbeDevice = fuzz::FuzzProbeDevice;

void quiet(const char *) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::feedProbe(ProbeDevice::Mode::Stream, data, size);

    LINK_ClearCommError();
    if (FERROX_Open(nullptr, quiet) == 0) {
        FERROX_HW_STATUS st;
        FERROX_EMU_GetHWStatus(&st);
        FERROX_EMU_GetHWVersion();
        // A small buffer inside a larger one: nothing may land past it.
        char fw[64];
        std::memset(fw, 0x5A, sizeof fw);
        FERROX_EMU_GetFirmwareString(fw, 16);
        for (std::size_t i = 16; i < sizeof fw; ++i) {
            if (fw[i] != 0x5A) {
                __builtin_trap();
            }
        }
        FERROX_EMU_GetSN();
        U8 config[256];
        FERROX_EMU_ReadConfigMem(config, 0, 256);
        FERROX_EMU_WriteConfigMem(config, 4, 1);
        FERROX_EMU_SetUSBAddr(1);
        U16 items[300];
        for (U32 n : {U32{0}, U32{3}, U32{300}}) {
            const int r = FERROX_EMU_ReadUserBuffer(n, items);
            if (r > static_cast<int>(n)) {
                __builtin_trap();
            }
        }
        FERROX_EMU_ReadSystemBuffer(2, items);
        FERROX_EMU_ControlSystemBuffer(EMU_CMD_BUFFER_GET_CNT, 0);
        FERROX_EMU_SwitchInterface(1);
        FERROX_EMU_SwitchPower(1);
        FERROX_EMU_SwitchPower(0);
        FERROX_EMU_SwitchPowerEx(0);
        char reply[32];
        FERROX_EMU_ExecCommand("UpdateFirmware SetSN=12", reply, sizeof reply);
        API_Lock("fuzz");
        CPU_PowerDownOnClose();
        EMU_ReadCaps();
        API_Unlock();
    }
    FERROX_Close();
    return 0;
}
