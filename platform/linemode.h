// The kernel's line mode of a terminal: speed, character format, handshake.
//
// Programmed through termios2 (TCGETS2/TCSETS2), so that any bit rate works:
// a rate with its own Bxxx constant uses it, every other rate goes as BOTHER
// with the rate itself. Internal to the serial devices.
#pragma once

#include "platform/serialdevice.h"

namespace platform::linemode {

struct TLineMode {
    TSerialLineSettings Settings;  // RtsOn and DtrOn are not part of the line mode
    // PARMRK without ISTRIP: a data \377 arrives doubled and a character
    // with a line error as \377 \0 c (see lineescapes.h).
    bool EscapesInput = false;
};

// Puts the terminal in raw mode with the given speed, format and handshake.
// Line errors are checked and marked in the input (INPCK, PARMRK) and a break
// arrives as a marked error too. With `keepCharacterFormat` the data bits and
// parity stay as the terminal has them. Returns 0 or an errno.
int WriteLineMode(int fd, const TSerialLineSettings& settings, bool keepCharacterFormat);

// Reads back what the terminal holds now. Returns 0 or an errno.
int ReadLineMode(int fd, TLineMode& mode);

}  // namespace platform::linemode
