// Frame I/O of TModbusConnection: whole frames in and out of the open port.
//
// Only the transaction thread calls these, one at a time. None of them
// raises: a time-out, a line error, a vanished port or a full buffer ends as
// a false result or a count of 0, which the thread takes as an attempt
// without a reply. Characters are taken from the port in chunks of whatever
// is queued; nothing is allocated while a frame moves.
#include <cstring>

#include "modbus/connection.h"

namespace regwire {

namespace {

// States of the ASCII scanner, kept across the chunks of one read.
enum TAsciiScan { asWaitColon, asInFrame, asCRSeen, asComplete };

}  // namespace

bool TModbusConnection::WaitForData(std::uint32_t timeoutMs) {
    // A server waits without limit for the next request, until the stop
    // signal cuts the wait short; a client always has a time-out.
    return FDevice->WaitForInput(timeoutMs);
}

void TModbusConnection::CutShortWait() {
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
        return arrived;
    }
    const bool arrived = WaitForData(timeoutMs);
    if (!arrived)
        remaining = 0;
    return arrived;
}

bool TModbusConnection::GetInputCount(std::size_t& count) {
    return FDevice->GetInputCount(count);
}

bool TModbusConnection::ReadPort(std::uint8_t* buffer, std::size_t count) {
    return FDevice->Read(buffer, count);
}

// Takes whatever is queued into buffer; fails on a line error, on more
// characters than room, or on a failed read.
bool TModbusConnection::ReadChunk(std::uint8_t* buffer, int room, int& chunk) {
    std::size_t count = 0;
    if (!GetInputCount(count) || count > static_cast<std::size_t>(room))
        return false;
    if (!ReadPort(buffer, count))
        return false;
    chunk = static_cast<int>(count);
    return true;
}

int TModbusConnection::ReadFrame(std::uint8_t* buffer, int room, std::uint32_t& remaining) {
    if (remaining == 0)
        return 0;
    // Forget a line error left from before this frame.
    std::size_t stale = 0;
    GetInputCount(stale);
    return TransmissionMode() == tmRTU ? ReadFrameRTU(buffer, room, remaining)
                                       : ReadFrameASCII(buffer, room, remaining);
}

// An RTU frame ends at a gap of SilentMs on the line.
int TModbusConnection::ReadFrameRTU(std::uint8_t* buffer, int room, std::uint32_t& remaining) {
    const std::uint32_t gap = SilentMs();
    if (!WaitInFrame(remaining, remaining))
        return 0;
    int total = 0;
    if (!ReadChunk(buffer, room, total))
        return 0;
    while (remaining > 0) {
        if (!WaitInFrame(gap, remaining))
            return total;
        int chunk = 0;
        if (!ReadChunk(buffer + total, room - total, chunk))
            return 0;
        total += chunk;
    }
    return total;
}

// An ASCII frame runs from ':' to CR LF; noise before the colon is dropped
// and a new colon restarts the frame.
int TModbusConnection::ReadFrameASCII(std::uint8_t* buffer, int room, std::uint32_t& remaining) {
    const std::uint32_t gap = SilentMs();
    TAsciiScan state = asWaitColon;
    int total = 0;

    // Scans the chunk just read at buffer + total.
    const auto scan = [&](int chunkSize) {
        std::uint8_t* chunk = buffer + total;
        std::uint8_t* frameStart = nullptr;
        int count = 0;
        for (int i = 0; i < chunkSize && state != asComplete; ++i) {
            const std::uint8_t c = chunk[i];
            if (c == ':') {
                state = asInFrame;
                frameStart = chunk + i;
                count = 1;
            } else if (state == asInFrame) {
                ++count;
                if (c == '\r')
                    state = asCRSeen;
            } else if (state == asCRSeen) {
                if (c == '\n') {
                    ++count;
                    state = asComplete;
                } else {
                    state = asWaitColon;
                    frameStart = nullptr;
                    count = 0;
                }
            }
        }
        if (frameStart != nullptr) {
            std::memmove(buffer, frameStart, static_cast<std::size_t>(count));
            total = count;
        } else {
            total += count;
        }
    };

    while (state == asWaitColon && remaining > 0) {
        int chunk = 0;
        if (!WaitInFrame(remaining, remaining) || !ReadChunk(buffer + total, room - total, chunk))
            return 0;
        scan(chunk);
    }
    while ((state == asInFrame || state == asCRSeen) && remaining > 0) {
        int chunk = 0;
        if (!WaitInFrame(gap, remaining) || !ReadChunk(buffer + total, room - total, chunk))
            return 0;
        scan(chunk);
    }
    return state == asComplete ? total : 0;
}

bool TModbusConnection::WriteFrame(const std::uint8_t* data, int count, std::uint32_t timeoutMs) {
    // Forget a line error left from before this write.
    std::size_t stale = 0;
    GetInputCount(stale);
    // RS-485 without automatic direction control: RTS switches the
    // transmitter on for exactly the time the characters are on the line.
    const bool toggle = FFlowControl == fcRtsToggle;
    if (toggle) {
        FDevice->Drain();
        FDevice->SetRts(true);
    }
    bool ok = FDevice->Write(data, static_cast<std::size_t>(count), timeoutMs);
    if (toggle) {
        ok = FDevice->Drain() && ok;
        FDevice->SetRts(false);
    }
    // A line error reported meanwhile fails the write too.
    std::size_t queued = 0;
    const bool clean = GetInputCount(queued);
    return ok && clean;
}

void TModbusConnection::Purge(bool receive, bool transmit) {
    if (receive || transmit)
        FDevice->Purge(receive, transmit);
}

void TModbusConnection::WaitForSilence() {
    Purge(true, true);
    if (TransmissionMode() != tmRTU)
        return;
    while (WaitForData(SilentMs()))
        Purge(true, false);
}

}  // namespace regwire
