#include "modbus/mbapdevice.h"

#include <algorithm>
#include <array>
#include <span>

#include "modbus/checksum.h"

namespace regwire {

namespace {

constexpr std::size_t kHeaderSize = 7;  // identifier, protocol, length, unit
// The length field counts the unit identifier and the protocol data unit.
constexpr std::size_t kShortestLength = 2;
constexpr std::size_t kLongestLength = 254;
// Characters staged ahead of the frame in hand: room for two whole frames,
// so a frame that follows another in one segment is taken at once.
constexpr std::size_t kStagedRoom = 2 * (kHeaderSize + kLongestLength);

std::uint16_t Word(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

}  // namespace

TMbapDevice::TMbapDevice(std::unique_ptr<platform::TSerialDevice> stream, TConnectionMode mode)
    : FStream(std::move(stream)), FMode(mode) {
    FStaged.reserve(kStagedRoom);
    FReady.reserve(kLongestLength + 2);
}

// Moves what the stream holds behind the characters staged, then cuts the
// next frame when none is in hand.
void TMbapDevice::Pump() {
    std::size_t queued = 0;
    if (!FStream->GetInputCount(queued)) {
        // A drop or a line fault: nothing before it belongs to what follows.
        FLineError = true;
        FStaged.clear();
        FReady.clear();
        FReadyAt = 0;
    }
    // Whatever does not fit stays in the stream: a staged run that fills
    // the room holds a whole frame, which CutFrame takes below.
    queued = std::min(queued, kStagedRoom - std::min(FStaged.size(), kStagedRoom));
    if (queued > 0) {
        const std::size_t old = FStaged.size();
        FStaged.resize(old + queued);
        if (!FStream->Read(FStaged.data() + old, queued)) {
            FLineError = true;
            FStaged.clear();
        }
    }
    while (ReadyCount() == 0 && CutFrame()) {
    }
}

// Takes the first frame off the staged characters: into FReady when it is
// wanted, dropped when it is a stale reply. False when no whole frame (or a
// bad header) was there to take.
bool TMbapDevice::CutFrame() {
    if (FStaged.size() < kHeaderSize)
        return false;
    const std::uint16_t transaction = Word(FStaged.data());
    const std::size_t length = Word(FStaged.data() + 4);
    if (Word(FStaged.data() + 2) != 0 || length < kShortestLength || length > kLongestLength) {
        FLineError = true;
        FStaged.clear();
        return false;
    }
    const std::size_t whole = 6 + length;
    if (FStaged.size() < whole)
        return false;
    const bool wanted = FMode == cmServer || (FInFlight && transaction == FTransaction);
    if (wanted) {
        FReady.assign(FStaged.begin() + 6, FStaged.begin() + static_cast<std::ptrdiff_t>(whole));
        const std::uint16_t crc = CRC16(std::span<const std::uint8_t>(FReady));
        FReady.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        FReady.push_back(static_cast<std::uint8_t>(crc >> 8));
        FReadyAt = 0;
        FReadyTransaction = transaction;
    }
    FStaged.erase(FStaged.begin(), FStaged.begin() + static_cast<std::ptrdiff_t>(whole));
    return true;
}

bool TMbapDevice::TakeLineError() {
    const bool error = FLineError;
    FLineError = false;
    return error;
}

bool TMbapDevice::WaitForInput(std::uint32_t timeoutMs) {
    if (timeoutMs != platform::kWaitForever)
        return WaitForInputUs(std::uint64_t{timeoutMs} * 1000U);
    for (;;) {
        Pump();
        if (ReadyCount() > 0)
            return true;
        if (!FStream->WaitForInput(platform::kWaitForever))
            return false;
    }
}

// Part of a frame may arrive first: the wait goes on for the rest within the
// same time-out. Pump empties the stream's queue, so each wait below sleeps
// until something new arrives.
bool TMbapDevice::WaitForInputUs(std::uint64_t timeoutUs) {
    const std::uint64_t start = FStream->TickUs();
    for (;;) {
        Pump();
        if (ReadyCount() > 0)
            return true;
        const std::uint64_t elapsed = FStream->TickUs() - start;
        if (elapsed >= timeoutUs || !FStream->WaitForInputUs(timeoutUs - elapsed))
            return false;
    }
}

TMbapDevice::TFrameWait TMbapDevice::WaitForFrame(std::uint64_t idleUs, std::uint64_t frameUs) {
    std::uint64_t deadline = FStream->TickUs() + idleUs;
    bool begun = false;
    for (;;) {
        Pump();
        if (ReadyCount() > 0)
            return fwFrame;
        const std::uint64_t now = FStream->TickUs();
        if (!begun && !FStaged.empty()) {
            begun = true;
            deadline = now + frameUs;
        }
        if (now >= deadline)
            return begun ? fwIncomplete : fwIdle;
        if (!FStream->WaitForInputUs(deadline - now) && FStream->TickUs() < deadline)
            return fwCutShort;
    }
}

void TMbapDevice::CutShortWait() {
    FStream->CutShortWait();
}

bool TMbapDevice::GetInputCount(std::size_t& count) {
    Pump();
    count = ReadyCount();
    return !TakeLineError();
}

bool TMbapDevice::Read(std::uint8_t* buffer, std::size_t count) {
    Pump();
    if (count > ReadyCount())
        return false;
    std::copy_n(FReady.begin() + static_cast<std::ptrdiff_t>(FReadyAt), count, buffer);
    FReadyAt += count;
    if (ReadyCount() == 0 && OnWireFrame)
        ShowReadFrame();
    if (ReadyCount() == 0 && FMode == cmServer)
        FTransaction = FReadyTransaction;
    return !TakeLineError();
}

// The frame in hand as it came: its header again, no CRC.
void TMbapDevice::ShowReadFrame() const {
    const std::size_t length = FReady.size() - 2;
    std::array<std::uint8_t, 6 + kLongestLength> frame{};
    frame[0] = static_cast<std::uint8_t>(FReadyTransaction >> 8);
    frame[1] = static_cast<std::uint8_t>(FReadyTransaction & 0xFF);
    frame[4] = static_cast<std::uint8_t>(length >> 8);
    frame[5] = static_cast<std::uint8_t>(length & 0xFF);
    std::copy_n(FReady.begin(), length, frame.begin() + 6);
    OnWireFrame(frame.data(), 6 + length, false);
}

// data is a frame as on the serial line: unit, protocol data unit, CRC.
bool TMbapDevice::Write(const std::uint8_t* data, std::size_t count, std::uint32_t timeoutMs) {
    if (count < kShortestLength + 2 || count > kLongestLength + 2)
        return false;
    const std::size_t length = count - 2;
    if (FMode == cmClient) {
        ++FTransaction;
        FInFlight = true;
    }
    std::array<std::uint8_t, 6 + kLongestLength> frame{};
    frame[0] = static_cast<std::uint8_t>(FTransaction >> 8);
    frame[1] = static_cast<std::uint8_t>(FTransaction & 0xFF);
    frame[4] = static_cast<std::uint8_t>(length >> 8);
    frame[5] = static_cast<std::uint8_t>(length & 0xFF);
    std::copy_n(data, length, frame.begin() + 6);
    if (OnWireFrame)
        OnWireFrame(frame.data(), 6 + length, true);
    return FStream->Write(frame.data(), 6 + length, timeoutMs);
}

// Only the frame in hand goes. The stream is left whole: cutting it where a
// purge happens to fall could part a frame that is still arriving and lose
// the frame boundaries with it, and a late reply still coming is dropped by
// its transaction identifier all the same.
void TMbapDevice::Purge(bool receive, bool transmit) {
    if (receive) {
        FReady.clear();
        FReadyAt = 0;
    }
    FStream->Purge(false, transmit);
}

void TMbapDevice::ApplySettings(const platform::TSerialLineSettings& settings) {
    FStream->ApplySettings(settings);
}

bool TMbapDevice::SetRts(bool on) {
    return FStream->SetRts(on);
}

bool TMbapDevice::Drain() {
    return FStream->Drain();
}

std::uint32_t TMbapDevice::Tick() const {
    return FStream->Tick();
}

std::uint64_t TMbapDevice::TickUs() const {
    return FStream->TickUs();
}

}  // namespace regwire
