// The file test hooks, shared by both platforms' files.
#include "plat/file.h"

#include "system.h"

#include <atomic>

namespace plat {
namespace {

std::atomic<unsigned> writesToFail{0};
std::atomic<unsigned> readsBeforeFailure{0}; // 0: no read fails

} // namespace

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
