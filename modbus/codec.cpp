#include "modbus/codec.h"

#include <algorithm>
#include <cstring>

#include "modbus/diagnostics.h"
#include "modbus/errors.h"
#include "modbus/framefields.h"
#include "modbus/messages.h"

namespace regwire {

namespace {

constexpr std::uint8_t Colon = ':';
constexpr std::uint8_t CR = 0x0D;
constexpr std::uint8_t LF = 0x0A;
constexpr std::uint8_t ExceptionFlag = 0x80;
constexpr std::uint8_t LastModbusExceptionCode = 8;
constexpr std::uint8_t DiagnosticsFunction = 8;

// Colon, CR and LF around the hexadecimal characters.
constexpr std::size_t ASCIIFraming = 3;

std::uint8_t HexDigit(unsigned nibble) {
    return static_cast<std::uint8_t>(nibble < 10 ? '0' + nibble : 'A' + nibble - 10);
}

// Not validated: anything but 0-9 and A-F gives a wrong value that the LRC
// test catches.
unsigned HexValue(std::uint8_t c) {
    return c >= 'A' ? c - 0x37U : c - 0x30U;
}

}  // namespace

void TFrameCodec::AddChecksum(TModbusBuffer& frame) const {
    if (FTransmissionMode == tmRTU) {
        frame.WriteRawWord(frame.CRC16());
        return;
    }
    frame.WriteByte(frame.LRC());
}

int TFrameCodec::EncodeFrame(const TModbusBuffer& frame, std::span<std::uint8_t> block) const {
    const int n = frame.Size();
    if (n <= 0)
        return 0;
    if (FTransmissionMode == tmASCII)
        return EncodeASCII(frame, block);
    if (static_cast<std::size_t>(n) > block.size())
        RaiseError(msg::EncodeFailed);
    std::memcpy(block.data(), frame.Memory(), static_cast<std::size_t>(n));
    return n;
}

int TFrameCodec::EncodeASCII(const TModbusBuffer& frame, std::span<std::uint8_t> block) const {
    const std::span<const std::uint8_t> bytes = frame.Bytes();
    const std::size_t m = 2 * bytes.size() + ASCIIFraming;
    if (m > block.size())
        RaiseError(msg::EncodeFailed);
    std::size_t i = 0;
    block[i++] = Colon;
    for (const std::uint8_t b : bytes) {
        block[i++] = HexDigit(b >> 4);
        block[i++] = HexDigit(b & 0x0FU);
    }
    block[i++] = CR;
    block[i++] = LF;
    return static_cast<int>(m);
}

void TFrameCodec::DecodeFrame(std::span<const std::uint8_t> block, TModbusBuffer& frame) const {
    frame.SetSize(0);
    if (block.empty())
        return;
    if (FTransmissionMode == tmASCII) {
        DecodeASCII(block, frame);
        return;
    }
    if (block.size() > static_cast<std::size_t>(frame.Capacity()))
        RaiseError(msg::DecodeFailed);
    std::memcpy(frame.Memory(), block.data(), block.size());
    frame.SetSize(static_cast<int>(block.size()));
}

void TFrameCodec::DecodeASCII(std::span<const std::uint8_t> block, TModbusBuffer& frame) const {
    const std::size_t count = block.size();
    if (count <= ASCIIFraming)
        throw EAssertionFailed(msg::DecodeSizeTooSmall);
    if (count % 2 == 0)
        throw EAssertionFailed(msg::DecodeSizeNotOdd);
    if (block[0] != Colon)
        throw EAssertionFailed(msg::DecodeNoLeadingColon);
    if (block[count - 2] != CR)
        throw EAssertionFailed(msg::DecodeNoTrailingCR);
    if (block[count - 1] != LF)
        throw EAssertionFailed(msg::DecodeNoTrailingLF);

    const std::size_t k = (count - ASCIIFraming) / 2;
    if (k > static_cast<std::size_t>(frame.Capacity()))
        RaiseError(msg::DecodeFailed);
    std::uint8_t* bytes = frame.Memory();
    for (std::size_t i = 0; i < k; ++i) {
        const unsigned high = HexValue(block[1 + 2 * i]);
        const unsigned low = HexValue(block[2 + 2 * i]);
        bytes[i] = static_cast<std::uint8_t>((high << 4) + low);
    }
    frame.SetSize(static_cast<int>(k));
}

bool TFrameCodec::IsValidFrame(TModbusBuffer& frame) const {
    if (frame.Size() < MinFrameSize())
        return false;
    frame.Seek(soEnd);
    if (FTransmissionMode == tmRTU) {
        frame.Seek(soPrevWord);
        return frame.CRC16() == frame.ReadRawWord();
    }
    frame.Seek(soPrevByte);
    return frame.LRC() == frame.ReadByte();
}

// Only a frame of exactly the exception-reply length counts: a longer normal
// reply may well carry a function byte above 0x80 in a custom function.
bool TFrameCodec::IsExceptionReply(TModbusBuffer& reply) const {
    if (reply.Size() != regwire::MinFrameSize(FTransmissionMode, cmClient))
        return false;
    reply.SetPosition(AddressSize());
    return reply.ReadByte() > ExceptionFlag;
}

void TFrameCodec::StoreExceptionCode(TModbusBuffer& reply, TTransactionInfo& info) const {
    reply.SetPosition(AddressSize() + 1);
    const std::uint8_t code = reply.ReadByte();
    info.RawExceptionCode = code;
    info.ExceptionCode = code <= LastModbusExceptionCode ? code : 0;
}

std::uint8_t TFrameCodec::GetFunctionCode(TModbusBuffer& frame) const {
    frame.SetPosition(AddressSize());
    return frame.ReadByte();
}

std::uint8_t TFrameCodec::GetFrameAddress(TModbusBuffer& frame) const {
    frame.Seek(soStart);
    return frame.ReadByte();
}

bool TFrameCodec::SameFunction(TModbusBuffer& request, TModbusBuffer& reply) const {
    return GetFunctionCode(request) == (GetFunctionCode(reply) & 0x7FU);
}

bool TFrameCodec::SameServer(TModbusBuffer& request, TModbusBuffer& reply, bool anyServer) const {
    return anyServer || GetFrameAddress(request) == GetFrameAddress(reply);
}

bool TFrameCodec::IsEcho(const TModbusBuffer& request, const TModbusBuffer& reply) const {
    const std::span<const std::uint8_t> sent = request.Bytes();
    const std::span<const std::uint8_t> heard = reply.Bytes();
    return sent.size() <= heard.size() && std::equal(sent.begin(), sent.end(), heard.begin());
}

bool TFrameCodec::ExpectsReply(TModbusBuffer& request) const {
    if (request.Size() < AddressSize() + 1 || GetFrameAddress(request) == 0)
        return false;
    if (GetFunctionCode(request) != DiagnosticsFunction)
        return true;
    const TFrameFields fields(request, ChecksumSize());
    try {
        return fields.Word(AddressSize() + 1) != DiagnosticSubFunctions[daForceListenOnlyMode];
    } catch (const ERegwireError&) {
        return true;  // too short to name a sub-function: the server answers it with an exception
    }
}

}  // namespace regwire
