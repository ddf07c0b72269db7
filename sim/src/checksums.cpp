#include "sim/checksums.h"

namespace sim {

std::uint16_t crc16Kermit(const std::uint8_t *data, std::size_t size, std::uint16_t init) {
    std::uint16_t crc = init;
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408u)
                                  : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

bool firmwareCrcValid(const std::uint8_t *image, std::size_t size) {
    if (size < 2) {
        return false;
    }
    if (size == 32768) {
        const auto stored = static_cast<std::uint16_t>(image[0] | image[1] << 8);
        return crc16Kermit(image + 2, size - 2) == stored;
    }
    const auto stored = static_cast<std::uint16_t>(image[size - 2] | image[size - 1] << 8);
    return crc16Kermit(image, size - 2) == stored;
}

std::uint32_t imageSignature(const std::uint8_t *image, std::size_t size) {
    SignatureRegister reg;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        reg.add(static_cast<std::uint16_t>(image[i] | image[i + 1] << 8));
    }
    return reg.value();
}

} // namespace sim
