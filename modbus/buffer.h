// TModbusBuffer: the fixed-capacity byte buffer that holds one binary Modbus
// frame (server address, function code, data, checksum).
//
// Every request is assembled and every reply parsed in one of these. The
// block is allocated once with the largest frame of the transmission mode and
// never grows, so building and parsing a frame allocates nothing. Reads never
// move Position (a parser reads a field, then moves on with Seek); writes
// always do. Every read and write is bounded by Capacity, every positioning
// by Size; an operation that would leave those bounds raises ERegwireError
// and leaves the buffer exactly as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace regwire {

enum TBufferSeekOrigin : std::uint8_t {
    soStart,     // Position := 0
    soEnd,       // Position := Size
    soPrevByte,  // Position - 1
    soNextByte,  // Position + 1
    soPrevWord,  // Position - 2
    soNextWord,  // Position + 2
};

class TModbusBuffer {
  public:
    // A buffer of capacity bytes, empty; a negative capacity raises
    // "Buffer size is invalid (%d)".
    explicit TModbusBuffer(int capacity);

    TModbusBuffer(const TModbusBuffer&) = delete;
    TModbusBuffer& operator=(const TModbusBuffer&) = delete;

    int Capacity() const { return FCapacity; }
    int Position() const { return FPosition; }
    int Size() const { return FSize; }

    // p must lie in 0..Size, else "Buffer position is invalid (%d)".
    void SetPosition(int p);
    // n must lie in 0..Capacity, else "Buffer size is invalid (%d)"; a
    // Position beyond the new size is pulled back to it.
    void SetSize(int n);
    // The relative origins go through SetPosition; an unknown origin does
    // nothing.
    void Seek(TBufferSeekOrigin origin);

    // Empty again, the whole block cleared, exactly as a new buffer: a
    // buffer used again for another frame shows nothing of the last one.
    void Clear();

    // Raises "There is not enough space in the buffer to perform the
    // requested action" when n bytes do not fit between Position and
    // Capacity.
    void CheckSpace(int n) const;

    std::uint8_t ReadByte() const;
    // Big-endian, the order of Modbus fields.
    std::uint16_t ReadWord() const;
    // Low byte first, the order of the RTU CRC.
    std::uint16_t ReadRawWord() const;
    // Copies count bytes from Position; count < 1 copies nothing.
    void ReadBytes(std::uint8_t* destination, int count) const;

    void WriteByte(std::uint8_t value);
    void WriteWord(std::uint16_t value);
    void WriteRawWord(std::uint16_t value);
    // Appends count bytes at Position; count < 1 writes nothing.
    void WriteBytes(const std::uint8_t* source, int count);

    // Drops the bytes before Position when any follow it: the bytes from
    // Position on move to the front and Position = Size = their count. Used to
    // cut the echo of a request off the front of a reply.
    void DiscardConsumed();

    // Checksums of the bytes before Position (not Size): a writer appends one
    // where it stopped writing, a reader seeks back over the stored one.
    std::uint16_t CRC16() const;
    std::uint8_t LRC() const;

    // The whole block, Capacity bytes. Raw access for the frame codec, which
    // fills a frame and then sets its Size.
    std::uint8_t* Memory() { return FMemory.get(); }
    const std::uint8_t* Memory() const { return FMemory.get(); }
    // The valid bytes, 0..Size - 1.
    std::span<const std::uint8_t> Bytes() const;

  private:
    void Advance(int n);

    int FCapacity;
    int FPosition = 0;
    int FSize = 0;
    std::unique_ptr<std::uint8_t[]> FMemory;
};

}  // namespace regwire
