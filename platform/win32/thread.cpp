#include "plat/thread.h"

#include <windows.h>

#include <atomic>

namespace plat {
namespace {

std::atomic<ThreadEndHandler> endHandler{nullptr};

// The threads that asked to report their end, marked in a slot of the
// system's thread-local storage (readable until the thread is gone).
DWORD watchSlot() {
    static const DWORD slot = TlsAlloc();
    return slot;
}

void NTAPI onLoaderNotification(PVOID, DWORD reason, PVOID) {
    if (reason != DLL_THREAD_DETACH) {
        return;
    }
    const DWORD slot = watchSlot();
    if (slot == TLS_OUT_OF_INDEXES || TlsGetValue(slot) == nullptr) {
        return;
    }
    TlsSetValue(slot, nullptr);
    if (ThreadEndHandler h = endHandler.load(); h != nullptr) {
        h();
    }
}

} // namespace

std::uint32_t currentThreadId() {
    return GetCurrentThreadId();
}

void setThreadEndHandler(ThreadEndHandler handler) {
    endHandler.store(handler);
}

void watchCurrentThread() {
    const DWORD slot = watchSlot();
    if (slot != TLS_OUT_OF_INDEXES) {
        TlsSetValue(slot, reinterpret_cast<LPVOID>(1));
    }
}

} // namespace plat

// The loader's thread-detach notification reaches the module that holds the
// platform layer through a TLS callback, the same notification a library's
// DllMain gets: in the library it comes as the library's thread detach, in a
// program that links the layer statically as the program's.
extern "C" {
extern const PIMAGE_TLS_CALLBACK ferroxThreadEndCallback;
__attribute__((section(".CRT$XLF"), used)) const PIMAGE_TLS_CALLBACK ferroxThreadEndCallback =
    plat::onLoaderNotification;
}
