// HEX file transfer between the target's memories and Intel HEX files
// (upload, download with EROM word completion, fill range image and
// verify), the fill settings, and the file and target signatures.
#include "commander.h"
#include "commands.h"
#include "parse.h"
#include "signature.h"
#include "transfer_progress.h"

#include "MEMAREA.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kFileNameSize = 512;
constexpr int kErrorTextSize = 512;

// Bytes per item of each memory type (index: MEM_TYPE_ code).
U32 BytesPerItem(int MemType) {
    return MemType == MEM_TYPE_EROM ? 2 : MemType == MEM_TYPE_ULP ? 4 : 1;
}

// The file name as given, with ".hex" when it holds no dot anywhere.
std::string HexFileName(const char *sName) {
    std::string name = sName;
    if (name.find('.') == std::string::npos) {
        name += ".hex";
    }
    return name;
}

// The library's read of one memory, bytes for all but ULP (pages).
int ReadMemory(int MemType, U32 Address, U32 Count, U8 *pData) {
    switch (MemType) {
    case MEM_TYPE_EROM:
        return PROGRESS_Read(FERROX_CPU_GetEROM, Address, Count, pData);
    case MEM_TYPE_EEPROM:
        return PROGRESS_Read(FERROX_CPU_GetEEPROM, Address, Count, pData);
    case MEM_TYPE_DATA:
        return PROGRESS_Read(FERROX_CPU_GetData, Address, Count, pData);
    case MEM_TYPE_ULP:
        return PROGRESS_ReadULP(Address, Count, reinterpret_cast<U32 *>(pData));
    default:
        return 0;
    }
}

// Read step: count and address in bytes, for ULP in pages.
int ReadStep(int MemType, U32 Count, U32 Address, U8 *pData) {
    switch (MemType) {
    case MEM_TYPE_EROM:
        std::printf("\nReading %d Bytes EROM memory, starting from 0x%.4X ...\n", static_cast<int>(Count),
                    Address);
        break;
    case MEM_TYPE_EEPROM:
        std::printf("\nReading %d Bytes EEPROM memory, starting from 0x%.4X ...\n", static_cast<int>(Count),
                    Address);
        break;
    case MEM_TYPE_DATA:
        std::printf("\nReading %d Bytes Data memory, starting from 0x%.4X ...\n", static_cast<int>(Count),
                    Address);
        break;
    case MEM_TYPE_ULP:
        std::printf("\nReading %d pages from ULP memory, starting from page 0x%.4X ...\n",
                    static_cast<int>(Count), Address);
        break;
    default:
        std::printf("\nInvalid mmemory type selected for upload\n");
        return 0;
    }
    return ReadMemory(MemType, Address, Count, pData);
}

// Write step: count and address in bytes.
int WriteStep(int MemType, const U8 *pData, U32 Count, U32 Address) {
    const int count = static_cast<int>(Count);
    switch (MemType) {
    case MEM_TYPE_EROM:
        std::printf("Writing %d Bytes to EROM memory, starting from 0x%.4X ...\n", count, Address);
        return PROGRESS_Write(FERROX_CPU_ProgEROM, Address, Count, pData);
    case MEM_TYPE_EEPROM:
        std::printf("Writing %d Bytes to EEPROM memory, starting from 0x%.4X ...\n", count, Address);
        return PROGRESS_Write(FERROX_CPU_ProgEEPROM, Address, Count, pData);
    case MEM_TYPE_DATA:
        std::printf("Writing %d Bytes to Data memory, starting from 0x%.4X ...\n", count, Address);
        return PROGRESS_Write(FERROX_CPU_SetData, Address, Count, pData);
    case MEM_TYPE_ULP:
        std::printf("Writing %d Bytes to ULP memory, starting from 0x%.4X ...\n", count, Address);
        if (Address % 4 != 0 || Count % 4 != 0 || Count < 4) {
            return 0;
        }
        return PROGRESS_WriteULP(Address / 4, Count / 4, pData) * 4;
    default:
        std::printf("Invalid mmemory type selected for download!\n");
        return 0;
    }
}

// Verify step: reads the bytes back and compares them; reports only.
void VerifyStep(int MemType, U32 Address, const U8 *pExpected, U32 Count) {
    std::printf("Verifying data from (byte) addr. 0x%.4X to 0x%.4X ...", Address, Address + Count - 1);
    U8 *found = static_cast<U8 *>(CMD_Alloc(Count));
    if (found == nullptr) {
        std::printf("\nSystem error: Memory for target could not be allocated.");
        return;
    }
    // A failed write has shown its error already; left pending, it would
    // stop the read-back, and verify is there to tell what the target holds.
    if (FERROX_HasError() != 0) {
        FERROX_ClrError();
    }
    int r = 0;
    if (MemType == MEM_TYPE_ULP) {
        r = ReadMemory(MemType, Address / 4, Count / 4, found) * 4;
    } else {
        r = ReadMemory(MemType, Address, Count, found);
    }
    if (r < 0 || static_cast<U32>(r) != Count) {
        std::printf("Error: Could not verify data, data could not be read from target.\n");
    } else {
        U32 i = 0;
        while (i < Count && found[i] == pExpected[i]) {
            ++i;
        }
        if (i < Count) {
            std::printf("VERIFY ERROR at (byte) address 0x%.4X\n", Address + i);
            std::printf("Expected: 0x%.2X\n", pExpected[i]);
            std::printf("Found:    0x%.2X\n", found[i]);
        } else {
            std::printf("Target data verified OK\n");
        }
    }
    std::free(found);
}

void PrintSignature(int MemType, const U8 *pImage, U32 Size) {
    const U32 signature = SIG_Calculate(pImage, Size);
    switch (MemType) {
    case MEM_TYPE_EROM:
        std::printf("EROM calculated signature: %.6X\n", signature);
        break;
    case MEM_TYPE_EEPROM:
        std::printf("Par.EEPROM calculated signature: %.6X\n", signature);
        break;
    case MEM_TYPE_ULP:
        std::printf("ULPEE calculated signature: %.6X\n", signature);
        break;
    default:
        std::printf("Invalid memory type selected for signature.\n");
        break;
    }
}

// What one download holds; released on every way out.
struct DOWNLOAD {
    MEMAREA_HANDLE hMemArea = nullptr;
    U8 *pImage = nullptr;
    U8 *pData = nullptr;
    ~DOWNLOAD() {
        std::free(pData);
        std::free(pImage);
        if (hMemArea != nullptr) {
            MEMAREA_Delete(hMemArea);
        }
    }
};

// Completes an EROM range at odd ends from the target, so that only whole
// words are programmed: pData[1..Size] holds the file's bytes, pData[0] and
// pData[Size + 1] are free. False when a read of the target fails.
bool CompleteEromWords(U32 Address, U32 Size, U8 *pData, U32 *pLead, U32 *pExtra) {
    *pLead = 0;
    *pExtra = 0;
    U8 word[2];
    if ((Address & 1) != 0) {
        if (FERROX_CPU_GetEROM(Address - 1, 2, word) != 2) {
            return false;
        }
        pData[0] = word[0];
        *pLead = 1;
        *pExtra = 1;
    }
    if (((Address + Size) & 1) != 0) {
        if (FERROX_CPU_GetEROM(Address + Size - 1, 2, word) != 2) {
            return false;
        }
        pData[1 + Size] = word[1];
        ++*pExtra;
    }
    return true;
}

// The download path, shared by download (writing on) and filesig (writing
// and verification off).
void DownloadPath(int MemType, const char *sFileName, bool Write, bool Verify) {
    DOWNLOAD d;
    const std::string name = HexFileName(sFileName);
    d.hMemArea = MEMAREA_Create();
    char error[kErrorTextSize] = {};
    if (d.hMemArea == nullptr || MEMAREA_ReadHexFile(d.hMemArea, name.c_str(), error, sizeof error) != 0) {
        if (error[0] != '\0') {
            std::printf("\n%s\n", error);
        } else {
            std::printf("Error: file [%s] not found.\n", name.c_str());
        }
        return;
    }
    const U32 first = MEMAREA_GetFirstAddr(d.hMemArea);
    const U32 last = MEMAREA_GetLastAddr(d.hMemArea);
    const int ranges = MEMAREA_GetNumRanges(d.hMemArea);
    if (ranges <= 0) {
        std::printf("Note: hex file is empty.\n");
        return;
    }
    const U64 length = static_cast<U64>(last) - first + 1;
    if ((MemType == MEM_TYPE_EEPROM && (first % 2 != 0 || length % 2 != 0)) ||
        (MemType == MEM_TYPE_ULP && (first % 4 != 0 || length % 4 != 0))) {
        std::printf("\nHex file error: start address or length invalid for given memory type.\n");
        return;
    }
    FILL_SETTING &fill = FillSettings[MemType];
    const bool withFill = fill.RangeSet != 0;
    U32 fillStart = 0;
    I64 total = static_cast<I64>(last) - static_cast<I64>(first) + 1;
    if (withFill) {
        if (fill.PatternSet == 0) {
            std::printf("Note: no fill pattern defined, using default = 0x00000000.\n");
            fill.Pattern = 0;
        }
        std::printf("Note: Fill range (items): 0x%.4X .. 0x%.4X\n", fill.Start, fill.End);
        const U32 bpi = BytesPerItem(MemType);
        fillStart = fill.Start * bpi;
        const U32 fillEnd = (fill.End + 1) * bpi - 1;
        if (first < fillStart || last > fillEnd) {
            std::printf("Error: file contains addresses outside the defined fill range for this memory.\n");
            return;
        }
        total = static_cast<I64>(fillEnd) - fillStart + 1;
        d.pImage = static_cast<U8 *>(CMD_Alloc(static_cast<U64>(total)));
        if (d.pImage == nullptr) {
            std::printf("Error: failed to allocate memory for fill range (%d bytes).\n",
                        static_cast<int>(total));
            return;
        }
        for (I64 i = 0; i < total; ++i) {
            d.pImage[i] = static_cast<U8>(fill.Pattern >> (8 * (i % 4)));
        }
    }
    if (total <= 0) {
        std::printf("No data to write.\n");
        return;
    }
    std::printf("Note: number of memory ranges in hex file: %u, (byte) addr. 0x%.4X .. 0x%.4X\n",
                static_cast<unsigned>(ranges), first, last);
    I64 remaining = total;
    I64 written = 0;
    for (int i = 0; i < ranges && remaining > 0; ++i) {
        U32 address = 0;
        U32 size = 0;
        MEMAREA_GetRangeInfo(d.hMemArea, i, &address, &size);
        std::free(d.pData);
        d.pData = static_cast<U8 *>(CMD_Alloc(static_cast<U64>(size) + 2));
        if (d.pData == nullptr) {
            std::printf("\nSystem error: failed to allocate memory for file data.\n");
            return;
        }
        if (withFill) {
            MEMAREA_ReadMem(d.hMemArea, address, size, d.pData, 0);
            std::memcpy(d.pImage + (address - fillStart), d.pData, size);
            continue;
        }
        MEMAREA_ReadMem(d.hMemArea, address, size, d.pData + 1, 0);
        if (size > remaining) {
            std::printf("Warning: Unexpected amount of bytes from file: %d altough %d in total!\n",
                        static_cast<int>(size), static_cast<int>(remaining));
            size = static_cast<U32>(remaining);
        }
        if (!Write) {
            continue;
        }
        U32 lead = 0;
        U32 extra = 0;
        if (MemType == MEM_TYPE_EROM && !CompleteEromWords(address, size, d.pData, &lead, &extra)) {
            return;
        }
        const U32 count = size + extra;
        const int r = WriteStep(MemType, d.pData + 1 - lead, count, address - lead);
        if (r < 0 || static_cast<U32>(r) != count) {
            std::printf("Error: not all of the requested bytes could be written.\n");
            return;
        }
        if (Verify) {
            VerifyStep(MemType, address - lead, d.pData + 1 - lead, count);
        }
        written += r;
        remaining -= r;
    }
    if (withFill) {
        if (Write) {
            const U32 count = static_cast<U32>(total);
            const int r = WriteStep(MemType, d.pImage, count, fillStart);
            if (r >= 0 && static_cast<U32>(r) == count) {
                if (Verify) {
                    VerifyStep(MemType, fillStart, d.pImage, count);
                }
                written = total;
            } else {
                std::printf("Error: not all of the requested bytes could be written!\n");
            }
        }
        PrintSignature(MemType, d.pImage, static_cast<U32>(total));
    }
    if (Write) {
        std::printf("Download finished, %d byte(s) written to %s.\n", static_cast<int>(written),
                    MemTypeName(MemType));
    }
}

// The memory keyword and file name of download and filesig.
bool ParseDownloadArgs(char **ppArgs, int *pMemType, char *pName) {
    if (ParseMemType(ppArgs, pMemType) != nullptr) {
        std::printf("\nInvalid memory parameter for download\n");
        return false;
    }
    ParseText(ppArgs, pName, kFileNameSize);
    if (pName[0] == '\0') {
        std::printf("\nInvalid parameter for download, expected a file name\n");
        return false;
    }
    return true;
}

} // namespace

void CMD_Upload(char *pArgs) {
    std::printf("Executing upload ...");
    int memType = 0;
    if (ParseMemType(&pArgs, &memType) != nullptr) {
        std::printf("\nInvalid memory parameter for upload\n");
        return;
    }
    char name[kFileNameSize];
    ParseText(&pArgs, name, sizeof name);
    if (name[0] == '\0') {
        std::printf("\nInvalid parameter for upload, expected a file name\n");
        return;
    }
    U32 address = 0;
    U32 count = 0;
    SkipWhiteSpace(&pArgs);
    if (*pArgs != '\0' && ParseHex(&pArgs, &address) != nullptr) {
        std::printf("\nInvalid parameter for upload, expected an address (hex)\n");
        return;
    }
    SkipWhiteSpace(&pArgs);
    if (*pArgs != '\0') {
        if (*pArgs != ',') {
            std::printf("\nInvalid delimiter between <addr> and <size> for upload\n");
            return;
        }
        ++pArgs;
    }
    SkipWhiteSpace(&pArgs);
    if (*pArgs != '\0' && ParseHex(&pArgs, &count) != nullptr) {
        std::printf("\nInvalid parameter for upload, expected a size (hex)\n");
        return;
    }
    if (count == 0) {
        std::printf("\nWrong parameter for upload, size must be larger than zero\n");
        return;
    }
    const U32 bpi = BytesPerItem(memType);
    const U64 byteAddress = static_cast<U64>(address) * bpi;
    const U64 byteCount = static_cast<U64>(count) * bpi;
    U8 *buffer =
        byteAddress + byteCount <= 0x100000000ull ? static_cast<U8 *>(CMD_Alloc(byteCount)) : nullptr;
    if (buffer == nullptr) {
        std::printf("Error: failed to allocate memory for upload (%d bytes).\n", static_cast<int>(byteCount));
        return;
    }
    I64 got = 0;
    if (memType == MEM_TYPE_ULP) {
        got = static_cast<I64>(ReadStep(memType, count, address, buffer)) * 4;
    } else {
        got = ReadStep(memType, static_cast<U32>(byteCount), static_cast<U32>(byteAddress), buffer);
    }
    if (got != static_cast<I64>(byteCount)) {
        std::printf("...upload size too large\n");
        std::free(buffer);
        return;
    }
    const std::string file = HexFileName(name);
    MEMAREA_HANDLE hMemArea = MEMAREA_Create();
    char error[kErrorTextSize] = {};
    if (hMemArea == nullptr ||
        MEMAREA_Add(hMemArea, static_cast<U32>(byteAddress), static_cast<U32>(byteCount), buffer) != 0 ||
        MEMAREA_WriteHexFile(hMemArea, file.c_str(), error, sizeof error) != 0) {
        std::printf("Error: failed to write file %s\n", file.c_str());
    } else {
        std::printf("%d bytes of data written to file %s\n", static_cast<int>(byteCount), file.c_str());
    }
    if (hMemArea != nullptr) {
        MEMAREA_Delete(hMemArea);
    }
    std::free(buffer);
}

void CMD_Download(char *pArgs) {
    int memType = 0;
    char name[kFileNameSize];
    if (!ParseDownloadArgs(&pArgs, &memType, name)) {
        return;
    }
    std::printf("Executing download, file %s ... \n", name);
    DownloadPath(memType, name, true, VerifyDownloads != 0);
}

void CMD_FileSig(char *pArgs) {
    int memType = 0;
    char name[kFileNameSize];
    if (!ParseDownloadArgs(&pArgs, &memType, name)) {
        return;
    }
    if (FillSettings[memType].RangeSet == 0) {
        std::printf("Error: a memory fill range must be defined in order to use this function.\n");
        return;
    }
    DownloadPath(memType, name, false, false);
}

void CMD_FillRange(char *pArgs) {
    static const char kSyntax[] = "Syntax: fillrange <memtype>, <start address>, <end address>  OR\n"
                                  "        fillrange <memtype>, off\n";
    int memType = 0;
    if (ParseMemType(&pArgs, &memType) != nullptr) {
        std::printf("\nInvalid memory parameter\n");
        return;
    }
    FILL_SETTING &fill = FillSettings[memType];
    U32 start = 0;
    if (ParseHex(&pArgs, &start) != nullptr) {
        char text[256];
        ParseText(&pArgs, text, sizeof text);
        if (std::strcmp(text, "off") == 0) {
            fill.RangeSet = 0;
            std::printf("Fill range setting cleared for %s.\n", MemTypeName(memType));
        } else {
            std::printf("%s", kSyntax);
        }
        return;
    }
    SkipSeparator(&pArgs);
    U32 end = 0;
    if (ParseHex(&pArgs, &end) != nullptr) {
        std::printf("%s", kSyntax);
        return;
    }
    if (start > 0xFFFF || end > 0xFFFF) {
        std::printf("Error: addresses must be 16 bit.\n");
        return;
    }
    if (start >= end) {
        std::printf("Error: end must be larger than start address.\n");
        return;
    }
    fill.Start = start;
    fill.End = end;
    fill.RangeSet = 1;
    std::printf("Fill range for %s set to 0x%.4X .. 0x%.4X\n", MemTypeName(memType), start, end);
}

void CMD_FillPattern(char *pArgs) {
    int memType = 0;
    if (ParseMemType(&pArgs, &memType) != nullptr) {
        std::printf("\nInvalid memory parameter\n");
        return;
    }
    FILL_SETTING &fill = FillSettings[memType];
    U32 pattern = 0;
    if (ParseHex(&pArgs, &pattern) == nullptr) {
        fill.Pattern = pattern;
        fill.PatternSet = 1;
        std::printf("Fill pattern set to 0x%.8X for %s \n", pattern, MemTypeName(memType));
        return;
    }
    char text[256];
    ParseText(&pArgs, text, sizeof text);
    if (std::strcmp(text, "off") == 0) {
        fill.PatternSet = 0;
        std::printf("fill pattern cleared for %s.\n", MemTypeName(memType));
    } else {
        std::printf("Syntax: fillpattern <memtype>, <32-bit fill pattern>|off\n");
    }
}

void CMD_Sig(char *pArgs) {
    static const char kCanceled[] =
        "\n****** Error: Function canceled, because Quidor has an error state pending.\n";
    int r = FERROX_CPU_EnterMonitor();
    if (r != 0) {
        std::printf("EnterMonitor failed, function returned %.8X\n", static_cast<U32>(r));
        if (FERROX_HasError() != 0) {
            std::printf("%s", kCanceled);
            return;
        }
    }
    const int status = FERROX_CPU_GetStatus(0);
    if (FERROX_HasError() != 0) {
        std::printf("%s", kCanceled);
        return;
    }
    std::printf((status & 7) == 4 ? "Device in protected mode !\n" : "Device in non-protected mode !\n");
    char text[80];
    ParseText(&pArgs, text, sizeof text);
    I64 firstCode = 0;
    I64 lastCode = 11;
    if (text[0] == '\0') {
        std::printf("attempting to read signatures %i - %i\n", 0, 11);
    } else {
        U32 code = 0;
        for (const char *p = text; *p >= '0' && *p <= '9'; ++p) {
            code = code * 10u + static_cast<U32>(*p - '0');
        }
        firstCode = lastCode = static_cast<int>(code);
        std::printf("attempting to read signature %i\n", static_cast<int>(code));
    }
    for (I64 i = firstCode; i <= lastCode; ++i) {
        const int code = static_cast<int>(i);
        r = FERROX_CPU_EnterMonitor();
        if (r != 0) {
            std::printf("EnterMonitor failed, function returned %.8X\n", static_cast<U32>(r));
        }
        std::printf("signature (memory code %2i) = ", code);
        U8 value[4] = {};
        r = FERROX_CPU_CalcSign(code, 4, value);
        if (r == 4) {
            std::printf("%.8X\n", static_cast<U32>(value[0] | value[1] << 8 | value[2] << 16) |
                                      static_cast<U32>(value[3]) << 24);
        } else if (r == -1) {
            std::printf("n.a.\n");
        } else {
            std::printf("unexpected response length: %d\n", r);
        }
        FERROX_ClrError();
    }
}
