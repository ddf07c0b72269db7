// Check values the probe and the target compute: the CRC of a firmware
// download and the target's 24-bit memory signature.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// CRC-16/KERMIT: reflected polynomial 0x8408, initial value `init`, no final XOR.
std::uint16_t crc16Kermit(const std::uint8_t *data, std::size_t size, std::uint16_t init = 0);

// True when `image` carries a valid CRC where the probe expects it: in the
// first two bytes for an image of exactly 32768 bytes, else in the last two.
bool firmwareCrcValid(const std::uint8_t *image, std::size_t size);

// The 24-bit signature register: shifts towards bit 0 with feedback mask
// 0xD80000, each 16-bit word entering at bits 8..23. Feed words one by one.
class SignatureRegister {
public:
    void add(std::uint16_t word) {
        const std::uint32_t feedback = (value_ & 1u) != 0 ? 0xD80000u : 0u;
        value_ = (value_ >> 1) ^ feedback ^ (static_cast<std::uint32_t>(word) << 8);
    }
    std::uint32_t value() const { return value_; }

private:
    std::uint32_t value_ = 0;
};

// Signature of a byte image read as little-endian words; an odd last byte is
// not used.
std::uint32_t imageSignature(const std::uint8_t *image, std::size_t size);

} // namespace sim
