// Arbitrary host bytes into the simulated probe: every command byte, target
// requests with any items, firmware images, in pieces of any size, with
// virtual time passing in between.
#include "sim/probe.h"

#include "plat/clock.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2 || size > 200000) {
        return 0;
    }
    plat::ScopedVirtualClock clock(1000);
    sim::ProbeOptions options;
    const std::uint8_t setup = data[0];
    options.selfPowered = (setup & 0x01) != 0;
    options.extendedCaps = (setup & 0x02) != 0;
    options.targetProtected = (setup & 0x04) != 0;
    options.targetPresent = (setup & 0x08) == 0;
    options.shortFirmwareString = (setup & 0x10) != 0;
    options.bufferText = (setup & 0x20) != 0 ? "fuzz" : "";
    options.hwVersion = (setup & 0x40) != 0 ? 21000 : 22000;
    sim::Probe probe(*clock, options);
    if ((setup & 0x80) != 0) {
        probe.target().injectBrownOuts(-1);
        probe.target().injectProgramFailures(-1);
    }
    // Piece sizes come from the second byte; time passes between pieces.
    const std::size_t piece = 1 + data[1] % 97;
    std::vector<std::uint8_t> out(70000);
    for (std::size_t at = 2; at < size; at += piece) {
        const std::size_t n = at + piece <= size ? piece : size - at;
        probe.write(data + at, n);
        if (probe.read(out.data(), out.size()) > out.size()) {
            __builtin_trap();
        }
        clock->advance(data[at] % 16);
    }
    // A power-down and a drop reset must leave a consistent probe.
    probe.resetStreams();
    const std::uint8_t hw[] = {0x07, 0xF2, 0x00, 0x07};
    probe.write(hw, sizeof hw);
    if (probe.available() != 8 + 1 + 8) {
        __builtin_trap(); // after a reset the probe parses commands from the first byte again
    }
    return 0;
}
