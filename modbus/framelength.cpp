#include "modbus/framelength.h"

namespace regwire {

namespace {

constexpr int kCrcSize = 2;

// Address, function code, a byte count at `at`, that many bytes, the CRC.
int CountedLength(const std::uint8_t* bytes, int count, int at) {
    if (count <= at)
        return kLengthNeedMore;
    return at + 1 + bytes[at] + kCrcSize;
}

}  // namespace

int RtuReplyLength(const std::uint8_t* bytes, int count) {
    if (count < 2)
        return kLengthNeedMore;
    const std::uint8_t function = bytes[1];
    if ((function & 0x80U) != 0)
        return 5;  // address, function, exception code, CRC
    switch (function) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 12:  // communication event log
        case 17:  // report server id
        case 20:  // read file record
        case 21:  // write file record: the request again
        case 23:
            return CountedLength(bytes, count, 2);
        case 5:
        case 6:
        case 8:   // diagnostics: sub-function and data
        case 11:  // communication event counter
        case 15:
        case 16:
            return 8;
        case 7:
            return 5;
        case 22:
            return 10;
        case 24:  // FIFO queue: a two-byte byte count
            if (count < 4)
                return kLengthNeedMore;
            return 4 + (bytes[2] << 8 | bytes[3]) + kCrcSize;
        default:
            return kLengthUnknown;
    }
}

int RtuReplyLengthFor(const std::uint8_t* request, int count) {
    if (count < 2)
        return kLengthUnknown;
    // The quantity read, where the request has one.
    const int quantity = count >= 6 ? (request[4] << 8 | request[5]) : -1;
    switch (request[1]) {
        case 1:
        case 2:
            return quantity < 0 ? kLengthUnknown : 3 + (quantity + 7) / 8 + kCrcSize;
        case 3:
        case 4:
        case 23:
            return quantity < 0 ? kLengthUnknown : 3 + 2 * quantity + kCrcSize;
        case 8:  // diagnostics: each sub-function answers in its own way
            return kLengthUnknown;
        default: {
            // A reply of fixed length is told by its function code alone.
            const std::uint8_t header[2] = {request[0], request[1]};
            const int fixed = RtuReplyLength(header, 2);
            return fixed > 0 ? fixed : kLengthUnknown;
        }
    }
}

int RtuRequestLength(const std::uint8_t* bytes, int count) {
    if (count < 2)
        return kLengthNeedMore;
    switch (bytes[1]) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 8:
            return 8;
        case 7:
        case 11:
        case 12:
        case 17:
            return 4;
        case 15:
        case 16:
            return CountedLength(bytes, count, 6);
        case 20:
        case 21:
            return CountedLength(bytes, count, 2);
        case 22:
            return 10;
        case 23:
            return CountedLength(bytes, count, 10);
        case 24:
            return 6;
        default:
            return kLengthUnknown;
    }
}

}  // namespace regwire
