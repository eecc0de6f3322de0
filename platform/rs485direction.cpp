#include "platform/rs485direction.h"

#include <sys/ioctl.h>

namespace platform {

std::unique_ptr<TRs485Direction> TRs485Direction::Enable(int fd) {
    serial_rs485 saved{};
    if (ioctl(fd, TIOCGRS485, &saved) != 0)
        return nullptr;
    serial_rs485 wanted = saved;
    wanted.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    wanted.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX);
    wanted.delay_rts_before_send = 0;
    wanted.delay_rts_after_send = 0;
    // A driver may keep quiet about a mode it cannot have: only what it
    // reports back counts.
    serial_rs485 taken{};
    if (ioctl(fd, TIOCSRS485, &wanted) != 0 || ioctl(fd, TIOCGRS485, &taken) != 0 ||
        (taken.flags & SER_RS485_ENABLED) == 0) {
        ioctl(fd, TIOCSRS485, &saved);
        return nullptr;
    }
    return std::unique_ptr<TRs485Direction>(new TRs485Direction(fd, saved));
}

TRs485Direction::~TRs485Direction() {
    ioctl(Fd_, TIOCSRS485, &Saved_);
}

}  // namespace platform
