// Arbitrary client bytes into quidord's frame service, carried by the
// library's USB transport to a simulated probe behind the driver's names.
#include "service.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1 || size > 200000) {
        return 0;
    }
    plat::ScopedVirtualClock clock(1000);
    sim::Probe probe(*clock);
    // The first byte picks an answer fault: short, late, silent and vanishing
    // probes meet the frames too.
    const std::uint8_t f = data[0];
    probe.setAnswerFault(
        {static_cast<sim::FaultKind>(f % 5), (f & 0x80) != 0 ? 0xCD : -1, (f >> 3) & 3, -1, 700});
    sim::DeviceFront front(probe);
    quidord::FrameService service(0);
    service.greet();
    std::vector<std::uint8_t> out;
    std::size_t at = 1;
    while (at < size) {
        const std::size_t n = std::min<std::size_t>(size - at, 1 + data[at] % 64);
        if (!service.feed(data + at, n, out)) {
            break;
        }
        at += n;
    }
    // Every answer is a count followed by that many bytes.
    for (std::size_t i = 0; i + 1 < out.size();) {
        i += 2 + static_cast<std::size_t>(out[i] | out[i + 1] << 8);
        if (i > out.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
