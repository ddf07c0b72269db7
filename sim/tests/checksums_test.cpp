#include "sim/checksums.h"
#include "sim/frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(Crc16Kermit, StandardCheckValue) {
    const char *text = "123456789";
    EXPECT_EQ(sim::crc16Kermit(reinterpret_cast<const std::uint8_t *>(text), std::strlen(text)), 0x2189);
}

TEST(Crc16Kermit, ImageCarriesItsCrcWhereItsSizeSays) {
    for (std::size_t size : {std::size_t{21504}, std::size_t{32768}, std::size_t{3}}) {
        std::vector<std::uint8_t> image(size);
        for (std::size_t i = 0; i < size; ++i) {
            image[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        const bool first = size == 32768;
        const std::uint8_t *covered = first ? image.data() + 2 : image.data();
        const std::uint16_t crc = sim::crc16Kermit(covered, size - 2);
        const std::size_t at = first ? 0 : size - 2;
        image[at] = static_cast<std::uint8_t>(crc & 0xFF);
        image[at + 1] = static_cast<std::uint8_t>(crc >> 8);
        EXPECT_TRUE(sim::firmwareCrcValid(image.data(), size)) << size;
        image[size / 2] ^= 0x01;
        EXPECT_FALSE(sim::firmwareCrcValid(image.data(), size)) << size;
    }
    EXPECT_FALSE(sim::firmwareCrcValid(nullptr, 0));
}

TEST(ImageSignature, MatchesTheHostComputation) {
    struct Case {
        std::vector<std::uint8_t> image;
        std::uint32_t expected;
    };
    std::vector<std::uint8_t> ramp(16);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<std::uint8_t>(i);
    }
    const Case cases[] = {
        {{0x01, 0x00}, 0x000100},
        {{0x01, 0x00, 0x00, 0x00}, 0x000080},
        {{0xFF, 0xFF}, 0xFFFF00},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0x800080},
        {std::vector<std::uint8_t>(0x400, 0xFF), 0xC15575},
        {ramp, 0x0A3DC8},
        {{0xFF, 0xFF, 0x77}, 0xFFFF00}, // a trailing odd byte is not used
    };
    for (const Case &c : cases) {
        EXPECT_EQ(sim::imageSignature(c.image.data(), c.image.size()), c.expected);
    }
}

TEST(Scramble, RunningXorBothWays) {
    struct Case {
        std::vector<std::uint8_t> plain, wire;
    };
    const Case cases[] = {{{0x00, 0x00, 0x00}, {0xFF, 0x00, 0x00}}, {{0x12, 0x34}, {0xED, 0x26}}, {{}, {}}};
    for (const Case &c : cases) {
        auto s = c.plain;
        sim::scramble(s.data(), s.size());
        EXPECT_EQ(s, c.wire);
        sim::unscramble(s.data(), s.size());
        EXPECT_EQ(s, c.plain);
    }
}

} // namespace
