// The memory, protection, signature and version operations reading
// whatever a probe answers. The input is the probe's whole answer stream: an
// open first, then the answers to the target requests; when it runs out,
// reads time out (in virtual time). Buffers are exactly as large as the
// counts say, inside guard bytes that nothing may touch.
#include "FerroxConst.h"
#include "api.h"
#include "link.h"

#include "fuzz_probe_device.h"
#include "plat/device.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using ProbeDevice = fuzz::FuzzProbeDevice;

void quiet(const char *) {}

// A buffer of n bytes between guard bytes.
class Guarded {
public:
    explicit Guarded(std::size_t n) : bytes_(n + 2 * kGuard, 0xA5), n_(n) {}
    U8 *data() { return bytes_.data() + kGuard; }
    void check() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (bytes_[i] != 0xA5 || bytes_[kGuard + n_ + i] != 0xA5) {
                __builtin_trap();
            }
        }
    }

private:
    static constexpr std::size_t kGuard = 16;
    std::vector<U8> bytes_;
    std::size_t n_;
};

void expectAtMost(int result, int most) {
    if (result > most) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::feedProbe(ProbeDevice::Mode::Stream, data, size);

    LINK_ClearCommError();
    if (FERROX_Open(nullptr, quiet) == 0) {
        Guarded bytes(301);
        expectAtMost(FERROX_CPU_GetData(0x10, 301, bytes.data()), 301);
        FERROX_ClrError();
        expectAtMost(FERROX_CPU_GetEEPROM(0x3F, 3, bytes.data()), 3);
        FERROX_ClrError();
        expectAtMost(FERROX_CPU_GetEROM(0x41, 259, bytes.data()), 259);
        FERROX_ClrError();
        expectAtMost(FERROX_CPU_ProgEROM(0x41, 130, bytes.data()), 130);
        FERROX_ClrError();
        bytes.check();
        Guarded pages(4 * 65);
        expectAtMost(FERROX_CPU_GetULP(0x3E, 65, reinterpret_cast<U32 *>(pages.data())), 65);
        pages.check();
        FERROX_ClrError();
        Guarded sig(2);
        expectAtMost(FERROX_CPU_CalcSign(0, 2, sig.data()), 4);
        sig.check();
        // The item count comes from the target at every call: a buffer for
        // the most it can say.
        Guarded items(4 * 0xFFFF);
        FERROX_CPU_GetVersion(nullptr);
        expectAtMost(FERROX_CPU_GetVersion(reinterpret_cast<U32 *>(items.data())), 0xFFFF);
        items.check();
        FERROX_CPU_Unprotect("00112233445566778899AABBCCDDEEFF");
        FERROX_CPU_Protect();
        FERROX_CPU_IsProtected();
        FERROX_CPU_Erase();
        FERROX_CPU_CopyPage(1, 2);
        FERROX_CPU_SetBitField(0x100, 3, 4, 5);
        FERROX_CPU_IoTest(1);
        FERROX_CPU_IoTest(0);
    }
    FERROX_Close();
    return 0;
}
