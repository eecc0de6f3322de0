// Opening the real serial port behind a connection: a device path, or a
// descriptor opened elsewhere (HookExistingPort). The connection itself
// knows only the device interface.
#pragma once

#include <memory>
#include <string>

#include "platform/serialdevice.h"

namespace regwire {

// Opens port for exclusive use; a name without '/' is looked up under /dev.
// Raises platform::ESerialError.
std::unique_ptr<platform::TSerialDevice> OpenSerialPort(const std::string& port);
// Uses the open terminal fd, which stays open at the device's end. Raises
// platform::ESerialError when fd is not an open terminal.
std::unique_ptr<platform::TSerialDevice> HookSerialPort(int fd);

}  // namespace regwire
