// Text commands of FERROX_EMU_ExecCommand against the simulated probe. The
// first input byte picks the reply size; the rest is the command text.
#include "Ferrox.h"
#include "api.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {
void quiet(const char *) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static plat::VirtualClock clock;
    static bool clockSet = (plat::setClock(&clock), true);
    (void)clockSet;
    if (size == 0 || size > 4096) {
        return 0;
    }
    // Each input meets a fresh library and a fresh probe.
    API_ResetState();
    sim::Probe probe(clock);
    sim::DeviceFront front(probe);
    if (FERROX_Open(nullptr, quiet) != 0) {
        return 0;
    }
    const int replySize = data[0] % 80;
    const std::string command(reinterpret_cast<const char *>(data + 1), size - 1);
    char reply[96];
    std::memset(reply, 0x5A, sizeof reply);
    const int r = FERROX_EMU_ExecCommand(command.c_str(), reply, replySize);
    if (r != 0 && r != 1) {
        __builtin_trap();
    }
    // The reply stays inside its size and ends with its NUL there.
    for (int i = replySize; i < static_cast<int>(sizeof reply); ++i) {
        if (reply[i] != 0x5A) {
            __builtin_trap();
        }
    }
    if (replySize > 0 &&
        strnlen(reply, static_cast<std::size_t>(replySize)) == static_cast<std::size_t>(replySize)) {
        __builtin_trap();
    }
    return 0;
}
