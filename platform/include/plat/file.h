// Files with Windows-like semantics and error classes.
//
// The memory image library chooses its messages by the Windows error code
// of a failed open, so the POSIX side maps errno onto those classes.
#pragma once

#include <cstdint>

namespace plat {

// Windows error codes that callers tell apart.
enum WinError : std::uint32_t {
    kErrNone = 0,
    kErrFileNotFound = 2,
    kErrPathNotFound = 3,
    kErrAccessDenied = 5,
    kErrInvalidHandle = 6,
    kErrInvalidDrive = 15,
    kErrSharingViolation = 32,
    kErrDiskFull = 112,
    kErrInvalidName = 123,
    kErrGeneric = 31,
};

// Owns an open file; closes it on destruction.
class File {
public:
    File() = default;
    ~File() { close(); }
    File(File &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    File &operator=(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Reads up to `size` bytes; false on an I/O error. `got` 0 means end of file.
    bool read(void *buf, std::uint32_t size, std::uint32_t &got, std::uint32_t *winError = nullptr);
    // Writes `size` bytes; false when not all of them were written.
    bool write(const void *buf, std::uint32_t size, std::uint32_t &written,
               std::uint32_t *winError = nullptr);
    void close();
    // Size of a regular file; false for anything else (fifos, devices),
    // whose length is not known before it has been read.
    bool regularFileSize(std::uint64_t &bytes) const;

    // Opens an existing file for reading only (no create). Never waits: a
    // fifo without a writer opens at once and reads as an empty file.
    static File openExisting(const char *name, std::uint32_t &winError);
    // Creates a file for writing, replacing an existing one. A file without
    // any write permission bit counts as read-only and is refused with
    // kErrAccessDenied, whoever runs the program. Never waits: a fifo
    // without a reader is refused (kErrGeneric).
    static File createAlways(const char *name, std::uint32_t &winError);

private:
    explicit File(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// The read-only attribute: true when the file exists and no write permission
// bit is set. Returns false when the attributes cannot be read.
bool getReadOnlyAttribute(const char *name, bool &readOnly);

// Classifies a file name the way the Windows name parser would refuse it:
// empty, longer than the path limit, or holding control characters.
bool isValidFileName(const char *name);

// Test hooks: make the next `count` File::write calls fail (0 turns it off),
// and make the File::read after the next `goodReads` ones fail once.
void failNextWrites(unsigned count);
void failReadAfter(unsigned goodReads);
void clearFileFaults();

} // namespace plat
