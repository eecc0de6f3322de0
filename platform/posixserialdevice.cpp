#include "platform/posixserialdevice.h"

#include "platform/linemode.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <system_error>
#include <utility>

namespace platform {

namespace {

// How often a wait on a vanished port looks whether it came back.
constexpr int kVanishedRecheckMs = 250;

// What poll() reports for a port that is no longer there.
constexpr short kGone = POLLHUP | POLLERR | POLLNVAL;

// Unix98 pseudo-terminal slaves (/dev/pts/N) use these major numbers.
constexpr unsigned kPtsFirstMajor = 136;
constexpr unsigned kPtsLastMajor = 143;

// A driver that makes a custom rate from a divisor comes close, not exact;
// this much deviation still lets the far end read every character.
constexpr double kRateTolerance = 0.02;

uint64_t DeadlineAfter(uint32_t timeoutMs) {
    return MonotonicNs() + uint64_t{timeoutMs} * 1000000U;
}

// The poll() time-out until `deadline`, rounded up to whole milliseconds, so
// that a wait never ends before it; -1 waits without limit.
int PollTimeout(uint64_t deadline, bool forever) {
    if (forever)
        return -1;
    const uint64_t now = MonotonicNs();
    if (now >= deadline)
        return 0;
    const uint64_t ms = (deadline - now + 999999U) / 1000000U;
    return static_cast<int>(std::min<uint64_t>(ms, INT_MAX));
}

std::string SystemText(int errorNumber) {
    return std::system_category().message(errorNumber);
}

ESerialError OpenError(int errorNumber, const std::string& name) {
    return ESerialError(SerialErrorKindOf(errorNumber), errorNumber,
                        name + ": " + SystemText(errorNumber));
}

// The master side of a pseudo-terminal shares the slave's modes, but what it
// reads is the slave's output, which the driver never marks: a \377 there is
// a data byte, whatever PARMRK says.
bool IsPseudoTerminalMaster(int fd) {
    unsigned int number = 0;
    return ioctl(fd, TIOCGPTN, &number) == 0;
}

bool DetectPseudoTerminal(int fd) {
    if (IsPseudoTerminalMaster(fd))
        return true;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned majorNumber = major(st.st_rdev);
    return majorNumber >= kPtsFirstMajor && majorNumber <= kPtsLastMajor;
}

const char* ParityName(TSerialParity parity) {
    switch (parity) {
        case spNone:
            return "no parity";
        case spOdd:
            return "odd parity";
        case spEven:
            return "even parity";
        case spMark:
            return "mark parity";
        case spSpace:
            return "space parity";
    }
    return "parity";
}

}  // namespace

std::unique_ptr<TPosixSerialDevice> TPosixSerialDevice::Open(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw OpenError(errno, path);
    auto fail = [&](int errorNumber) {
        close(fd);
        return OpenError(errorNumber, path);
    };
    if (!isatty(fd))
        throw fail(ENOTTY);
    // The lock first: setting TIOCEXCL on a port somebody else holds would
    // change their port.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        throw fail(errno);
    if (ioctl(fd, TIOCEXCL) != 0)
        throw fail(errno);
    try {
        std::unique_ptr<TPosixSerialDevice> device(new TPosixSerialDevice(fd, true, path));
        device->Exclusive_ = true;
        return device;
    } catch (...) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        throw;
    }
}

std::unique_ptr<TPosixSerialDevice> TPosixSerialDevice::Hook(int fd, bool closeAtEnd) {
    const std::string name = "descriptor " + std::to_string(fd);
    if (fd < 0 || fcntl(fd, F_GETFL) < 0)
        throw OpenError(EBADF, name);
    if (!isatty(fd))
        throw OpenError(ENOTTY, name);
    return std::unique_ptr<TPosixSerialDevice>(new TPosixSerialDevice(fd, closeAtEnd, name));
}

TPosixSerialDevice::TPosixSerialDevice(int fd, bool closeAtEnd, std::string name)
    : Fd_(fd), CloseAtEnd_(closeAtEnd), Name_(std::move(name)) {
    if (CutShort_.Fd() < 0)
        throw ESerialError(seSystem, errno, Name_ + ": " + SystemText(errno));
    OriginalFlags_ = fcntl(Fd_, F_GETFL);
    fcntl(Fd_, F_SETFL, OriginalFlags_ | O_NONBLOCK);
    PtyMaster_ = IsPseudoTerminalMaster(Fd_);
    PseudoTerminal_ = DetectPseudoTerminal(Fd_);
    linemode::TLineMode mode;
    if (linemode::ReadLineMode(Fd_, mode) == 0)
        EscapesInput_ = mode.EscapesInput && !PtyMaster_;
}

TPosixSerialDevice::~TPosixSerialDevice() {
    if (Exclusive_)
        ioctl(Fd_, TIOCNXCL);
    if (CloseAtEnd_) {
        close(Fd_);
    } else {
        fcntl(Fd_, F_SETFL, OriginalFlags_);
    }
}

void TPosixSerialDevice::ApplySettings(const TSerialLineSettings& settings) {
    CheckLineSettings(settings);
    int error = linemode::WriteLineMode(Fd_, settings, false);
    // A pseudo-terminal can refuse a change of parity alone (EINVAL); it has
    // no parity anyway, so its character format stays as it is.
    if (error == EINVAL && PseudoTerminal_)
        error = linemode::WriteLineMode(Fd_, settings, true);
    if (error != 0)
        Refuse(error, "line settings");

    linemode::TLineMode mode;
    error = linemode::ReadLineMode(Fd_, mode);
    if (error != 0)
        Refuse(error, "line settings");
    EscapesInput_ = mode.EscapesInput && !PtyMaster_;
    if (!PseudoTerminal_)
        VerifyTaken(settings, mode.Settings);

    const bool rtsIsHandshake = settings.Handshake == shRtsCts;
    const bool dtrIsHandshake = settings.Handshake == shDtrDsr;
    if (!rtsIsHandshake && !SetModemLine(TIOCM_RTS, settings.RtsOn))
        Refuse(errno, "RTS");
    if (!SetModemLine(TIOCM_DTR, dtrIsHandshake || settings.DtrOn))
        Refuse(errno, "DTR");
}

// Drivers take what they can and say nothing about the rest; only reading
// the mode back shows a speed or format the port cannot make.
void TPosixSerialDevice::VerifyTaken(const TSerialLineSettings& wanted,
                                     const TSerialLineSettings& taken) const {
    const double deviation =
        std::abs(static_cast<double>(taken.BitRate) - wanted.BitRate) / wanted.BitRate;
    if (deviation > kRateTolerance) {
        Refuse(0, "a speed of " + std::to_string(wanted.BitRate) + " bit/s");
    }
    if (taken.DataBits != wanted.DataBits) {
        Refuse(0, std::to_string(wanted.DataBits) + " data bits");
    }
    if (taken.Parity != wanted.Parity)
        Refuse(0, ParityName(wanted.Parity));
    if ((taken.StopBits == ssTwo) != (wanted.StopBits != ssOne))
        Refuse(0, "the stop bits");
    if ((taken.Handshake == shRtsCts) != (wanted.Handshake == shRtsCts)) {
        Refuse(0, "RTS/CTS handshake");
    }
}

void TPosixSerialDevice::Refuse(int errorNumber, const std::string& what) const {
    std::string text = Name_ + ": the port refused " + what;
    if (errorNumber != 0)
        text += " (" + SystemText(errorNumber) + ")";
    throw ESerialError(seSettingRefused, errorNumber, text);
}

// A pseudo-terminal has no modem lines and says so with ENOTTY (or EINVAL);
// there that is no fault.
bool TPosixSerialDevice::SetModemLine(int line, bool on) {
    if (ioctl(Fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0)
        return true;
    return PseudoTerminal_ && (errno == ENOTTY || errno == EINVAL);
}

// Moves what the driver has into the queue, taking out the line-error marks,
// and notes whether the port is still there.
void TPosixSerialDevice::Pull() {
    for (;;) {
        const std::span<uint8_t> space = Input_.Space();
        if (space.empty())
            return;
        DriverInputEmpty_ = false;
        const ssize_t n = read(Fd_, space.data(), space.size());
        if (n > 0) {
            const auto size = static_cast<size_t>(n);
            Input_.Added(EscapesInput_ ? Decoder_.Decode(space.data(), size, LineError_) : size);
            Vanished_ = false;
            // A read that left room took all the driver had: asking again
            // would only cost a call that finds nothing.
            if (size < space.size())
                return;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            Vanished_ = false;
            DriverInputEmpty_ = true;
        } else if (n == 0) {
            // End of file from a hung-up terminal; but a terminal left with
            // VMIN 0 by its owner also reads 0 when idle.
            pollfd line{Fd_, 0, 0};
            Vanished_ = poll(&line, 1, 0) != 0 && (line.revents & kGone) != 0;
        } else {
            Vanished_ = true;  // EIO: the far end of a pseudo-terminal is closed
        }
        return;
    }
}

void TPosixSerialDevice::CutShortWait() {
    CutShort_.Raise();
}

bool TPosixSerialDevice::WaitForInput(uint32_t timeoutMs) {
    const bool forever = timeoutMs == kWaitForever;
    return WaitForInputUntil(DeadlineAfter(forever ? 0 : timeoutMs), forever);
}

// The rests between frames end at their deadline to the nanosecond of the
// monotonic clock (the transaction thread's timers are exact). A sleeping
// processor still wakes a little late, a tenth of a millisecond on a virtual
// machine, which makes a rest that much longer, never shorter. Watching the
// port for the last stretch instead would spare that, but cost each
// transaction more processor time than the whole exchange does.
bool TPosixSerialDevice::WaitForInputUs(uint64_t timeoutUs) {
    return WaitForInputUntil(MonotonicNs() + timeoutUs * 1000U, false);
}

void TPosixSerialDevice::Doze(uint64_t us) {
    DriverInputEmpty_ = false;
    pollfd cut{CutShort_.Fd(), POLLIN, 0};
    const uint64_t deadline = MonotonicNs() + us * 1000U;
    for (;;) {
        const uint64_t now = MonotonicNs();
        if (now >= deadline)
            return;
        const timespec limit = TimeLeft(deadline);
        // A cut-short request stays pending: the wait that follows ends on it.
        const int ready = ppoll(&cut, 1, &limit, nullptr);
        Dozed_ = true;
        if (ready != 0 && !(ready < 0 && errno == EINTR))
            return;
    }
}

uint64_t TPosixSerialDevice::TickUs() const {
    return MonotonicNs() / 1000U;
}

// Waits until the deadline itself, to the nanosecond of the monotonic clock
// (ppoll), not to a whole millisecond.
bool TPosixSerialDevice::WaitForInputUntil(uint64_t deadline, bool forever) {
    // Nothing taken yet: the poll itself tells at once whether the driver
    // holds characters or the port is gone. After a doze until characters
    // were due, they are most likely there: a read finds them at once.
    if (Queued() > 0)
        return true;
    if (Vanished_ || std::exchange(Dozed_, false))
        Pull();  // it may have come back
    DriverInputEmpty_ = false;
    if (Queued() > 0)
        return true;
    for (;;) {
        if (Vanished_)
            return SleepWhileVanished(deadline, forever);
        pollfd fds[2] = {{Fd_, POLLIN, 0}, {CutShort_.Fd(), POLLIN, 0}};
        const timespec limit = TimeLeft(deadline);
        const int ready = ppoll(fds, 2, forever ? nullptr : &limit, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return SleepWhileVanished(deadline, forever);
        if ((fds[1].revents & POLLIN) != 0 && CutShort_.Take())
            return false;
        if (ready == 0)
            return false;
        Pull();
        if (Queued() > 0)
            return true;
        // A hang-up without data, or a descriptor closed under the device.
        if ((fds[0].revents & kGone) != 0)
            Vanished_ = true;
    }
}

// The port is gone: sleep the time-out, not a moment less, so that a worker
// retrying its transactions does not spin, and wake early only when cut short
// or when the port returns with data.
bool TPosixSerialDevice::SleepWhileVanished(uint64_t deadline, bool forever) {
    for (;;) {
        int slice = PollTimeout(deadline, forever);
        if (slice == 0)
            return false;
        if (slice < 0 || slice > kVanishedRecheckMs)
            slice = kVanishedRecheckMs;
        pollfd cut{CutShort_.Fd(), POLLIN, 0};
        if (poll(&cut, 1, slice) > 0 && CutShort_.Take())
            return false;
        Pull();
        if (!Vanished_ && Queued() > 0)
            return true;
    }
}

bool TPosixSerialDevice::GetInputCount(size_t& count) {
    // What is queued already is counted; the driver is asked when nothing
    // is, so a frame read costs no call per character beyond its wait.
    if (Queued() == 0)
        Pull();
    count = Queued();
    const bool lineError = LineError_;
    LineError_ = false;
    return !lineError && !Vanished_;
}

bool TPosixSerialDevice::Read(uint8_t* buffer, size_t count) {
    if (Queued() < count)
        Pull();
    if (Queued() < count)
        return false;
    Input_.Take(buffer, count);
    const bool lineError = LineError_;
    LineError_ = false;
    return !lineError && !Vanished_;
}

bool TPosixSerialDevice::Write(const uint8_t* data, size_t count, uint32_t timeoutMs) {
    const bool forever = timeoutMs == kWaitForever;
    const uint64_t deadline = DeadlineAfter(forever ? 0 : timeoutMs);
    size_t sent = 0;
    OutputDrained_ = false;
    while (sent < count) {
        const ssize_t n = write(Fd_, data + sent, count - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN)
            return false;  // EIO: the port is gone
        pollfd out{Fd_, POLLOUT, 0};
        const int ready = poll(&out, 1, PollTimeout(deadline, forever));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            // The line does not take the frame in time: drop what is queued,
            // so the next attempt starts with an empty transmitter.
            tcflush(Fd_, TCOFLUSH);
            return false;
        }
        if (ready < 0 || (out.revents & kGone) != 0)
            return false;
    }
    return true;
}

void TPosixSerialDevice::Purge(bool receive, bool transmit) {
    if (receive) {
        Input_.Clear();
        Decoder_.Reset();
        LineError_ = false;  // the error belonged to characters now dropped
    }
    // Asking the driver to drop what it does not hold costs a call each
    // transaction: what arrives after the look that found nothing is as if
    // it came a moment after the purge.
    receive = receive && !DriverInputEmpty_;
    transmit = transmit && !OutputDrained_;
    if (receive && transmit) {
        tcflush(Fd_, TCIOFLUSH);
    } else if (receive) {
        tcflush(Fd_, TCIFLUSH);
    } else if (transmit) {
        tcflush(Fd_, TCOFLUSH);
    }
}

bool TPosixSerialDevice::SetRts(bool on) {
    return SetModemLine(TIOCM_RTS, on);
}

bool TPosixSerialDevice::Drain() {
    // A pseudo-terminal has no transmitter: what write took is delivered.
    if (PseudoTerminal_) {
        OutputDrained_ = true;
        return true;
    }
    for (;;) {
        if (tcdrain(Fd_) == 0) {
            OutputDrained_ = true;
            return true;
        }
        if (errno != EINTR)
            return false;
    }
}

uint32_t TPosixSerialDevice::Tick() const {
    return TickCount();
}

}  // namespace platform
