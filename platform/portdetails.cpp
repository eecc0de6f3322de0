#include "platform/portdetails.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/posixserialdevice.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

bool IsMotherboardUart(const std::string& device) {
    return device.rfind("/dev/ttyS", 0) == 0;
}

// The kernel makes /dev/ttyS0..3 (and more) whether or not a UART is fitted;
// opening such a node succeeds, and only the port type tells it is empty.
bool HasNoUart(int fd) {
    serial_struct info{};
    return ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
}

// The first line of a sysfs attribute, without its line end.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// The USB device a tty belongs to: the nearest folder above the tty's
// device that carries a USB vendor id (the interface folder has none).
fs::path UsbDeviceOf(const fs::path& ttyDevice) {
    std::error_code error;
    fs::path folder = fs::canonical(ttyDevice, error);
    if (error)
        return {};
    for (int depth = 0; depth < 8 && folder.has_relative_path(); ++depth) {
        if (fs::exists(folder / "idVendor", error))
            return folder;
        folder = folder.parent_path();
    }
    return {};
}

std::string ByIdName(const std::string& device, const std::string& byIdFolder) {
    std::error_code error;
    const fs::path target = fs::canonical(device, error);
    if (error)
        return {};
    for (fs::directory_iterator it(byIdFolder, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code linkError;
        if (fs::canonical(it->path(), linkError) == target && !linkError)
            return it->path().string();
    }
    return {};
}

}  // namespace

TPortAvailability ProbePort(const std::string& device) {
    if (device.empty())
        return paAbsent;
    try {
        auto port = TPosixSerialDevice::Open(device);
        const bool present = !(IsMotherboardUart(device) && HasNoUart(port->Handle()));
        // The exclusive mark stays on a terminal after our close while
        // somebody else keeps it open (a pseudo-terminal's far end); the
        // console's own open must find it clear.
        ioctl(port->Handle(), TIOCNXCL);
        return present ? paFree : paAbsent;
    } catch (const ESerialError& e) {
        if (e.Kind() == sePortBusy)
            return paInUse;
        if (e.Kind() == seAccessDenied)
            return paAccessDenied;
        return paAbsent;
    }
}

TPortDetails ReadPortDetails(const std::string& device, const TPortDetailRoots& roots) {
    TPortDetails details;
    std::error_code error;
    const fs::path node = fs::canonical(device, error);
    const std::string name = (error ? fs::path(device) : node).filename().string();
    const fs::path usb = UsbDeviceOf(fs::path(roots.Sys) / "class" / "tty" / name / "device");
    if (!usb.empty()) {
        details.Manufacturer = Attribute(usb / "manufacturer");
        details.Product = Attribute(usb / "product");
        details.SerialNumber = Attribute(usb / "serial");
    }
    details.ById = ByIdName(device, roots.ById);
    return details;
}

}  // namespace platform
