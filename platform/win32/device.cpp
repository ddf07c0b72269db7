// Devices and pipes of the system (the USB driver's), opened by name with
// CreateFileA and driven with overlapped ReadFile and WriteFile.
#include "../common/system.h"

#include "plat/file.h"

#include <windows.h>

#include <atomic>
#include <list>
#include <mutex>

namespace plat::system {
namespace {

class SystemDevice final : public DeviceFile {
public:
    explicit SystemDevice(HANDLE handle) : handle_(handle) {}
    ~SystemDevice() override {
        // Closing ends the pending requests, but their records and buffers
        // must outlive them: wait for each to finish first.
        cancelIo();
        CloseHandle(handle_);
    }
    SystemDevice(const SystemDevice &) = delete;
    SystemDevice &operator=(const SystemDevice &) = delete;

    bool startWrite(const std::uint8_t *data, std::uint32_t size, IoCompletion &io) override {
        return start(true, const_cast<std::uint8_t *>(data), size, io);
    }
    bool startRead(std::uint8_t *data, std::uint32_t size, IoCompletion &io) override {
        return start(false, data, size, io);
    }

    // CancelIo ends the requests that this thread started on the handle,
    // which are all of them: one caller drives a device at a time.
    void cancelIo() override {
        CancelIo(handle_);
        std::list<Request> finished;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished.splice(finished.end(), requests_);
        }
        for (Request &r : finished) {
            release(r);
        }
    }

private:
    // One overlapped request; its event signals its completion, which a
    // wait of the thread pool hands on to the request's IoCompletion.
    struct Request {
        OVERLAPPED overlapped{};
        IoCompletion *io = nullptr;
        HANDLE wait = nullptr;
        HANDLE handle = nullptr;
        std::atomic<bool> completed{false};
    };

    static void CALLBACK onCompleted(PVOID context, BOOLEAN) {
        auto *r = static_cast<Request *>(context);
        DWORD n = 0;
        GetOverlappedResult(r->handle, &r->overlapped, &n, FALSE);
        r->io->complete(n);
        r->completed.store(true);
    }

    // Ends the request's record; it has completed or been cancelled.
    static void release(Request &r) {
        DWORD n = 0;
        GetOverlappedResult(r.handle, &r.overlapped, &n, TRUE);
        // Returns once a callback that runs has ended; one not yet started
        // never runs.
        UnregisterWaitEx(r.wait, INVALID_HANDLE_VALUE);
        if (!r.completed.load()) {
            r.io->complete(n);
        }
        CloseHandle(r.overlapped.hEvent);
    }

    bool start(bool write, std::uint8_t *data, std::uint32_t size, IoCompletion &io) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        // Records of requests that completed since go first.
        for (auto it = requests_.begin(); it != requests_.end();) {
            if (it->completed.load()) {
                release(*it);
                it = requests_.erase(it);
            } else {
                ++it;
            }
        }
        Request &r = requests_.emplace_back();
        r.overlapped.hEvent = event;
        r.io = &io;
        r.handle = handle_;
        const BOOL done = write ? WriteFile(handle_, data, size, nullptr, &r.overlapped)
                                : ReadFile(handle_, data, size, nullptr, &r.overlapped);
        if (done == 0 && GetLastError() != ERROR_IO_PENDING) {
            CloseHandle(event);
            requests_.pop_back();
            return false;
        }
        io.markPending();
        if (RegisterWaitForSingleObject(&r.wait, event, &SystemDevice::onCompleted, &r, INFINITE,
                                        WT_EXECUTEONLYONCE) == 0) {
            // No one to hand the completion on: wait for it here.
            DWORD n = 0;
            CancelIo(handle_);
            GetOverlappedResult(handle_, &r.overlapped, &n, TRUE);
            io.complete(n);
            CloseHandle(event);
            requests_.pop_back();
        }
        return true;
    }

    HANDLE handle_;
    std::mutex mutex_;
    std::list<Request> requests_; // started and not yet reaped by a cancel
};

} // namespace

std::unique_ptr<DeviceFile> openDevice(const char *name, std::uint32_t &winError) {
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        winError = GetLastError();
        return nullptr;
    }
    winError = kErrNone;
    return std::make_unique<SystemDevice>(h);
}

} // namespace plat::system
