// Raw request builders and a probe harness for the simulator's own tests:
// requests are laid out byte by byte here, independent of the library.
#pragma once

#include "Ferrox.h"
#include "FerroxConst.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

// Builds the items of one target request (probe command 0xCD).
class Request {
public:
    Request &word(std::uint16_t w) {
        words_.push_back(w);
        return *this;
    }
    Request &command(std::uint16_t code, std::uint16_t mode = CMD_MODE_TX) {
        return word(0x0100).word(0x0001).word(code).word(mode);
    }
    Request &data(std::initializer_list<std::uint16_t> ws) { return data(std::vector<std::uint16_t>(ws)); }
    Request &data(const std::vector<std::uint16_t> &ws) {
        word(0x0000).word(static_cast<std::uint16_t>(ws.size()));
        for (std::uint16_t w : ws) {
            word(w);
        }
        return *this;
    }
    Request &answer(std::uint16_t n) { return word(0x0500).word(n); }
    Request &entry(std::uint16_t p) { return word(0x0200).word(p).word(0).word(0x0708).word(0x0032); }
    Request &resetEntry() { return word(0x0800).word(0x000F).word(0x0008).word(0).word(0x0708).word(0x0032); }

    Bytes bytes() const {
        Bytes out{0xCD, static_cast<std::uint8_t>(words_.size() & 0xFF),
                  static_cast<std::uint8_t>(words_.size() >> 8)};
        for (std::uint16_t w : words_) {
            out.push_back(static_cast<std::uint8_t>(w & 0xFF));
            out.push_back(static_cast<std::uint8_t>(w >> 8));
        }
        return out;
    }

private:
    std::vector<std::uint16_t> words_;
};

// The answer of a target request: the collected words and the trailer.
struct Answer {
    std::vector<std::uint16_t> words;
    std::uint8_t status = 0xFF;
    std::uint8_t detail = 0xFF;
    bool wellFormed = false;
};

inline Answer parseAnswer(const Bytes &b) {
    Answer a;
    if (b.size() < 2 || b.size() % 2 != 0) {
        return a;
    }
    for (std::size_t i = 0; i + 2 < b.size(); i += 2) {
        a.words.push_back(static_cast<std::uint16_t>(b[i] | b[i + 1] << 8));
    }
    a.status = b[b.size() - 2];
    a.detail = b[b.size() - 1];
    a.wellFormed = true;
    return a;
}

// A probe in virtual time with a few shorthands.
class Harness {
public:
    explicit Harness(const sim::ProbeOptions &options = {}) : clock_(1000), probe_(*clock_, options) {}

    Bytes exchange(const Bytes &request) {
        probe_.write(request.data(), request.size());
        Bytes out(probe_.available());
        out.resize(probe_.read(out.data(), out.size()));
        return out;
    }
    Answer target(const Request &r) { return parseAnswer(exchange(r.bytes())); }

    void powerOn() { exchange({0xF2, 0x01}); }
    // Power-up entry into the boot monitor, as a host does on an unpowered target.
    Answer enterMonitor() {
        exchange({0xF1, 0x02});
        return target(Request().entry(1).data({sim::Target::kEntryWord}).answer(2));
    }
    void sleep(std::uint32_t ms) { clock_->advance(ms); }

    sim::Probe &probe() { return probe_; }
    sim::Target &tgt() { return probe_.target(); }

private:
    plat::ScopedVirtualClock clock_;
    sim::Probe probe_;
};

inline std::uint16_t le16(const Bytes &b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
inline std::uint32_t le32(const Bytes &b, std::size_t at) {
    return static_cast<std::uint32_t>(le16(b, at)) | static_cast<std::uint32_t>(le16(b, at + 2)) << 16;
}

} // namespace simtest
