// Only the kernel's own terminal headers here: <asm/termbits.h> declares
// struct termios2 and BOTHER but clashes with the C library's <termios.h>.
#include "platform/linemode.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace platform::linemode {

namespace {

struct TStandardRate {
    uint32_t Rate;
    tcflag_t Code;
};

constexpr TStandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t SpeedCode(uint32_t rate) {
    for (const TStandardRate& r : kStandardRates) {
        if (r.Rate == rate)
            return r.Code;
    }
    return BOTHER;
}

uint32_t RateOf(const termios2& t) {
    const tcflag_t code = t.c_cflag & CBAUD;
    if (code == BOTHER)
        return t.c_ospeed;
    for (const TStandardRate& r : kStandardRates) {
        if (r.Code == code)
            return r.Rate;
    }
    return 0;
}

tcflag_t SizeFlag(uint8_t dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

tcflag_t ParityFlags(TSerialParity parity) {
    switch (parity) {
        case spOdd:
            return PARENB | PARODD;
        case spEven:
            return PARENB;
        case spMark:
            return PARENB | CMSPAR | PARODD;
        case spSpace:
            return PARENB | CMSPAR;
        case spNone:
            break;
    }
    return 0;
}

void MakeRaw(termios2& t) {
    // Every received byte is data; only line errors are marked, never
    // swallowed or turned into signals.
    t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | IUCLC | IMAXBEL);
    t.c_iflag |= INPCK | PARMRK;
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

}  // namespace

int WriteLineMode(int fd, const TSerialLineSettings& settings, bool keepCharacterFormat) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    MakeRaw(t);

    t.c_cflag &= ~(CBAUD | CIBAUD);  // input speed follows output speed
    t.c_cflag |= SpeedCode(settings.BitRate);
    t.c_ispeed = settings.BitRate;
    t.c_ospeed = settings.BitRate;

    if (!keepCharacterFormat) {
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR);
        t.c_cflag |= SizeFlag(settings.DataBits) | ParityFlags(settings.Parity);
    }
    t.c_cflag &= ~CSTOPB;
    if (settings.StopBits != ssOne)
        t.c_cflag |= CSTOPB;
    t.c_cflag &= ~CRTSCTS;
    if (settings.Handshake == shRtsCts)
        t.c_cflag |= CRTSCTS;

    if (ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    return 0;
}

int ReadLineMode(int fd, TLineMode& mode) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    TSerialLineSettings& s = mode.Settings;
    s.BitRate = RateOf(t);
    switch (t.c_cflag & CSIZE) {
        case CS5:
            s.DataBits = 5;
            break;
        case CS6:
            s.DataBits = 6;
            break;
        case CS7:
            s.DataBits = 7;
            break;
        default:
            s.DataBits = 8;
            break;
    }
    s.Parity = spNone;
    for (TSerialParity p : {spOdd, spEven, spMark, spSpace}) {
        if ((t.c_cflag & (PARENB | PARODD | CMSPAR)) == ParityFlags(p))
            s.Parity = p;
    }
    s.StopBits = (t.c_cflag & CSTOPB) != 0 ? ssTwo : ssOne;
    s.Handshake = (t.c_cflag & CRTSCTS) != 0 ? shRtsCts : shNone;
    mode.EscapesInput = (t.c_iflag & PARMRK) != 0 && (t.c_iflag & ISTRIP) == 0;
    return 0;
}

}  // namespace platform::linemode
