/* What the file readers and writers share: error texts and the save frame. */
#include "MEMAREA_Int.h"

#include "plat/file.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

void MEMAREA__SetError(char *sError, int ErrorLen, const char *sText) {
    if (sError == nullptr || ErrorLen <= 0) {
        return;
    }
    const size_t room = static_cast<size_t>(ErrorLen) - 1;
    const size_t n = std::min(std::strlen(sText), room);
    std::memcpy(sError, sText, n);
    sError[n] = '\0';
}

std::string MEMAREA__Format(const char *sFormat, ...) {
    // Texts are short: one pass into a small buffer, a second pass only for
    // a longer one.
    char small[512];
    va_list args;
    va_start(args, sFormat);
    // The analyzer does not see va_start above (a false finding).
    const int n =
        std::vsnprintf(small, sizeof small, sFormat, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    if (n <= 0) {
        return {};
    }
    if (static_cast<size_t>(n) < sizeof small) {
        return std::string(small, static_cast<size_t>(n));
    }
    std::string s(static_cast<size_t>(n), '\0');
    va_start(args, sFormat);
    (void)std::vsnprintf(s.data(), s.size() + 1, sFormat, args);
    va_end(args);
    return s;
}

std::string MEMAREA__OpenErrorText(unsigned long WinError, const char *sFilename) {
    const char *reason;
    switch (WinError) {
    case plat::kErrFileNotFound:
        reason = "File not found!";
        break;
    case plat::kErrPathNotFound:
        reason = "Path not found!";
        break;
    case plat::kErrAccessDenied:
        reason = "Access is denied!";
        break;
    case plat::kErrInvalidDrive:
        reason = "Invalid drive!";
        break;
    case plat::kErrInvalidName:
        reason = "The filename syntax is incorrect!";
        break;
    default:
        reason = "Invalid file handle!";
        break;
    }
    return MEMAREA__Format("Could not open file [%s]\n%s", sFilename != nullptr ? sFilename : "", reason);
}

int MEMAREA__SaveFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                      const std::function<bool(OUTFILE_HANDLE)> &Write) {
    if (hMemArea == nullptr || sError == nullptr) {
        return -1;
    }
    if (MEMAREA__Lock(hMemArea) != 0) {
        MEMAREA__SetError(sError, ErrorLen, "Memory image is busy.");
        return -1;
    }
    const U32 modifyCnt = hMemArea->ModifyCnt;
    MEMAREA_Consolidate(hMemArea);
    const U32 errLen = ErrorLen > 0 ? static_cast<U32>(ErrorLen) : 0;
    OUTFILE_HANDLE hFile = OUTFILE_Create(sFilename, sError, errLen);
    int result = -1;
    if (hFile != nullptr) {
        const bool written = Write(hFile);
        result = OUTFILE__Close(hFile) == 0 && written ? 0 : -1;
    }
    // The file's own fault texts count too, also when there was no other sign.
    if (ErrorLen > 0 && sError[0] != '\0') {
        result = -1;
    }
    if (result != 0) {
        hMemArea->ModifyCnt = modifyCnt;
    }
    MEMAREA__Unlock(hMemArea);
    return result;
}
