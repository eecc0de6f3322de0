#include "modbus/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "helpers.h"
#include "modbus/errors.h"
#include "modbus/framelength.h"
#include "modbus/messages.h"

using namespace regwire;
using namespace regwire::test;

namespace {

const TFrameCodec RTU(tmRTU, cmClient);
const TFrameCodec ASCII(tmASCII, cmClient);

// Read two holding registers from address 0 of server 10.
void WriteReadRequest(const TFrameCodec& codec, TModbusBuffer& frame) {
    Fill(frame, {0x0A, 0x03, 0x00, 0x00, 0x00, 0x02});
    codec.AddChecksum(frame);
}

void FillFrame(const TFrameCodec& codec, TModbusBuffer& frame, int dataBytes) {
    for (int i = 0; i < dataBytes; ++i)
        frame.WriteByte(static_cast<std::uint8_t>(i * 37));
    codec.AddChecksum(frame);
}

}  // namespace

TEST(FrameCodec, SizesPerModeAndSide) {
    struct Case {
        TTransmissionMode mode;
        TConnectionMode side;
        int checksum, maxADU, frameBuffer, minFrame;
    };
    const Case cases[] = {{tmRTU, cmClient, 2, 256, 256, 5},
                          {tmRTU, cmServer, 2, 256, 256, 4},
                          {tmASCII, cmClient, 1, 255, 513, 4},
                          {tmASCII, cmServer, 1, 255, 513, 3}};
    for (const Case& c : cases) {
        const TFrameCodec codec(c.mode, c.side);
        EXPECT_EQ(codec.AddressSize(), 1);
        EXPECT_EQ(codec.ChecksumSize(), c.checksum);
        EXPECT_EQ(codec.MaxADUSize(), c.maxADU);
        EXPECT_EQ(codec.FrameBufferSize(), c.frameBuffer);
        EXPECT_EQ(codec.MinFrameSize(), c.minFrame);
    }
}

TEST(FrameCodec, RTURequestGoesOnTheLineAsItsBytes) {
    TModbusBuffer frame(256);
    WriteReadRequest(RTU, frame);
    const std::vector<std::uint8_t> expected{0x0A, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC5, 0x70};
    EXPECT_EQ(Contents(frame), expected);

    std::vector<std::uint8_t> line(256);
    ASSERT_EQ(RTU.EncodeFrame(frame, line), 8);
    line.resize(8);
    EXPECT_EQ(line, expected);

    TModbusBuffer decoded(256);
    RTU.DecodeFrame(line, decoded);
    EXPECT_EQ(Contents(decoded), expected);
    EXPECT_EQ(decoded.Position(), 0);
    EXPECT_TRUE(RTU.IsValidFrame(decoded));
}

TEST(FrameCodec, ASCIIRequestIsColonHexLRCAndCRLF) {
    TModbusBuffer frame(255);
    WriteReadRequest(ASCII, frame);
    std::vector<std::uint8_t> line(513);
    ASSERT_EQ(ASCII.EncodeFrame(frame, line), 17);
    line.resize(17);
    EXPECT_EQ(line, Chars(":0A0300000002F1\r\n"));

    TModbusBuffer decoded(255);
    ASCII.DecodeFrame(line, decoded);
    EXPECT_EQ(Contents(decoded),
              (std::vector<std::uint8_t>{0x0A, 0x03, 0x00, 0x00, 0x00, 0x02, 0xF1}));
    EXPECT_TRUE(ASCII.IsValidFrame(decoded));
}

TEST(FrameCodec, EveryByteValueSurvivesASCII) {
    TModbusBuffer frame(255);
    for (int i = 0; i < 254; ++i)
        frame.WriteByte(static_cast<std::uint8_t>(i + 2));
    std::vector<std::uint8_t> line(513);
    const int n = ASCII.EncodeFrame(frame, line);
    line.resize(static_cast<std::size_t>(n));
    TModbusBuffer decoded(255);
    ASCII.DecodeFrame(line, decoded);
    EXPECT_EQ(Contents(decoded), Contents(frame));
}

TEST(FrameCodec, EmptyFrameEncodesToNothing) {
    TModbusBuffer frame(256);
    for (const TFrameCodec* codec : {&RTU, &ASCII}) {
        std::vector<std::uint8_t> line(8, 0xEE);
        EXPECT_EQ(codec->EncodeFrame(frame, line), 0);
        EXPECT_EQ(line, std::vector<std::uint8_t>(8, 0xEE)) << "not even a colon";
    }
}

TEST(FrameCodec, LargestFramesFitTheCharacterBlocksAndLargerOnesDoNot) {
    TModbusBuffer ascii255(255);
    FillFrame(ASCII, ascii255, 254);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(ASCII.FrameBufferSize()), 0xEE);
    EXPECT_EQ(ASCII.EncodeFrame(ascii255, line), 513);

    TModbusBuffer ascii256(256);
    FillFrame(ASCII, ascii256, 255);
    std::fill(line.begin(), line.end(), 0xEE);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { ASCII.EncodeFrame(ascii256, line); }),
              "Failed to encode frame");
    EXPECT_EQ(line, std::vector<std::uint8_t>(513, 0xEE)) << "nothing is written";

    TModbusBuffer rtu256(256);
    FillFrame(RTU, rtu256, 254);
    std::vector<std::uint8_t> rtuLine(256);
    EXPECT_EQ(RTU.EncodeFrame(rtu256, rtuLine), 256);
    EXPECT_EQ(
        MessageOf<ERegwireError>([&] { RTU.EncodeFrame(rtu256, std::span(rtuLine).first(255)); }),
        "Failed to encode frame");
}

TEST(FrameCodec, FrameLongerThanItsBufferIsNotDecoded) {
    std::vector<std::uint8_t> rtu(257, 0x11);
    TModbusBuffer frame(256);
    Fill(frame, {1, 2, 3});
    EXPECT_EQ(MessageOf<ERegwireError>([&] { RTU.DecodeFrame(rtu, frame); }),
              "Failed to decode frame");
    EXPECT_EQ(frame.Size(), 0);

    std::string ascii = ":" + std::string(2 * 256, '0') + "\r\n";  // 256 bytes into 255
    TModbusBuffer asciiFrame(255);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { ASCII.DecodeFrame(Chars(ascii), asciiFrame); }),
              "Failed to decode frame");
    EXPECT_EQ(asciiFrame.Size(), 0);
}

TEST(FrameCodec, EmptyReadLeavesAnEmptyFrame) {
    for (const TFrameCodec* codec : {&RTU, &ASCII}) {
        TModbusBuffer frame(256);
        Fill(frame, {1, 2, 3});
        codec->DecodeFrame({}, frame);
        EXPECT_EQ(frame.Size(), 0);
        EXPECT_EQ(frame.Position(), 0);
    }
}

// The checks run in a fixed order, so a run with several faults reports the
// first; the frame is always left empty.
TEST(FrameCodec, MalformedASCIIRunsFailTheirAssertionInOrder) {
    const std::pair<std::string, std::string_view> cases[] = {
        {":\r\n", msg::DecodeSizeTooSmall},   {"x", msg::DecodeSizeTooSmall},
        {":0\r\n", msg::DecodeSizeNotOdd},    {":0A030\r\n", msg::DecodeSizeNotOdd},
        {"X00XX", msg::DecodeNoLeadingColon}, {":00\n\n", msg::DecodeNoTrailingCR},
        {":00\r\r", msg::DecodeNoTrailingLF},
    };
    for (const auto& [run, message] : cases) {
        TModbusBuffer frame(255);
        Fill(frame, {1, 2, 3});
        EXPECT_EQ(MessageOf<EAssertionFailed>([&] { ASCII.DecodeFrame(Chars(run), frame); }),
                  message);
        EXPECT_EQ(frame.Size(), 0);
    }
}

TEST(FrameCodec, LowerCaseHexDecodesWrongAndFailsTheChecksum) {
    TModbusBuffer frame(255);
    ASCII.DecodeFrame(Chars(":0a0300000002f1\r\n"), frame);
    EXPECT_EQ(frame.Size(), 7);
    EXPECT_NE(frame.Memory()[0], 0x0A);
    EXPECT_FALSE(ASCII.IsValidFrame(frame));
}

// Whatever arrives on the line, decoding stays inside the character block and
// the frame's block (the sanitizer build checks every access).
TEST(FrameCodec, RandomCharacterRunsStayInBounds) {
    std::mt19937 random(7);
    const std::uint8_t alphabet[] = {':', '\r', '\n', '0', '9', 'A', 'F', 'a', 0x00, 0xFF};
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<std::uint8_t> run(random() % 24);
        for (auto& c : run)
            c = alphabet[random() % std::size(alphabet)];
        if (trial % 2 == 0 && run.size() >= 3) {
            run.front() = ':';
            run[run.size() - 2] = '\r';
            run.back() = '\n';
        }
        TModbusBuffer frame(5);
        for (const TFrameCodec* codec : {&RTU, &ASCII}) {
            try {
                codec->DecodeFrame(run, frame);
                codec->IsValidFrame(frame);
            } catch (const ERegwireError&) {
            } catch (const EAssertionFailed&) {
            }
            EXPECT_LE(frame.Size(), frame.Capacity());
        }
    }
}

TEST(FrameCodec, ChecksumAndLengthDecideValidity) {
    TModbusBuffer frame(256);
    WriteReadRequest(RTU, frame);
    frame.Memory()[3] ^= 0x01;
    EXPECT_FALSE(RTU.IsValidFrame(frame));

    // Address, function and CRC: a request to a server, too short for a reply.
    TModbusBuffer shortFrame(256);
    Fill(shortFrame, {0x0A, 0x03});
    RTU.AddChecksum(shortFrame);
    EXPECT_FALSE(RTU.IsValidFrame(shortFrame));
    EXPECT_TRUE(TFrameCodec(tmRTU, cmServer).IsValidFrame(shortFrame));
}

TEST(FrameCodec, ExceptionRepliesAreRecognisedByLengthAndFlag) {
    struct Case {
        TTransmissionMode mode;
        std::vector<std::uint8_t> pdu;  // before the checksum
        bool exception;
        std::uint8_t code, raw;
    };
    const Case cases[] = {
        {tmRTU, {0x0A, 0x83, 0x02}, true, 2, 2},
        {tmRTU, {0x0A, 0x83, 0x0C}, true, 0, 12},
        {tmRTU, {0x0A, 0x83, 0x08}, true, 8, 8},
        {tmRTU, {0x0A, 0x80, 0x02}, false, 0, 0},
        {tmRTU, {0x0A, 0x83, 0x02, 0x00}, false, 0, 0},
        {tmRTU, {0x0A, 0x03, 0x02}, false, 0, 0},
        {tmASCII, {0x0A, 0x84, 0x01}, true, 1, 1},
        {tmASCII, {0x0A, 0x84, 0x01, 0x00}, false, 0, 0},
    };
    for (const Case& c : cases) {
        const TFrameCodec codec(c.mode, cmClient);
        TModbusBuffer reply(256);
        for (const std::uint8_t b : c.pdu)
            reply.WriteByte(b);
        codec.AddChecksum(reply);
        SCOPED_TRACE(testing::Message() << "mode " << int(c.mode) << ", " << reply.Size()
                                        << " bytes, function " << int(c.pdu[1]));
        ASSERT_TRUE(codec.IsValidFrame(reply));
        ASSERT_EQ(codec.IsExceptionReply(reply), c.exception);
        if (!c.exception)
            continue;
        TTransactionInfo info;
        codec.StoreExceptionCode(reply, info);
        EXPECT_EQ(info.ExceptionCode, c.code);
        EXPECT_EQ(info.RawExceptionCode, c.raw);
    }
}

TEST(FrameCodec, ReplyMatchingTests) {
    TModbusBuffer request(256), reply(256), other(256);
    WriteReadRequest(RTU, request);
    Fill(reply, {0x0A, 0x83, 0x02});
    Fill(other, {0x0B, 0x04, 0x02});
    EXPECT_EQ(RTU.GetFrameAddress(reply), 0x0A);
    EXPECT_EQ(RTU.GetFunctionCode(reply), 0x83);
    EXPECT_TRUE(RTU.SameFunction(request, reply));
    EXPECT_FALSE(RTU.SameFunction(request, other));
    EXPECT_TRUE(RTU.SameServer(request, reply, false));
    EXPECT_FALSE(RTU.SameServer(request, other, false));
    EXPECT_TRUE(RTU.SameServer(request, other, true));
}

TEST(FrameCodec, EchoIsARepliesCopyOfTheWholeRequest) {
    TModbusBuffer request(256), heard(256);
    WriteReadRequest(RTU, request);
    EXPECT_FALSE(RTU.IsEcho(request, heard));
    WriteReadRequest(RTU, heard);
    EXPECT_TRUE(RTU.IsEcho(request, heard));
    Fill(heard, {0x0A, 0x03, 0x04});
    EXPECT_TRUE(RTU.IsEcho(request, heard)) << "echo and reply in one frame";
    heard.SetSize(7);
    EXPECT_FALSE(RTU.IsEcho(request, heard));
    heard.SetSize(8);
    heard.Memory()[7] ^= 0xFF;
    EXPECT_FALSE(RTU.IsEcho(request, heard));
}

// The length standard timing expects of an RTU frame, from its first bytes.
TEST(FrameLength, RepliesAndRequestsByFunctionCode) {
    struct TCase {
        bool Reply;
        std::vector<std::uint8_t> Head;
        int Expected;
    };
    for (const TCase& k : {
             TCase{true, {10, 0x81}, 5},
             TCase{true, {10, 0x83}, 5},
             TCase{true, {10, 0x90, 4}, 5},
             TCase{true, {10, 0x97, 2}, 5},
             TCase{true, {10, 3}, kLengthNeedMore},
             TCase{true, {10, 3, 4}, 9},
             TCase{true, {10, 1, 1}, 6},
             TCase{true, {10, 2, 0}, 5},
             TCase{true, {10, 4, 250}, 255},
             TCase{true, {10, 5}, 8},
             TCase{true, {10, 6}, 8},
             TCase{true, {10, 7}, 5},
             TCase{true, {10, 8}, 8},
             TCase{true, {10, 11}, 8},
             TCase{true, {10, 12, 9}, 14},
             TCase{true, {10, 15}, 8},
             TCase{true, {10, 16}, 8},
             TCase{true, {10, 17, 3}, 8},
             TCase{true, {10, 20, 7}, 12},
             TCase{true, {10, 21, 9}, 14},
             TCase{true, {10, 22}, 10},
             TCase{true, {10, 23, 2}, 7},
             TCase{true, {10, 24, 0}, kLengthNeedMore},
             TCase{true, {10, 24, 0, 6}, 12},
             TCase{true, {10, 0x41}, kLengthUnknown},
             TCase{true, {10}, kLengthNeedMore},
             TCase{false, {10, 1}, 8},
             TCase{false, {10, 2}, 8},
             TCase{false, {10, 3}, 8},
             TCase{false, {10, 4}, 8},
             TCase{false, {10, 5}, 8},
             TCase{false, {10, 6}, 8},
             TCase{false, {10, 7}, 4},
             TCase{false, {10, 8}, 8},
             TCase{false, {10, 11}, 4},
             TCase{false, {10, 12}, 4},
             TCase{false, {10, 17}, 4},
             TCase{false, {10, 16, 0, 0, 0, 2}, kLengthNeedMore},
             TCase{false, {10, 16, 0, 0, 0, 2, 4}, 13},
             TCase{false, {10, 15, 0, 0, 0, 9, 2}, 11},
             TCase{false, {10, 20, 7}, 12},
             TCase{false, {10, 21, 9}, 14},
             TCase{false, {10, 22}, 10},
             TCase{false, {10, 23, 0, 0, 0, 1, 0, 0, 0, 1, 2}, 15},
             TCase{false, {10, 24}, 6},
             TCase{false, {10, 0x41}, kLengthUnknown},
         }) {
        const int n = static_cast<int>(k.Head.size());
        EXPECT_EQ(k.Reply ? RtuReplyLength(k.Head.data(), n) : RtuRequestLength(k.Head.data(), n),
                  k.Expected)
            << (k.Reply ? "reply " : "request ") << int(k.Head.size() > 1 ? k.Head[1] : 0);
    }
    // What a request tells of its normal reply before any of it arrives.
    for (const auto& [request, reply] : std::vector<std::pair<std::vector<std::uint8_t>, int>>{
             {{10, 1, 0, 0, 0, 9, 0, 0}, 7},
             {{10, 2, 0, 0, 0, 8, 0, 0}, 6},
             {{10, 3, 0, 0, 0, 1, 0, 0}, 7},
             {{10, 4, 0, 0, 0, 125, 0, 0}, 255},
             {{10, 6, 0, 1, 0, 7, 0, 0}, 8},
             {{10, 16, 0, 0, 0, 1, 2, 0, 7, 0, 0}, 8},
             {{10, 23, 0, 0, 0, 2, 0, 0, 0, 1, 2, 0, 7, 0, 0}, 9},
             {{10, 5, 0, 1, 0xFF, 0, 0, 0}, 8},
             {{10, 7, 0, 0}, 5},
             {{10, 11, 0, 0}, 8},
             {{10, 15, 0, 0, 0, 9, 2, 0, 1, 0, 0}, 8},
             {{10, 22, 0, 1, 0, 2, 0, 3, 0, 0}, 10},
             {{10, 8, 0, 0, 0x12, 0x34, 0, 0}, kLengthUnknown},
             {{10, 17, 0, 0}, kLengthUnknown},
             {{10, 24, 0, 1, 0, 0}, kLengthUnknown},
             {{10, 0x41, 0, 0}, kLengthUnknown},
             {{10, 3}, kLengthUnknown},
         }) {
        EXPECT_EQ(RtuReplyLengthFor(request.data(), static_cast<int>(request.size())), reply)
            << "request " << int(request[1]);
    }
}
