// What the waits of the real devices (a serial port, a TCP line) share: the
// monotonic clock they count deadlines on, and the signal by which another
// thread cuts a wait short.
#pragma once

#include <time.h>

#include <cstdint>

namespace platform {

// Nanoseconds of the monotonic clock. Deadlines are kept in these: cut to
// whole milliseconds, a wait could end up to a millisecond before its time.
uint64_t MonotonicNs();

// What is left until `deadlineNs`, none once it has passed, as ppoll takes it.
timespec TimeLeft(uint64_t deadlineNs);

// An eventfd that a device's waits poll beside the port. Any thread may
// raise it; the wait that finds it raised takes it and ends. Raised while no
// wait runs, it ends the next one.
class TCutShortSignal {
  public:
    // Fd() is below 0 when the system refused one (errno says why).
    TCutShortSignal();
    ~TCutShortSignal();
    TCutShortSignal(const TCutShortSignal&) = delete;
    TCutShortSignal& operator=(const TCutShortSignal&) = delete;

    int Fd() const { return Fd_; }
    void Raise() const;
    // True when it was raised; lowers it again.
    bool Take() const;

  private:
    int Fd_;
};

}  // namespace platform
