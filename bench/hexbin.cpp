// hexbin: converts between Intel HEX and raw binary with the memory image
// library.
//   hexbin hex2bin IN.hex OUT.bin           the image's [first, last] address
//   hexbin bin2hex IN.bin OUT.hex [LOADADDR] bytes placed at LOADADDR (default 0)
#include "MEMAREA.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: hexbin hex2bin IN.hex OUT.bin\n"
                         "       hexbin bin2hex IN.bin OUT.hex [LOADADDR]\n");
    return 2;
}

int Fail(MEMAREA_HANDLE h, const char *sError) {
    std::fprintf(stderr, "hexbin: %s\n", sError);
    MEMAREA_Delete(h);
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        return Usage();
    }
    const bool toBin = std::strcmp(argv[1], "hex2bin") == 0;
    const bool toHex = std::strcmp(argv[1], "bin2hex") == 0;
    if ((!toBin && !toHex) || (toBin && argc != 4) || (toHex && argc > 5)) {
        return Usage();
    }
    U32 loadAddr = 0;
    if (toHex && argc == 5) {
        char *end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(argv[4], &end, 0);
        if (errno != 0 || end == argv[4] || *end != '\0' || v > 0xFFFFFFFFULL) {
            std::fprintf(stderr, "hexbin: bad load address '%s'\n", argv[4]);
            return 2;
        }
        loadAddr = static_cast<U32>(v);
    }
    MEMAREA_HANDLE h = MEMAREA_Create();
    if (h == nullptr) {
        std::fprintf(stderr, "hexbin: out of memory\n");
        return 1;
    }
    char sError[1024] = "";
    if (toBin) {
        if (MEMAREA_ReadHexFile(h, argv[2], sError, sizeof sError) != 0) {
            return Fail(h, sError);
        }
        // An empty image gives the window [0, 0] with nothing in it: an empty file.
        if (MEMAREA_WriteBinFile(h, argv[3], sError, sizeof sError, MEMAREA_GetFirstAddr(h),
                                 MEMAREA_GetLastAddr(h)) != 0) {
            return Fail(h, sError);
        }
    } else {
        if (MEMAREA_ReadBinFile(h, argv[2], sError, sizeof sError, loadAddr) != 0) {
            return Fail(h, sError);
        }
        if (MEMAREA_WriteHexFile(h, argv[3], sError, sizeof sError) != 0) {
            return Fail(h, sError);
        }
    }
    MEMAREA_Delete(h);
    return 0;
}
