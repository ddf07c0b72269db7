// A named mutex of the system (CreateMutexA). Its name lives in the logon
// session of the user, so it already is the user's own; a holder that dies
// leaves it abandoned, and the next waiter gets it.
#include "plat/named_mutex.h"

#include "../common/system.h"

#include <windows.h>

#include <new>

namespace plat {

struct NamedMutex::Shared {
    HANDLE handle;
};

bool NamedMutex::open(const char *name) {
    close();
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    // Default security, not owned: creates it, or opens the one that exists.
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (h == nullptr) {
        return false;
    }
    shared_ = new (std::nothrow) Shared{h};
    if (shared_ == nullptr) {
        CloseHandle(h);
        return false;
    }
    return true;
}

void NamedMutex::close() {
    if (shared_ != nullptr) {
        CloseHandle(shared_->handle);
        delete shared_;
        shared_ = nullptr;
    }
}

void NamedMutex::lockUnderlying() {
    // WAIT_ABANDONED: the previous owner ended holding it; it is ours now,
    // as after a release.
    if (WaitForSingleObject(shared_->handle, 0) == WAIT_TIMEOUT) {
        system::runBeforeWaitHook();
        WaitForSingleObject(shared_->handle, INFINITE);
    }
}

void NamedMutex::unlockUnderlying() {
    ReleaseMutex(shared_->handle);
}

} // namespace plat
