// TFrameCodec: turns a binary Modbus frame into the characters on the serial
// line and back, and supplies the tests the transaction thread applies to
// every reply.
//
// RTU frames go on the line as their bytes, CRC-16 last (low byte first).
// ASCII frames go as a colon, two upper-case hexadecimal characters per byte
// (LRC last) and CR LF. The codec holds only the connection's transmission
// mode and connection mode; the connection owns one and forwards to it. Its
// operations touch nothing but the buffers passed in, so the transaction
// thread and the main thread may use the same codec at once.
#pragma once

#include <cstdint>
#include <span>

#include "modbus/buffer.h"
#include "modbus/transaction.h"

namespace regwire {

enum TTransmissionMode : std::uint8_t { tmRTU, tmASCII };
enum TConnectionMode : std::uint8_t { cmClient, cmServer };

// Bytes before the function code.
constexpr int AddressSize(TTransmissionMode) {
    return 1;
}
// CRC-16 or LRC.
constexpr int ChecksumSize(TTransmissionMode mode) {
    return mode == tmRTU ? 2 : 1;
}
// Capacity of every request and reply buffer: address, a 253-byte protocol
// data unit and the checksum.
constexpr int MaxADUSize(TTransmissionMode mode) {
    return mode == tmRTU ? 256 : 255;
}
// Characters of the transaction thread's send and receive blocks; in ASCII
// the colon, two characters per byte of the largest frame, CR and LF.
constexpr int FrameBufferSize(TTransmissionMode mode) {
    return mode == tmRTU ? MaxADUSize(tmRTU) : 1 + 2 * MaxADUSize(tmASCII) + 2;
}
// The smallest frame a client accepts as a reply (also the exact size of an
// exception reply: address, function, code, checksum), and the smallest a
// server accepts as a request (address, function, checksum).
constexpr int MinFrameSize(TTransmissionMode mode, TConnectionMode connection) {
    return AddressSize(mode) + (connection == cmClient ? 2 : 1) + ChecksumSize(mode);
}

class TFrameCodec {
  public:
    explicit TFrameCodec(TTransmissionMode transmissionMode = tmRTU,
                         TConnectionMode connectionMode = cmClient)
        : FTransmissionMode(transmissionMode), FConnectionMode(connectionMode) {}

    TTransmissionMode TransmissionMode() const { return FTransmissionMode; }
    TConnectionMode ConnectionMode() const { return FConnectionMode; }
    // Only while no exchange runs: the connection changes them while inactive.
    void SetTransmissionMode(TTransmissionMode mode) { FTransmissionMode = mode; }
    void SetConnectionMode(TConnectionMode mode) { FConnectionMode = mode; }

    int AddressSize() const { return regwire::AddressSize(FTransmissionMode); }
    int ChecksumSize() const { return regwire::ChecksumSize(FTransmissionMode); }
    int MaxADUSize() const { return regwire::MaxADUSize(FTransmissionMode); }
    int FrameBufferSize() const { return regwire::FrameBufferSize(FTransmissionMode); }
    int MinFrameSize() const { return regwire::MinFrameSize(FTransmissionMode, FConnectionMode); }

    // Appends the checksum of the bytes before Position, at Position: the
    // CRC-16 low byte first in RTU, the LRC in ASCII.
    void AddChecksum(TModbusBuffer& frame) const;

    // Writes the whole frame (checksum included, none computed here) into
    // block and returns the characters written; an empty frame writes
    // nothing. A frame too long for block raises "Failed to encode frame" and
    // writes nothing.
    int EncodeFrame(const TModbusBuffer& frame, std::span<std::uint8_t> block) const;

    // Fills frame from the received characters; frame is emptied first, so
    // an empty or failed read leaves an empty frame. A frame longer than its
    // Capacity raises "Failed to decode frame"; a malformed ASCII run raises
    // EAssertionFailed. Hex digits are not validated: a bad digit yields a
    // wrong byte, which the checksum test then rejects. Reads only the
    // characters of block, writes only within the frame's Capacity.
    void DecodeFrame(std::span<const std::uint8_t> block, TModbusBuffer& frame) const;

    // At least MinFrameSize bytes and a matching checksum. Moves Position.
    bool IsValidFrame(TModbusBuffer& frame) const;
    // A client-sized minimum frame whose function byte is above 0x80.
    bool IsExceptionReply(TModbusBuffer& reply) const;
    // The code byte after the function byte goes to Info.RawExceptionCode,
    // and to Info.ExceptionCode when it is a Modbus code (up to 8), else 0.
    void StoreExceptionCode(TModbusBuffer& reply, TTransactionInfo& info) const;
    std::uint8_t GetFunctionCode(TModbusBuffer& frame) const;
    std::uint8_t GetFrameAddress(TModbusBuffer& frame) const;
    // The reply's function code, exception flag cleared, is the request's.
    bool SameFunction(TModbusBuffer& request, TModbusBuffer& reply) const;
    bool SameServer(TModbusBuffer& request, TModbusBuffer& reply, bool anyServer) const;
    // Whether a server answers the request at all: never a broadcast
    // (address 0), nor the diagnostics request that forces it to listen
    // only (function 8, sub-function 4).
    bool ExpectsReply(TModbusBuffer& request) const;
    // The reply begins with the whole request (a bus that hears its own
    // transmitter).
    bool IsEcho(const TModbusBuffer& request, const TModbusBuffer& reply) const;

  private:
    int EncodeASCII(const TModbusBuffer& frame, std::span<std::uint8_t> block) const;
    void DecodeASCII(std::span<const std::uint8_t> block, TModbusBuffer& frame) const;

    TTransmissionMode FTransmissionMode;
    TConnectionMode FConnectionMode;
};

}  // namespace regwire
