// What Linux knows of a serial device, for the operator who picks the kit's
// port: whether it can be had now, and for a USB adapter its maker, product
// and serial number (from sysfs) and its stable name under
// /dev/serial/by-id, which stays the same whichever ttyUSB number the
// adapter gets.
//
// Nothing is configured on a port, and a port somebody holds is not touched:
// the probe is an exclusive open that gives way at once.
#pragma once

#include <string>

namespace platform {

enum TPortAvailability {
    paFree,          // an exclusive open succeeds
    paInUse,         // another program (or this one) holds it
    paAccessDenied,  // it exists, but this user may not open it
    paAbsent,        // no such device, no serial device, or a UART node with no UART
};

// Probes `device` as the port dialog lists it.
TPortAvailability ProbePort(const std::string& device);

struct TPortDetails {
    std::string Manufacturer;  // USB adapters only; empty when unknown
    std::string Product;
    std::string SerialNumber;
    std::string ById;  // the /dev/serial/by-id path that leads to the device; empty when none
};

// Where the details are read: the sysfs root and the by-id folder (tests
// point them at a tree of their own).
struct TPortDetailRoots {
    std::string Sys = "/sys";
    std::string ById = "/dev/serial/by-id";
};

// The details of `device` (/dev/ttyUSB0); empty fields for what Linux does
// not say. Never raises: a missing or unreadable entry only leaves its field
// empty.
TPortDetails ReadPortDetails(const std::string& device, const TPortDetailRoots& roots = {});

}  // namespace platform
