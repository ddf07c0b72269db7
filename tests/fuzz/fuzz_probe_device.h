// A probe device for the fuzz targets: it takes every write and answers
// reads from the fuzzer's bytes. When they run out a read stays pending, so
// the transport times out (in virtual time) and the link falls silent.
#pragma once

#include "api.h"

#include "plat/clock.h"
#include "plat/device.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace fuzz {

class FuzzProbeDevice final : public plat::DeviceProvider {
public:
    // Stream: reads take the next bytes of the input as they come.
    // LengthPrefixed: each read is answered by one answer of the input, a
    // length byte followed by that many bytes (cut to what the read asks).
    enum class Mode { Stream, LengthPrefixed };

    explicit FuzzProbeDevice(Mode mode) : mode_(mode) {}

    void reset(const std::uint8_t *data, std::size_t size) {
        data_ = data;
        size_ = size;
        pos_ = 0;
    }
    std::unique_ptr<plat::DeviceFile> open(const char *name) override {
        if (std::string(name).rfind("\\\\.\\halvornquidor", 0) != 0) {
            return nullptr;
        }
        return std::make_unique<File>(*this);
    }

private:
    class File final : public plat::DeviceFile {
    public:
        explicit File(FuzzProbeDevice &p) : p_(p) {}
        bool startWrite(const std::uint8_t *, std::uint32_t size, plat::IoCompletion &io) override {
            io.complete(size);
            return true;
        }
        bool startRead(std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
            if (p_.pos_ >= p_.size_) {
                io.markPending(); // nothing more: the transport times out
                pending_ = &io;
                return true;
            }
            std::size_t n = 0;
            if (p_.mode_ == Mode::Stream) {
                n = std::min<std::size_t>(size, p_.size_ - p_.pos_);
                std::memcpy(data, p_.data_ + p_.pos_, n);
                p_.pos_ += n;
            } else {
                const std::size_t length = p_.data_[p_.pos_++];
                n = std::min<std::size_t>({length, size, p_.size_ - p_.pos_});
                std::memcpy(data, p_.data_ + p_.pos_, n);
                p_.pos_ += std::min<std::size_t>(length, p_.size_ - p_.pos_);
            }
            io.complete(static_cast<std::uint32_t>(n));
            return true;
        }
        void cancelIo() override {
            if (pending_ != nullptr) {
                pending_->cancel();
                pending_ = nullptr;
            }
        }

    private:
        FuzzProbeDevice &p_;
        plat::IoCompletion *pending_ = nullptr;
    };

    Mode mode_;
    const std::uint8_t *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
};

// The fuzz target's probe, installed on first use together with a virtual
// clock (so the transport's time-outs cost nothing), fed `data` for this run,
// with the library as just loaded: every input runs alone, so an input that
// found a fault reproduces by itself. A target uses one mode for all its runs.
inline FuzzProbeDevice &feedProbe(FuzzProbeDevice::Mode mode, const std::uint8_t *data, std::size_t size) {
    static plat::VirtualClock clock;
    static FuzzProbeDevice probe(mode);
    static const bool installed = [] {
        plat::setClock(&clock);
        plat::registerDeviceProvider(&probe);
        return true;
    }();
    (void)installed;
    API_ResetState();
    probe.reset(data, size);
    return probe;
}

} // namespace fuzz
