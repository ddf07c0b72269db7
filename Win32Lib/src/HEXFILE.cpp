/*
 * Intel HEX reader and writer for memory images.
 *
 * The reader parses in place in one text buffer that is topped up whenever
 * fewer than 1000 bytes remain, so a record (at most 521 characters) never
 * straddles a refill. The first fault ends the read and is reported with
 * its line number; records before it stay in the image.
 */
#include "MEMAREA_Int.h"

#include "plat/file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kTextBufferSize = 60000;
constexpr int kRefillThreshold = 1000;
constexpr int HEX_MAX_BYTES_PER_LINE = 32;
constexpr U64 kAddressSpace = 0x100000000ULL;

constexpr char kHexDigits[] = "0123456789ABCDEF";

const char *const kUnexpectedChar = "Unexpected character";
const char *const kExpectedHex = "Expected Hex character : 0..9, A..F";
const char *const kExpectedNewLine = "Expected CR or LF";
const char *const kUnknownRecord = "Unknown record !";
const char *const kAreasOverlap = "Areas overlap";
const char *const kMallocProblem = "malloc Problem";
const char *const kNotHexFile = "Not a hex file";
// A record whose bytes would run past 0xFFFFFFFF.
const char *const kAddressOutOfRange = "Address out of range";
// An extended address record too short to carry its base.
const char *const kBadAddressRecord = "Invalid address record";
const char *const kImageBusy = "Memory image is busy.";

constexpr U8 kNotHex = 0xFF;

struct HexDigitTable {
    U8 v[256];
    constexpr HexDigitTable() : v() {
        for (U8 &d : v) {
            d = kNotHex;
        }
        for (int i = 0; i < 10; ++i) {
            v['0' + i] = static_cast<U8>(i);
        }
        for (int i = 0; i < 6; ++i) {
            v['A' + i] = static_cast<U8>(10 + i);
            v['a' + i] = static_cast<U8>(10 + i);
        }
    }
};
constexpr HexDigitTable kHexValue;

struct HEXFILE_CONTEXT {
    int Line;
    int Offset;
    char *pFileBuffer;
    U8 ChkSumLine;
    char *sError;
    int ErrorLen;
    U32 HexSeg_Seg;
    U32 HexSeg_Lin;
    U32 HexSeg;
    // parse state of this reader
    MEMAREA_OBJ *pObj;
    MEMAREA_STATUS_FUNC *pfUpdateGUI;
    void *pGUIContext;
    bool Faulted;      // a fault has been recorded
    std::string Fault; // its text
    int FaultResult;   // result that goes with the fault
};

void _SetFault(HEXFILE_CONTEXT &c, const std::string &text, int result = -5) {
    if (!c.Faulted) {
        c.Faulted = true;
        c.Fault = text;
        c.FaultResult = result;
    }
}

int _ReadByte(HEXFILE_CONTEXT &c) {
    if (c.Faulted) {
        return 0;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(c.pFileBuffer + c.Offset);
    const int hi = kHexValue.v[p[0]];
    if (hi == kNotHex) [[unlikely]] {
        _SetFault(c, kExpectedHex);
        return 0;
    }
    const int lo = kHexValue.v[p[1]];
    if (lo == kNotHex) [[unlikely]] {
        _SetFault(c, kExpectedHex);
        return 0;
    }
    c.Offset += 2;
    const int b = hi * 16 + lo;
    c.ChkSumLine = static_cast<U8>(c.ChkSumLine + b);
    return b;
}

void _LoadHexLine(HEXFILE_CONTEXT &c) {
    if (c.pFileBuffer[c.Offset] != ':') {
        _SetFault(c, kUnexpectedChar);
        return;
    }
    c.Offset++;
    c.ChkSumLine = 0;
    const int count = _ReadByte(c);
    const int offsetHigh = _ReadByte(c);
    const int offset = offsetHigh << 8 | _ReadByte(c);
    const int type = _ReadByte(c);
    U8 data[256] = {};
    // The data bytes are the bulk of every file: decode them with locals.
    if (!c.Faulted) {
        const auto *p = reinterpret_cast<const unsigned char *>(c.pFileBuffer + c.Offset);
        unsigned sum = c.ChkSumLine;
        int i = 0;
        for (; i < count; ++i, p += 2) {
            const unsigned hi = kHexValue.v[p[0]];
            if (hi == kNotHex) [[unlikely]] {
                break;
            }
            const unsigned lo = kHexValue.v[p[1]];
            if (lo == kNotHex) [[unlikely]] {
                break;
            }
            data[i] = static_cast<U8>(hi << 4 | lo);
            sum += data[i];
        }
        c.Offset += 2 * i;
        c.ChkSumLine = static_cast<U8>(sum);
        if (i < count) {
            _SetFault(c, kExpectedHex);
        }
    }
    const int found = _ReadByte(c);
    if (c.Faulted) {
        return;
    }
    if (c.ChkSumLine != 0) {
        const unsigned expected = static_cast<U8>(found - c.ChkSumLine);
        _SetFault(c, MEMAREA__Format("Checksum error !\nExpected: 0x%.2X, found: 0x%.2X", expected,
                                     static_cast<unsigned>(found)));
        return;
    }
    switch (type) {
    case 0x00: {
        const U64 adr = static_cast<U64>(c.HexSeg_Lin) + c.HexSeg_Seg + static_cast<U64>(offset);
        if (adr + static_cast<U64>(count) > kAddressSpace || adr >= kAddressSpace) {
            _SetFault(c, kAddressOutOfRange);
            return;
        }
        if (c.pfUpdateGUI != nullptr) {
            const MEMAREA_STATUS_INFO info{static_cast<U32>(adr), c.pObj->NumBlocks};
            c.pfUpdateGUI(c.pGUIContext, &info);
        }
        const int r = MEMAREA__Add(c.pObj, static_cast<U32>(adr), static_cast<U32>(count), data, -1);
        if (r == -1) {
            _SetFault(c, kAreasOverlap);
            return;
        }
        if (r == MEMAREA_ADD_NO_MEMORY) {
            _SetFault(c, kMallocProblem, -3);
            return;
        }
        if (r != 0) {
            _SetFault(c, kAddressOutOfRange);
            return;
        }
        break;
    }
    case 0x01: // end of file: reading goes on to the end of the text
    case 0x03: // start addresses mean nothing to an image
    case 0x05:
        break;
    case 0x02:
        if (count < 2) {
            _SetFault(c, kBadAddressRecord);
            return;
        }
        c.HexSeg_Seg = (static_cast<U32>(data[0]) * 256U + data[1]) * 16U;
        break;
    case 0x04:
    case 0xFF:
        if (count < 2) {
            _SetFault(c, kBadAddressRecord);
            return;
        }
        c.HexSeg_Lin = (static_cast<U32>(data[0]) * 256U + data[1]) << 16;
        break;
    default:
        _SetFault(c, kUnknownRecord);
        return;
    }
    c.HexSeg = c.HexSeg_Lin + c.HexSeg_Seg;
}

void _ParseNewLine(HEXFILE_CONTEXT &c) {
    if (c.Faulted) {
        return;
    }
    const char ch = c.pFileBuffer[c.Offset];
    if (ch == '\0' || ch == 0x1A) {
        return;
    }
    if (ch != '\r' && ch != '\n') {
        _SetFault(c, kExpectedNewLine);
        return;
    }
    c.Line++;
    c.Offset++;
    const char next = c.pFileBuffer[c.Offset];
    if (next == '\r' || next == '\n') {
        c.Offset++;
    }
}

int _ReadHexFileFromObj(MEMAREA_OBJ *pObj, const char *sFilename, char *sError, int ErrorLen,
                        MEMAREA_STATUS_FUNC *pfUpdateGUI, void *pGUIContext) {
    std::uint32_t winError = 0;
    plat::File file = plat::File::openExisting(sFilename, winError);
    if (!file.isOpen()) {
        MEMAREA__SetError(sError, ErrorLen, MEMAREA__OpenErrorText(winError, sFilename).c_str());
        return -1;
    }
    HEXFILE_CONTEXT c{};
    c.pObj = pObj;
    c.pfUpdateGUI = pfUpdateGUI;
    c.pGUIContext = pGUIContext;
    c.sError = sError;
    c.ErrorLen = ErrorLen;
    c.pFileBuffer = static_cast<char *>(MEMAREA__Malloc(kTextBufferSize + 1));
    int result = 0;
    bool readFailed = false;
    if (c.pFileBuffer == nullptr) {
        _SetFault(c, kMallocProblem, -3);
    } else {
        int used = 0; // valid text bytes in the buffer
        bool atEnd = false;
        bool firstFill = true;
        while (!c.Faulted) {
            if (used - c.Offset < kRefillThreshold && !atEnd) {
                const int rest = used - c.Offset;
                std::memmove(c.pFileBuffer, c.pFileBuffer + c.Offset, static_cast<size_t>(rest));
                c.Offset = 0;
                std::uint32_t got = 0;
                // A read error is no end of the file: what was read so far
                // would be taken for the whole file.
                if (!file.read(c.pFileBuffer + rest, static_cast<U32>(kTextBufferSize - rest), got)) {
                    readFailed = true;
                    break;
                }
                if (got == 0) {
                    atEnd = true;
                }
                used = rest + static_cast<int>(got);
                c.pFileBuffer[used] = '\0';
                if (firstFill && c.pFileBuffer[0] != ':') {
                    _SetFault(c, kNotHexFile, -4);
                    break;
                }
                firstFill = false;
            }
            const char ch = c.pFileBuffer[c.Offset];
            if (ch == '\0' || ch == 0x1A) {
                break;
            }
            _LoadHexLine(c);
            _ParseNewLine(c);
        }
    }
    std::free(c.pFileBuffer);
    file.close();
    if (c.Faulted) {
        result = c.FaultResult;
        MEMAREA__SetError(sError, ErrorLen,
                          MEMAREA__Format("Error in line %d: %s", c.Line + 1, c.Fault.c_str()).c_str());
    } else if (readFailed) {
        result = -1;
        MEMAREA__SetError(sError, ErrorLen, "Could not read file.");
    }
    return result;
}

/*********************************************************************
 * Writer
 */

// Both upper-case digits of every byte value, so a byte is one 2-byte copy.
struct HexPairTable {
    char v[256][2];
    constexpr HexPairTable() : v() {
        for (int b = 0; b < 256; ++b) {
            v[b][0] = kHexDigits[b >> 4];
            v[b][1] = kHexDigits[b & 0xF];
        }
    }
};
constexpr HexPairTable kHexPair;

inline char *_PutHex(char *p, U8 b) {
    std::memcpy(p, kHexPair.v[b], 2);
    return p + 2;
}

class HexWriter {
public:
    explicit HexWriter(OUTFILE_HANDLE h) : h_(h) {}

    void record(U8 type, U16 offset, const U8 *pData, int count) {
        char line[1 + 2 * (4 + 255 + 1) + 2];
        char *p = line;
        *p++ = ':';
        unsigned sum = static_cast<unsigned>(count) + (offset >> 8) + (offset & 0xFFU) + type;
        p = _PutHex(p, static_cast<U8>(count));
        p = _PutHex(p, static_cast<U8>(offset >> 8));
        p = _PutHex(p, static_cast<U8>(offset & 0xFF));
        p = _PutHex(p, type);
        for (int i = 0; i < count; ++i) {
            sum += pData[i];
            p = _PutHex(p, pData[i]);
        }
        p = _PutHex(p, static_cast<U8>(0x100U - (sum & 0xFFU)));
        *p++ = '\r';
        *p++ = '\n';
        OUTFILE_Write(h_, line, static_cast<U32>(p - line));
    }

    void addressRecord(U8 type, U32 value) {
        const U8 d[2] = {static_cast<U8>((value >> 8) & 0xFF), static_cast<U8>(value & 0xFF)};
        record(type, 0, d, 2);
    }

private:
    OUTFILE_HANDLE h_;
};

void _WriteHexFileFromObj(MEMAREA_OBJ *pObj, OUTFILE_HANDLE hFile, MEMAREA_STATUS_FUNC *pfUpdateGUI,
                          void *pGUIContext) {
    HexWriter w(hFile);
    // Records hold at most 32 bytes of one contiguous run. Taking a whole
    // run (up to the buffer) at once and cutting it into records gives the
    // same records as asking the image for each one.
    static constexpr int kRunBuffer = 0x4000;
    auto *run = static_cast<U8 *>(MEMAREA__Malloc(kRunBuffer));
    U8 small[HEX_MAX_BYTES_PER_LINE];
    U8 *buffer = run != nullptr ? run : small;
    const int bufferSize = run != nullptr ? kRunBuffer : HEX_MAX_BYTES_PER_LINE;
    U64 progAdr = 0;
    U64 segStart = 0;
    U32 segmentPart = 0; // the type 02 base a reader holds at this point
    while (progAdr < kAddressSpace) {
        U32 adr = static_cast<U32>(progAdr);
        const int runBytes = MEMAREA__GetDataBlock(pObj, adr, 0xFFFFFFFF, 0, buffer, &adr, bufferSize, 0, 0);
        if (runBytes == 0) {
            break;
        }
        progAdr = adr;
        for (int done = 0; done < runBytes;) {
            const int numBytes = std::min(runBytes - done, HEX_MAX_BYTES_PER_LINE);
            if (pfUpdateGUI != nullptr) {
                const MEMAREA_STATUS_INFO info{static_cast<U32>(progAdr), pObj->NumBlocks};
                pfUpdateGUI(pGUIContext, &info);
            }
            if (progAdr > segStart + 0xFF00) {
                if (progAdr > 0xFFFFF) {
                    segStart = progAdr & 0xFFFF0000ULL;
                    // Readers add a segment base to a linear one: clear it
                    // first, or the data would land above where it belongs.
                    if (segmentPart != 0) {
                        w.addressRecord(0x02, 0);
                        segmentPart = 0;
                    }
                    w.addressRecord(0x04, static_cast<U32>(segStart >> 16));
                } else {
                    segStart = progAdr & ~0xFULL;
                    segmentPart = static_cast<U32>(segStart >> 4);
                    w.addressRecord(0x02, segmentPart);
                }
            }
            w.record(0x00, static_cast<U16>(progAdr - segStart), buffer + done, numBytes);
            progAdr += static_cast<U64>(numBytes);
            done += numBytes;
        }
    }
    w.record(0x01, 0, nullptr, 0);
    std::free(run);
}

} // namespace

int MEMAREA_ReadHexFileEx(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                          MEMAREA_STATUS_FUNC *pfUpdateGUI, void *pGUIContext) {
    MEMAREA__SetError(sError, ErrorLen, "");
    if (hMemArea == nullptr) {
        return -1;
    }
    if (MEMAREA__Lock(hMemArea) != 0) {
        MEMAREA__SetError(sError, ErrorLen, kImageBusy);
        return -1;
    }
    const int result = _ReadHexFileFromObj(hMemArea, sFilename, sError, ErrorLen, pfUpdateGUI, pGUIContext);
    hMemArea->ModifyCnt = 0;
    MEMAREA__Unlock(hMemArea);
    return result;
}

int MEMAREA_ReadHexFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen) {
    return MEMAREA_ReadHexFileEx(hMemArea, sFilename, sError, ErrorLen, nullptr, nullptr);
}

int MEMAREA_WriteHexFileEx(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                           MEMAREA_STATUS_FUNC *pfUpdateGUI, void *pGUIContext) {
    return MEMAREA__SaveFile(hMemArea, sFilename, sError, ErrorLen, [&](OUTFILE_HANDLE hFile) {
        _WriteHexFileFromObj(hMemArea, hFile, pfUpdateGUI, pGUIContext);
        return true;
    });
}

int MEMAREA_WriteHexFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen) {
    return MEMAREA_WriteHexFileEx(hMemArea, sFilename, sError, ErrorLen, nullptr, nullptr);
}
