// Target requests and answers as bytes on the wire, for the wire tests of
// the target operations: a request is 0xCD, its word count and its items,
// all words little-endian; an answer is the collected words and the trailer.
#pragma once

#include "Ferrox.h"
#include "FerroxConst.h"
#include "capture.h"
#include "probe_script.h"
#include "scripted_probe.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace ferrox_test {

using Words = std::vector<std::uint16_t>;

// A command item.
inline Words cmd(std::uint16_t code, std::uint16_t mode = CMD_MODE_TX) {
    return {0x0100, 0x0001, code, mode};
}
// A data item carrying `w`.
inline Words data(Words w) {
    Words out{0x0000, static_cast<std::uint16_t>(w.size())};
    out.insert(out.end(), w.begin(), w.end());
    return out;
}
// An answer item asking for `n` words.
inline Words ans(std::uint16_t n) {
    return {0x0500, n};
}

// A target request holding the given items.
inline Bytes req(std::initializer_list<Words> items) {
    Words all;
    for (const Words &w : items) {
        all.insert(all.end(), w.begin(), w.end());
    }
    Bytes b{0xCD, static_cast<std::uint8_t>(all.size()), static_cast<std::uint8_t>(all.size() >> 8)};
    for (std::uint16_t w : all) {
        b.push_back(static_cast<std::uint8_t>(w));
        b.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    return b;
}

// A target answer: the collected words, then the trailer.
inline Bytes answer(Words words, std::uint16_t trailer = 0) {
    words.push_back(trailer);
    Bytes b;
    for (std::uint16_t w : words) {
        b.push_back(static_cast<std::uint8_t>(w));
        b.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    return b;
}

// The probe's 8-byte hardware status with every field the target code reads.
inline Bytes hw(std::uint16_t mv, std::uint8_t sda, std::uint8_t scl, std::uint8_t powerOn) {
    return {static_cast<std::uint8_t>(mv), static_cast<std::uint8_t>(mv >> 8), sda, scl, 0, 1, 1, powerOn};
}

// The device status request and the answer of a target halted in the
// monitor (valid, monitor, device mode INIT).
inline const Bytes kDevStatReq = req({cmd(C_GET_DEV_STAT, CMD_MODE_RX_TX), ans(1)});
inline constexpr std::uint16_t kHaltedInit = 0xD003;

// A connection opened on the scripted probe, in virtual time. The script
// must be used up and matched when the test ends; writes() gives what the
// test itself sent, after the open.
class OpenedWire : public ::testing::Test {
protected:
    void SetUp() override {
        scriptOpen(probe_);
        ASSERT_EQ(FERROX_Open(nullptr, errorOut), 0);
        opened_ = probe_.writes().size();
    }
    void TearDown() override {
        EXPECT_TRUE(probe_.mismatches().empty()) << probe_.mismatches().front();
        EXPECT_TRUE(probe_.scriptDone());
    }
    std::vector<Bytes> writes() const {
        const auto all = probe_.writes();
        return std::vector<Bytes>(all.begin() + static_cast<std::ptrdiff_t>(opened_), all.end());
    }
    // The exchanges of the halted guard on a target known to be in the
    // monitor: the halt-state query, then the protection check.
    void scriptHalted() {
        probe_.expect({0x07}, hw(3300, 0, 1, 1));
        probe_.expect({0x07}, hw(3300, 0, 1, 1));
        probe_.expect(kDevStatReq, answer({kHaltedInit}));
        probe_.expect(kDevStatReq, answer({kHaltedInit}));
    }

    plat::ScopedVirtualClock clock_{0};
    ScriptedProbe probe_;
    std::size_t opened_ = 0;
};

} // namespace ferrox_test
