#include "modbus/bits.h"

namespace regwire {

int BitByteCount(int n) {
    return n / 8 + (n % 8 != 0 ? 1 : 0);
}

void WriteBits(const TBitValues& values, TModbusBuffer& buffer) {
    const std::size_t count = values.size();
    for (std::size_t first = 0; first < count; first += 8) {
        unsigned packed = 0;
        for (std::size_t j = 0; j < 8 && first + j < count; ++j) {
            if (values[first + j])
                packed |= 1U << j;
        }
        buffer.WriteByte(static_cast<std::uint8_t>(packed));
    }
}

// Takes the byte at Position and steps past it before using it, so a bit
// array that runs past the frame's data fails on the step, not later.
static std::uint8_t TakeByte(TModbusBuffer& buffer) {
    const std::uint8_t value = buffer.ReadByte();
    buffer.Seek(soNextByte);
    return value;
}

void ReadBits(TModbusBuffer& buffer, TBitValues& values) {
    std::uint8_t packed = TakeByte(buffer);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0 && i % 8 == 0)
            packed = TakeByte(buffer);
        values[i] = (packed >> (i % 8)) & 1U;
    }
}

}  // namespace regwire
