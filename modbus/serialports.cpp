#include "modbus/serialports.h"

#include "platform/posixserialdevice.h"

namespace regwire {

std::unique_ptr<platform::TSerialDevice> OpenSerialPort(const std::string& port) {
    const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
    return platform::TPosixSerialDevice::Open(path);
}

std::unique_ptr<platform::TSerialDevice> HookSerialPort(int fd) {
    return platform::TPosixSerialDevice::Hook(fd, false);
}

}  // namespace regwire
