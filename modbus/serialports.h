// Opening the port behind a connection: a serial device path, a descriptor
// opened elsewhere (HookExistingPort), or a network gateway. The connection
// itself knows only the device interface.
#pragma once

#include <memory>
#include <string>

#include "modbus/codec.h"
#include "platform/serialdevice.h"
#include "platform/tcpdevice.h"

namespace regwire {

// What a port name reaches: a serial device, or a gateway on the network,
// "tcp://HOST:PORT" carrying RTU frames as they are on the line (a gateway in
// transparent mode), or "mbtcp://HOST:PORT" carrying Modbus TCP frames (the
// MBAP header instead of the CRC). PORT may be left out: 502, Modbus's own.
enum TPortKind : std::uint8_t { pkSerial, pkRtuOverTcp, pkModbusTcp };
TPortKind PortKindOf(const std::string& port);
// A network port name that can be opened: its scheme and a host, with a port
// from 1 to 65535 when one is given (0 too for a server, which then takes
// any free one).
bool IsNetworkPortName(const std::string& port, TConnectionMode mode = cmClient);

// Opens port for exclusive use; a name without '/' is looked up under /dev.
// Raises platform::ESerialError.
std::unique_ptr<platform::TSerialDevice> OpenSerialPort(const std::string& port);
// Opens any port: a network gateway is dialled by a client and listened for
// by a server (port 0 there takes any free port); anything else is a serial
// port. Raises platform::ESerialError, also for a network address that cannot
// be read.
std::unique_ptr<platform::TSerialDevice> OpenPort(const std::string& port, TConnectionMode mode);
// The host and TCP port of a network port name, as IsNetworkPortName reads
// it; false for any other name.
bool NetworkEndpoint(const std::string& port, TConnectionMode mode,
                     platform::TTcpEndpoint& endpoint);
// The name of a listening network port with the TCP port it really took
// (the system's choice when port asked for 0); port unchanged otherwise.
std::string ListeningPortName(const std::string& port, platform::TSerialDevice& device);
std::string ListeningPortName(const std::string& port, std::uint16_t localPort);
// Uses the open terminal fd, which stays open at the device's end. Raises
// platform::ESerialError when fd is not an open terminal.
std::unique_ptr<platform::TSerialDevice> HookSerialPort(int fd);

}  // namespace regwire
