#include "modbus/checksum.h"

namespace regwire {

std::uint16_t CRC16(std::span<const std::uint8_t> bytes) {
    unsigned crc = 0xFFFFU;
    for (const std::uint8_t b : bytes)
        crc = CRCTable[(crc ^ b) & 0xFFU] ^ (crc >> 8);
    return static_cast<std::uint16_t>(crc);
}

std::uint8_t LRC(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (const std::uint8_t b : bytes)
        sum += b;
    return static_cast<std::uint8_t>(0U - sum);
}

}  // namespace regwire
