#include "modbus/checksum.h"

#include <gtest/gtest.h>

#include <random>

#include "helpers.h"

using namespace regwire;
using namespace regwire::test;

namespace {

// The CRC-16/MODBUS worked bit by bit, independent of the table.
std::uint16_t BitwiseCRC(std::span<const std::uint8_t> bytes) {
    unsigned crc = 0xFFFF;
    for (const std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xA001U : crc >> 1;
    }
    return static_cast<std::uint16_t>(crc);
}

}  // namespace

// Check values published for CRC-16/MODBUS and frames from the Modbus serial
// line literature (the CRC as a number; on the line it goes low byte first).
TEST(Checksums, CRC16MatchesPublishedValues) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::uint16_t crc;
    };
    const Case cases[] = {
        {Chars("123456789"), 0x4B37},
        {{}, 0xFFFF},
        {{0x0A, 0x03, 0x00, 0x00, 0x00, 0x02}, 0x70C5},
        {{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}, 0xCDC5},
        {{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, 0x0A84},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CRC16(c.bytes), c.crc) << c.bytes.size() << " bytes";
}

TEST(Checksums, CRC16AgreesWithABitwiseCRCOnRandomFrames) {
    std::mt19937 random(20240611);
    for (int length = 1; length <= 256; length += 17) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random());
        EXPECT_EQ(CRC16(bytes), BitwiseCRC(bytes)) << length;
    }
}

TEST(Checksums, LRCIsTheNegated8BitSum) {
    EXPECT_EQ(LRC({}), 0);
    EXPECT_EQ(LRC(std::vector<std::uint8_t>{0x0A, 0x03, 0x00, 0x00, 0x00, 0x02}), 0xF1);
    EXPECT_EQ(LRC(std::vector<std::uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}), 0xFB);
    EXPECT_EQ(LRC(std::vector<std::uint8_t>{0xFF, 0xFF, 0x02}), 0x00) << "the carry is dropped";
}
