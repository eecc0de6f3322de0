// TModbusTcpServer: server objects answering several Modbus TCP peers at
// once, each on a worker thread of its own, without the main thread.
//
// A connection in server mode serves one peer, the newest, and has each
// request answered on the main thread. A program whose main thread polls a
// line of its own (the console) serves a plant's many readers here instead:
// one thread takes the peers, and each peer gets a thread and a server object
// of its own, made by the factory on that thread, whose Answer builds every
// reply there. What a server object reads must therefore be safe to read from
// those threads (a copy under a lock, for instance).
//
// A peer that floods is answered one request at a time and slowed down by
// its own connection; a peer that stops reading its replies is dropped once a
// reply cannot be sent within SendTimeoutMs; a peer that begins a frame and
// does not complete it within FrameTimeoutMs is dropped, so that peers which
// send part of a header and fall silent cannot hold every place; a peer
// silent for IdleTimeoutMs is dropped; a malformed header costs that peer its
// staged characters, never the server. Its threads run at a lower priority
// than the program's own.
//
// A peer beyond MaxPeers waits, in the order of arrival, up to PlaceWaitMs
// for a place (longer than FrameTimeoutMs, so a place held by a half-sent
// frame is always free in time); then it is closed. Those the AcceptsPeer
// check refuses are closed at once. A refusal is logged with the peer's
// address the first time, then counted: one line a RefusalLogMs per address
// gives the count of those that followed, so a peer that dials again and
// again does not flood the log.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "modbus/server.h"
#include "platform/tcpdevice.h"

namespace regwire {

class TModbusTcpServer {
  public:
    // Makes the server object of one peer, on that peer's thread.
    using TServerFactory = std::function<std::unique_ptr<TModbusServer>(const std::string& peer)>;
    // Whether a peer with this numeric address is served (worker thread).
    using TPeerCheck = std::function<bool(const std::string& peer)>;
    // A line for the program's log (worker threads, one call at a time).
    using TLogEvent = std::function<void(const std::string& line)>;
    // Each frame as it is on the network, header and all, received or sent
    // (a peer's thread, one call at a time).
    using TWireFrameEvent =
        std::function<void(const std::uint8_t* frame, std::size_t count, bool sent)>;

    // The names of its threads.
    static constexpr const char* kAcceptThreadName = "mbtcp-accept";
    static constexpr const char* kPeerThreadName = "mbtcp-peer";

    struct TOptions {
        int MaxPeers = 8;
        std::uint32_t SendTimeoutMs = 2000;
        std::uint32_t FrameTimeoutMs = 2000;
        std::uint32_t IdleTimeoutMs = 60000;
        std::uint32_t PlaceWaitMs = 2500;
        std::uint32_t RefusalLogMs = 60000;
        // The nice value of its threads: above the program's own, so that
        // on a busy machine the program's own work (a kit's poll) comes
        // first.
        int Nice = 10;
        // Every unit identifier answered, the reply carrying it back (a
        // plant's map); else only the server object's address, and a
        // request for unit 0 carried out as a broadcast without a reply.
        bool EveryUnit = true;
    };

    // Listens on the endpoint (raises platform::ESerialError as
    // TTcpDevice::Listen does). Peers are taken once Start has run.
    TModbusTcpServer(const platform::TTcpEndpoint& endpoint, const std::string& name,
                     TServerFactory factory, TOptions options);
    // Stops taking peers, ends every peer's thread and waits for them.
    ~TModbusTcpServer();
    TModbusTcpServer(const TModbusTcpServer&) = delete;
    TModbusTcpServer& operator=(const TModbusTcpServer&) = delete;

    // Assign before Start.
    TPeerCheck AcceptsPeer;
    TLogEvent OnLog;
    TWireFrameEvent OnWireFrame;

    void Start();

    std::uint16_t LocalPort() const { return FListener->LocalPort(); }
    // Peers served now.
    int PeerCount() const;
    // Peers closed at once: not accepted, or one too many.
    std::uint64_t RefusedPeers() const { return FRefusedPeers; }

  private:
    struct TPeer;
    // A peer taken from the listener that waits for a place.
    struct TWaitingPeer {
        int Fd = -1;
        std::string Address;
        std::uint64_t DeadlineNs = 0;
    };
    // Refusals of one address since its last line in the log.
    struct TRefusals {
        std::uint64_t SinceNs = 0;
        std::uint64_t Count = 0;
        std::string_view Reason;
    };

    void NameAndYield(const char* name) const;
    void AcceptLoop();
    void Arrived(int fd, const std::string& address);
    void GivePlaces();
    std::uint32_t NextAcceptWaitMs() const;
    void Serve(TPeer& peer);
    void TakePeer(int fd, const std::string& address);
    void Refuse(int fd, const std::string& address, std::string_view reason);
    void LogRefusalCounts(bool all);
    void ReapEnded();
    std::string PeerLine(const std::string& peer, std::string_view text) const;
    void Log(const std::string& line);

    std::string FName;
    TServerFactory FFactory;
    TOptions FOptions;
    std::unique_ptr<platform::TTcpListener> FListener;
    std::thread FAcceptThread;
    std::atomic<bool> FStopping{false};
    std::atomic<std::uint64_t> FRefusedPeers{0};

    mutable std::mutex FPeersLock;
    std::list<std::unique_ptr<TPeer>> FPeers;
    std::mutex FLogLock;
    std::mutex FWireLock;
    // The accept thread's own.
    std::deque<TWaitingPeer> FWaiting;
    std::map<std::string, TRefusals> FRefusals;
    std::string FTooManyText;
};

}  // namespace regwire
