// A hostile USB device under the driver: descriptors, string descriptors
// and bulk answers come from the input. The driver starts it or refuses it,
// serves its pipes and control codes, and after removal and unload nothing
// of its pool is left.
#include "quidor.h"

#include "kshim/kshim.h"

#include "plat/clock.h"

#include <cstdlib>
#include <deque>
#include <mutex>

namespace {

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, size_ - at_);
        std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }
    bool empty() const { return at_ >= size_; }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

class HostileUsb final : public sim::UsbFunction {
public:
    explicit HostileUsb(Input &in) {
        device_ = in.bytes(in.byte() % 24);
        config_ = in.bytes(in.byte() | static_cast<std::size_t>(in.byte() & 1) << 8);
        serial_ = in.bytes(in.byte());
        while (!in.empty()) {
            answers_.push_back(in.bytes(1 + in.byte() * 16u));
        }
    }
    std::vector<std::uint8_t> getDescriptor(std::uint8_t type, std::uint8_t, std::uint16_t) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return type == 1 ? device_ : type == 2 ? config_ : type == 3 ? serial_ : std::vector<std::uint8_t>{};
    }
    Result bulkOut(std::uint8_t, const std::uint8_t *, std::size_t) override { return Result::Done; }
    Result bulkIn(std::uint8_t, std::uint8_t *data, std::size_t size, std::size_t &received,
                  std::uint32_t &due) override {
        std::lock_guard<std::mutex> lock(mutex_);
        due = plat::tickMs();
        received = 0;
        if (answers_.empty()) {
            return Result::Pending;
        }
        auto a = answers_.front();
        answers_.pop_front();
        received = std::min(size, a.size());
        std::copy_n(a.begin(), received, data);
        return a.size() > size                      ? Result::Overrun
               : (!a.empty() && (a[0] & 0x80) != 0) ? Result::Stall
                                                    : Result::Done;
    }

private:
    std::mutex mutex_;
    std::vector<std::uint8_t> device_, config_, serial_;
    std::deque<std::vector<std::uint8_t>> answers_;
};

void exercise(kshim::Device &device) {
    NTSTATUS status;
    auto control = kshim::openFile("\\\\.\\halvornquidor", status);
    if (control == nullptr) {
        return; // another vendor, or not started
    }
    std::uint8_t buffer[70000];
    ULONG_PTR n = 0;
    for (ULONG code = 0x220444; code <= 0x22046C; code += 4) {
        control->control(code, buffer, 4, buffer, sizeof buffer, n);
        control->control(code, buffer, 0, buffer, 3, n);
    }
    for (int pipe = 0; pipe < 6; ++pipe) {
        char name[64];
        std::snprintf(name, sizeof name, "\\\\.\\halvornquidor\\pipe%02d", pipe);
        auto file = kshim::openFile(name, status);
        if (file == nullptr) {
            continue;
        }
        file->write(buffer, 3000, n);
        for (ULONG mode = 0; mode < 2; ++mode) {
            control->control(IOCTL_QUIDOR_SET_READ_MODE, &mode, 4, nullptr, 0, n);
            kshim::Request r = file->startRead(buffer, 5000);
            file->cancelIo();
        }
    }
    (void)device;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    plat::ScopedVirtualClock clock;
    Input in(data, size);
    HostileUsb usb(in);
    {
        kshim::Kernel kernel(DriverEntry);
        kshim::Device &device = kernel.plugIn(usb);
        if (device.fdo != nullptr) {
            exercise(device);
        }
        kernel.surpriseRemove(device);
        kshim::drainWorkItems();
    }
    if (kshim::poolOutstanding() != 0) {
        std::abort(); // a leak
    }
    return 0;
}
