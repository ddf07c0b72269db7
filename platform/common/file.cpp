// What both platforms' files share: the name check, the move, the test hooks.
#include "plat/file.h"

#include "system.h"

#include <atomic>

namespace plat {
namespace {

std::atomic<unsigned> writesToFail{0};
std::atomic<unsigned> readsBeforeFailure{0}; // 0: no read fails

} // namespace

bool isValidFileName(const char *name) {
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    std::size_t len = 0;
    for (const char *p = name; *p != '\0'; ++p, ++len) {
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) {
            return false;
        }
    }
    return len < system::kMaxPathLength;
}

File &File::operator=(File &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void failNextWrites(unsigned count) {
    writesToFail.store(count);
}

void failReadAfter(unsigned goodReads) {
    readsBeforeFailure.store(goodReads + 1);
}

void clearFileFaults() {
    writesToFail.store(0);
    readsBeforeFailure.store(0);
}

namespace system {

bool takeWriteFault() {
    unsigned pending = writesToFail.load();
    while (pending > 0) {
        if (writesToFail.compare_exchange_weak(pending, pending - 1)) {
            return true;
        }
    }
    return false;
}

bool takeReadFault() {
    unsigned left = readsBeforeFailure.load();
    while (left > 0) {
        if (readsBeforeFailure.compare_exchange_weak(left, left - 1)) {
            return left == 1;
        }
    }
    return false;
}

} // namespace system
} // namespace plat
