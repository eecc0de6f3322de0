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
//
// At most two frames' worth of characters are taken from the stream ahead
// of the frame in hand; a peer that sends faster than it is answered is held
// back by its own connection, not by this device's memory.
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

    // How a wait for a whole frame ended.
    enum TFrameWait : std::uint8_t {
        fwFrame,       // a whole frame is in hand
        fwIdle,        // nothing of a frame came within the idle time
        fwIncomplete,  // a frame began and its rest did not come in time
        fwCutShort,    // cut short, or the stream's peer has gone
    };
    // Waits for a whole frame: at most idleUs while no character of one has
    // come, and at most frameUs from the wait that saw a frame's first
    // characters. A peer that sends part of a header and falls silent so
    // holds its server for frameUs, not for the idle time.
    TFrameWait WaitForFrame(std::uint64_t idleUs, std::uint64_t frameUs);

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
