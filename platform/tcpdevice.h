// A Modbus line reached through a serial-to-Ethernet gateway: a TCP stream
// served through the serial device interface, so that a connection, its
// transaction thread and every client work over it unchanged.
//
// Connect() dials a gateway (a client's side), Listen() waits for one peer at
// a time (a server's side; a newer peer takes over from the one before, so a
// peer that vanished without a goodbye never locks the others out), Adopt()
// serves one peer that a TTcpListener took, until that peer goes.
//
// Line settings, RTS and the transmitter drain have no meaning on a stream:
// they are taken and ignored. A dropped connection is a line error, reported
// once by GetInputCount or Read; waits while no peer is there sleep their
// time-out (cut short as usual), so a worker never spins on a gateway that is
// down. A dialled connection is made again by the next Write, no sooner than
// a back-off that grows while the gateway stays away.
#pragma once

#include "platform/devicewait.h"
#include "platform/inputqueue.h"
#include "platform/serialdevice.h"

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// A host and a TCP port.
struct TTcpEndpoint {
    std::string Host;
    uint16_t Port = 0;
};

// Reads "HOST:PORT", "[IPv6]:PORT", or HOST alone with defaultPort. False for
// an empty host, a port that is not a number from 1 to 65535 (0 too when
// allowZeroPort: a listener then takes any free port), or an unclosed bracket.
bool ParseTcpEndpoint(const std::string& text, uint16_t defaultPort, bool allowZeroPort,
                      TTcpEndpoint& endpoint);

class TTcpDevice final : public TSerialDevice {
  public:
    // Connects to endpoint within connectTimeoutMs. Raises ESerialError:
    // sePortMissing when the host is unknown, refuses or does not answer.
    // `name` begins every error text (the port as the user gave it).
    static std::unique_ptr<TTcpDevice> Connect(const TTcpEndpoint& endpoint,
                                               uint32_t connectTimeoutMs, const std::string& name);
    // Listens on endpoint. Raises ESerialError: sePortBusy when another
    // program listens there, seAccessDenied for a privileged port.
    static std::unique_ptr<TTcpDevice> Listen(const TTcpEndpoint& endpoint,
                                              const std::string& name);

    // Serves the connection of one peer taken by a TTcpListener (the device
    // owns the descriptor). Once that peer has gone, waits end at once
    // instead of waiting for another.
    static std::unique_ptr<TTcpDevice> Adopt(int socketFd, const std::string& name);

    ~TTcpDevice() override;

    // The port a listener took (the system's choice for port 0).
    uint16_t LocalPort() const;
    // Whether a peer is connected now (as far as the device has seen).
    bool HasPeer() const { return Socket_ >= 0; }
    // Closes the connection to the peer now, abortively: what the peer has
    // not taken goes with it instead of waiting in the system's buffers for
    // a peer that may never read (a listener listens on).
    void Disconnect();

    void ApplySettings(const TSerialLineSettings& settings) override;
    bool WaitForInput(uint32_t timeoutMs) override;
    bool WaitForInputUs(uint64_t timeoutUs) override;
    void CutShortWait() override;
    bool GetInputCount(size_t& count) override;
    bool Read(uint8_t* buffer, size_t count) override;
    bool Write(const uint8_t* data, size_t count, uint32_t timeoutMs) override;
    void Purge(bool receive, bool transmit) override;
    bool SetRts(bool on) override;
    bool Drain() override;
    uint32_t Tick() const override;
    uint64_t TickUs() const override;

  private:
    explicit TTcpDevice(std::string name);

    bool WaitUntil(uint64_t deadlineNs, bool noLimit);
    void Pull();
    void PullAnnounced();
    void Accept();
    void DropPeer();
    bool Dial(uint64_t deadlineNs, bool noLimit);
    size_t Queued() const { return Input_.Count(); }

    std::string Name_;
    int Socket_ = -1;
    int Listener_ = -1;
    TCutShortSignal CutShort_;
    // A dialling device's gateway, resolved once when it was first reached.
    sockaddr_storage Address_{};
    socklen_t AddressLength_ = 0;
    bool Dials_ = false;
    bool Adopted_ = false;
    // No new dial before this time (monotonic nanoseconds); the back-off
    // doubles with each failure up to its ceiling and resets on success.
    uint64_t NextDialNs_ = 0;
    uint32_t BackoffMs_ = 0;
    bool LineError_ = false;
    // Whether the socket may hold characters (or a close) not yet taken:
    // set by a poll that saw it readable, cleared by a read that took all
    // there was.
    bool Announced_ = true;
    TInputQueue Input_;
};

// A listening socket that takes several peers, each to be served on its own
// (TTcpDevice::Adopt), for a server that answers many clients at once.
class TTcpListener {
  public:
    // Raises ESerialError as TTcpDevice::Listen does.
    static std::unique_ptr<TTcpListener> Listen(const TTcpEndpoint& endpoint,
                                                const std::string& name);
    ~TTcpListener();
    TTcpListener(const TTcpListener&) = delete;
    TTcpListener& operator=(const TTcpListener&) = delete;

    // The port taken (the system's choice for port 0).
    uint16_t LocalPort() const;

    // Waits for the next peer, without limit for kWaitForever, and returns
    // its descriptor (non-blocking, close-on-exec, small frames sent at
    // once, a send buffer of some sixty replies) with the peer's numeric
    // address in `peerAddress` (an IPv4 peer on an IPv6 socket as plain
    // IPv4). -1 when the wait was cut short or its time ran out.
    int Accept(std::string& peerAddress, uint32_t timeoutMs = kWaitForever);
    // Any thread: ends the wait of Accept (or the next one).
    void CutShortWait();

  private:
    TTcpListener() = default;

    int Fd_ = -1;
    TCutShortSignal CutShort_;
};

// The numeric text of an address (sockaddr_in or sockaddr_in6); an
// IPv4-mapped IPv6 address is given as plain IPv4.
std::string NumericAddress(const sockaddr_storage& address);

}  // namespace platform
