#include "modbus/framefields.h"

#include <algorithm>

#include "modbus/bits.h"
#include "modbus/errors.h"
#include "modbus/messages.h"

namespace regwire {

TFrameFields::TFrameFields(TModbusBuffer& frame, int checksumSize)
    : FFrame(frame), FDataEnd(std::max(0, frame.Size() - checksumSize)) {}

std::uint8_t TFrameFields::Byte(int position) const {
    Reach(position, 1);
    return FFrame.ReadByte();
}

std::uint16_t TFrameFields::Word(int position) const {
    Reach(position, 2);
    return FFrame.ReadWord();
}

void TFrameFields::Bits(int position, TBitValues& values) const {
    if (values.empty())
        return;
    Reach(position, BitByteCount(static_cast<int>(values.size())));
    ReadBits(FFrame, values);
}

void TFrameFields::Words(int position, TRegValues& values) const {
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = Word(position + 2 * static_cast<int>(i));
}

void TFrameFields::Bytes(int position, std::uint8_t* destination, int count) const {
    Reach(position, count);
    FFrame.ReadBytes(destination, count);
}

// Leaves Position at the field when the whole field lies in the data.
void TFrameFields::Reach(int position, int count) const {
    if (position < 0 || count < 0 || position + count > FDataEnd)
        RaiseError(msg::BufferPositionInvalid, position);
    FFrame.SetPosition(position);
}

}  // namespace regwire
