// How long an RTU frame is, from its first bytes: the standard frame timing
// ends a reply or a request as soon as that many characters have arrived
// with a good CRC, instead of waiting out a silent gap.
#pragma once

#include <cstdint>

namespace regwire {

// The length of a frame cannot be told from its bytes (a function code whose
// layout is not fixed, or one this library does not know): the gap ends it.
inline constexpr int kLengthUnknown = -1;
// More bytes must arrive before the length can be told.
inline constexpr int kLengthNeedMore = 0;

// The whole length, CRC included, of a reply that begins with the `count`
// bytes at `bytes`: 5 for an exception reply, the fixed length of the write
// replies, or the length that the reply's byte count gives.
int RtuReplyLength(const std::uint8_t* bytes, int count);

// The same for a request, as a server receives it.
int RtuRequestLength(const std::uint8_t* bytes, int count);

// The length of a normal reply to the RTU request of `count` bytes at
// `request`, before any of it has arrived (an exception reply is 5); or
// kLengthUnknown when the request alone does not tell it.
int RtuReplyLengthFor(const std::uint8_t* request, int count);

}  // namespace regwire
