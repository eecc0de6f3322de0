// Packing of coil and discrete-input values into the bytes of a frame.
//
// Value 8k + j travels as bit j (1 << j) of byte k, least significant bit
// first; the unused high bits of the last byte are 0.
#pragma once

#include "modbus/buffer.h"
#include "modbus/values.h"

namespace regwire {

// The number of bytes that hold n bits.
int BitByteCount(int n);

// Appends BitByteCount(values.size()) bytes with WriteByte; no values write
// nothing. A failing write keeps the bytes written before it.
void WriteBits(const TBitValues& values, TModbusBuffer& buffer);

// Fills every entry of values from the bytes at Position, moving past each
// byte it takes (one byte also for an empty array). A failing read or seek
// keeps the entries filled before it.
void ReadBits(TModbusBuffer& buffer, TBitValues& values);

}  // namespace regwire
