// Removing the kernel's line-error marks from received characters.
//
// With parity checking and marking on (INPCK, PARMRK) the terminal driver
// delivers a character that arrived with a parity or framing error, or a
// break, as the three bytes \377 \0 c, and a genuine data byte \377 as
// \377 \377. The decoder turns that stream back into the line's characters
// and reports that an error was seen, as a Windows driver reports it beside
// its receive queue. A mark may be split across two reads; the decoder keeps
// the part it has seen.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

class TLineEscapeDecoder {
  public:
    // Decodes `count` bytes of `data` in place and returns how many
    // characters remain at its start. Sets `lineError` when a marked
    // character was among them (it never clears it). The erroneous character
    // itself is kept, so counts match the characters on the line.
    size_t Decode(uint8_t* data, size_t count, bool& lineError);

    // Forgets a partly seen mark (after a purge of the receive side).
    void Reset() { State_ = dsData; }

  private:
    enum TDecodeState { dsData, dsEscape, dsMark };
    TDecodeState State_ = dsData;
};

}  // namespace platform
