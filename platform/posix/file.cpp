#include "plat/file.h"

#include "../common/system.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

const std::size_t system::kMaxPathLength = PATH_MAX;
namespace {

bool directoryExists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ENOENT covers both a missing file and a missing directory on the way to
// it; Windows tells them apart, so look at the parent.
std::uint32_t classifyMissing(const char *name) {
    std::string path(name);
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return kErrFileNotFound;
    }
    std::string dir = slash == 0 ? std::string("/") : path.substr(0, slash);
    return directoryExists(dir) ? kErrFileNotFound : kErrPathNotFound;
}

std::uint32_t mapErrno(int err, const char *name) {
    switch (err) {
    case ENOENT:
        return classifyMissing(name);
    case ENOTDIR:
        return kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return kErrAccessDenied;
    case ENAMETOOLONG:
    case EILSEQ:
        return kErrInvalidName;
    case ENOSPC:
        return kErrDiskFull;
    default:
        return kErrGeneric;
    }
}

void clearNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
}

} // namespace

void File::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool File::regularFileSize(std::uint64_t &bytes) const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    bytes = static_cast<std::uint64_t>(st.st_size);
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
    // Fill the request as far as the file allows, like ReadFile on a disk file.
    while (got < size) {
        ssize_t n = ::read(fd_, p + got, size - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (winError != nullptr) {
                *winError = mapErrno(errno, "");
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::uint32_t>(n);
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
        ssize_t n = ::write(fd_, p + written, size - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (winError != nullptr) {
                *winError = mapErrno(errno, "");
            }
            return false;
        }
        written += static_cast<std::uint32_t>(n);
    }
    return true;
}

File File::openExisting(const char *name, std::uint32_t &winError) {
    if (!isValidFileName(name)) {
        winError = kErrInvalidName;
        return File();
    }
    // Without O_NONBLOCK, opening a fifo waits for a writer that may never
    // come; with it the open returns at once and a fifo nobody writes to
    // reads as an empty file. Reads block again as for any file.
    int fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        winError = mapErrno(errno, name);
        return File();
    }
    clearNonBlocking(fd);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        winError = kErrAccessDenied; // Windows refuses to open a directory as a file
        return File();
    }
    winError = kErrNone;
    return File(fd);
}

File File::createAlways(const char *name, std::uint32_t &winError) {
    if (!isValidFileName(name)) {
        winError = kErrInvalidName;
        return File();
    }
    bool readOnly = false;
    if (getReadOnlyAttribute(name, readOnly) && readOnly) {
        winError = kErrAccessDenied;
        return File();
    }
    // A fifo without a reader refuses the open (ENXIO) instead of waiting.
    int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        winError = mapErrno(errno, name);
        return File();
    }
    clearNonBlocking(fd);
    winError = kErrNone;
    return File(fd);
}

bool getReadOnlyAttribute(const char *name, bool &readOnly) {
    struct stat st {};
    if (name == nullptr || ::stat(name, &st) != 0) {
        return false;
    }
    readOnly = !S_ISDIR(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    return true;
}

} // namespace plat
