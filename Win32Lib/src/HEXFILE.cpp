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
    std::string Fault; // empty: no fault so far
    int FaultResult;   // result that goes with the fault
};

void _SetFault(HEXFILE_CONTEXT &c, const std::string &text, int result = -5) {
    if (c.Fault.empty()) {
        c.Fault = text;
        c.FaultResult = result;
    }
}

int _ReadByte(HEXFILE_CONTEXT &c) {
    if (!c.Fault.empty()) {
        return 0;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(c.pFileBuffer + c.Offset);
    const int hi = kHexValue.v[p[0]];
    if (hi == kNotHex) {
        _SetFault(c, kExpectedHex);
        return 0;
    }
    const int lo = kHexValue.v[p[1]];
    if (lo == kNotHex) {
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
    U8 data[256];
    for (int i = 0; i < count; ++i) {
        data[i] = static_cast<U8>(_ReadByte(c));
    }
    const int found = _ReadByte(c);
    if (!c.Fault.empty()) {
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
    if (!c.Fault.empty()) {
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
    if (c.pFileBuffer == nullptr) {
        _SetFault(c, kMallocProblem, -3);
    } else {
        int used = 0; // valid text bytes in the buffer
        bool atEnd = false;
        bool firstFill = true;
        while (c.Fault.empty()) {
            if (used - c.Offset < kRefillThreshold && !atEnd) {
                const int rest = used - c.Offset;
                std::memmove(c.pFileBuffer, c.pFileBuffer + c.Offset, static_cast<size_t>(rest));
                c.Offset = 0;
                std::uint32_t got = 0;
                // A read error ends the text like the end of the file does.
                if (!file.read(c.pFileBuffer + rest, static_cast<U32>(kTextBufferSize - rest), got) ||
                    got == 0) {
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
    if (!c.Fault.empty()) {
        result = c.FaultResult;
        MEMAREA__SetError(sError, ErrorLen,
                          MEMAREA__Format("Error in line %d: %s", c.Line + 1, c.Fault.c_str()).c_str());
    }
    return result;
}

/*********************************************************************
 * Writer
 */

class HexWriter {
public:
    explicit HexWriter(OUTFILE_HANDLE h) : h_(h) {}

    void record(U8 type, U16 offset, const U8 *pData, int count) {
        char line[1 + 2 * (4 + 255 + 1) + 2];
        char *p = line;
        *p++ = ':';
        U8 sum = 0;
        auto put = [&](U8 b) {
            *p++ = kHexDigits[b >> 4];
            *p++ = kHexDigits[b & 0xF];
            sum = static_cast<U8>(sum + b);
        };
        put(static_cast<U8>(count));
        put(static_cast<U8>(offset >> 8));
        put(static_cast<U8>(offset & 0xFF));
        put(type);
        for (int i = 0; i < count; ++i) {
            put(pData[i]);
        }
        put(static_cast<U8>(0x100 - sum));
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
    U8 buffer[HEX_MAX_BYTES_PER_LINE];
    U64 progAdr = 0;
    U64 segStart = 0;
    U32 segmentPart = 0; // the type 02 base a reader holds at this point
    while (progAdr < kAddressSpace) {
        U32 adr = static_cast<U32>(progAdr);
        const int numBytes =
            MEMAREA__GetDataBlock(pObj, adr, 0xFFFFFFFF, 0, buffer, &adr, HEX_MAX_BYTES_PER_LINE, 0, 0);
        if (numBytes == 0) {
            break;
        }
        progAdr = adr;
        if (pfUpdateGUI != nullptr) {
            const MEMAREA_STATUS_INFO info{adr, pObj->NumBlocks};
            pfUpdateGUI(pGUIContext, &info);
        }
        if (progAdr > segStart + 0xFF00) {
            if (progAdr > 0xFFFFF) {
                segStart = progAdr & 0xFFFF0000ULL;
                // Readers add a segment base to a linear one: clear it first,
                // or the data would land above where it belongs.
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
        w.record(0x00, static_cast<U16>(progAdr - segStart), buffer, numBytes);
        progAdr += static_cast<U64>(numBytes);
    }
    w.record(0x01, 0, nullptr, 0);
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
    if (hMemArea == nullptr || sError == nullptr) {
        return -1;
    }
    if (MEMAREA__Lock(hMemArea) != 0) {
        MEMAREA__SetError(sError, ErrorLen, kImageBusy);
        return -1;
    }
    const U32 modifyCnt = hMemArea->ModifyCnt;
    MEMAREA_Consolidate(hMemArea);
    const U32 errLen = ErrorLen > 0 ? static_cast<U32>(ErrorLen) : 0;
    OUTFILE_HANDLE hFile = OUTFILE_Create(sFilename, sError, errLen);
    int result = -1;
    if (hFile != nullptr) {
        _WriteHexFileFromObj(hMemArea, hFile, pfUpdateGUI, pGUIContext);
        result = OUTFILE__Close(hFile);
    }
    if (ErrorLen > 0 && sError[0] != '\0') {
        result = -1;
    }
    if (result != 0) {
        hMemArea->ModifyCnt = modifyCnt;
    }
    MEMAREA__Unlock(hMemArea);
    return result;
}

int MEMAREA_WriteHexFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen) {
    return MEMAREA_WriteHexFileEx(hMemArea, sFilename, sError, ErrorLen, nullptr, nullptr);
}
