// Modbus TCP framing: the MBAP header (transaction identifier, protocol 0,
// length, unit identifier) on a network stream, instead of the CRC.
//
// TMbapDevice wraps the stream's device and shows the connection the frames
// it knows from the serial line: each Modbus TCP frame received becomes the
// unit identifier, the protocol data unit and a CRC, and each frame written
// loses its CRC and gains the header. The connection's reader, its
// transaction thread and every client and server object so work unchanged.
//
// Received frames are handed on one at a time: GetInputCount counts only the
// frame in hand, whole, so that a read of what is queued is one frame.
//
// A client numbers its requests; a reply whose transaction identifier is not
// that of the request in flight (a late reply to an attempt given up) is
// dropped unseen. A server answers with the identifier of the request it
// took last. A header that cannot be a Modbus TCP frame (another protocol, a
// length outside 2 to 254) is a line error: what was queued goes with it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "modbus/codec.h"
#include "platform/serialdevice.h"

namespace regwire {

class TMbapDevice final : public platform::TSerialDevice {
  public:
    TMbapDevice(std::unique_ptr<platform::TSerialDevice> stream, TConnectionMode mode);

    platform::TSerialDevice& Stream() { return *FStream; }

    // Each frame as it is on the network, header and all, once written and
    // once the connection has read the last of it; on the connection's
    // worker thread. For a tool that shows the bytes on the wire.
    std::function<void(const std::uint8_t* frame, std::size_t count, bool sent)> OnWireFrame;

    void ApplySettings(const platform::TSerialLineSettings& settings) override;
    bool WaitForInput(std::uint32_t timeoutMs) override;
    bool WaitForInputUs(std::uint64_t timeoutUs) override;
    void CutShortWait() override;
    bool GetInputCount(std::size_t& count) override;
    bool Read(std::uint8_t* buffer, std::size_t count) override;
    bool Write(const std::uint8_t* data, std::size_t count, std::uint32_t timeoutMs) override;
    void Purge(bool receive, bool transmit) override;
    bool SetRts(bool on) override;
    bool Drain() override;
    std::uint32_t Tick() const override;
    std::uint64_t TickUs() const override;

  private:
    void Pump();
    bool CutFrame();
    bool TakeLineError();
    void ShowReadFrame() const;
    std::size_t ReadyCount() const { return FReady.size() - FReadyAt; }

    std::unique_ptr<platform::TSerialDevice> FStream;
    TConnectionMode FMode;
    // Characters of the stream not yet cut into a frame.
    std::vector<std::uint8_t> FStaged;
    // The frame in hand, as on the serial line, and how much of it was read.
    std::vector<std::uint8_t> FReady;
    std::size_t FReadyAt = 0;
    std::uint16_t FReadyTransaction = 0;
    // A client's: the identifier of its last request. A server's: that of
    // the request it took last, which its reply carries.
    std::uint16_t FTransaction = 0;
    bool FInFlight = false;
    bool FLineError = false;
};

}  // namespace regwire
