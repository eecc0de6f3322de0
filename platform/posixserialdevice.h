// A serial port or pseudo-terminal behind a file descriptor.
//
// Open() takes a device path (/dev/ttyUSB0, /dev/pts/3) for exclusive use:
// TIOCEXCL keeps other programs out, and an flock() keeps out even root, which
// TIOCEXCL does not stop. A port held by another program raises ESerialError
// with sePortBusy, an absent one sePortMissing.
//
// Hook() takes over a descriptor somebody else opened (a connection's
// HookExistingPort). The device then never closes it, unless told so, and it
// touches nothing but the line mode and the descriptor's O_NONBLOCK flag,
// which it puts back at its end.
//
// Received characters go through a queue of the device's own, filled in
// chunks from the driver, so that the kernel's line-error marks can be taken
// out and counted (see lineescapes.h). The queue holds 16 KiB; characters
// beyond that wait in the driver.
//
// A vanished port (USB adapter pulled, far end of a pseudo-terminal closed)
// reads as a line error and a failed write. Waits on it sleep their time-out,
// re-checking every quarter second whether it came back (a pseudo-terminal's
// master side does when the far end is opened again).
//
// A pseudo-terminal has no parity, no data bits other than 8 and no modem
// lines; the kernel ignores or refuses those settings there, and the device
// accepts that quietly. A real port that refuses a setting raises.
#pragma once

#include "platform/devicewait.h"
#include "platform/inputqueue.h"
#include "platform/lineescapes.h"
#include "platform/serialdevice.h"

#include <memory>
#include <string>

namespace platform {

class TPosixSerialDevice final : public TSerialDevice {
  public:
    // Opens `path` for exclusive reading and writing. Raises ESerialError.
    static std::unique_ptr<TPosixSerialDevice> Open(const std::string& path);

    // Uses the open terminal `fd`. With `closeAtEnd` the device closes it
    // when it ends; otherwise the descriptor stays its owner's. Raises
    // ESerialError when `fd` is not an open terminal.
    static std::unique_ptr<TPosixSerialDevice> Hook(int fd, bool closeAtEnd = false);

    ~TPosixSerialDevice() override;

    int Handle() const { return Fd_; }
    bool IsPseudoTerminal() const { return PseudoTerminal_; }

    void ApplySettings(const TSerialLineSettings& settings) override;
    bool WaitForInput(uint32_t timeoutMs) override;
    void CutShortWait() override;
    bool GetInputCount(size_t& count) override;
    bool Read(uint8_t* buffer, size_t count) override;
    bool Write(const uint8_t* data, size_t count, uint32_t timeoutMs) override;
    void Purge(bool receive, bool transmit) override;
    bool SetRts(bool on) override;
    bool Drain() override;
    uint32_t Tick() const override;
    uint64_t TickUs() const override;
    bool WaitForInputUs(uint64_t timeoutUs) override;
    void Doze(uint64_t us) override;

  private:
    TPosixSerialDevice(int fd, bool closeAtEnd, std::string name);

    void Pull();
    size_t Queued() const { return Input_.Count(); }
    bool WaitForInputUntil(uint64_t deadline, bool noLimit);
    bool SleepWhileVanished(uint64_t deadline, bool noLimit);
    bool SetModemLine(int line, bool on);
    void VerifyTaken(const TSerialLineSettings& wanted, const TSerialLineSettings& taken) const;
    [[noreturn]] void Refuse(int errorNumber, const std::string& what) const;

    int Fd_;
    TCutShortSignal CutShort_;
    bool CloseAtEnd_;
    // Set when Open made the port exclusive: the flag outlives the close on a
    // pseudo-terminal whose other side stays open, so it is cleared again.
    bool Exclusive_ = false;
    int OriginalFlags_ = 0;
    bool PseudoTerminal_ = false;
    // The master side of a pseudo-terminal: its termios is the slave's, but
    // the line discipline marks only what the slave reads, never what the
    // master reads.
    bool PtyMaster_ = false;
    bool EscapesInput_ = false;
    bool LineError_ = false;
    bool Vanished_ = false;
    // The last look at the driver found its input empty, and no wait has
    // begun since; the last write was drained (or nothing was written since
    // the port opened here). A purge then has nothing to drop.
    bool DriverInputEmpty_ = false;
    bool OutputDrained_ = false;
    // A doze has ended since the last wait for input.
    bool Dozed_ = false;
    std::string Name_;
    TLineEscapeDecoder Decoder_;
    TInputQueue Input_;
};

}  // namespace platform
