// Frame I/O of TModbusConnection: whole frames in and out of the open port.
//
// Only the transaction thread calls these, one at a time. None of them
// raises: a time-out, a line error, a vanished port or a full buffer ends as
// a false result or a count of 0, which the thread takes as an attempt
// without a reply. Characters are taken from the port in chunks of whatever
// is queued; nothing is allocated while a frame moves.
#include <algorithm>
#include <cstring>
#include <utility>

#include "modbus/checksum.h"
#include "modbus/connection.h"
#include "modbus/framelength.h"

namespace regwire {

namespace {

// How long before a frame's last character is due its reader stops sleeping.
constexpr std::uint64_t kDozeMarginUs = 200;

}  // namespace

bool TModbusConnection::WaitForData(std::uint32_t timeoutMs) {
    // A server waits without limit for the next request, until the stop
    // signal cuts the wait short; a client always has a time-out.
    return FDevice->WaitForInput(timeoutMs);
}

void TModbusConnection::CutShortWait() {
    FCutShort = true;
    if (FDevice)
        FDevice->CutShortWait();
}

void TModbusConnection::DeductElapsed(std::uint32_t start, std::uint32_t& remaining) const {
    // Unsigned 32-bit difference: right across a wrap of the tick counter.
    const std::uint32_t elapsed = FDevice->Tick() - start;
    remaining = elapsed < remaining ? remaining - elapsed : 0;
}

// One wait inside a frame read. A client counts the time spent against the
// remaining time; a server's remaining time only ends when nothing came.
bool TModbusConnection::WaitInFrame(std::uint32_t timeoutMs, std::uint32_t& remaining) {
    if (ConnectionMode() == cmClient) {
        const std::uint32_t start = FDevice->Tick();
        const bool arrived = WaitForData(timeoutMs);
        DeductElapsed(start, remaining);
        if (arrived)
            NoteLineActivity();
        return arrived;
    }
    const bool arrived = WaitForData(timeoutMs);
    if (arrived)
        NoteLineActivity();
    else
        remaining = 0;
    return arrived;
}

void TModbusConnection::NoteLineActivity() {
    FLastLineUs = FDevice->TickUs();
}

// The silent gap that ends an RTU frame in microseconds: SilentMs, or in
// standard timing 3.5 character times. A gateway's stream may part a frame
// wherever the network does: SilentMs there, in either timing.
std::uint64_t TModbusConnection::FrameGapUs() const {
    if (FrameTiming() == ftGap || FPortKind != pkSerial)
        return std::uint64_t{SilentMs()} * 1000U;
    return StandardQuietUs();
}

// A wait of `gapUs` for the next characters of a frame, counted against the
// remaining time as WaitInFrame counts it.
bool TModbusConnection::WaitForMore(std::uint64_t gapUs, std::uint32_t& remaining) {
    const bool client = ConnectionMode() == cmClient;
    const std::uint32_t start = FDevice->Tick();
    // Only the standard's gaps on a serial line need the microsecond; a
    // gap of SilentMs is whole milliseconds and need not be watched.
    const bool arrived = KeepsQuiet()
                             ? FDevice->WaitForInputUs(gapUs)
                             : FDevice->WaitForInput(static_cast<std::uint32_t>(gapUs / 1000U));
    if (client)
        DeductElapsed(start, remaining);
    if (arrived)
        NoteLineActivity();
    else if (!client)
        remaining = 0;
    return arrived;
}

// Standard timing on a serial line: the characters still missing from a
// reply cannot come faster than the line carries them, so the reader sleeps
// through their time on the wire and wakes once, when the last of them is
// due, instead of once for each. Due times count from the frame's first
// character as it was taken (`startUs`), which was already a little after
// it arrived, so the sleep never ends before the reply has; whatever is
// still missing on waking is waited for as usual. Until the reply's own
// bytes tell its length, the length its request implies stands for it (an
// exception reply, shorter, is then taken two characters late); no RTU
// frame is shorter than four characters (address, function code, CRC). A
// server does not sleep: a run of noise whose first bytes promise a long
// frame would hide the gap after it, and the request that follows with it.
void TModbusConnection::DozeForMissing(const std::uint8_t* bytes, int count, int expected,
                                       std::uint64_t startUs, std::uint32_t& remaining) {
    if (!ClientDozes())
        return;
    constexpr int kShortestFrame = 4;
    int length = ExpectedLength(bytes, count);
    if (length == kLengthNeedMore)
        length = std::max(kShortestFrame, expected);
    if (length <= count)
        return;
    DozeUntil(static_cast<std::int64_t>(startUs + std::uint64_t(length - 1) * CharacterUs()),
              remaining);
}

// Whether the reader may sleep through characters it knows are on their
// way: a client in standard timing on a serial line that does not echo.
bool TModbusConnection::ClientDozes() const {
    return ConnectionMode() == cmClient && FPortKind == pkSerial && FrameTiming() == ftStandard &&
           !EchoQueryBeforeReply();
}

// Sleeps, within the remaining time, until a little before the last
// character of a reply is due (`dueUs`): a timer wakes a sleeping processor
// later than a character does (a tenth of a millisecond on a virtual
// machine), and the end of the reply, from which the next rest counts, is
// then seen as soon as it arrives. One character is as well waited for as
// slept through. True if it slept.
bool TModbusConnection::DozeUntil(std::int64_t dueUs, std::uint32_t& remaining) {
    const std::uint64_t charUs = CharacterUs();
    const std::int64_t wakeUs =
        dueUs - static_cast<std::int64_t>(std::max(kDozeMarginUs, charUs / 2));
    const auto nowUs = static_cast<std::int64_t>(FDevice->TickUs());
    if (wakeUs < nowUs + static_cast<std::int64_t>(charUs))
        return false;
    const std::uint32_t start = FDevice->Tick();
    FDevice->Doze(
        std::min<std::uint64_t>(std::uint64_t(wakeUs - nowUs), std::uint64_t{remaining} * 1000U));
    DeductElapsed(start, remaining);
    FWokeUs = FDevice->TickUs();
    return true;
}

// Standard timing on a serial line, the first read after a request: its
// reply cannot end before the request's characters still on the wire and
// the reply's own have passed, plus the time this server takes to answer.
// The reader sleeps until a little before then, as DozeForMissing does, and
// so is not woken by the reply's first character as well. Before a
// server's first reply, the reader waits as usual.
void TModbusConnection::DozeUntilReplyDue(int expected, std::uint32_t& remaining) {
    const std::int32_t turnaround = FTurnaroundUs[FSentAddress];
    FDozedForReply = ClientDozes() && expected > 0 && turnaround != kTurnaroundUnknown &&
                     DozeUntil(static_cast<std::int64_t>(FSentUs + FRequestOnWireUs +
                                                         std::uint64_t(expected) * CharacterUs()) +
                                   turnaround,
                               remaining);
}

// A whole reply of `length` characters to the request last sent has been
// read; `seenWhole` if the first look found all of it. A server's time is
// the least it took lately: a sleep too short costs a wake-up, one too long
// delays the reply, so a quicker answer counts at once and a slower one
// only a little at a time. A reply found whole on waking from the sleep for
// it came sooner by an unknown time: the next one is waited for as usual
// and tells it.
void TModbusConnection::NoteReplyEnd(int length, bool seenWhole) {
    std::int32_t& turnaround = FTurnaroundUs[FSentAddress];
    // Seen as the reader woke: it was there before.
    constexpr std::uint64_t kAtOnceUs = 50;
    if (FDozedForReply && seenWhole && FLastLineUs - FWokeUs < kAtOnceUs) {
        turnaround = kTurnaroundUnknown;
        return;
    }
    const std::int64_t lateUs = static_cast<std::int64_t>(FLastLineUs) -
                                static_cast<std::int64_t>(FSentUs + FRequestOnWireUs +
                                                          std::uint64_t(length) * CharacterUs());
    constexpr std::int64_t kLimitUs = 1000000;
    const auto late = static_cast<std::int32_t>(std::clamp(lateUs, -kLimitUs, kLimitUs));
    if (turnaround == kTurnaroundUnknown || late < turnaround)
        turnaround = late;
    else
        turnaround = std::min(late, turnaround + static_cast<std::int32_t>(std::max<std::uint32_t>(
                                                     2, CharacterUs() / 16)));
}

// In standard timing, the length an RTU frame will have, from its first
// bytes (a reply in a client, a request in a server); kLengthUnknown in gap
// timing and while the line echoes our own requests. Through a network
// gateway gaps are lost in the stream: the length decides there always.
int TModbusConnection::ExpectedLength(const std::uint8_t* bytes, int count) const {
    if ((FrameTiming() != ftStandard && FPortKind == pkSerial) || EchoQueryBeforeReply())
        return kLengthUnknown;
    return ConnectionMode() == cmClient ? RtuReplyLength(bytes, count)
                                        : RtuRequestLength(bytes, count);
}

// Standard timing: the line must have been quiet for 3.5 character times
// since the last character heard or sent before a frame goes out, never
// less. Whatever arrives meanwhile is dropped and starts the quiet anew; a
// line that does not rest within SendTimeout cannot carry the frame.
bool TModbusConnection::WaitForQuiet() {
    const std::uint64_t quiet = StandardQuietUs();
    const std::uint64_t start = FDevice->TickUs();
    const std::uint64_t limit = std::uint64_t{SendTimeout()} * 1000U;
    for (;;) {
        const std::uint64_t now = FDevice->TickUs();
        const std::uint64_t since = now - FLastLineUs;
        if (since >= quiet)
            return true;
        if (now - start >= limit)
            return false;
        if (FDevice->WaitForInputUs(quiet - since)) {
            Purge(true, false);
            NoteLineActivity();
        }
    }
}

bool TModbusConnection::GetInputCount(std::size_t& count) {
    return FDevice->GetInputCount(count);
}

bool TModbusConnection::ReadPort(std::uint8_t* buffer, std::size_t count) {
    return FDevice->Read(buffer, count);
}

TModbusConnection::TFrameRead TModbusConnection::ReadFrame(std::uint8_t* buffer, int room,
                                                           std::uint32_t& remaining, int expected) {
    if (remaining == 0)
        return {};
    ForgetStaleLineError();
    return TransmissionMode() == tmRTU ? ReadFrameRTU(buffer, room, remaining, expected)
                                       : ReadFrameASCII(buffer, room, remaining);
}

// Drops what is queued and whatever keeps coming until the line has been
// silent for a gap: the rest of a broken frame must not pass for the start
// of the next one. Waiting for each arrival costs no CPU however long the
// noise lasts.
void TModbusConnection::DropToGap(std::uint64_t gapUs, std::uint32_t& remaining) {
    do
        Purge(true, false);
    while (remaining > 0 && WaitForMore(gapUs, remaining));
}

// An RTU frame ends at a silent gap on the line, or in standard timing at
// the length its first bytes give. A line error or more characters than the
// room breaks the frame: the run is dropped up to the next gap, where the
// next frame can start.
TModbusConnection::TFrameRead TModbusConnection::ReadFrameRTU(std::uint8_t* buffer, int room,
                                                              std::uint32_t& remaining,
                                                              int expected) {
    const std::uint64_t gapUs = FrameGapUs();
    const bool firstAfterSend = std::exchange(FReplyAwaited, false);
    if (firstAfterSend)
        DozeUntilReplyDue(expected, remaining);
    if (!WaitInFrame(remaining, remaining))
        return {};
    int total = 0;
    std::uint64_t startUs = 0;
    for (;;) {
        std::size_t queued = 0;
        const bool clean = GetInputCount(queued);
        if (!clean || queued > static_cast<std::size_t>(room - total)) {
            DropToGap(gapUs, remaining);
            return {0, clean};
        }
        if (!ReadPort(buffer + total, queued)) {
            DropToGap(gapUs, remaining);
            return {};
        }
        if (total == 0)
            startUs = FLastLineUs - std::min<std::uint64_t>(
                                        FLastLineUs, (queued - 1) * std::uint64_t{CharacterUs()});
        total += static_cast<int>(queued);
        // Modbus TCP hands over one whole frame at a time.
        if (FPortKind == pkModbusTcp)
            return {total, false};
        // Standard timing: the frame is complete at its length with a good
        // CRC; what came after it is dropped. A CRC that fails there means
        // the length was misread: the gap decides.
        const int length = ExpectedLength(buffer, total);
        if (length > 0 && total >= length &&
            CRC16(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(length))) == 0) {
            if (firstAfterSend)
                NoteReplyEnd(length, total == static_cast<int>(queued));
            return {length, false};
        }
        if (remaining == 0)
            return {total, false};
        DozeForMissing(buffer, total, expected, startUs, remaining);
        if (remaining == 0 || !WaitForMore(gapUs, remaining))
            return {total, false};
    }
}

// One ASCII frame being gathered at the start of the reader's buffer: the
// scanner's state, kept across the chunks of one read, and the characters
// of the frame so far.
class TAsciiFrame {
  public:
    TAsciiFrame(std::uint8_t* buffer, int room) : FBuffer(buffer), FRoom(room) {}

    bool WaitsForColon() const { return FState == asWaitColon; }
    bool InFrame() const { return FState == asInFrame || FState == asCRSeen; }
    bool Complete() const { return FState == asComplete; }
    int Count() const { return FTotal; }
    // Where the next characters go, and how many fit.
    std::uint8_t* Free() const { return FBuffer + FTotal; }
    int Space() const { return FRoom - FTotal; }

    // Scans `count` characters placed at Free(), keeping only those of the
    // frame in progress (a ':' restarts it at the start of the buffer; noise
    // outside a frame is dropped). Stops after the LF that completes the
    // frame and returns how many characters it scanned.
    int Scan(int count) {
        std::uint8_t* chunk = Free();
        int i = 0;
        for (; i < count && FState != asComplete; ++i) {
            const std::uint8_t c = chunk[i];
            if (c == ':') {
                FState = asInFrame;
                FTotal = 0;
                FBuffer[FTotal++] = c;
            } else if (FState == asInFrame) {
                FBuffer[FTotal++] = c;
                if (c == '\r')
                    FState = asCRSeen;
            } else if (FState == asCRSeen) {
                if (c == '\n') {
                    FBuffer[FTotal++] = c;
                    FState = asComplete;
                } else {
                    // A CR not followed by LF abandons the frame.
                    FState = asWaitColon;
                    FTotal = 0;
                }
            }
        }
        return i;
    }

  private:
    // States of the scanner, kept across the chunks of one read.
    enum TState { asWaitColon, asInFrame, asCRSeen, asComplete };

    std::uint8_t* FBuffer;
    int FRoom;
    int FTotal = 0;
    TState FState = asWaitColon;
};

// Takes up to `space` characters: first those a previous frame left unread,
// then what the port has queued. False on a line error or a failed read.
bool TModbusConnection::TakeASCII(std::uint8_t* to, int space, int& taken) {
    if (FUnreadCount > 0) {
        taken = std::min(FUnreadCount, space);
        std::memcpy(to, FUnread.data(), static_cast<std::size_t>(taken));
        FUnreadCount -= taken;
        std::memmove(FUnread.data(), FUnread.data() + taken,
                     static_cast<std::size_t>(FUnreadCount));
        return true;
    }
    std::size_t queued = 0;
    if (!GetInputCount(queued))
        return false;
    taken = static_cast<int>(std::min(queued, static_cast<std::size_t>(space)));
    return ReadPort(to, static_cast<std::size_t>(taken));
}

// Puts characters back in front of those still unread.
void TModbusConnection::KeepUnread(const std::uint8_t* characters, int count) {
    if (count <= 0)
        return;
    const auto needed = static_cast<std::size_t>(FUnreadCount + count);
    if (FUnread.size() < needed)
        FUnread.resize(needed);
    std::memmove(FUnread.data() + count, FUnread.data(), static_cast<std::size_t>(FUnreadCount));
    std::memcpy(FUnread.data(), characters, static_cast<std::size_t>(count));
    FUnreadCount += count;
}

// Takes more characters into the frame and scans them; what follows a
// complete frame stays unread. False on a line error.
bool TModbusConnection::ScanMoreASCII(TAsciiFrame& frame) {
    std::uint8_t* chunk = frame.Free();
    int taken = 0;
    if (!TakeASCII(chunk, frame.Space(), taken))
        return false;
    const int scanned = frame.Scan(taken);
    KeepUnread(chunk + scanned, taken - scanned);
    return true;
}

// An ASCII frame runs from ':' to CR LF; noise before the colon is dropped
// and a new colon restarts the frame. What follows the LF is kept for the
// next frame. A frame that outgrows the room is dropped; the reader then
// finds its footing again at the next ':'.
TModbusConnection::TFrameRead TModbusConnection::ReadFrameASCII(std::uint8_t* buffer, int room,
                                                                std::uint32_t& remaining) {
    const std::uint32_t gap = SilentMs();
    TAsciiFrame frame(buffer, room);
    while (frame.WaitsForColon() && remaining > 0) {
        if (FUnreadCount == 0 && !WaitInFrame(remaining, remaining))
            return {};
        if (!ScanMoreASCII(frame))
            return {};
    }
    while (frame.InFrame() && remaining > 0) {
        if (frame.Space() <= 0)
            return {0, true};
        if (FUnreadCount == 0 && !WaitInFrame(gap, remaining))
            return {};
        if (!ScanMoreASCII(frame))
            return {};
    }
    return {frame.Complete() ? frame.Count() : 0, false};
}

// Whether sends wait for a quiet line: standard timing of RTU frames on a
// serial line (a gateway keeps the line's rests itself).
bool TModbusConnection::KeepsQuiet() const {
    return FrameTiming() == ftStandard && TransmissionMode() == tmRTU && FPortKind == pkSerial;
}

void TModbusConnection::RestAfterFrame() {
    if (KeepsQuiet())
        WaitForQuiet();
}

bool TModbusConnection::WriteFrame(const std::uint8_t* data, int count, std::uint32_t timeoutMs) {
    if (KeepsQuiet() && !WaitForQuiet())
        return false;
    const std::uint64_t startUs = FDevice->TickUs();
    ForgetStaleLineError();
    // RS-485 without automatic direction control: RTS switches the
    // transmitter on for exactly the time the characters are on the line.
    const bool toggle = FFlowControl == fcRtsToggle && !FKernelDirection;
    if (toggle) {
        FDevice->Drain();
        FDevice->SetRts(true);
    }
    bool ok = FDevice->Write(data, static_cast<std::size_t>(count), timeoutMs);
    if (toggle) {
        ok = FDevice->Drain() && ok;
        FDevice->SetRts(false);
    } else if (ok && FFlowControl != fcRtsCts) {
        // The reply time-out starts when the frame has left the UART, not
        // when the driver took it: at 9600 bit/s a long frame takes a
        // quarter of a second on the line. Under RTS/CTS the far end may
        // hold the line for good, so the frame is not waited for there.
        ok = FDevice->Drain();
    }
    NoteLineActivity();
    // A drained port has sent the request; a port that took it into its
    // buffer (or a pseudo-terminal) may have its characters on the wire
    // for their whole time yet.
    const std::uint64_t wireUs = std::uint64_t(count) * CharacterUs();
    FSentUs = FLastLineUs;
    FRequestOnWireUs = wireUs - std::min(wireUs, FSentUs - startUs);
    FSentAddress = data[0];
    FReplyAwaited = true;
    // A line error reported meanwhile fails the write too.
    std::size_t queued = 0;
    const bool clean = GetInputCount(queued);
    FInputJustSeen = true;
    return ok && clean;
}

// A line error of characters that came before the frame about to be sent or
// read is not the frame's. Right after a purge or a write's own look at the
// port there is nothing older to forget: asking the driver again would only
// cost a call that finds nothing (what arrives in between is as if it came
// a moment later, within the frame's wait).
void TModbusConnection::ForgetStaleLineError() {
    if (std::exchange(FInputJustSeen, false))
        return;
    std::size_t stale = 0;
    GetInputCount(stale);
}

void TModbusConnection::Purge(bool receive, bool transmit) {
    // Characters dropped unread were on the line all the same.
    std::size_t queued = 0;
    if (receive) {
        FDevice->GetInputCount(queued);
        if (queued > 0)
            NoteLineActivity();
    }
    if (receive) {
        FUnreadCount = 0;
        FInputJustSeen = true;
    }
    if (receive || transmit)
        FDevice->Purge(receive, transmit);
}

void TModbusConnection::WaitForSilence() {
    // A server's port was purged as it opened: it takes what arrives from
    // then on, so a request sent the moment Open returned is answered, and a
    // frame joined halfway fails its checksum and is dropped at the next gap.
    if (ConnectionMode() == cmServer)
        return;
    Purge(true, true);
    if (TransmissionMode() != tmRTU)
        return;
    while (WaitForData(SilentMs()))
        Purge(true, false);
}

}  // namespace regwire
