// TDahsServer: the plant's register map served over Modbus TCP to several
// peers at once (a DAHS, a PLC, an engineer's tool), on worker threads of its
// own, so that whatever the peers do the kit's poll keeps its schedule.
//
// The kit's poller hands over a snapshot after each complete poll (Publish);
// it is encoded there, on the poller's thread, and the server only copies the
// registers under a lock, one whole copy per request, so a read of several
// registers never mixes two polls.
//
// Writes are refused with exception 1, and counted, unless control is
// allowed. With control a command that is incomplete or not sane is refused
// with exception 3, and so is one the owner's OnCommand does not take; either
// way nothing changes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "dahs/dahsmap.h"
#include "dahs/dahssettings.h"
#include "modbus/tcpserver.h"

namespace dahs {

// A command for the log, the status line and the journal: "apply 12.5 ng/l",
// "zero gas", "start plan 2 (…/plans/2.json)", "pause", "resume", "stop".
std::string DahsCommandText(const TDahsCommand& command);

class TDahsServer {
  public:
    // Whether the command is taken, with the reason when not. Called on a
    // peer's worker thread, one command at a time; the owner decides whether
    // the kit can do it (a wanted concentration it cannot reach is not
    // taken).
    using TCommandEvent = std::function<bool(const TDahsCommand& command, std::string& reason)>;
    // A line for the program's log (worker threads, one line at a time).
    using TLogEvent = std::function<void(const std::string& line)>;

    // Listens on the settings' address; raises EDahsSettingsError with the
    // system's reason when it cannot. Peers are served from Start on.
    explicit TDahsServer(const TDahsSettings& settings);
    ~TDahsServer();
    TDahsServer(const TDahsServer&) = delete;
    TDahsServer& operator=(const TDahsServer&) = delete;

    // Assign before Start.
    TCommandEvent OnCommand;
    TLogEvent OnLog;

    void Start();

    // Any thread: what the plant reads from now on.
    void Publish(const TDahsSnapshot& snapshot);

    // The server object of one peer, as each peer's thread makes it: its
    // Answer takes a request as an RTU frame. For driving the map without a
    // network (the fuzz target).
    std::unique_ptr<regwire::TModbusServer> NewPeerServer(const std::string& peer);

    std::uint16_t LocalPort() const { return FTcp->LocalPort(); }
    int PeerCount() const { return FTcp->PeerCount(); }
    std::uint64_t RefusedWrites() const { return FRefusedWrites; }
    std::uint64_t RefusedPeers() const { return FTcp->RefusedPeers(); }
    std::uint64_t CommandsTaken() const { return FCommandsTaken; }

  private:
    friend class TDahsPeerServer;
    using TInputRegisters = std::array<std::uint16_t, 33>;

    void CopyInputRegisters(TInputRegisters& to) const;
    bool TakeCommand(const TDahsCommandRegisters& registers, std::uint16_t code,
                     const std::string& peer);
    // The first refused write of a peer is logged; the rest are counted.
    void WriteRefused(const std::string& peer, bool firstOfPeer);
    void Log(const std::string& peer, const std::string& text);

    const TDahsSettings FSettings;
    std::unique_ptr<regwire::TModbusTcpServer> FTcp;

    mutable std::mutex FRegistersLock;
    TInputRegisters FRegisters{};

    std::mutex FCommandLock;
    std::mutex FLogLock;
    std::atomic<std::uint64_t> FRefusedWrites{0};
    std::atomic<std::uint64_t> FCommandsTaken{0};
};

}  // namespace dahs
