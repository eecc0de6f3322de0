#include "platform/serialdevice.h"

#include <cerrno>
#include <ctime>

namespace platform {

ESerialError::ESerialError(TSerialErrorKind kind, int errorNumber, const std::string& text)
    : std::runtime_error(text), Kind_(kind), ErrorNumber_(errorNumber) {}

TSerialErrorKind SerialErrorKindOf(int errorNumber) {
    switch (errorNumber) {
        case EBUSY:
        case EWOULDBLOCK:
            return sePortBusy;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return sePortMissing;
        case EACCES:
        case EPERM:
            return seAccessDenied;
        case ENOTTY:
            return seNotATerminal;
        default:
            return seSystem;
    }
}

void CheckLineSettings(const TSerialLineSettings& settings) {
    if (settings.BitRate == 0) {
        throw ESerialError(seSettingRefused, EINVAL, "A bit rate of 0 is not a line speed");
    }
    if (settings.DataBits < 5 || settings.DataBits > 8) {
        throw ESerialError(
            seSettingRefused, EINVAL,
            "Data bits must be between 5 and 8, not " + std::to_string(settings.DataBits));
    }
}

uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

}  // namespace platform
