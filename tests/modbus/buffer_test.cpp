#include "modbus/buffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "helpers.h"
#include "modbus/errors.h"
#include "modbus/messages.h"

using namespace regwire;
using namespace regwire::test;

namespace {

const std::string NoSpace(msg::BufferNoSpace);

std::string Formatted(std::string_view format, long long value) {
    return FormatMessage(format, {value});
}

}  // namespace

TEST(ModbusBuffer, NegativeCapacityIsRefused) {
    EXPECT_EQ(MessageOf<ERegwireError>([] { TModbusBuffer bad(-1); }),
              Formatted(msg::BufferSizeInvalid, -1));
}

TEST(ModbusBuffer, WritesFillUpToCapacityAndNoFurther) {
    TModbusBuffer buffer(256);
    for (int i = 0; i < 256; ++i)
        buffer.WriteByte(static_cast<std::uint8_t>(i));
    EXPECT_EQ(MessageOf<ERegwireError>([&] { buffer.WriteByte(0); }), NoSpace);
    EXPECT_EQ(buffer.Size(), 256);
    EXPECT_EQ(buffer.Position(), 256);
}

TEST(ModbusBuffer, WordsAreBigEndianAndRawWordsLowByteFirst) {
    TModbusBuffer buffer(8);
    buffer.WriteWord(0x1234);
    buffer.WriteRawWord(0x1234);
    EXPECT_EQ(Contents(buffer), (std::vector<std::uint8_t>{0x12, 0x34, 0x34, 0x12}));
    buffer.Seek(soStart);
    EXPECT_EQ(buffer.ReadWord(), 0x1234);
    EXPECT_EQ(buffer.ReadRawWord(), 0x3412);
    EXPECT_EQ(buffer.Position(), 0) << "reads never move Position";
}

TEST(ModbusBuffer, WritingBelowSizeOverwritesAndKeepsSize) {
    TModbusBuffer buffer(8);
    Fill(buffer, {1, 2, 3, 4});
    buffer.SetPosition(1);
    buffer.WriteWord(0xAABB);
    EXPECT_EQ(Contents(buffer), (std::vector<std::uint8_t>{1, 0xAA, 0xBB, 4}));
    EXPECT_EQ(buffer.Position(), 3);
}

TEST(ModbusBuffer, ReadsAreBoundedByCapacityNotSize) {
    TModbusBuffer buffer(4);
    Fill(buffer, {7});
    buffer.Seek(soStart);
    EXPECT_NO_THROW(buffer.ReadWord());
    std::uint8_t all[4];
    EXPECT_NO_THROW(buffer.ReadBytes(all, 4));
    EXPECT_EQ(all[0], 7);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { buffer.ReadBytes(all, 5); }), NoSpace);
    EXPECT_NO_THROW(buffer.ReadBytes(nullptr, 0));
}

TEST(ModbusBuffer, PositionStaysWithinSize) {
    TModbusBuffer buffer(8);
    Fill(buffer, {1, 2, 3});
    buffer.SetPosition(3);
    EXPECT_EQ(buffer.Position(), 3);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { buffer.SetPosition(4); }),
              Formatted(msg::BufferPositionInvalid, 4));
    EXPECT_EQ(MessageOf<ERegwireError>([&] { buffer.SetPosition(-1); }),
              Formatted(msg::BufferPositionInvalid, -1));
}

TEST(ModbusBuffer, SizeStaysWithinCapacityAndPullsPositionBack) {
    TModbusBuffer buffer(8);
    buffer.SetSize(8);
    buffer.Seek(soEnd);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { buffer.SetSize(9); }),
              Formatted(msg::BufferSizeInvalid, 9));
    EXPECT_EQ(MessageOf<ERegwireError>([&] { buffer.SetSize(-1); }),
              Formatted(msg::BufferSizeInvalid, -1));
    buffer.SetSize(5);
    EXPECT_EQ(buffer.Position(), 5);
    buffer.SetPosition(2);
    buffer.SetSize(6);
    EXPECT_EQ(buffer.Position(), 2);
}

// Absolute origins assign; relative ones go through the checked setter and
// raise with the position they would reach; an unknown origin does nothing.
TEST(ModbusBuffer, SeekMovesOrRaisesWithTheRejectedPosition) {
    const std::tuple<TBufferSeekOrigin, int, int> moves[] = {
        {soStart, 4, 0},
        {soEnd, 2, 6},
        {soPrevByte, 2, 1},
        {soNextByte, 2, 3},
        {soPrevWord, 2, 0},
        {soNextWord, 2, 4},
        {soPrevByte, 0, -1},
        {soNextByte, 6, 7},
        {soPrevWord, 1, -1},
        {soNextWord, 5, 7},
        {static_cast<TBufferSeekOrigin>(9), 3, 3}};
    for (const auto& [origin, from, to] : moves) {
        TModbusBuffer buffer(16);
        Fill(buffer, {1, 2, 3, 4, 5, 6});
        buffer.SetPosition(from);
        const bool inside = to >= 0 && to <= buffer.Size();
        EXPECT_EQ(MessageOf<ERegwireError>([&] { buffer.Seek(origin); }),
                  inside ? "no exception" : Formatted(msg::BufferPositionInvalid, to));
        EXPECT_EQ(buffer.Position(), inside ? to : from) << int(origin) << " from " << from;
    }
}

// Every operation that would leave the buffer's bounds raises and leaves
// Position, Size and the bytes exactly as they were, also when part of it
// would have fitted: one byte of room is left for two-byte operations.
TEST(ModbusBuffer, AFailedOperationChangesNothing) {
    struct Case {
        const char* name;
        std::function<void(TModbusBuffer&)> op;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"WriteWord", [](TModbusBuffer& b) { b.WriteWord(0x0909); }, NoSpace},
        {"WriteRawWord", [](TModbusBuffer& b) { b.WriteRawWord(0x0909); }, NoSpace},
        {"WriteBytes",
         [](TModbusBuffer& b) {
             const std::uint8_t two[2] = {9, 9};
             b.WriteBytes(two, 2);
         },
         NoSpace},
        {"ReadWord", [](TModbusBuffer& b) { b.ReadWord(); }, NoSpace},
        {"ReadRawWord", [](TModbusBuffer& b) { b.ReadRawWord(); }, NoSpace},
        {"SetPosition", [](TModbusBuffer& b) { b.SetPosition(5); },
         Formatted(msg::BufferPositionInvalid, 5)},
        {"SetSize", [](TModbusBuffer& b) { b.SetSize(6); }, Formatted(msg::BufferSizeInvalid, 6)},
        {"Seek", [](TModbusBuffer& b) { b.Seek(soNextWord); },
         Formatted(msg::BufferPositionInvalid, 6)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TModbusBuffer buffer(5);
        Fill(buffer, {1, 2, 3, 4});
        EXPECT_EQ(MessageOf<ERegwireError>([&] { c.op(buffer); }), c.message);
        EXPECT_EQ(buffer.Position(), 4);
        EXPECT_EQ(Contents(buffer), (std::vector<std::uint8_t>{1, 2, 3, 4}));
        EXPECT_EQ(buffer.Memory()[4], 0);
    }
}

TEST(ModbusBuffer, DiscardConsumedKeepsOnlyTheBytesAfterPosition) {
    TModbusBuffer buffer(16);
    Fill(buffer, {0, 1, 2, 3, 4, 5, 6, 7});
    buffer.SetPosition(3);
    buffer.DiscardConsumed();
    EXPECT_EQ(Contents(buffer), (std::vector<std::uint8_t>{3, 4, 5, 6, 7}));
    EXPECT_EQ(buffer.Position(), 5);

    buffer.DiscardConsumed();  // Position = Size: nothing follows
    EXPECT_EQ(buffer.Size(), 5);
    buffer.Seek(soStart);
    buffer.DiscardConsumed();  // nothing consumed
    EXPECT_EQ(buffer.Size(), 5);
    EXPECT_EQ(buffer.Position(), 0);
}

TEST(ModbusBuffer, ChecksumsCoverTheBytesBeforePosition) {
    TModbusBuffer buffer(16);
    EXPECT_EQ(buffer.CRC16(), 0xFFFF);
    EXPECT_EQ(buffer.LRC(), 0);
    Fill(buffer, {0x0A, 0x03, 0x00, 0x00, 0x00, 0x02, 0xEE});
    buffer.Seek(soPrevByte);
    EXPECT_EQ(buffer.CRC16(), 0x70C5);
    EXPECT_EQ(buffer.LRC(), 0xF1);
}
