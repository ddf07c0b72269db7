// kshim's I/O manager: opens devices by their DOS names, sends create, read,
// write, device control, cleanup and close, and serves the platform layer's
// device namespace.
#include "internal.h"

#include "plat/clock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace kshim {

using detail::bugCheck;

namespace {
// A request a driver never completes: far beyond any test's needs.
constexpr std::uint32_t kLostRequestMs = 30000;
} // namespace

struct Request::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool hasDue = false;
    ULONG due = 0;
    PIRP irp = nullptr;
    MDL mdl{};
    std::vector<std::uint8_t> systemBuffer;
    void *output = nullptr;
    ULONG outputLength = 0;
    std::function<void(State &)> onDone;
    File::Impl *file = nullptr;

    ~State() {
        if (irp != nullptr) {
            detail::freeIrp(irp);
        }
    }
};

bool Request::done() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->done;
}

bool Request::wait(std::uint32_t realMs) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(realMs), [this] { return state_->done; });
}

NTSTATUS Request::status() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->status;
}

ULONG_PTR Request::information() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->information;
}

bool Request::hasDueTick() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->hasDue;
}

ULONG Request::dueTick() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->due;
}

struct File::Impl {
    PFILE_OBJECT fileObject = nullptr;
    PDEVICE_OBJECT top = nullptr;
    std::wstring fileName;
    std::mutex mutex;
    std::vector<std::shared_ptr<Request::State>> pending;

    static void finish(PIRP irp) {
        auto *state = static_cast<Request::State *>(irp->Kshim.FinishContext);
        if (state->output != nullptr && irp->IoStatus.Information > state->outputLength &&
            NT_SUCCESS(irp->IoStatus.Status)) {
            bugCheck("buffered control request returned more bytes than its output buffer holds");
        }
        if (state->output != nullptr && NT_SUCCESS(irp->IoStatus.Status)) {
            std::memcpy(state->output, state->systemBuffer.data(), irp->IoStatus.Information);
        }
        std::shared_ptr<Request::State> keep;
        if (state->file != nullptr) {
            std::lock_guard<std::mutex> lock(state->file->mutex);
            auto &list = state->file->pending;
            auto it =
                std::find_if(list.begin(), list.end(), [state](const auto &p) { return p.get() == state; });
            if (it != list.end()) {
                keep = *it;
                list.erase(it);
            }
        }
        std::function<void(Request::State &)> onDone;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->status = irp->IoStatus.Status;
            state->information = irp->IoStatus.Information;
            state->hasDue = irp->Kshim.HasDueTick != FALSE;
            state->due = irp->Kshim.DueTick;
            state->done = true;
            onDone = std::move(state->onDone);
        }
        if (onDone) {
            onDone(*state);
        }
        state->changed.notify_all();
    }

    // Sends a request on this file; `state` is kept until it finishes.
    Request send(UCHAR major, std::shared_ptr<Request::State> state,
                 const std::function<void(PIO_STACK_LOCATION)> &fill) {
        PIRP irp = detail::allocateIrp(top->StackSize);
        state->irp = irp;
        state->file = this;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->FileObject = fileObject;
        irp->Tail.Overlay.OriginalFileObject = fileObject;
        irp->Kshim.Finish = finish;
        irp->Kshim.FinishContext = state.get();
        fill(stack);
        if (state->mdl.ByteCount != 0) {
            irp->MdlAddress = &state->mdl;
        }
        if (!state->systemBuffer.empty()) {
            irp->AssociatedIrp.SystemBuffer = state->systemBuffer.data();
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            pending.push_back(state);
        }
        const NTSTATUS returned = IofCallDriver(top, irp);
        if (returned != STATUS_PENDING) {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (!state->done) {
                bugCheck("dispatch routine returned without STATUS_PENDING and without completing");
            }
            if (state->status != returned) {
                bugCheck("dispatch routine returned another status than the one it completed with");
            }
        }
        return Request(state);
    }

    Request transfer(UCHAR major, void *buffer, ULONG length, std::function<void(Request::State &)> onDone) {
        auto state = std::make_shared<Request::State>();
        state->onDone = std::move(onDone);
        state->mdl.StartVa = buffer;
        state->mdl.ByteCount = length;
        state->mdl.MdlFlags = MDL_PAGES_LOCKED;
        return send(major, state, [major, length](PIO_STACK_LOCATION stack) {
            if (major == IRP_MJ_READ) {
                stack->Parameters.Read.Length = length;
            } else {
                stack->Parameters.Write.Length = length;
            }
        });
    }

    NTSTATUS simple(UCHAR major) {
        Request r = send(major, std::make_shared<Request::State>(), [](PIO_STACK_LOCATION) {});
        if (!r.wait(kLostRequestMs)) {
            bugCheck("create, cleanup or close never completed");
        }
        return r.status();
    }

    void cancelAll() {
        std::vector<std::shared_ptr<Request::State>> snapshot;
        {
            std::lock_guard<std::mutex> lock(mutex);
            snapshot = pending;
        }
        for (auto &s : snapshot) {
            IoCancelIrp(s->irp); // the IRP stays allocated while `s` lives
        }
        for (auto &s : snapshot) {
            if (!Request(s).wait(kLostRequestMs)) {
                bugCheck("a cancelled request never completed");
            }
        }
    }
};

File::File(std::unique_ptr<Impl> impl) : impl_(std::move(impl)), fileObject_(impl_->fileObject) {}

File::~File() {
    impl_->simple(IRP_MJ_CLEANUP);
    impl_->cancelAll();
    impl_->simple(IRP_MJ_CLOSE);
    PDEVICE_OBJECT top = impl_->top;
    delete impl_->fileObject;
    impl_.reset();
    detail::fileClosed(top);
}

Request File::startRead(void *buffer, ULONG length) {
    return impl_->transfer(IRP_MJ_READ, buffer, length, nullptr);
}

Request File::startWrite(const void *buffer, ULONG length) {
    return impl_->transfer(IRP_MJ_WRITE, const_cast<void *>(buffer), length, nullptr);
}

NTSTATUS File::read(void *buffer, ULONG length, ULONG_PTR &transferred) {
    Request r = startRead(buffer, length);
    if (!r.wait(kLostRequestMs)) {
        bugCheck("read never completed");
    }
    transferred = r.information();
    return r.status();
}

NTSTATUS File::write(const void *buffer, ULONG length, ULONG_PTR &transferred) {
    Request r = startWrite(buffer, length);
    if (!r.wait(kLostRequestMs)) {
        bugCheck("write never completed");
    }
    transferred = r.information();
    return r.status();
}

NTSTATUS File::control(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                       ULONG_PTR &returned) {
    auto state = std::make_shared<Request::State>();
    state->systemBuffer.assign(std::max<std::size_t>({inLength, outLength, 1}), 0);
    if (in != nullptr && inLength != 0) {
        std::memcpy(state->systemBuffer.data(), in, inLength);
    }
    state->output = out != nullptr ? out : state->systemBuffer.data();
    state->outputLength = out != nullptr ? outLength : 0;
    Request r = impl_->send(IRP_MJ_DEVICE_CONTROL, state, [=](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    });
    if (!r.wait(kLostRequestMs)) {
        bugCheck("device control never completed");
    }
    returned = r.information();
    return r.status();
}

void File::cancelIo() {
    impl_->cancelAll();
}

std::unique_ptr<File> openFile(const std::string &name, NTSTATUS &status) {
    static const std::string prefix = "\\\\.\\";
    if (name.rfind(prefix, 0) != 0) {
        status = STATUS_OBJECT_NAME_INVALID;
        return nullptr;
    }
    const std::string rest = name.substr(prefix.size());
    const std::size_t slash = rest.find('\\');
    const std::string component = rest.substr(0, slash);
    const std::string remaining = slash == std::string::npos ? std::string() : rest.substr(slash);
    const std::string target = linkTarget("\\DosDevices\\" + component);
    PDEVICE_OBJECT device = target.empty() ? nullptr : detail::findDevice(target);
    if (device == nullptr || component.empty()) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) {
        status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    auto impl = std::make_unique<File::Impl>();
    impl->top = detail::topOfStack(device);
    impl->fileName = detail::widen(remaining);
    impl->fileObject = new FILE_OBJECT{};
    impl->fileObject->DeviceObject = device;
    impl->fileObject->FileName.Buffer = impl->fileName.data();
    impl->fileObject->FileName.Length = static_cast<USHORT>(impl->fileName.size() * sizeof(WCHAR));
    impl->fileObject->FileName.MaximumLength = impl->fileObject->FileName.Length;
    detail::fileOpened(impl->top);
    status = impl->simple(IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        PDEVICE_OBJECT top = impl->top;
        delete impl->fileObject;
        impl.reset();
        detail::fileClosed(top);
        return nullptr;
    }
    return std::make_unique<File>(std::move(impl));
}

namespace {

// A handle of the platform layer's device namespace on a kshim file.
class PlatformFile final : public plat::DeviceFile {
public:
    explicit PlatformFile(std::unique_ptr<File> file) : file_(std::move(file)) {}
    ~PlatformFile() override {
        file_.reset();
        endLate();
    }

    bool startWrite(const std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
        return start(false, const_cast<std::uint8_t *>(data), size, io);
    }
    bool startRead(std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
        return start(true, data, size, io);
    }
    void cancelIo() override {
        file_->cancelIo();
        endLate();
    }

private:
    bool start(bool read, std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) {
        io.markPending();
        auto onDone = [this, &io](Request::State &s) {
            const auto transferred = static_cast<std::uint32_t>(s.information);
            // Data the device sent late reach the caller at their time; a
            // cancel before then loses them, as on the wire.
            if (s.hasDue && static_cast<std::int32_t>(s.due - plat::tickMs()) > 0) {
                io.completeAt(s.due, transferred);
                std::lock_guard<std::mutex> lock(mutex_);
                late_.push_back(&io);
            } else {
                io.complete(transferred);
            }
        };
        Request r = read ? file_->impl()->transfer(IRP_MJ_READ, data, size, onDone)
                         : file_->impl()->transfer(IRP_MJ_WRITE, data, size, onDone);
        (void)r; // it completes through `io`, refused or not
        return true;
    }

    void endLate() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (plat::IoCompletion *io : late_) {
            io->cancel();
        }
        late_.clear();
    }

    std::unique_ptr<File> file_;
    std::mutex mutex_;
    std::vector<plat::IoCompletion *> late_;
};

} // namespace

DeviceProvider::DeviceProvider() {
    plat::registerDeviceProvider(this);
}

DeviceProvider::~DeviceProvider() {
    plat::unregisterDeviceProvider(this);
}

std::unique_ptr<plat::DeviceFile> DeviceProvider::open(const char *name) {
    if (name == nullptr) {
        return nullptr;
    }
    NTSTATUS status;
    auto file = openFile(name, status);
    if (file == nullptr) {
        return nullptr;
    }
    return std::make_unique<PlatformFile>(std::move(file));
}

} // namespace kshim
