// The kernel's RS-485 mode: a driver that supports it switches the line's
// transmitter itself, RTS raised from the first start bit to the last stop
// bit of each frame, exactly and without a system call per frame. Where the
// driver has no such mode (a pseudo-terminal, a plain UART driver, most USB
// adapters) the connection raises and drops RTS itself, as before.
#pragma once

#include <linux/serial.h>

#include <memory>

namespace platform {

class TRs485Direction {
  public:
    // Puts the port behind fd into RS-485 mode with RTS high while sending
    // and low after it; nullptr when its driver has no RS-485 mode or does
    // not take it, leaving the port as it was.
    static std::unique_ptr<TRs485Direction> Enable(int fd);
    // Gives the port back the RS-485 settings it had.
    ~TRs485Direction();
    TRs485Direction(const TRs485Direction&) = delete;
    TRs485Direction& operator=(const TRs485Direction&) = delete;

  private:
    TRs485Direction(int fd, const serial_rs485& saved) : Fd_(fd), Saved_(saved) {}

    int Fd_;
    serial_rs485 Saved_;
};

}  // namespace platform
