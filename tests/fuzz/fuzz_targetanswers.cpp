// The target layer judging whatever the probe answers to target requests
// and to the commands around them (hardware status, supply switch): monitor
// entry, halt-state queries, run, halt, step, reset, registers, breakpoints,
// abort and the close. The input is a list of answers, each a length byte
// and that many bytes (cut to what the read asks for); when it runs out,
// reads time out in virtual time.
#include "FerroxConst.h"
#include "api.h"
#include "cpu_state.h"
#include "link.h"
#include "main_log.h"
#include "probe.h"
#include "target.h"

#include "fuzz_probe_device.h"
#include "plat/device.h"
#include "plat/message_box.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using ProbeDevice = fuzz::FuzzProbeDevice;

void quietBox(const char *, const char *, plat::MessageIcon) {}

bool isHaltState(int h) {
    return h >= FERROX_HALT_STATE_POWEROFF && h <= FERROX_HALT_STATE_SWBP;
}

void check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

// Lets the next operation run on a quiet link with nothing pending.
void clearErrors() {
    LINK_ClearCommError();
    MAIN_SetErrorReported(0);
    MAIN_FlushErrors();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool hooked = [] {
        plat::setMessageBoxHook(quietBox);
        return true;
    }();
    (void)hooked;
    fuzz::feedProbe(ProbeDevice::Mode::LengthPrefixed, data, size);

    ProbeDisconnect(); // the probe counts as usable again
    clearErrors();
    CPU_SetMonitorEntered(0);
    CPU_SetMonitorEntryFailed(1);
    CPU_SetTargetRunning(0);
    CPU_SetTargetPoweredDown(0);
    CPU_SetTargetTouched(0);
    CPU_InvalidateRegisterCache();

    API_Lock("FERROX_Fuzz");
    if (CPU_EnterMonitor() == 0) {
        check(CPU_IsMonitorEntered() == 1 && CPU_IsMonitorEntryFailed() == 0);
    }
    check(CPU_GetRequestPosition() == 0); // no request is left open
    check(isHaltState(CPU_IsHalted()));
    clearErrors();
    const int go = CPU_Go();
    check(go >= -4 && go <= 0xFF); // a guard value or a probe status byte
    check(isHaltState(CPU_IsHaltedEx(1)));
    clearErrors();
    const int halt = CPU_Halt();
    check(halt >= -4 && halt <= 0xFF);
    clearErrors();
    CPU_Step();
    clearErrors();
    TAMSA_REGISTERS regs;
    const int all = CPU_GetRegsAll(&regs);
    check(all == 10 || all == -1);
    clearErrors();
    for (int i = -1; i <= 10; i += 11) {
        check(CPU_GetReg(i) == 0xFFFFFFFFu); // never a read outside the cache
    }
    CPU_GetReg(9);
    clearErrors();
    CPU_SetReg(3, 0x12345);
    clearErrors();
    CPU_WriteBP(0x0100, 0x41);
    clearErrors();
    CPU_Reset();
    clearErrors();
    const int abort = CPU_Abort();
    check(abort >= 0 && abort <= 0xFF);
    const int status = CPU_GetStatus(1);
    check(status >= -1 && status <= 0xFFFF);
    clearErrors();
    CPU_PowerOnReset();
    check(CPU_IsTargetPoweredDown() == 0);
    clearErrors();
    CPU_Close(0);
    check(CPU_GetRequestPosition() == 0);
    API_Unlock();
    return 0;
}
