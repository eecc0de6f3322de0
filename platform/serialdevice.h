// The serial device under the Modbus library: one open port as the frame I/O
// of a connection needs it.
//
// A connection drives its port only through TSerialDevice. Two devices exist:
// TPosixSerialDevice (posixserialdevice.h), a real port or pseudo-terminal
// behind a file descriptor, and TScriptedSerialDevice (scripteddevice.h), an
// in-memory line for tests that need exact timing, chunking and line faults.
//
// Threads: one thread (the connection's worker) makes every call except
// CutShortWait, which any thread may call at any time. Before the worker starts
// and after it ended, the main thread may make the calls instead.
//
// Nothing here raises during frame traffic: waits, counts, reads and writes
// report a time-out, a line error or a vanished port as a false result. Only
// opening a port and applying line settings raise ESerialError.
//
// How a Modbus connection maps onto it:
// - open: TPosixSerialDevice::Open(path), or ::Hook(fd) for a port handed in
//   from outside (never closed by the device). ESerialError from either means
//   the port could not be opened; Kind() tells busy from missing. Driver queue
//   sizes, read time-outs and event masks have no counterpart here: reads
//   never block and waits take their own time-out.
// - line settings: ApplySettings at open and after each live change; its
//   ESerialError is a refused device control block. The connection's flow
//   control becomes Handshake plus the RtsOn/DtrOn levels (RTS toggling:
//   RtsOn false, then SetRts(true), Write, Drain, SetRts(false) per frame).
// - the driver's error state: GetInputCount reports and clears it, so a frame
//   read or write starts and ends with a GetInputCount.
// - remaining time: take Tick() before a wait and subtract the unsigned
//   difference after it.
// - a server-mode worker that must stop: set its terminate flag, then
//   CutShortWait() ends its endless wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

// A time-out in milliseconds that never expires (the INFINITE of the
// connection's remaining time, used by server mode).
constexpr uint32_t kWaitForever = 0xFFFFFFFF;

enum TSerialParity { spNone, spOdd, spEven, spMark, spSpace };

// Linux has no 1.5 stop bits: ssOneAndHalf is sent as two stop bits, which a
// receiver that expects 1.5 accepts.
enum TSerialStopBits { ssOne, ssOneAndHalf, ssTwo };

// shRtsCts: the driver holds transmission while CTS is low and drives RTS as
// its receive-ready signal. shDtrDsr: Linux has no DSR handshake; DTR is held
// on as the ready signal and DSR does not gate transmission.
enum TSerialHandshake { shNone, shRtsCts, shDtrDsr };

struct TSerialLineSettings {
    uint32_t BitRate = 19200;  // any rate the driver can make, not only the standard ones
    uint8_t DataBits = 8;      // 5 to 8
    TSerialParity Parity = spEven;
    TSerialStopBits StopBits = ssOne;
    TSerialHandshake Handshake = shNone;
    bool RtsOn = true;  // RTS level while open, unless RTS belongs to the handshake
    bool DtrOn = true;  // DTR level while open, unless DTR belongs to the handshake

    bool operator==(const TSerialLineSettings&) const = default;
};

enum TSerialErrorKind {
    sePortBusy,        // another program holds the port
    sePortMissing,     // no such device
    seAccessDenied,    // no permission to open the device
    seNotATerminal,    // the path or handle is not a serial device
    seSettingRefused,  // the port refused a line setting (speed, data bits, parity...)
    seSystem,          // any other failure of the operating system
};

// What an operator without access to a serial port does about it on Debian.
inline constexpr const char* SAccessDeniedAdvice =
    "add your user to the dialout group (sudo adduser $USER dialout), then log in again";

// A failure to open a port or to apply its line settings. what() is the
// system's text, prefixed with the device; ErrorNumber() the errno behind it
// (0 when the device answered but did not take a setting).
class ESerialError : public std::runtime_error {
  public:
    ESerialError(TSerialErrorKind kind, int errorNumber, const std::string& text);
    TSerialErrorKind Kind() const { return Kind_; }
    int ErrorNumber() const { return ErrorNumber_; }

  private:
    TSerialErrorKind Kind_;
    int ErrorNumber_;
};

// The kind of error an errno from open() means.
TSerialErrorKind SerialErrorKindOf(int errorNumber);

// Raises ESerialError (seSettingRefused, EINVAL) for settings no port can
// have: a bit rate of 0, data bits outside 5 to 8. Every device checks this
// first in ApplySettings.
void CheckLineSettings(const TSerialLineSettings& settings);

// Milliseconds of a monotonic clock in 32 bits. It wraps to 0 after about
// 49.7 days, so durations are taken as unsigned differences.
uint32_t TickCount();

class TSerialDevice {
  public:
    virtual ~TSerialDevice() = default;
    TSerialDevice() = default;
    TSerialDevice(const TSerialDevice&) = delete;
    TSerialDevice& operator=(const TSerialDevice&) = delete;

    // Programs speed, character format, handshake and the RTS/DTR levels.
    // Raises ESerialError (seSettingRefused) when the port refuses any of
    // them; the port stays open with whatever it took. A pseudo-terminal
    // cannot have parity, other data bits or modem lines: it keeps 8 data bits
    // without parity and that is not an error.
    virtual void ApplySettings(const TSerialLineSettings& settings) = 0;

    // Waits until at least one received character is queued, for at most
    // `timeoutMs` (kWaitForever: no limit). True at once when characters are
    // already queued. False on time-out, on CutShortWait, and on a vanished
    // port, where the wait still sleeps its time-out (so a worker never spins
    // on a pulled adapter) unless it is cut short.
    virtual bool WaitForInput(uint32_t timeoutMs) = 0;

    // Ends the wait in progress, or the next one when none is in progress, as
    // an auto-reset event: one request ends one wait. Any thread may call it.
    virtual void CutShortWait() = 0;

    // Sets `count` to the received characters queued (line escapes already
    // removed). False when a line error (parity, framing, break) was received
    // since the previous call, or when the port has vanished (hang-up, pulled
    // adapter, closed far end of a pseudo-terminal). The call clears the
    // recorded error, as reading a driver's error state does.
    virtual bool GetInputCount(size_t& count) = 0;

    // Takes exactly `count` queued characters into `buffer`. False, taking
    // nothing, when fewer are queued; false after taking them when a line
    // error was recorded (which it clears) or the port vanished.
    virtual bool Read(uint8_t* buffer, size_t count) = 0;

    // Hands `count` characters to the driver within `timeoutMs`
    // (kWaitForever: no limit). A write that cannot complete in time is
    // abandoned, the transmit queue is flushed and the result is false; a
    // vanished port fails at once.
    virtual bool Write(const uint8_t* data, size_t count, uint32_t timeoutMs) = 0;

    // Drops queued characters of the chosen directions.
    virtual void Purge(bool receive, bool transmit) = 0;

    // Raises or drops RTS, for a transmitter that RTS must switch on (RS-485
    // without automatic direction control). True when done or harmless (a
    // pseudo-terminal has no RTS).
    virtual bool SetRts(bool on) = 0;

    // Waits until the driver has sent every written character, so that RTS
    // can be dropped after the last stop bit. False on a vanished port.
    virtual bool Drain() = 0;

    // The device's millisecond tick: TickCount() for a real port, the
    // scripted clock for the scripted device. Time-outs are counted on it.
    virtual uint32_t Tick() const = 0;

    // The same clock in microseconds, and a wait measured on it, for the
    // rests between frames that must be exact to well under a millisecond
    // (3.5 characters are 1.75 ms at high speeds). A device whose clock
    // counts whole milliseconds rounds the wait up, never down.
    // Sleeps for `us` microseconds without looking at the port: a frame
    // whose length is known needs its remaining characters' time on the
    // wire, and waking for each of them would only cost CPU. Ends early at
    // CutShortWait, whose request it leaves for the next wait to take.
    // Skipping the sleep is always correct (the waits that follow find the
    // characters all the same), which is what a device without a real clock
    // does.
    virtual void Doze(uint64_t us) { (void)us; }

    virtual uint64_t TickUs() const { return uint64_t{Tick()} * 1000U; }
    virtual bool WaitForInputUs(uint64_t timeoutUs) {
        const uint64_t ms = (timeoutUs + 999U) / 1000U;
        return WaitForInput(static_cast<uint32_t>(ms < kWaitForever ? ms : kWaitForever - 1));
    }
};

}  // namespace platform
