// Files through CreateFileA, ReadFile and WriteFile; a failure's class is
// the system's own error code. An open file is kept as a C runtime file
// descriptor over its handle, so that the object keeps one shape on both
// platforms.
#include "plat/file.h"

#include "../common/system.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace plat {

const std::size_t system::kMaxPathLength = MAX_PATH;
namespace {

HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

int adopt(HANDLE h, int flags, std::uint32_t &winError) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd < 0) {
        CloseHandle(h);
        winError = kErrGeneric;
        return -1;
    }
    winError = kErrNone;
    return fd;
}

} // namespace

void File::close() {
    if (fd_ >= 0) {
        _close(fd_); // closes the handle with it
        fd_ = -1;
    }
}

bool File::regularFileSize(std::uint64_t &bytes) const {
    if (fd_ < 0 || GetFileType(handleOf(fd_)) != FILE_TYPE_DISK) {
        return false;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handleOf(fd_), &size) == 0) {
        return false;
    }
    bytes = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

bool File::read(void *buf, std::uint32_t size, std::uint32_t &got, std::uint32_t *winError) {
    got = 0;
    if (system::takeReadFault()) {
        if (winError != nullptr) {
            *winError = kErrGeneric;
        }
        return false;
    }
    auto *p = static_cast<unsigned char *>(buf);
    // A disk file fills the request as far as it goes; a pipe gives what
    // its writer sent, so read on until its end.
    while (got < size) {
        DWORD n = 0;
        if (ReadFile(handleOf(fd_), p + got, size - got, &n, nullptr) == 0) {
            const DWORD err = GetLastError();
            if (err == ERROR_BROKEN_PIPE || err == ERROR_HANDLE_EOF) {
                break;
            }
            if (winError != nullptr) {
                *winError = err;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    return true;
}

bool File::write(const void *buf, std::uint32_t size, std::uint32_t &written, std::uint32_t *winError) {
    written = 0;
    if (system::takeWriteFault()) {
        if (winError != nullptr) {
            *winError = kErrDiskFull;
        }
        return false;
    }
    const auto *p = static_cast<const unsigned char *>(buf);
    while (written < size) {
        DWORD n = 0;
        if (WriteFile(handleOf(fd_), p + written, size - written, &n, nullptr) == 0 || n == 0) {
            if (winError != nullptr) {
                *winError = GetLastError();
            }
            return false;
        }
        written += n;
    }
    return true;
}

File File::openExisting(const char *name, std::uint32_t &winError) {
    if (!isValidFileName(name)) {
        winError = kErrInvalidName;
        return File();
    }
    // A directory is refused with ERROR_ACCESS_DENIED, as files go.
    HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        winError = GetLastError();
        return File();
    }
    return File(adopt(h, _O_RDONLY, winError));
}

File File::createAlways(const char *name, std::uint32_t &winError) {
    if (!isValidFileName(name)) {
        winError = kErrInvalidName;
        return File();
    }
    // Windows refuses to replace a read-only file with ERROR_ACCESS_DENIED;
    // asked first, so that it holds also where the system lets an
    // administrator through (Wine run by root).
    bool readOnly = false;
    if (getReadOnlyAttribute(name, readOnly) && readOnly) {
        winError = kErrAccessDenied;
        return File();
    }
    HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        winError = GetLastError();
        return File();
    }
    return File(adopt(h, 0, winError));
}

bool getReadOnlyAttribute(const char *name, bool &readOnly) {
    if (name == nullptr) {
        return false;
    }
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    readOnly = (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    return true;
}

} // namespace plat
