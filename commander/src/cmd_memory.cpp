// Memory commands: showing and writing the four memories item by item,
// copying and patching EROM pages, bit fields.
#include "commander.h"
#include "commands.h"
#include "parse.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

U32 Hex32(int Value) {
    return static_cast<U32>(Value);
}

// Two numbers separated by one character, as every display command takes them.
bool ParseTwo(char **ppCursor, U32 *pFirst, U32 *pSecond) {
    if (ParseHex(ppCursor, pFirst) != nullptr) {
        return false;
    }
    SkipSeparator(ppCursor);
    return ParseHex(ppCursor, pSecond) == nullptr;
}

// Little-endian item of 1, 2 or 4 bytes.
U32 ItemAt(const U8 *pData, int Size) {
    U32 value = 0;
    for (int i = Size - 1; i >= 0; --i) {
        value = (value << 8) | pData[i];
    }
    return value;
}

// Rows of PerRow items: "%.8X = " with the row's first item address, then
// the items.
void PrintRows(U32 Address, const U8 *pData, int NumItems, int ItemSize, int PerRow) {
    for (int i = 0; i < NumItems; i += PerRow) {
        std::printf("%.8X = ", Address + static_cast<U32>(i));
        for (int j = i; j < NumItems && j < i + PerRow; ++j) {
            const U32 item = ItemAt(pData + j * ItemSize, ItemSize);
            if (ItemSize == 1) {
                std::printf("%.2X ", item);
            } else if (ItemSize == 2) {
                std::printf("%.4X ", item);
            } else {
                std::printf("%.8X ", item);
            }
        }
        std::printf("\n");
    }
}

U8 *AllocItems(U32 NumItems, U32 ItemSize) {
    const U64 bytes = static_cast<U64>(NumItems) * ItemSize;
    U8 *buffer = static_cast<U8 *>(CMD_Alloc(bytes));
    if (buffer == nullptr) {
        std::printf("Error: failed to allocate memory (%llu bytes).\n",
                    static_cast<unsigned long long>(bytes));
    }
    return buffer;
}

int Clamp(int Read, U32 Requested) {
    return Read < 0 ? 0 : (static_cast<U32>(Read) > Requested ? static_cast<int>(Requested) : Read);
}

} // namespace

void CMD_RDat(char *pArgs) {
    U32 address = 0;
    U32 count = 0;
    if (!ParseTwo(&pArgs, &address, &count)) {
        std::printf("Syntax: rDat <Addr>, <NumBytes>\n");
        return;
    }
    if (count == 0) {
        return;
    }
    U8 *buffer = AllocItems(count, 1);
    if (buffer == nullptr) {
        return;
    }
    const int r = FERROX_CPU_GetData(address, count, buffer);
    if (r < 1 || FERROX_HasError() != 0) {
        std::printf("Could not read memory.\n");
    } else {
        PrintRows(address, buffer, Clamp(r, count), 1, 16);
    }
    std::free(buffer);
}

void CMD_REROM(char *pArgs) {
    U32 wordAddress = 0;
    U32 numWords = 0;
    if (!ParseTwo(&pArgs, &wordAddress, &numWords)) {
        std::printf("Syntax: rEROM <wAddr>, <NumWords>\n");
        return;
    }
    if (numWords == 0) {
        return;
    }
    U8 *buffer = AllocItems(numWords, 2);
    if (buffer == nullptr) {
        return;
    }
    const int r = FERROX_CPU_GetEROM(wordAddress * 2, numWords * 2, buffer);
    if (FERROX_HasError() != 0 || r < 0) {
        std::printf("Could not read EROM memory.\n");
    } else {
        std::printf("%d Words requested, %d words read\n", static_cast<int>(numWords), r / 2);
        PrintRows(wordAddress, buffer, Clamp(r / 2, numWords), 2, 8);
    }
    std::free(buffer);
}

void CMD_RULP(char *pArgs) {
    U32 page = 0;
    U32 numPages = 0;
    if (!ParseTwo(&pArgs, &page, &numPages)) {
        std::printf("Syntax: rULP <Addr>, <NumPages>\n");
        return;
    }
    if (numPages == 0) {
        return;
    }
    U8 *buffer = AllocItems(numPages, 4);
    if (buffer == nullptr) {
        return;
    }
    U32 *pages = reinterpret_cast<U32 *>(buffer);
    const int r = FERROX_CPU_GetULP(page, numPages, pages);
    if (FERROX_HasError() != 0 || r < 0) {
        std::printf("Could not read ULP EEPROM memory.\n");
    } else {
        std::printf("%d Pages requested, %d Pages read\n", static_cast<int>(numPages), r);
        const int shown = Clamp(r, numPages);
        for (int i = 0; i < shown; i += 4) {
            std::printf("%.8X = ", page + static_cast<U32>(i));
            for (int j = i; j < shown && j < i + 4; ++j) {
                std::printf("%.8X ", pages[j]);
            }
            std::printf("\n");
        }
    }
    std::free(buffer);
}

void CMD_REEPROM(char *pArgs) {
    U32 address = 0;
    U32 count = 0;
    if (!ParseTwo(&pArgs, &address, &count)) {
        std::printf("Syntax: rEEPROM <Addr>, <NumBytes>\n");
        return;
    }
    if (count == 0) {
        return;
    }
    U8 *buffer = AllocItems(count, 1);
    if (buffer == nullptr) {
        return;
    }
    const int r = FERROX_CPU_GetEEPROM(address, count, buffer);
    if (FERROX_HasError() != 0) {
        std::printf("Error during EEPROM memory read.\n");
    } else {
        std::printf("%d Bytes requested, %d bytes read\n", static_cast<int>(count), r);
        PrintRows(address, buffer, Clamp(r, count), 1, 16);
    }
    std::free(buffer);
}

void CMD_WDat(char *pArgs) {
    U32 address = 0;
    U32 value = 0;
    if (!ParseTwo(&pArgs, &address, &value)) {
        std::printf("Syntax: wDat <Addr>, <Data>\n");
        return;
    }
    do {
        const U8 byte = static_cast<U8>(value);
        std::printf("Writing %.2X to DATA @ %.2X\n", byte, address);
        const int r = FERROX_CPU_SetData(address, 1, &byte);
        if (r != 1) {
            std::printf("Error, data not written. Function returned 0x%.8X\n", Hex32(r));
            return;
        }
        ++address;
    } while (ParseHex(&pArgs, &value) == nullptr);
}

void CMD_WEROM(char *pArgs) {
    U32 wordAddress = 0;
    U32 value = 0;
    if (!ParseTwo(&pArgs, &wordAddress, &value)) {
        std::printf("Syntax: wEROM <wAddr>, <Data16> [<Data16>...]\n");
        return;
    }
    do {
        const U8 word[2] = {static_cast<U8>(value), static_cast<U8>(value >> 8)};
        std::printf("Writing %.4X to EROM @ %.4X\n", value & 0xFFFF, wordAddress);
        const int r = FERROX_CPU_ProgEROM(wordAddress * 2, 2, word);
        if (r != 2) {
            std::printf("Error, data not written. Function returned 0x%.8X\n", Hex32(r));
            return;
        }
        ++wordAddress;
    } while (ParseHex(&pArgs, &value) == nullptr);
}

void CMD_WULP(char *pArgs) {
    U32 page = 0;
    U32 value = 0;
    if (!ParseTwo(&pArgs, &page, &value)) {
        std::printf("Syntax: wULP <Addr>, <Data>\n");
        return;
    }
    do {
        std::printf("Writing %.8X to ULPEE page %.4X\n", value, page);
        const int r = FERROX_CPU_ProgULP(page, 1, &value);
        if (r != 1) {
            std::printf("Error, data not written. Function returned 0x%.8X\n", Hex32(r));
        }
        ++page;
    } while (ParseHex(&pArgs, &value) == nullptr);
}

void CMD_WUlpBytes(char *pArgs) {
    U32 page = 0;
    U32 mask = 0;
    U32 data = 0;
    if (!ParseTwo(&pArgs, &page, &mask)) {
        std::printf("Syntax: wUlpBytes <Addr>,<Mask>,<Data>\n");
        return;
    }
    SkipSeparator(&pArgs);
    if (ParseHex(&pArgs, &data) != nullptr) {
        std::printf("Syntax: wUlpBytes <Addr>,<Mask>,<Data>\n");
        return;
    }
    std::printf("Writing %.8X -> %.8X, Mask:%.8X\n", data, page, mask);
    const int r = FERROX_CPU_ProgUlpBytes(page, mask, data);
    if (r != 0) {
        std::printf("Error, data not written. Function returned 0x%.8X\n", Hex32(r));
    }
}

void CMD_CopyULP(char *pArgs) {
    U32 source = 0;
    U32 destination = 0;
    U32 numPages = 0;
    bool parsed = ParseTwo(&pArgs, &source, &destination);
    if (parsed) {
        SkipSeparator(&pArgs);
        parsed = ParseHex(&pArgs, &numPages) == nullptr;
    }
    if (!parsed || numPages == 0) {
        std::printf("Syntax: copyULP <pAddrSource>, <pAddrDest>, <NumPages>\n");
        return;
    }
    U8 *buffer = AllocItems(numPages, 4);
    if (buffer == nullptr) {
        return;
    }
    U32 *pages = reinterpret_cast<U32 *>(buffer);
    const int r = FERROX_CPU_GetULP(source, numPages, pages);
    if (FERROX_HasError() != 0) {
        std::printf("copyULP: failed to read.\n");
    } else if (r < 0 || static_cast<U32>(r) != numPages) {
        std::printf("copyULP: read error - %d pages requested, %d pages read\n", static_cast<int>(numPages),
                    r);
    } else {
        // Only pages that were read are written.
        std::printf("copyULP: read %d pages successfully.\n", r);
        for (U32 i = 0; i < numPages; ++i) {
            std::printf("Writing %.8X to ULPEE page %.4X\n", pages[i], destination + i);
            const int w = FERROX_CPU_ProgULP(destination + i, 1, &pages[i]);
            if (w != 1) {
                std::printf("copyULP: write error, function _CPU_ProgULP returned 0x%.8X\n", Hex32(w));
                break;
            }
        }
    }
    std::free(buffer);
}

void CMD_WEEPROM(char *pArgs) {
    U32 address = 0;
    if (ParseHex(&pArgs, &address) != nullptr) {
        std::printf("Syntax: wEEPROM <Addr>, <Data>\n");
        return;
    }
    if ((address & 1) != 0) {
        std::printf("Address has to be even, CPU can write 16bit words only on even addresses\n");
        return;
    }
    SkipSeparator(&pArgs);
    U32 low = 0;
    if (ParseHex(&pArgs, &low) != nullptr) {
        std::printf("Syntax: wEEPROM <Addr>, <Data>\n");
        return;
    }
    do {
        U32 high = 0;
        if (ParseHex(&pArgs, &high) != nullptr) {
            std::printf("Parse error: number of data bytes must be even.\n");
            return;
        }
        const U8 bytes[2] = {static_cast<U8>(low), static_cast<U8>(high)};
        std::printf("Writing %.4X to EEPROM @ %.4X\n", static_cast<U32>(bytes[0] | bytes[1] << 8), address);
        const int r = FERROX_CPU_ProgEEPROM(address, 2, bytes);
        if (r != 2) {
            std::printf("Error, data not written. Function returned 0x%.8X\n", Hex32(r));
        }
        address += 2;
    } while (ParseHex(&pArgs, &low) == nullptr);
}

void CMD_CopyPage(char *pArgs) {
    U32 source = 0;
    U32 destination = 0;
    if (!ParseTwo(&pArgs, &source, &destination)) {
        std::printf("Syntax: copyPage <scrAddr>,<desAddr>\n");
        return;
    }
    std::printf("copyPage scrAddr:%.4X -> desAddr:%.4X\n", source, destination);
    const int r = FERROX_CPU_CopyPage(source, destination);
    if (r != 0) {
        std::printf("Error copyPage. Function returned 0x%.8X\n", Hex32(r));
    }
}

void CMD_ProgPfBits(char *pArgs) {
    static const char kSyntax[] =
        "Syntax: progPfBits <Addr(hex)>,<Offset(dec)>,<Number(dec)>,<Data(hex)> [<Data(hex)>...]\n";
    U32 wordAddress = 0;
    U32 offset = 0;
    U32 number = 0;
    bool parsed = ParseHex(&pArgs, &wordAddress) == nullptr;
    if (parsed) {
        SkipSeparator(&pArgs);
        parsed = ParseDec(&pArgs, &offset) == nullptr;
    }
    if (parsed) {
        SkipSeparator(&pArgs);
        parsed = ParseDec(&pArgs, &number) == nullptr;
    }
    if (!parsed) {
        std::printf("%s", kSyntax);
        return;
    }
    // Whole bytes of the bit run, raised to whole words when the run does
    // not end on a word boundary.
    const U64 bits = static_cast<U64>(offset) + number;
    U64 size = bits / 8;
    if (bits % 16 != 0) {
        size += (size % 2 == 0) ? 2 : 1;
    }
    U8 *data = static_cast<U8 *>(CMD_Alloc(size));
    if (data == nullptr) {
        std::printf("%s", kSyntax);
        return;
    }
    for (U64 i = 0; i < size; i += 2) {
        U32 word = 0;
        SkipSeparator(&pArgs);
        if (ParseHex(&pArgs, &word) != nullptr) {
            std::printf("%s", kSyntax);
            std::free(data);
            return;
        }
        data[i] = static_cast<U8>(word);
        data[i + 1] = static_cast<U8>(word >> 8);
    }
    const int off = static_cast<int>(offset);
    const int num = static_cast<int>(number);
    std::printf("progPfBits addr:%.4X offset:%i numbits:%i\n", wordAddress, off, num);
    const int r = FERROX_CPU_ProgPfBits(wordAddress, off, num, data);
    if (r != 0) {
        std::printf("Error progPfBits. Function returned 0x%.8X\n", Hex32(r));
    }
    std::free(data);
}

void CMD_SetBitField(char *pArgs) {
    U32 address = 0;
    U32 position = 0;
    U32 width = 0;
    U32 data = 0;
    bool parsed = ParseHex(&pArgs, &address) == nullptr;
    if (parsed) {
        SkipSeparator(&pArgs);
        parsed = ParseDec(&pArgs, &position) == nullptr;
    }
    if (parsed) {
        SkipSeparator(&pArgs);
        parsed = ParseDec(&pArgs, &width) == nullptr;
    }
    if (parsed) {
        SkipSeparator(&pArgs);
        parsed = ParseHex(&pArgs, &data) == nullptr;
    }
    if (!parsed) {
        std::printf("Syntax: setBitField <Addr>,<Position>,<Width>,<Data>\n");
        return;
    }
    const int pos = static_cast<int>(position);
    const int wid = static_cast<int>(width);
    std::printf("setBitField addr:%.4X, position:%i, width:%i, data:%.4X\n", address, pos, wid, data);
    const int r = FERROX_CPU_SetBitField(address, pos, wid, data);
    if (r != 0) {
        std::printf("Error setBitField. Function returned 0x%.8X\n", Hex32(r));
    }
}
