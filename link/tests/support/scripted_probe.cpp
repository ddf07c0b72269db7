#include "scripted_probe.h"

#include "plat/clock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ferrox_test {

std::string hex(const Bytes &b) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", b[i]);
        s += buf;
    }
    return s;
}

namespace {

enum class Role { Device, PipeIn, PipeOut };

class ProbeFile final : public plat::DeviceFile {
public:
    ProbeFile(ScriptedProbe &probe, Role role) : probe_(probe), role_(role) {}
    ~ProbeFile() override { cancelIo(); }
    ProbeFile(const ProbeFile &) = delete;
    ProbeFile &operator=(const ProbeFile &) = delete;

    bool startWrite(const std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
        if (role_ != Role::PipeOut) {
            return false;
        }
        probe_.onWrite(data, size, io);
        return true;
    }
    bool startRead(std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
        if (role_ != Role::PipeIn) {
            return false;
        }
        probe_.onRead(data, size, io, pending_);
        return true;
    }
    void cancelIo() override { probe_.onCancel(pending_); }

private:
    ScriptedProbe &probe_;
    Role role_;
    plat::IoCompletion *pending_ = nullptr;
};

} // namespace

ScriptedProbe::ScriptedProbe(int port) : base_("\\\\.\\halvornquidor") {
    if (port != 0) {
        base_ += std::to_string(port);
    }
    plat::registerDeviceProvider(this);
}

ScriptedProbe::~ScriptedProbe() {
    plat::unregisterDeviceProvider(this);
}

void ScriptedProbe::expect(Bytes request, Bytes answer, Reply reply, std::uint32_t param) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(Step{std::move(request), std::move(answer), reply, param});
}

void ScriptedProbe::setPresent(bool present) {
    std::lock_guard<std::mutex> lock(mutex_);
    present_ = present;
}

void ScriptedProbe::setOpenCost(std::uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    openCostMs_ = ms;
}

std::vector<std::string> ScriptedProbe::openedNames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
}
std::vector<Bytes> ScriptedProbe::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}
std::vector<std::uint32_t> ScriptedProbe::readSizes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readSizes_;
}
std::vector<std::string> ScriptedProbe::mismatches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mismatches_;
}
bool ScriptedProbe::scriptDone() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return script_.empty();
}

std::unique_ptr<plat::DeviceFile> ScriptedProbe::open(const char *name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string n(name);
    Role role;
    if (n == base_) {
        role = Role::Device;
    } else if (n == base_ + "\\pipe00") {
        role = Role::PipeIn;
    } else if (n == base_ + "\\pipe01") {
        role = Role::PipeOut;
    } else {
        return nullptr;
    }
    if (!present_) {
        return nullptr;
    }
    opened_.push_back(n);
    if (openCostMs_ != 0) {
        plat::sleepMs(openCostMs_);
    }
    return std::make_unique<ProbeFile>(*this, role);
}

void ScriptedProbe::onWrite(const std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Bytes got(data, data + size);
        writes_.push_back(got);
        if (script_.empty()) {
            mismatches_.push_back("unexpected write: " + hex(got));
        } else {
            Step step = std::move(script_.front());
            script_.pop_front();
            if (step.request != got) {
                mismatches_.push_back("expected " + hex(step.request) + ", got " + hex(got));
            }
            if (!step.answer.empty()) {
                answers_.push_back(Pending{std::move(step.answer), step.reply, step.param, 0});
            }
        }
    }
    io.complete(size);
}

void ScriptedProbe::onRead(std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io,
                           plat::IoCompletion *&pending) {
    std::lock_guard<std::mutex> lock(mutex_);
    readSizes_.push_back(size);
    if (answers_.empty()) {
        io.markPending();
        pending = &io;
        return;
    }
    Pending &a = answers_.front();
    const std::size_t left = a.bytes.size() - a.offset;
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(left, size));
    switch (a.reply) {
    case Reply::Full:
        std::memcpy(data, a.bytes.data() + a.offset, n);
        a.offset += n;
        if (a.offset == a.bytes.size()) {
            answers_.pop_front();
        }
        io.complete(n);
        break;
    case Reply::Short:
        // A short packet ends the transfer; the rest never comes.
        n = std::min(n, a.param);
        std::memcpy(data, a.bytes.data() + a.offset, n);
        answers_.pop_front();
        io.complete(n);
        break;
    case Reply::Late:
        std::memcpy(data, a.bytes.data() + a.offset, n);
        io.completeAt(plat::tickMs() + a.param, n);
        pending = &io;
        answers_.pop_front();
        break;
    case Reply::None:
        answers_.pop_front();
        io.markPending();
        pending = &io;
        break;
    }
}

void ScriptedProbe::onCancel(plat::IoCompletion *&pending) {
    if (pending != nullptr) {
        pending->cancel();
        pending = nullptr;
    }
}

} // namespace ferrox_test
