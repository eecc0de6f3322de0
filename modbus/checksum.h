// The two frame checksums of the Modbus serial line.
//
// RTU frames end in the CRC-16/MODBUS of their bytes (reflected polynomial
// 0xA001, start 0xFFFF, no final xor; stored low byte first), ASCII frames in
// the LRC (the two's complement of the 8-bit sum of the binary bytes). The CRC
// table is built once, at compile time, and only ever read, so every thread
// of every connection uses it without a lock.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace regwire {

using TCRCTable = std::array<std::uint16_t, 256>;

// Entry i is i shifted right eight times, each shift followed by an xor with
// 0xA001 when the bit shifted out was 1.
constexpr TCRCTable BuildCRCTable() {
    TCRCTable table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        unsigned value = i;
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = (value & 1U) != 0;
            value >>= 1;
            if (carry)
                value ^= 0xA001U;
        }
        table[i] = static_cast<std::uint16_t>(value);
    }
    return table;
}

inline constexpr TCRCTable CRCTable = BuildCRCTable();

// CRC-16/MODBUS of the bytes; 0xFFFF for none.
std::uint16_t CRC16(std::span<const std::uint8_t> bytes);

// LRC of the bytes; 0 for none.
std::uint8_t LRC(std::span<const std::uint8_t> bytes);

}  // namespace regwire
