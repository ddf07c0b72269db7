/*
 * Buffered output to a new file. Output leaves in whole 32 KiB writes; the
 * first fault is kept as text and later calls carry on quietly, so writers
 * need to look only once, at the end.
 */
#include "MEMAREA_Int.h"

#include "plat/file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

struct OUTFILE_OBJ {
    plat::File hFile;
    U8 *pBuffer;
    char *sErr;
    U32 BytesUsed;
    U32 ErrLen;
    bool Failed; /* any fault so far, also when sErr had no room to say so */
};

namespace {

// First fault wins; the text is cut to fit the caller's buffer.
void _SetErr(OUTFILE_OBJ *p, const char *sText) {
    p->Failed = true;
    if (p->sErr != nullptr && p->ErrLen > 0 && p->sErr[0] == '\0') {
        MEMAREA__SetError(p->sErr, static_cast<int>(std::min<U32>(p->ErrLen, 0x7FFFFFFF)), sText);
    }
}

void _Flush(OUTFILE_OBJ *p) {
    if (p->BytesUsed == 0) {
        return;
    }
    U32 written = 0;
    if (!p->hFile.write(p->pBuffer, p->BytesUsed, written) || written != p->BytesUsed) {
        _SetErr(p, "Error writing file.");
    }
    p->BytesUsed = 0;
}

void _Free(OUTFILE_OBJ *p) {
    std::free(p->pBuffer);
    delete p;
}

} // namespace

OUTFILE_HANDLE OUTFILE_Create(const char *pFileName, char *sErr, U32 ErrLen) {
    auto *p = new (std::nothrow) OUTFILE_OBJ{};
    if (p == nullptr) {
        if (sErr != nullptr && ErrLen > 0) {
            std::memset(sErr, 0, ErrLen);
            MEMAREA__SetError(sErr, static_cast<int>(std::min<U32>(ErrLen, 0x7FFFFFFF)),
                              "Could not write file. Out of memory.");
        }
        return nullptr;
    }
    p->sErr = sErr;
    p->ErrLen = ErrLen;
    if (sErr != nullptr && ErrLen > 0) {
        std::memset(sErr, 0, ErrLen);
    }
    p->pBuffer = static_cast<U8 *>(MEMAREA__Malloc(OUTFILE_BUFFER_SIZE));
    if (p->pBuffer != nullptr) {
        if (pFileName == nullptr || pFileName[0] == '\0') {
            _SetErr(p, "Could not write file. Invalid filename.");
        } else {
            std::uint32_t winError = 0;
            p->hFile = plat::File::createAlways(pFileName, winError);
            if (!p->hFile.isOpen()) {
                bool readOnly = false;
                if (winError == plat::kErrAccessDenied) {
                    if (plat::getReadOnlyAttribute(pFileName, readOnly) && readOnly) {
                        _SetErr(p, MEMAREA__Format("Could not write file. File has read only attribute.\n%s",
                                                   pFileName)
                                       .c_str());
                    } else {
                        _SetErr(
                            p,
                            MEMAREA__Format("Could not write file. Access denied.\n%s", pFileName).c_str());
                    }
                } else {
                    _SetErr(p, MEMAREA__Format("Could not write file.\n%s", pFileName).c_str());
                }
            } else {
                return p;
            }
        }
    }
    // Kept only when nothing was said before, i.e. when memory ran out.
    _SetErr(p, "Could not write file. Out of memory.");
    _Free(p);
    return nullptr;
}

void OUTFILE_Write(OUTFILE_HANDLE hFile, const void *pData, U32 Size) {
    if (hFile == nullptr || Size == 0) {
        return;
    }
    const auto *src = static_cast<const U8 *>(pData);
    while (Size > 0) {
        const U32 n = std::min<U32>(Size, OUTFILE_BUFFER_SIZE - hFile->BytesUsed);
        if (src != nullptr) {
            std::memcpy(hFile->pBuffer + hFile->BytesUsed, src, n);
            src += n;
        } else {
            std::memset(hFile->pBuffer + hFile->BytesUsed, 0xFF, n);
        }
        hFile->BytesUsed += n;
        Size -= n;
        if (hFile->BytesUsed == OUTFILE_BUFFER_SIZE) {
            _Flush(hFile);
        }
    }
}

int OUTFILE__Close(OUTFILE_HANDLE hFile) {
    if (hFile == nullptr) {
        return 0;
    }
    _Flush(hFile);
    hFile->hFile.close();
    const int result = hFile->Failed ? -1 : 0;
    _Free(hFile);
    return result;
}

void OUTFILE_Close(OUTFILE_HANDLE hFile) {
    (void)OUTFILE__Close(hFile);
}
