// Target requests and answers as bytes on the wire, for the wire tests of
// the target operations: a request is 0xCD, its word count and its items,
// all words little-endian; an answer is the collected words and the trailer.
#pragma once

#include "FerroxConst.h"
#include "scripted_probe.h"

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

} // namespace ferrox_test
