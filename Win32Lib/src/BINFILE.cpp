/*
 * Raw binary files: the reader places a file's bytes at a load address, the
 * writer writes a window of the image as a flat byte stream with 0xFF in the
 * gaps, ending at the last stored byte.
 */
#include "MEMAREA_Int.h"

#include "plat/file.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr U64 kAddressSpace = 0x100000000ULL;
constexpr U32 kMaxGap = 0xFFFFFF;
const char *const kDoesNotFit = "Could not read file. File does not fit below 4 GB.";

void _WriteBinData(MEMAREA_OBJ *pObj, OUTFILE_HANDLE hFile, U8 *pBuffer, U32 SAddr, U32 EAddr,
                   MEMAREA_STATUS_FUNC *pfUpdateGUI, void *pGUIContext) {
    U64 pos = SAddr;
    while (pos <= EAddr) {
        if (pfUpdateGUI != nullptr) {
            const MEMAREA_STATUS_INFO info{static_cast<U32>(pos), pObj->NumBlocks};
            pfUpdateGUI(pGUIContext, &info);
        }
        const U64 want = std::min<U64>(static_cast<U64>(EAddr) - pos + 1, MEMAREA_WRITE_BUFFERSIZE);
        U32 a = 0;
        const int n = MEMAREA__GetDataBlock(pObj, static_cast<U32>(pos), EAddr, kMaxGap, pBuffer, &a,
                                            static_cast<int>(want), 0, 0);
        if (n == 0) {
            break;
        }
        // Padding up to the block: in pieces, so that no size overflows.
        while (pos < a) {
            const U32 pad = static_cast<U32>(std::min<U64>(a - pos, 0x80000000ULL));
            OUTFILE_Write(hFile, nullptr, pad);
            pos += pad;
        }
        OUTFILE_Write(hFile, pBuffer, static_cast<U32>(n));
        pos += static_cast<U64>(n);
    }
}

} // namespace

int MEMAREA_WriteBinFileEx(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                           U32 SAddr, U32 EAddr, MEMAREA_STATUS_FUNC *pfUpdateGUI, void *pGUIContext) {
    return MEMAREA__SaveFile(hMemArea, sFilename, sError, ErrorLen, [&](OUTFILE_HANDLE hFile) {
        auto *buffer = static_cast<U8 *>(MEMAREA__Malloc(MEMAREA_WRITE_BUFFERSIZE));
        if (buffer == nullptr) {
            MEMAREA__SetError(sError, ErrorLen, "Could not write file. Out of memory.");
            return false;
        }
        _WriteBinData(hMemArea, hFile, buffer, SAddr, EAddr, pfUpdateGUI, pGUIContext);
        std::free(buffer);
        return true;
    });
}

int MEMAREA_WriteBinFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                         U32 SAddr, U32 EAddr) {
    return MEMAREA_WriteBinFileEx(hMemArea, sFilename, sError, ErrorLen, SAddr, EAddr, nullptr, nullptr);
}

int MEMAREA_ReadBinFileEx(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                          U32 SAddr, MEMAREA_STATUS_FUNC *pfUpdateGUI, void *pGUIContext) {
    MEMAREA__SetError(sError, ErrorLen, "");
    if (hMemArea == nullptr) {
        return -1;
    }
    if (MEMAREA__Lock(hMemArea) != 0) {
        MEMAREA__SetError(sError, ErrorLen, "Memory image is busy.");
        return -1;
    }
    int result = 0;
    std::uint32_t winError = 0;
    plat::File file = plat::File::openExisting(sFilename, winError);
    if (!file.isOpen()) {
        MEMAREA__SetError(sError, ErrorLen, MEMAREA__OpenErrorText(winError, sFilename).c_str());
        result = -1;
    } else if (std::uint64_t size = 0; file.regularFileSize(size) && SAddr + size > kAddressSpace) {
        // Refused before the first byte: loading gigabytes only to give up
        // at the top would leave them all in the image.
        MEMAREA__SetError(sError, ErrorLen, kDoesNotFit);
        result = -1;
    } else {
        auto *buffer = static_cast<U8 *>(MEMAREA__Malloc(MEMAREA_READ_BUFFERSIZE));
        if (buffer == nullptr) {
            MEMAREA__SetError(sError, ErrorLen, "Could not read file. Out of memory.");
            result = -1;
        } else {
            U64 adr = SAddr;
            for (;;) {
                std::uint32_t got = 0;
                if (!file.read(buffer, MEMAREA_READ_BUFFERSIZE, got)) {
                    MEMAREA__SetError(sError, ErrorLen, "Could not read file.");
                    result = -1;
                    break;
                }
                if (got == 0) {
                    break;
                }
                if (pfUpdateGUI != nullptr) {
                    const MEMAREA_STATUS_INFO info{static_cast<U32>(adr), hMemArea->NumBlocks};
                    pfUpdateGUI(pGUIContext, &info);
                }
                // A file that reaches past 0xFFFFFFFF would wrap to address 0.
                if (adr + got > kAddressSpace) {
                    MEMAREA__SetError(sError, ErrorLen, kDoesNotFit);
                    result = -1;
                    break;
                }
                const int added = MEMAREA__Add(hMemArea, static_cast<U32>(adr), got, buffer, -1);
                if (added == MEMAREA_ADD_NO_MEMORY) {
                    MEMAREA__SetError(sError, ErrorLen, "Could not read file. Out of memory.");
                    result = -1;
                    break;
                }
                // Leaving the chunk out would leave a hole in what the file
                // holds and call it success.
                if (added != 0) {
                    U32 held = static_cast<U32>(adr);
                    MEMAREA__FirstHeldAddr(hMemArea, static_cast<U32>(adr), got, &held);
                    MEMAREA__SetError(
                        sError, ErrorLen,
                        MEMAREA__Format(
                            "Could not read file. It overlaps data already in the image at 0x%.8X.", held)
                            .c_str());
                    result = -1;
                    break;
                }
                adr += got;
            }
            std::free(buffer);
        }
        file.close();
    }
    hMemArea->ModifyCnt = 0;
    MEMAREA__Unlock(hMemArea);
    return result;
}

int MEMAREA_ReadBinFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                        U32 SAddr) {
    return MEMAREA_ReadBinFileEx(hMemArea, sFilename, sError, ErrorLen, SAddr, nullptr, nullptr);
}
