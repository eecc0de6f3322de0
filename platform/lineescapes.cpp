#include "platform/lineescapes.h"

namespace platform {

namespace {
constexpr uint8_t kEscape = 0377;
}

size_t TLineEscapeDecoder::Decode(uint8_t* data, size_t count, bool& lineError) {
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t c = data[i];
        switch (State_) {
            case dsData:
                if (c == kEscape) {
                    State_ = dsEscape;
                } else {
                    data[kept++] = c;
                }
                break;
            case dsEscape:
                if (c == 0) {
                    State_ = dsMark;
                    break;
                }
                // \377 \377 is a data \377. No driver sends \377 before any
                // other byte: such input is garbled and counts as a line error.
                if (c != kEscape)
                    lineError = true;
                data[kept++] = c;
                State_ = dsData;
                break;
            case dsMark:
                data[kept++] = c;
                lineError = true;
                State_ = dsData;
                break;
        }
    }
    return kept;
}

}  // namespace platform
