#include "modbus/tcpserver.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "modbus/codec.h"
#include "modbus/errors.h"
#include "modbus/mbapdevice.h"
#include "modbus/messages.h"

namespace regwire {

struct TModbusTcpServer::TPeer {
    std::string Address;
    platform::TTcpDevice* Stream = nullptr;  // owned by Device
    std::unique_ptr<TMbapDevice> Device;
    std::thread Thread;
    std::atomic<bool> Ended{false};
};

TModbusTcpServer::TModbusTcpServer(const platform::TTcpEndpoint& endpoint, const std::string& name,
                                   TServerFactory factory, TOptions options)
    : FName(name),
      FFactory(std::move(factory)),
      FOptions(options),
      FListener(platform::TTcpListener::Listen(endpoint, name)) {}

TModbusTcpServer::~TModbusTcpServer() {
    FStopping = true;
    FListener->CutShortWait();
    if (FAcceptThread.joinable())
        FAcceptThread.join();
    std::list<std::unique_ptr<TPeer>> peers;
    {
        std::lock_guard lock(FPeersLock);
        peers.swap(FPeers);
    }
    for (const auto& peer : peers)
        peer->Device->CutShortWait();
    for (const auto& peer : peers)
        peer->Thread.join();
}

void TModbusTcpServer::Start() {
    if (!FAcceptThread.joinable())
        FAcceptThread = std::thread([this] { AcceptLoop(); });
}

int TModbusTcpServer::PeerCount() const {
    std::lock_guard lock(FPeersLock);
    int count = 0;
    for (const auto& peer : FPeers)
        count += peer->Ended ? 0 : 1;
    return count;
}

std::string TModbusTcpServer::PeerLine(const std::string& peer, std::string_view text) const {
    return FName + ": " + peer + ": " + std::string(text);
}

void TModbusTcpServer::Log(const std::string& line) {
    std::lock_guard lock(FLogLock);
    if (OnLog)
        OnLog(line);
}

// The threads carry names, so that what the server costs can be told apart
// from the rest of the program (ps -L, /proc/PID/task/*/comm).
void TModbusTcpServer::NameAndYield(const char* name) const {
    pthread_setname_np(pthread_self(), name);
    // Raising one's own nice value needs no rights; a refusal leaves it.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), FOptions.Nice);
}

void TModbusTcpServer::AcceptLoop() {
    NameAndYield(kAcceptThreadName);
    while (!FStopping) {
        std::string address;
        const int fd = FListener->Accept(address);
        if (fd < 0)
            continue;
        ReapEnded();
        try {
            TakePeer(fd, address);
        } catch (const std::exception& e) {
            // No thread or device for this peer: it goes, the server stays.
            Log(PeerLine(address, e.what()));
        }
    }
}

// A peer the check refuses, or one beyond the limit, is closed before a
// single request of it is read.
void TModbusTcpServer::TakePeer(int fd, const std::string& address) {
    // Counted and logged before the peer sees its connection go.
    if (AcceptsPeer && !AcceptsPeer(address)) {
        ++FRefusedPeers;
        Log(PeerLine(address, msg::PeerNotAllowed));
        close(fd);
        return;
    }
    if (PeerCount() >= FOptions.MaxPeers) {
        ++FRefusedPeers;
        Log(PeerLine(address, FormatMessage(msg::TooManyPeers, {FOptions.MaxPeers})));
        close(fd);
        return;
    }
    auto peer = std::make_unique<TPeer>();
    peer->Address = address;
    std::unique_ptr<platform::TTcpDevice> stream =
        platform::TTcpDevice::Adopt(fd, FName + " " + address);
    peer->Stream = stream.get();
    peer->Device = std::make_unique<TMbapDevice>(std::move(stream), cmServer);
    TPeer& served = *peer;
    {
        std::lock_guard lock(FPeersLock);
        FPeers.push_back(std::move(peer));
    }
    served.Thread = std::thread([this, &served] { Serve(served); });
}

// The threads of peers that have gone are joined by the next peer's arrival,
// so a plant that reconnects all day keeps no dead threads.
void TModbusTcpServer::ReapEnded() {
    std::list<std::unique_ptr<TPeer>> ended;
    {
        std::lock_guard lock(FPeersLock);
        for (auto it = FPeers.begin(); it != FPeers.end();) {
            if ((*it)->Ended && (*it)->Thread.joinable()) {
                ended.push_back(std::move(*it));
                it = FPeers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& peer : ended)
        peer->Thread.join();
}

void TModbusTcpServer::Serve(TPeer& peer) {
    NameAndYield(kPeerThreadName);
    const TFrameCodec codec(tmRTU, cmServer);
    std::unique_ptr<TModbusServer> server;
    try {
        server = FFactory(peer.Address);
    } catch (const std::exception& e) {
        Log(PeerLine(peer.Address, e.what()));
    }
    TModbusTransaction transaction(codec.MaxADUSize());
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(codec.FrameBufferSize()));
    while (server && !FStopping) {
        const bool arrived = peer.Device->WaitForInput(FOptions.IdleTimeoutMs);
        if (FStopping || !peer.Stream->HasPeer())
            break;
        if (!arrived) {
            Log(PeerLine(peer.Address,
                         FormatMessage(msg::PeerIdle, {FOptions.IdleTimeoutMs / 1000})));
            break;
        }
        // A malformed header has cost the characters staged with it; the
        // peer may still send frames that can be read.
        std::size_t count = 0;
        peer.Device->GetInputCount(count);
        if (count == 0 || count > frame.size() || !peer.Device->Read(frame.data(), count))
            continue;
        codec.DecodeFrame(std::span<const std::uint8_t>(frame.data(), count), transaction.Request);
        if (!codec.IsValidFrame(transaction.Request))
            continue;
        // Over Modbus TCP no request is a broadcast: unit 0 is answered like
        // any other, and every reply carries the unit it was asked for.
        const std::uint8_t unit = codec.GetFrameAddress(transaction.Request);
        server->SetServerAddress(unit);
        transaction.Info.ServerAddress = unit == 0 ? 0xFF : unit;
        transaction.Reply.SetSize(0);
        try {
            server->Answer(transaction, codec);
        } catch (const std::exception& e) {
            server->ExceptionReply(transaction.Reply, codec.GetFunctionCode(transaction.Request),
                                   ecServerDeviceFailure);
            Log(PeerLine(peer.Address, e.what()));
        }
        const int length = codec.EncodeFrame(transaction.Reply, frame);
        if (length > 0 && !peer.Device->Write(frame.data(), static_cast<std::size_t>(length),
                                              FOptions.SendTimeoutMs)) {
            Log(PeerLine(peer.Address, msg::PeerStalled));
            break;
        }
    }
    // Destroyed on the thread that made it; the peer sees its connection go
    // at once, not when the thread is joined.
    server.reset();
    peer.Stream->Disconnect();
    peer.Ended = true;
}

}  // namespace regwire
