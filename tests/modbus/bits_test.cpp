#include "modbus/bits.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "helpers.h"
#include "modbus/errors.h"
#include "modbus/messages.h"

using namespace regwire;
using namespace regwire::test;

TEST(BitPacking, ByteCountRoundsUp) {
    const std::pair<int, int> cases[] = {{0, 0}, {1, 1},  {7, 1},     {8, 1},
                                         {9, 2}, {16, 2}, {2000, 250}};
    for (const auto& [bits, bytes] : cases)
        EXPECT_EQ(BitByteCount(bits), bytes) << bits;
}

TEST(BitPacking, WriteBitsPacksLeastSignificantBitFirst) {
    struct Case {
        TBitValues values;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {{}, {}},
        {{true, false, false, false, false, false, false, true}, {0x81}},
        {{true, true, false, true, false, false, false, false, true}, {0x0B, 0x01}},
        {{false, false, false, false, false, false, false, false, false, true}, {0x00, 0x02}},
    };
    for (const Case& c : cases) {
        TModbusBuffer buffer(8);
        WriteBits(c.values, buffer);
        EXPECT_EQ(Contents(buffer), c.bytes) << c.values.size() << " values";
    }
}

TEST(BitPacking, ReadBitsConsumesWholeBytes) {
    TModbusBuffer buffer(8);
    Fill(buffer, {0xCD, 0x01, 0x55});
    buffer.Seek(soStart);
    TBitValues values(10);
    ReadBits(buffer, values);
    EXPECT_EQ(buffer.Position(), 2);
    EXPECT_EQ(values, (TBitValues{true, false, true, true, false, false, true, true, true, false}));

    TBitValues none;
    ReadBits(buffer, none);
    EXPECT_EQ(buffer.Position(), 3) << "an empty array still takes one byte";
}

TEST(BitPacking, RoundTripOfEveryLengthUpToThreeBytes) {
    for (int n = 1; n <= 24; ++n) {
        TBitValues written(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i)
            written[static_cast<std::size_t>(i)] = (i * 7 + n) % 3 == 0;
        TModbusBuffer buffer(3);
        WriteBits(written, buffer);
        EXPECT_EQ(buffer.Size(), BitByteCount(n));
        buffer.Seek(soStart);
        TBitValues read(written.size());
        ReadBits(buffer, read);
        EXPECT_EQ(read, written) << n;
    }
}

TEST(BitPacking, ReadBitsPastTheDataKeepsTheValuesAlreadyRead) {
    TModbusBuffer buffer(8);
    Fill(buffer, {0xFF});
    buffer.Seek(soStart);
    TBitValues values(12, false);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { ReadBits(buffer, values); }),
              FormatMessage(msg::BufferPositionInvalid, {2}));
    EXPECT_EQ(std::count(values.begin(), values.end(), true), 8);
}

TEST(BitPacking, WriteBitsBeyondCapacityKeepsTheBytesWritten) {
    TModbusBuffer buffer(1);
    EXPECT_THROW(WriteBits(TBitValues(9, true), buffer), ERegwireError);
    EXPECT_EQ(Contents(buffer), std::vector<std::uint8_t>{0xFF});
}
