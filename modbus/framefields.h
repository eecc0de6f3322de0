// TFrameFields: reads the fields of a binary frame by their byte positions,
// and only from the frame's own bytes before its checksum.
//
// A buffer lets a read run on up to its Capacity, into whatever an earlier,
// longer frame left there. A reply or request that is shorter than its
// function code's layout must not be parsed from those leftovers or from its
// own checksum, so every field read here is bounded by the data end (Size -
// checksum size) and a field beyond it raises "Buffer position is invalid
// (%d)" with the field's position, like any other buffer fault.
#pragma once

#include <cstdint>

#include "modbus/buffer.h"
#include "modbus/values.h"

namespace regwire {

class TFrameFields {
  public:
    TFrameFields(TModbusBuffer& frame, int checksumSize);

    // Index of the first checksum byte; 0 for a frame shorter than its
    // checksum.
    int DataEnd() const { return FDataEnd; }

    std::uint8_t Byte(int position) const;
    // Big-endian, as every Modbus field.
    std::uint16_t Word(int position) const;
    // Fills every entry from the packed bits at position (least significant
    // bit first). The bytes are checked before any is read.
    void Bits(int position, TBitValues& values) const;
    // Fills the entries one word after the other from position; a word beyond
    // the data raises and leaves the earlier entries filled.
    void Words(int position, TRegValues& values) const;
    // Copies count bytes from position.
    void Bytes(int position, std::uint8_t* destination, int count) const;

  private:
    void Reach(int position, int count) const;

    TModbusBuffer& FFrame;
    int FDataEnd;
};

}  // namespace regwire
