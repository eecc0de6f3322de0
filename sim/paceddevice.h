// TPacedSerialDevice: a serial device whose writes take the line time of a
// real port, so a pseudo-terminal delivers a reply character by character
// at the kit's bit rate instead of all at once.
#pragma once

#include <memory>

#include "platform/serialdevice.h"

namespace sim {

class TPacedSerialDevice final : public platform::TSerialDevice {
  public:
    // bitRate 0 writes at once. Each character takes 11 bits on the line
    // (start, 8 data, parity, stop). With wholeFrames a frame goes out in one
    // piece once the line would have carried all of it, as a Modbus TCP
    // gateway passes on a reply only when it is complete.
    TPacedSerialDevice(std::unique_ptr<platform::TSerialDevice> line, std::uint32_t bitRate,
                       bool wholeFrames = false);

    void ApplySettings(const platform::TSerialLineSettings& s) override { FLine->ApplySettings(s); }
    bool WaitForInput(std::uint32_t ms) override { return FLine->WaitForInput(ms); }
    void CutShortWait() override { FLine->CutShortWait(); }
    bool GetInputCount(std::size_t& count) override { return FLine->GetInputCount(count); }
    bool Read(std::uint8_t* buffer, std::size_t count) override {
        return FLine->Read(buffer, count);
    }
    bool Write(const std::uint8_t* data, std::size_t count, std::uint32_t timeoutMs) override;
    void Purge(bool receive, bool transmit) override { FLine->Purge(receive, transmit); }
    bool SetRts(bool on) override { return FLine->SetRts(on); }
    bool Drain() override { return FLine->Drain(); }
    std::uint32_t Tick() const override { return FLine->Tick(); }
    std::uint64_t TickUs() const override { return FLine->TickUs(); }
    bool WaitForInputUs(std::uint64_t us) override { return FLine->WaitForInputUs(us); }

  private:
    std::unique_ptr<platform::TSerialDevice> FLine;
    std::uint32_t FBitRate;
    bool FWholeFrames;
};

}  // namespace sim
