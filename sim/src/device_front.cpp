#include "sim/device_front.h"

#include <algorithm>
#include <cctype>

#include "plat/clock.h"

namespace sim {

namespace {

bool equalsNoCase(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

// One open handle: the device itself (no transfers), or one of its pipes.
class DeviceFront::Pipe final : public plat::DeviceFile {
public:
    enum class Kind { Device, In, Out };
    Pipe(DeviceFront &front, Kind kind) : front_(front), kind_(kind) {}
    ~Pipe() override { front_.cancel(this); }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;

    bool startWrite(const std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
        return kind_ == Kind::Out && front_.write(data, size, io);
    }
    bool startRead(std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
        return kind_ == Kind::In && front_.read(this, data, size, io);
    }
    void cancelIo() override { front_.cancel(this); }

private:
    DeviceFront &front_;
    Kind kind_;
};

DeviceFront::DeviceFront(Probe &probe) : probe_(probe), enumeratedAddress_(probe.configMemory()[0]) {
    plat::registerDeviceProvider(this);
}

DeviceFront::~DeviceFront() {
    plat::unregisterDeviceProvider(this);
}

std::string DeviceFront::deviceNameLocked() const {
    const unsigned address = enumeratedAddress_;
    std::string name = "\\\\.\\halvornquidor";
    if (address != 0) {
        name += std::to_string(address);
    }
    return name;
}

std::string DeviceFront::deviceName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deviceNameLocked();
}

std::unique_ptr<plat::DeviceFile> DeviceFront::open(const char *name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_ || name == nullptr) {
        return nullptr;
    }
    const std::string wanted(name);
    const std::string base = deviceNameLocked();
    if (equalsNoCase(wanted, base)) {
        return std::make_unique<Pipe>(*this, Pipe::Kind::Device);
    }
    if (equalsNoCase(wanted, base + "\\pipe00")) {
        return std::make_unique<Pipe>(*this, Pipe::Kind::In);
    }
    if (equalsNoCase(wanted, base + "\\pipe01")) {
        return std::make_unique<Pipe>(*this, Pipe::Kind::Out);
    }
    return nullptr;
}

void DeviceFront::unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    plugged_ = false;
    if (pending_.io != nullptr) {
        pending_.io->cancel();
        pending_ = {};
    }
    probe_.resetStreams();
}

void DeviceFront::plugIn() {
    std::lock_guard<std::mutex> lock(mutex_);
    plugged_ = true;
    enumeratedAddress_ = probe_.configMemory()[0];
}

bool DeviceFront::plugged() {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

bool DeviceFront::write(const std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_) {
        return false;
    }
    probe_.write(data, size);
    io.complete(size);
    if (probe_.takeDropRequest()) {
        plugged_ = false;
        if (pending_.io != nullptr) {
            pending_.io->cancel();
            pending_ = {};
        }
        probe_.resetStreams();
        return true;
    }
    servePendingLocked();
    return true;
}

bool DeviceFront::read(Pipe *owner, std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_ || pending_.io != nullptr) {
        return false;
    }
    late_ = {};
    pending_ = {owner, data, size, &io};
    io.markPending();
    servePendingLocked();
    return true;
}

void DeviceFront::servePendingLocked() {
    if (pending_.io == nullptr || pending_.size == 0) {
        if (pending_.io != nullptr) {
            pending_.io->complete(0);
            pending_ = {};
        }
        return;
    }
    std::uint32_t due = 0;
    const std::size_t n = probe_.readAhead(pending_.data, pending_.size, due);
    if (n == 0) {
        return; // stays pending until the probe answers or the host cancels
    }
    // A bulk read ends with whatever the probe sent in one go; a late answer
    // completes when its time comes on the platform clock.
    if (due == probe_.clock().tickMs()) {
        pending_.io->complete(static_cast<std::uint32_t>(n));
    } else {
        pending_.io->completeAt(due, static_cast<std::uint32_t>(n));
        late_ = pending_;
    }
    pending_ = {};
}

void DeviceFront::cancel(Pipe *owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.io != nullptr && pending_.owner == owner) {
        pending_.io->cancel();
        pending_ = {};
    }
    if (late_.io != nullptr && late_.owner == owner) {
        late_.io->cancel(); // a late answer not collected in time is lost
        late_ = {};
    }
}

} // namespace sim
