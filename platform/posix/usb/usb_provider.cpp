// The libusb provider: Quidor probes on the USB bus behind the driver's
// names, served the way the driver serves its pipes. Writes go out in
// 2048-byte stages and complete when the last stage has; reads are served
// from a read-ahead buffer that 2048-byte bulk stages fill (a short packet
// ends a stage), and complete only with the whole length asked for; closing
// any handle of a probe discards what the read-ahead still holds.
#include "usb_provider.h"

#include "usb_names.h"

#include "plat/clock.h"
#include "plat/usb.h"

#include "quidor_ids.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace plat {

namespace {

std::atomic<UsbNoticeSink> noticeSink{nullptr};

} // namespace

void setUsbNoticeSink(UsbNoticeSink sink) {
    noticeSink.store(sink);
}

namespace usb {

namespace {

constexpr std::uint32_t kStageSize = 2048;
constexpr std::uint32_t kMaxTransfer = 65536;
constexpr std::size_t kReadAheadSize = 131072;

using DeviceKey = std::pair<std::uint8_t, std::uint8_t>; // bus, address

class Session;

// libusb for the whole process: the context, the thread that handles its
// events, the probes open right now and the configurations read from them.
// Made once and kept until the process ends, so that no transfer's callback
// ever meets a context that is gone.
struct Bus {
    libusb_context *ctx = nullptr;
    std::mutex mutex; // guards what follows
    std::map<DeviceKey, std::weak_ptr<Session>> sessions;
    struct Known {
        libusb_device *device = nullptr; // referenced while known
        FirstInterface config;
    };
    std::map<DeviceKey, Known> configs;
    std::set<std::string> told;
};

Bus *startBus() {
    auto *bus = new Bus;
    if (libusb_init(&bus->ctx) != LIBUSB_SUCCESS) {
        bus->ctx = nullptr;
        return bus;
    }
    std::thread([ctx = bus->ctx] {
        for (;;) {
            timeval tv{0, 200000};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
    }).detach();
    return bus;
}

Bus &bus() {
    static Bus *b = startBus();
    return *b;
}

std::string nodeOf(DeviceKey key) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", key.first, key.second);
    return node;
}

// Tells a problem once per probe (until it opens again).
void tell(DeviceKey key, UsbNotice notice, const std::string &text) {
    {
        Bus &b = bus();
        std::lock_guard<std::mutex> lock(b.mutex);
        if (!b.told.insert(nodeOf(key) + (notice == UsbNotice::NoPermission ? "p" : "b")).second) {
            return;
        }
    }
    const UsbNoticeSink sink = noticeSink.load();
    if (sink != nullptr) {
        sink(notice, text.c_str());
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }
}

void forgetTold(DeviceKey key) {
    Bus &b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    const std::string node = nodeOf(key);
    b.told.erase(node + "p");
    b.told.erase(node + "b");
}

class ProbeFile;

// One read or write request in flight: its libusb transfer carries one
// stage at a time.
struct Request {
    Session *session = nullptr;
    ProbeFile *file = nullptr;
    IoCompletion *io = nullptr;
    libusb_transfer *transfer = nullptr;
    bool read = false;
    std::uint8_t *buffer = nullptr; // the caller's
    std::uint32_t size = 0;
    std::uint32_t total = 0; // written so far
    int pipe = 0;
    bool done = false;
    std::vector<std::uint8_t> stage; // a read stage lands here first
};

// A probe while any handle on it is open: its libusb handle with the first
// interface claimed, and the read-ahead buffer.
class Session {
public:
    Session(DeviceKey key, libusb_device_handle *handle, FirstInterface config)
        : key_(key), handle_(handle), config_(std::move(config)) {}
    ~Session() {
        libusb_release_interface(handle_, config_.interfaceNumber);
        libusb_close(handle_);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    const FirstInterface &config() const { return config_; }
    libusb_device_handle *handle() const { return handle_; }
    DeviceKey key() const { return key_; }

    bool start(ProbeFile *file, int pipe, bool read, std::uint8_t *data, std::uint32_t size,
               IoCompletion &io);
    // Ends the file's requests (each keeps what it transferred) and waits
    // until libusb has let go of them.
    void cancel(ProbeFile *file);
    // A handle was closed: the read-ahead goes, as at the driver's cleanup.
    void cleanup() {
        std::lock_guard<std::mutex> lock(mutex_);
        readAheadCount_ = 0;
    }

private:
    static void LIBUSB_CALL onTransfer(libusb_transfer *transfer);
    void finished(Request &r);
    bool submitStage(Request &r);
    std::uint32_t readStageLength(const Request &r) const;
    std::uint32_t serveReadAhead(Request &r, bool any);
    void clearHalt(int pipe);

    DeviceKey key_;
    libusb_device_handle *handle_;
    FirstInterface config_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<Request> requests_;
    std::vector<std::uint8_t> readAhead_;
    std::size_t readAheadCount_ = 0;
    bool stageBusy_ = false;
    bool halted_[kMaxPipes] = {};
};

// One open handle: the probe itself (control only, no transfers) or a pipe.
class ProbeFile final : public DeviceFile {
public:
    ProbeFile(std::shared_ptr<Session> session, int pipe) : session_(std::move(session)), pipe_(pipe) {}
    ~ProbeFile() override {
        session_->cancel(this);
        session_->cleanup();
    }
    ProbeFile(const ProbeFile &) = delete;
    ProbeFile &operator=(const ProbeFile &) = delete;

    bool startWrite(const std::uint8_t *data, std::uint32_t size, IoCompletion &io) override {
        // A write only ever reads the caller's buffer.
        return pipe_ >= 0 && session_->start(this, pipe_, false, const_cast<std::uint8_t *>(data), size, io);
    }
    bool startRead(std::uint8_t *data, std::uint32_t size, IoCompletion &io) override {
        return pipe_ >= 0 && session_->start(this, pipe_, true, data, size, io);
    }
    void cancelIo() override { session_->cancel(this); }

private:
    std::shared_ptr<Session> session_;
    int pipe_;
};

void Session::clearHalt(int pipe) {
    bool halted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(halted, halted_[pipe]);
    }
    // The driver resets a pipe whose transfer failed; a stalled endpoint
    // takes no more transfers until its halt is cleared.
    if (halted) {
        libusb_clear_halt(handle_, config_.pipes[static_cast<std::size_t>(pipe)].address);
    }
}

bool Session::start(ProbeFile *file, int pipe, bool read, std::uint8_t *data, std::uint32_t size,
                    IoCompletion &io) {
    // A read needs a bulk IN pipe and a write a bulk OUT pipe, as the driver
    // checks; no request moves more than 64 KiB.
    const Pipe &p = config_.pipes[static_cast<std::size_t>(pipe)];
    if (!p.bulk() || p.in() != read || size > kMaxTransfer || (data == nullptr && size != 0)) {
        return false;
    }
    if (size == 0) {
        io.complete(0);
        return true;
    }
    clearHalt(pipe);
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.remove_if([](const Request &r) {
        if (r.done) {
            libusb_free_transfer(r.transfer);
        }
        return r.done;
    });
    Request &r = requests_.emplace_back();
    r.session = this;
    r.file = file;
    r.io = &io;
    r.pipe = pipe;
    r.read = read;
    r.buffer = data;
    r.size = size;
    if (read) {
        const std::uint32_t served = serveReadAhead(r, false);
        if (served != 0) {
            requests_.pop_back();
            io.complete(served);
            return true;
        }
        // One read stage per probe: a second one would land behind the
        // first one's back.
        if (stageBusy_) {
            requests_.pop_back();
            return false;
        }
    }
    r.transfer = libusb_alloc_transfer(0);
    io.markPending();
    if (r.transfer == nullptr || !submitStage(r)) {
        libusb_free_transfer(r.transfer);
        requests_.pop_back();
        io.reset();
        return false;
    }
    stageBusy_ = stageBusy_ || read;
    return true;
}

// A read stage is a whole number of packets that fits the room left in the
// read-ahead, at most one stage.
std::uint32_t Session::readStageLength(const Request &r) const {
    const auto room = static_cast<std::uint32_t>(kReadAheadSize - readAheadCount_);
    std::uint32_t length = std::min(room, kStageSize);
    const std::uint16_t packet = config_.pipes[static_cast<std::size_t>(r.pipe)].packetSize();
    if (packet != 0) {
        length -= length % packet;
    }
    return length;
}

bool Session::submitStage(Request &r) {
    const Pipe &p = config_.pipes[static_cast<std::size_t>(r.pipe)];
    if (r.read) {
        const std::uint32_t length = readStageLength(r);
        if (length == 0) {
            return false;
        }
        r.stage.resize(length);
        libusb_fill_bulk_transfer(r.transfer, handle_, p.address, r.stage.data(), static_cast<int>(length),
                                  onTransfer, this, 0);
    } else {
        const std::uint32_t length = std::min(r.size - r.total, kStageSize);
        libusb_fill_bulk_transfer(r.transfer, handle_, p.address, r.buffer + r.total,
                                  static_cast<int>(length), onTransfer, this, 0);
    }
    r.transfer->user_data = &r;
    return libusb_submit_transfer(r.transfer) == LIBUSB_SUCCESS;
}

// With `any` clear the request is served only whole; with it set (the
// read-ahead is full) it takes what there is.
std::uint32_t Session::serveReadAhead(Request &r, bool any) {
    std::uint32_t delivered = 0;
    if (readAheadCount_ >= r.size) {
        delivered = r.size;
    } else if (any) {
        delivered = static_cast<std::uint32_t>(readAheadCount_);
    }
    if (delivered != 0) {
        std::memcpy(r.buffer, readAhead_.data(), delivered);
        std::memmove(readAhead_.data(), readAhead_.data() + delivered, readAheadCount_ - delivered);
        readAheadCount_ -= delivered;
    }
    return delivered;
}

void Session::finished(Request &r) {
    r.done = true;
    if (r.read) {
        stageBusy_ = false;
    }
    changed_.notify_all();
}

void LIBUSB_CALL Session::onTransfer(libusb_transfer *transfer) {
    Request &r = *static_cast<Request *>(transfer->user_data);
    Session &s = *r.session;
    std::lock_guard<std::mutex> lock(s.mutex_);
    const bool ok = transfer->status == LIBUSB_TRANSFER_COMPLETED;
    if (transfer->status == LIBUSB_TRANSFER_STALL) {
        s.halted_[r.pipe] = true;
    }
    if (!r.read) {
        // Counted as the stages were asked for, as the driver counts them.
        if (ok) {
            r.total += static_cast<std::uint32_t>(transfer->length);
            if (r.total < r.size && s.submitStage(r)) {
                return;
            }
        }
        r.io->complete(r.total); // also when cancelled or failed: what went out, went out
        s.finished(r);
        return;
    }
    if (!ok) {
        // A failed or cancelled stage ends the read with nothing delivered;
        // the read-ahead keeps what earlier stages brought.
        if (transfer->status == LIBUSB_TRANSFER_CANCELLED) {
            r.io->cancel();
        } else {
            r.io->complete(0);
        }
        s.finished(r);
        return;
    }
    if (s.readAhead_.size() < kReadAheadSize) {
        s.readAhead_.resize(kReadAheadSize);
    }
    const std::size_t received =
        std::min(static_cast<std::size_t>(transfer->actual_length), kReadAheadSize - s.readAheadCount_);
    std::memcpy(s.readAhead_.data() + s.readAheadCount_, r.stage.data(), received);
    s.readAheadCount_ += received;
    std::uint32_t delivered = s.serveReadAhead(r, false);
    if (delivered == 0) {
        if (s.readStageLength(r) != 0) {
            if (s.submitStage(r)) {
                return;
            }
        } else {
            delivered = s.serveReadAhead(r, true); // the read-ahead is full: take what there is
        }
    }
    r.io->complete(delivered);
    s.finished(r);
}

void Session::cancel(ProbeFile *file) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<libusb_transfer *> flying;
    for (Request &r : requests_) {
        if (r.file == file && !r.done) {
            flying.push_back(r.transfer);
        }
    }
    lock.unlock();
    for (libusb_transfer *t : flying) {
        libusb_cancel_transfer(t);
    }
    lock.lock();
    changed_.wait(lock, [&] {
        return std::none_of(requests_.begin(), requests_.end(),
                            [&](const Request &r) { return r.file == file && !r.done; });
    });
    for (auto it = requests_.begin(); it != requests_.end();) {
        if (it->file == file) {
            libusb_free_transfer(it->transfer);
            it = requests_.erase(it);
        } else {
            ++it;
        }
    }
}

// The configuration the driver would select, read from the probe as the
// driver reads it (the first 9 bytes, then wTotalLength), once for as long
// as the probe stays plugged in.
bool configurationOf(Bus &b, DeviceKey key, libusb_device *device, libusb_device_handle *handle,
                     FirstInterface &config) {
    auto known = b.configs.find(key);
    if (known != b.configs.end() && known->second.device == device) {
        config = known->second.config;
        return true;
    }
    std::vector<std::uint8_t> data(9);
    int got = libusb_get_descriptor(handle, LIBUSB_DT_CONFIG, 0, data.data(), static_cast<int>(data.size()));
    if (got < 9) {
        return false;
    }
    data.resize(static_cast<std::size_t>(data[2] | data[3] << 8));
    if (data.size() < 9) {
        return false;
    }
    got = libusb_get_descriptor(handle, LIBUSB_DT_CONFIG, 0, data.data(), static_cast<int>(data.size()));
    if (got < 9 || !parseConfiguration(data.data(), static_cast<std::size_t>(got), config)) {
        return false;
    }
    if (known != b.configs.end()) {
        libusb_unref_device(known->second.device);
    }
    b.configs[key] = Bus::Known{libusb_ref_device(device), config};
    return true;
}

bool isProbeLink(const std::string &link) {
    for (std::uint16_t low = 1; low <= 4; ++low) {
        if (sameLinkName(link, linkNameOf(low))) {
            return true;
        }
    }
    return false;
}

// The probe that answers to `link`; of two with the same name the one that
// came first on its bus (the lowest bus, then the lowest address), as the
// driver gives a name to the first probe that asks for it.
libusb_device *findProbe(Bus &b, const std::string &link, DeviceKey &key) {
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(b.ctx, &list);
    libusb_device *best = nullptr;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS || d.idVendor != QUIDOR_VENDOR_ID ||
            !sameLinkName(linkNameOf(d.idProduct), link)) {
            continue;
        }
        const DeviceKey k{libusb_get_bus_number(list[i]), libusb_get_device_address(list[i])};
        if (best == nullptr || k < key) {
            best = list[i];
            key = k;
        }
    }
    if (best != nullptr) {
        libusb_ref_device(best);
    }
    if (n >= 0) {
        libusb_free_device_list(list, 1);
    }
    return best;
}

std::shared_ptr<Session> sessionFor(const std::string &link) {
    Bus &b = bus();
    DeviceKey key{};
    libusb_device *device = findProbe(b, link, key);
    if (device == nullptr) {
        return nullptr;
    }
    std::shared_ptr<Session> session;
    bool created = false;
    std::string problem;
    UsbNotice notice = UsbNotice::NoPermission;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        session = b.sessions[key].lock();
        if (session == nullptr) {
            libusb_device_handle *handle = nullptr;
            const int opened = libusb_open(device, &handle);
            FirstInterface config;
            int active = 0;
            int claimed = LIBUSB_ERROR_OTHER;
            if (opened == LIBUSB_ERROR_ACCESS) {
                problem = "Quidor probe at " + nodeOf(key) + " (\\\\.\\" + link +
                          "): permission denied. Install the udev rule " + kUsbRulesFile +
                          " (cmake --install puts it in place) and plug the probe in again.";
            } else if (opened == LIBUSB_SUCCESS && configurationOf(b, key, device, handle, config) &&
                       libusb_get_configuration(handle, &active) == LIBUSB_SUCCESS &&
                       (active == config.configurationValue ||
                        libusb_set_configuration(handle, config.configurationValue) == LIBUSB_SUCCESS)) {
                claimed = libusb_claim_interface(handle, config.interfaceNumber);
                if (claimed == LIBUSB_SUCCESS && config.alternateSetting != 0 &&
                    libusb_set_interface_alt_setting(handle, config.interfaceNumber,
                                                     config.alternateSetting) != LIBUSB_SUCCESS) {
                    libusb_release_interface(handle, config.interfaceNumber);
                    claimed = LIBUSB_ERROR_OTHER;
                }
                if (claimed == LIBUSB_ERROR_BUSY) {
                    notice = UsbNotice::InUse;
                    problem = "Quidor probe at " + nodeOf(key) + " (\\\\.\\" + link +
                              ") is in use by another program.";
                }
            }
            if (claimed == LIBUSB_SUCCESS) {
                session = std::make_shared<Session>(key, handle, std::move(config));
                b.sessions[key] = session;
                created = true;
            } else if (handle != nullptr) {
                libusb_close(handle);
            }
        }
    }
    libusb_unref_device(device);
    if (created) {
        forgetTold(key); // the next problem with this probe is news again
    } else if (!problem.empty()) {
        tell(key, notice, problem);
    }
    return session;
}

} // namespace

std::unique_ptr<DeviceFile> openUsbDevice(const char *name) {
    std::string link;
    std::string rest;
    if (!clock().isReal() || !splitDeviceName(name, link, rest) || !isProbeLink(link)) {
        return nullptr;
    }
    int pipe = -1;
    if (!rest.empty() && (pipe = pipeNumberOf(rest)) < 0) {
        return nullptr;
    }
    if (bus().ctx == nullptr) {
        return nullptr;
    }
    std::shared_ptr<Session> session = sessionFor(link);
    if (session == nullptr ||
        (pipe >= 0 && static_cast<std::size_t>(pipe) >= session->config().pipes.size())) {
        return nullptr;
    }
    return std::make_unique<ProbeFile>(std::move(session), pipe);
}

} // namespace usb
} // namespace plat
