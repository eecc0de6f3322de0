#include "modbus/buffer.h"

#include <cstring>

#include "modbus/checksum.h"
#include "modbus/errors.h"
#include "modbus/messages.h"

namespace regwire {

namespace {

int CheckedCapacity(int capacity) {
    if (capacity < 0)
        RaiseError(msg::BufferSizeInvalid, capacity);
    return capacity;
}

}  // namespace

// The block is cleared so that a read running past Size (allowed up to
// Capacity) sees zeros rather than leftovers of the allocator.
TModbusBuffer::TModbusBuffer(int capacity)
    : FCapacity(CheckedCapacity(capacity)),
      FMemory(std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(FCapacity))) {}

void TModbusBuffer::Clear() {
    std::memset(FMemory.get(), 0, static_cast<std::size_t>(FCapacity));
    FPosition = 0;
    FSize = 0;
}

void TModbusBuffer::SetPosition(int p) {
    if (p == FPosition)
        return;
    if (p < 0 || p > FSize)
        RaiseError(msg::BufferPositionInvalid, p);
    FPosition = p;
}

void TModbusBuffer::SetSize(int n) {
    if (n == FSize)
        return;
    if (n < 0 || n > FCapacity)
        RaiseError(msg::BufferSizeInvalid, n);
    FSize = n;
    if (FPosition > n)
        FPosition = n;
}

void TModbusBuffer::Seek(TBufferSeekOrigin origin) {
    switch (origin) {
        case soStart:
            FPosition = 0;
            return;
        case soEnd:
            FPosition = FSize;
            return;
        case soPrevByte:
            SetPosition(FPosition - 1);
            return;
        case soNextByte:
            SetPosition(FPosition + 1);
            return;
        case soPrevWord:
            SetPosition(FPosition - 2);
            return;
        case soNextWord:
            SetPosition(FPosition + 2);
            return;
    }
}

void TModbusBuffer::CheckSpace(int n) const {
    if (n > FCapacity - FPosition)
        RaiseError(msg::BufferNoSpace);
}

std::uint8_t TModbusBuffer::ReadByte() const {
    CheckSpace(1);
    return FMemory[FPosition];
}

std::uint16_t TModbusBuffer::ReadWord() const {
    CheckSpace(2);
    return static_cast<std::uint16_t>((FMemory[FPosition] << 8) | FMemory[FPosition + 1]);
}

std::uint16_t TModbusBuffer::ReadRawWord() const {
    CheckSpace(2);
    return static_cast<std::uint16_t>(FMemory[FPosition] | (FMemory[FPosition + 1] << 8));
}

void TModbusBuffer::ReadBytes(std::uint8_t* destination, int count) const {
    if (count < 1)
        return;
    CheckSpace(count);
    std::memcpy(destination, &FMemory[FPosition], static_cast<std::size_t>(count));
}

void TModbusBuffer::WriteByte(std::uint8_t value) {
    CheckSpace(1);
    FMemory[FPosition] = value;
    Advance(1);
}

void TModbusBuffer::WriteWord(std::uint16_t value) {
    CheckSpace(2);
    FMemory[FPosition] = static_cast<std::uint8_t>(value >> 8);
    FMemory[FPosition + 1] = static_cast<std::uint8_t>(value);
    Advance(2);
}

void TModbusBuffer::WriteRawWord(std::uint16_t value) {
    CheckSpace(2);
    FMemory[FPosition] = static_cast<std::uint8_t>(value);
    FMemory[FPosition + 1] = static_cast<std::uint8_t>(value >> 8);
    Advance(2);
}

void TModbusBuffer::WriteBytes(const std::uint8_t* source, int count) {
    if (count < 1)
        return;
    CheckSpace(count);
    std::memmove(&FMemory[FPosition], source, static_cast<std::size_t>(count));
    Advance(count);
}

void TModbusBuffer::DiscardConsumed() {
    const int kept = FSize - FPosition;
    if (FPosition == 0 || kept <= 0)
        return;
    std::memmove(&FMemory[0], &FMemory[FPosition], static_cast<std::size_t>(kept));
    FPosition = kept;
    FSize = kept;
}

std::uint16_t TModbusBuffer::CRC16() const {
    return regwire::CRC16({FMemory.get(), static_cast<std::size_t>(FPosition)});
}

std::uint8_t TModbusBuffer::LRC() const {
    return regwire::LRC({FMemory.get(), static_cast<std::size_t>(FPosition)});
}

std::span<const std::uint8_t> TModbusBuffer::Bytes() const {
    return {FMemory.get(), static_cast<std::size_t>(FSize)};
}

void TModbusBuffer::Advance(int n) {
    FPosition += n;
    if (FSize < FPosition)
        FSize = FPosition;
}

}  // namespace regwire
