#include "modbus/serialports.h"

#include <cerrno>
#include <string_view>

#include "modbus/mbapdevice.h"
#include "modbus/messages.h"
#include "platform/posixserialdevice.h"
#include "platform/tcpdevice.h"

namespace regwire {

namespace {

constexpr std::string_view kRtuOverTcpScheme = "tcp://";
constexpr std::string_view kModbusTcpScheme = "mbtcp://";
constexpr std::uint16_t kModbusTcpPort = 502;
// How long the first connection to a gateway may take before the port
// counts as one that cannot be opened.
constexpr std::uint32_t kConnectTimeoutMs = 3000;

std::string_view SchemeOf(TPortKind kind) {
    return kind == pkModbusTcp ? kModbusTcpScheme : kRtuOverTcpScheme;
}

bool ParseNetworkPort(const std::string& port, TConnectionMode mode,
                      platform::TTcpEndpoint& endpoint) {
    const TPortKind kind = PortKindOf(port);
    return kind != pkSerial &&
           platform::ParseTcpEndpoint(port.substr(SchemeOf(kind).size()), kModbusTcpPort,
                                      mode == cmServer, endpoint);
}

std::unique_ptr<platform::TSerialDevice> OpenNetworkPort(const std::string& port,
                                                         TConnectionMode mode) {
    platform::TTcpEndpoint endpoint;
    if (!ParseNetworkPort(port, mode, endpoint))
        throw platform::ESerialError(platform::sePortMissing, EINVAL,
                                     port + ": " + std::string(msg::NetworkAddressInvalid));
    return mode == cmServer ? platform::TTcpDevice::Listen(endpoint, port)
                            : platform::TTcpDevice::Connect(endpoint, kConnectTimeoutMs, port);
}

}  // namespace

bool NetworkEndpoint(const std::string& port, TConnectionMode mode,
                     platform::TTcpEndpoint& endpoint) {
    return ParseNetworkPort(port, mode, endpoint);
}

bool IsNetworkPortName(const std::string& port, TConnectionMode mode) {
    platform::TTcpEndpoint endpoint;
    return ParseNetworkPort(port, mode, endpoint);
}

TPortKind PortKindOf(const std::string& port) {
    if (port.starts_with(kRtuOverTcpScheme))
        return pkRtuOverTcp;
    if (port.starts_with(kModbusTcpScheme))
        return pkModbusTcp;
    return pkSerial;
}

std::unique_ptr<platform::TSerialDevice> OpenSerialPort(const std::string& port) {
    const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
    return platform::TPosixSerialDevice::Open(path);
}

std::unique_ptr<platform::TSerialDevice> OpenPort(const std::string& port, TConnectionMode mode) {
    switch (PortKindOf(port)) {
        case pkRtuOverTcp:
            return OpenNetworkPort(port, mode);
        case pkModbusTcp:
            return std::make_unique<TMbapDevice>(OpenNetworkPort(port, mode), mode);
        case pkSerial:
            break;
    }
    return OpenSerialPort(port);
}

std::string ListeningPortName(const std::string& port, platform::TSerialDevice& device) {
    platform::TSerialDevice* stream = &device;
    if (auto* mbap = dynamic_cast<TMbapDevice*>(stream))
        stream = &mbap->Stream();
    const auto* tcp = dynamic_cast<const platform::TTcpDevice*>(stream);
    return tcp == nullptr ? port : ListeningPortName(port, tcp->LocalPort());
}

std::string ListeningPortName(const std::string& port, std::uint16_t localPort) {
    platform::TTcpEndpoint endpoint;
    if (localPort == 0 || !ParseNetworkPort(port, cmServer, endpoint))
        return port;
    const std::string_view scheme = SchemeOf(PortKindOf(port));
    const bool v6 = endpoint.Host.find(':') != std::string::npos;
    return std::string(scheme) + (v6 ? "[" + endpoint.Host + "]" : endpoint.Host) + ":" +
           std::to_string(localPort);
}

std::unique_ptr<platform::TSerialDevice> HookSerialPort(int fd) {
    return platform::TPosixSerialDevice::Hook(fd, false);
}

}  // namespace regwire
