// The status line under the button row: the port, what the line is doing and
// the age of the oldest reading, so that a reading that stopped coming never
// looks live. Whether a reading is current is the live view's to say
// (live::TKitReadings); this only words it.
#pragma once

#include <QtGlobal>
#include <string>

#include "live/readings.h"

namespace app {

// What the status line says about the line.
struct TLineStatus {
    std::string Port;        // empty before a port was chosen
    bool Polling = false;    // the poll timer runs on an open line
    std::string Activity;    // a workflow holding the poll (Apply, Refresh)
    std::string StopReason;  // why the poll stopped, when it did
    bool PortGone = false;   // the port vanished; the kit waits for it
    // A calibration run drives the kit: "Run: point 2 of 4, settling 3:10".
    std::string Run;
    // The last command the plant's DAHS gave that the console took, with the
    // plant's address ("127.0.0.1: apply 12.5 ng/l"); empty for none.
    std::string PlantCommand{};
};

// While a run drives the kit, its progress comes first.
// "Port /dev/ttyUSB0 · polling · oldest reading under 1 s", with the
// instruments that do not answer, or "stopped: <why>", in place of
// "polling"; "Port /dev/ttyUSB0 gone · waiting for it" while the adapter is
// away; " · plant 127.0.0.1: zero gas" after the plant's last command.
std::string StatusLineText(const TLineStatus& line, const live::TKitReadings& readings,
                           qint64 nowMs);

}  // namespace app
