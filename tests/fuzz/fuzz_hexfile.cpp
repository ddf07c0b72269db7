// Arbitrary text through the Intel HEX reader, then the image through the
// writer and the reader again: the second image must hold the same bytes.
// The first input byte picks the size of the error text buffer and, with
// its top bit, whether record checksums are put right before the read, so
// that mutations get past the checksum to record types, addresses and
// overlaps.
#include "image_check.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string g_inPath;
std::string g_outPath;

void RemoveFiles() {
    std::remove(g_inPath.c_str());
    std::remove(g_outPath.c_str());
}

void WriteFile(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        FuzzFail("cannot write the input file");
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Every line that is ":" and an even number (at least 4) of hex digits gets
// the checksum its other bytes call for in its last two digits.
void FixChecksums(std::vector<char> &text) {
    static const char kDigits[] = "0123456789ABCDEF";
    size_t i = 0;
    while (i < text.size()) {
        size_t end = i;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') {
            ++end;
        }
        const size_t digits = end - i - (end > i ? 1 : 0);
        bool ok = end > i && text[i] == ':' && digits >= 4 && digits % 2 == 0;
        for (size_t k = i + 1; ok && k < end; ++k) {
            ok = HexValue(text[k]) >= 0;
        }
        if (ok) {
            unsigned sum = 0;
            for (size_t k = i + 1; k + 2 < end; k += 2) {
                sum += static_cast<unsigned>(HexValue(text[k]) * 16 + HexValue(text[k + 1]));
            }
            const unsigned chk = (0x100 - (sum & 0xFF)) & 0xFF;
            text[end - 2] = kDigits[chk >> 4];
            text[end - 1] = kDigits[chk & 0xF];
        }
        i = end + 1;
    }
}

bool IsReadResult(int r) {
    return r == 0 || r == -1 || r == -3 || r == -4 || r == -5;
}

// The error buffer gets exactly ErrorLen bytes (at least one, for the check
// that nothing is written when ErrorLen is 0), so that ASan sees overruns.
void CheckErrorText(const std::vector<char> &buf, int errorLen, int result) {
    if (errorLen == 0) {
        if (buf[0] != 'X') {
            FuzzFail("error text written with ErrorLen 0");
        }
        return;
    }
    const void *nul = std::memchr(buf.data(), '\0', static_cast<size_t>(errorLen));
    if (nul == nullptr) {
        FuzzFail("error text not terminated within ErrorLen", static_cast<unsigned long long>(errorLen));
    }
    if (result == 0 && buf[0] != '\0') {
        FuzzFail("error text after a successful read");
    }
    if (result != 0 && result != -1) {
        // Every parse fault names its line; the text is cut, never garbled.
        static const char kPrefix[] = "Error in line ";
        const size_t n = std::min(sizeof kPrefix - 1, static_cast<size_t>(errorLen - 1));
        if (std::strncmp(buf.data(), kPrefix, n) != 0) {
            FuzzFail("fault text does not start with the line", static_cast<unsigned long long>(result));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string base = "/tmp/fuzz_hexfile." + std::to_string(getpid());
    g_inPath = base + ".in.hex";
    g_outPath = base + ".out.hex";
    std::atexit(RemoveFiles);
    g_fuzzCleanup = RemoveFiles;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static const int kErrorLens[] = {0, 1, 2, 3, 9, 10, 15, 16, 40, 512};
    const int errorLen = kErrorLens[(data[0] & 0x7F) % (sizeof kErrorLens / sizeof kErrorLens[0])];
    std::vector<char> text(data + 1, data + size);
    if ((data[0] & 0x80) != 0) {
        FixChecksums(text);
    }
    WriteFile(g_inPath, reinterpret_cast<const uint8_t *>(text.data()), text.size());

    MEMAREA_HANDLE first = MEMAREA_Create();
    if (first == nullptr) {
        FuzzFail("MEMAREA_Create failed");
    }
    std::vector<char> err(static_cast<size_t>(std::max(errorLen, 1)), 'X');
    const int r = MEMAREA_ReadHexFile(first, g_inPath.c_str(), err.data(), errorLen);
    if (!IsReadResult(r)) {
        FuzzFail("unexpected read result", static_cast<unsigned long long>(r));
    }
    CheckErrorText(err, errorLen, r);
    if (first->ModifyCnt != 0) {
        FuzzFail("image counts as modified after a read", first->ModifyCnt);
    }
    CheckImage(first);

    // Whatever was read, also after a fault, must survive a write and a read.
    char wErr[512] = "X";
    if (MEMAREA_WriteHexFile(first, g_outPath.c_str(), wErr, sizeof wErr) != 0) {
        FuzzFail("writing the image failed");
    }
    MEMAREA_HANDLE second = MEMAREA_Create();
    if (second == nullptr) {
        FuzzFail("MEMAREA_Create failed");
    }
    char rErr[512] = "X";
    const int r2 = MEMAREA_ReadHexFile(second, g_outPath.c_str(), rErr, sizeof rErr);
    if (r2 != 0) {
        std::fprintf(stderr, "reading our own file: %s\n", rErr);
        FuzzFail("own file does not read back", static_cast<unsigned long long>(r2));
    }
    CheckImage(second);
    const auto ranges = RangeList(first);
    if (ranges != RangeList(second)) {
        FuzzFail("range lists differ after write and read", ranges.size(), RangeList(second).size());
    }
    std::vector<U8> a;
    std::vector<U8> b;
    for (const auto &[adr, len] : ranges) {
        a.assign(len, 0);
        b.assign(len, 0);
        MEMAREA_ReadMem(first, adr, len, a.data(), 0x5A);
        MEMAREA_ReadMem(second, adr, len, b.data(), 0xA5);
        if (a != b) {
            FuzzFail("range contents differ after write and read", adr, len);
        }
    }
    MEMAREA_Delete(first);
    MEMAREA_Delete(second);
    RemoveFiles();
    return 0;
}
