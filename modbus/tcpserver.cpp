#include "modbus/tcpserver.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "modbus/codec.h"
#include "modbus/errors.h"
#include "modbus/mbapdevice.h"
#include "modbus/messages.h"
#include "platform/devicewait.h"

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
    FTooManyText = FormatMessage(msg::TooManyPeers, {FOptions.MaxPeers});
    while (!FStopping) {
        ReapEnded();
        GivePlaces();
        LogRefusalCounts(false);
        std::string address;
        // A peer that ends cuts this wait short, so a place it leaves is
        // given at once.
        const int fd = FListener->Accept(address, NextAcceptWaitMs());
        if (fd >= 0)
            Arrived(fd, address);
    }
    for (const TWaitingPeer& waiting : FWaiting)
        close(waiting.Fd);
    FWaiting.clear();
    LogRefusalCounts(true);
}

// A peer the check refuses is closed before a single request of it is read;
// one that finds every place taken waits its turn behind those before it.
void TModbusTcpServer::Arrived(int fd, const std::string& address) {
    if (AcceptsPeer && !AcceptsPeer(address)) {
        Refuse(fd, address, msg::PeerNotAllowed);
        return;
    }
    const bool full = PeerCount() >= FOptions.MaxPeers;
    if (!full && FWaiting.empty()) {
        TakePeer(fd, address);
        return;
    }
    // As many may wait as are served: a crowd beyond that learns at once.
    if (FWaiting.size() >= static_cast<std::size_t>(FOptions.MaxPeers)) {
        Refuse(fd, address, FTooManyText);
        return;
    }
    FWaiting.push_back(
        {fd, address, platform::MonotonicNs() + std::uint64_t{FOptions.PlaceWaitMs} * 1000000U});
}

// The first waiting peers take the places that are free; those whose wait
// has run out are refused.
void TModbusTcpServer::GivePlaces() {
    while (!FWaiting.empty() && PeerCount() < FOptions.MaxPeers) {
        TWaitingPeer waiting = FWaiting.front();
        FWaiting.pop_front();
        TakePeer(waiting.Fd, waiting.Address);
    }
    const std::uint64_t now = platform::MonotonicNs();
    while (!FWaiting.empty() && FWaiting.front().DeadlineNs <= now) {
        const TWaitingPeer waiting = FWaiting.front();
        FWaiting.pop_front();
        Refuse(waiting.Fd, waiting.Address, FTooManyText);
    }
}

// Until the first waiting peer's wait runs out or an address's count is
// due in the log, whichever comes first.
std::uint32_t TModbusTcpServer::NextAcceptWaitMs() const {
    std::uint64_t next = UINT64_MAX;
    if (!FWaiting.empty())
        next = FWaiting.front().DeadlineNs;
    for (const auto& [address, refusals] : FRefusals)
        next = std::min(next, refusals.SinceNs + std::uint64_t{FOptions.RefusalLogMs} * 1000000U);
    if (next == UINT64_MAX)
        return platform::kWaitForever;
    const std::uint64_t now = platform::MonotonicNs();
    // Rounded up: a wait that ends a moment early would find nothing due.
    return next <= now ? 0 : static_cast<std::uint32_t>((next - now + 999999U) / 1000000U);
}

void TModbusTcpServer::TakePeer(int fd, const std::string& address) {
    try {
        auto peer = std::make_unique<TPeer>();
        peer->Address = address;
        std::unique_ptr<platform::TTcpDevice> stream =
            platform::TTcpDevice::Adopt(fd, FName + " " + address);
        peer->Stream = stream.get();
        peer->Device = std::make_unique<TMbapDevice>(std::move(stream), cmServer);
        if (OnWireFrame)
            peer->Device->OnWireFrame = [this](const std::uint8_t* frame, std::size_t count,
                                               bool sent) {
                std::lock_guard lock(FWireLock);
                OnWireFrame(frame, count, sent);
            };
        TPeer& served = *peer;
        {
            std::lock_guard lock(FPeersLock);
            FPeers.push_back(std::move(peer));
        }
        served.Thread = std::thread([this, &served] { Serve(served); });
    } catch (const std::exception& e) {
        // No thread or device for this peer: it goes, the server stays.
        Log(PeerLine(address, e.what()));
    }
}

// Counted, and logged when it is the address's first for a while, before
// the peer sees its connection go.
void TModbusTcpServer::Refuse(int fd, const std::string& address, std::string_view reason) {
    ++FRefusedPeers;
    auto [it, first] = FRefusals.try_emplace(address);
    it->second.Reason = reason;
    if (first) {
        it->second.SinceNs = platform::MonotonicNs();
        Log(PeerLine(address, reason));
    } else {
        ++it->second.Count;
    }
    close(fd);
}

// Each address whose time is up (every one when `all`): the refusals since
// its last line, and a new period when there were any; an address that
// stopped dialling is forgotten.
void TModbusTcpServer::LogRefusalCounts(bool all) {
    const std::uint64_t now = platform::MonotonicNs();
    const std::uint64_t period = std::uint64_t{FOptions.RefusalLogMs} * 1000000U;
    for (auto it = FRefusals.begin(); it != FRefusals.end();) {
        TRefusals& refusals = it->second;
        if (!all && now < refusals.SinceNs + period) {
            ++it;
            continue;
        }
        if (refusals.Count == 0) {
            it = FRefusals.erase(it);
            continue;
        }
        const long long seconds = static_cast<long long>((now - refusals.SinceNs) / 1000000000U);
        Log(PeerLine(it->first,
                     std::string(refusals.Reason) +
                         FormatMessage(msg::RefusedAgain,
                                       {static_cast<long long>(refusals.Count), seconds})));
        refusals.Count = 0;
        refusals.SinceNs = now;
        ++it;
    }
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
        const TMbapDevice::TFrameWait wait =
            peer.Device->WaitForFrame(std::uint64_t{FOptions.IdleTimeoutMs} * 1000U,
                                      std::uint64_t{FOptions.FrameTimeoutMs} * 1000U);
        if (FStopping || !peer.Stream->HasPeer())
            break;
        if (wait == TMbapDevice::fwIdle) {
            Log(PeerLine(peer.Address,
                         FormatMessage(msg::PeerIdle, {FOptions.IdleTimeoutMs / 1000})));
            break;
        }
        if (wait == TMbapDevice::fwIncomplete) {
            Log(PeerLine(peer.Address, FormatMessage(msg::PeerFrameIncomplete,
                                                     {FOptions.FrameTimeoutMs / 1000})));
            break;
        }
        if (wait != TMbapDevice::fwFrame)
            continue;
        // A malformed header has cost the characters staged with it; the
        // peer may still send frames that can be read.
        std::size_t count = 0;
        peer.Device->GetInputCount(count);
        if (count == 0 || count > frame.size() || !peer.Device->Read(frame.data(), count))
            continue;
        codec.DecodeFrame(std::span<const std::uint8_t>(frame.data(), count), transaction.Request);
        if (!codec.IsValidFrame(transaction.Request))
            continue;
        // A plant's map knows no broadcast: unit 0 is answered like any
        // other, and every reply carries the unit it was asked for.
        const std::uint8_t unit = codec.GetFrameAddress(transaction.Request);
        if (FOptions.EveryUnit) {
            server->SetServerAddress(unit);
            transaction.Info.ServerAddress = unit == 0 ? 0xFF : unit;
        } else if (unit == 0 || server->AnswersAddress(unit)) {
            transaction.Info.ServerAddress = unit;
        } else {
            continue;  // another server's, as on a line of several
        }
        transaction.Reply.SetSize(0);
        try {
            server->Answer(transaction, codec);
        } catch (const std::exception& e) {
            server->ExceptionReply(transaction.Reply, codec.GetFunctionCode(transaction.Request),
                                   ecServerDeviceFailure);
            Log(PeerLine(peer.Address, e.what()));
        }
        // A broadcast is carried out and never answered.
        if (transaction.Reply.Size() == 0)
            continue;
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
    // The place is free: a peer waiting for one takes it now.
    FListener->CutShortWait();
}

}  // namespace regwire
