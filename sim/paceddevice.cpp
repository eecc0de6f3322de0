#include "sim/paceddevice.h"

#include <chrono>
#include <thread>

namespace sim {

namespace {

constexpr double kBitsPerCharacter = 11;  // 8E1: start, 8 data, parity, stop

}  // namespace

TPacedSerialDevice::TPacedSerialDevice(std::unique_ptr<platform::TSerialDevice> line,
                                       std::uint32_t bitRate, bool wholeFrames)
    : FLine(std::move(line)), FBitRate(bitRate), FWholeFrames(wholeFrames) {}

// Each character leaves when the line would have finished the one before, so
// the far end sees the gaps a real line has and a frame that takes as long.
bool TPacedSerialDevice::Write(const std::uint8_t* data, std::size_t count,
                               std::uint32_t timeoutMs) {
    if (FBitRate == 0)
        return FLine->Write(data, count, timeoutMs);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    const std::chrono::duration<double> character(kBitsPerCharacter / FBitRate);
    if (FWholeFrames) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(character * count);
        if (timeoutMs != platform::kWaitForever && due > deadline)
            return false;
        std::this_thread::sleep_until(due);
        return FLine->Write(data, count, timeoutMs);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(character * (i + 1));
        if (timeoutMs != platform::kWaitForever && due > deadline)
            return false;
        std::this_thread::sleep_until(due);
        if (!FLine->Write(data + i, 1, timeoutMs))
            return false;
    }
    return true;
}

}  // namespace sim
