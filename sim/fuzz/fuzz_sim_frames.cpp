// Arbitrary client bytes into the TCP front's frame session: read, write and
// write-read frames of any size carrying any payload to the probe.
#include "sim/tcp_server.h"

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
    // The first byte picks an answer fault, so late, short and dropped
    // answers meet the frames too.
    const std::uint8_t f = data[0];
    probe.setAnswerFault(
        {static_cast<sim::FaultKind>(f % 5), (f & 0x80) != 0 ? 0xCD : -1, (f >> 3) & 3, -1, 700});
    sim::FrameSession session(probe);
    std::vector<std::uint8_t> out;
    std::size_t at = 1;
    while (at < size && !session.closed()) {
        const std::size_t n = std::min<std::size_t>(size - at, 1 + data[at] % 64);
        session.feed(data + at, n, out);
        for (std::uint32_t due = 0; session.waiting(due);) {
            clock->advance(due - plat::tickMs());
            session.resume(out);
        }
        at += n;
    }
    // Every answer is a count followed by that many bytes, never more than
    // a frame can ask for.
    for (std::size_t i = 0; i + 1 < out.size();) {
        i += 2 + static_cast<std::size_t>(out[i] | out[i + 1] << 8);
        if (i > out.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
