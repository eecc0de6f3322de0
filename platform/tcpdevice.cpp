#include "platform/tcpdevice.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

namespace platform {

namespace {

// The first retry after a drop goes at once; each failed dial then waits
// longer, up to this, before the next.
constexpr uint32_t kFirstBackoffMs = 100;
constexpr uint32_t kLastBackoffMs = 2000;

ESerialError Failure(TSerialErrorKind kind, int errorNumber, const std::string& name) {
    return ESerialError(kind, errorNumber,
                        name + ": " + std::system_category().message(errorNumber));
}

addrinfo* Resolve(const TTcpEndpoint& endpoint, bool passive, const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* found = nullptr;
    const std::string service = std::to_string(endpoint.Port);
    const int error = getaddrinfo(endpoint.Host.c_str(), service.c_str(), &hints, &found);
    if (error != 0)
        throw ESerialError(sePortMissing, 0, name + ": " + gai_strerror(error));
    return found;
}

int NewSocket(int family) {
    return socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// A request of a few bytes must leave at once, not wait for the reply to the
// previous one (Nagle's rule would hold it back).
void SendAtOnce(int socketFd) {
    const int on = 1;
    setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A peer asks and is answered one frame at a time, a frame of at most a few
// hundred bytes: some sixty of them waiting for a peer are plenty. A peer
// that stops taking its replies is then noticed after those, not after the
// megabytes the system would let it hold back.
void HoldFewReplies(int socketFd) {
    const int size = 16 * 1024;
    setsockopt(socketFd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

}  // namespace

bool ParseTcpEndpoint(const std::string& text, uint16_t defaultPort, bool allowZeroPort,
                      TTcpEndpoint& endpoint) {
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos)
            return false;
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return false;
        port = rest.empty() ? std::string() : rest.substr(1);
        if (!rest.empty() && port.empty())
            return false;
    } else {
        const size_t colon = text.rfind(':');
        if (colon != std::string::npos && text.find(':') != colon)
            return false;  // an IPv6 address needs its brackets
        host = text.substr(0, colon);
        if (colon != std::string::npos) {
            port = text.substr(colon + 1);
            if (port.empty())
                return false;
        }
    }
    if (host.empty())
        return false;
    unsigned number = defaultPort;
    if (!port.empty()) {
        const char* end = port.data() + port.size();
        const auto [stop, error] = std::from_chars(port.data(), end, number);
        if (error != std::errc() || stop != end || number > 65535)
            return false;
    }
    if (number == 0 && !allowZeroPort)
        return false;
    endpoint.Host = host;
    endpoint.Port = static_cast<uint16_t>(number);
    return true;
}

TTcpDevice::TTcpDevice(std::string name) : Name_(std::move(name)) {
    if (CutShort_.Fd() < 0)
        throw Failure(seSystem, errno, Name_);
}

TTcpDevice::~TTcpDevice() {
    if (Socket_ >= 0)
        close(Socket_);
    if (Listener_ >= 0)
        close(Listener_);
}

std::unique_ptr<TTcpDevice> TTcpDevice::Connect(const TTcpEndpoint& endpoint,
                                                uint32_t connectTimeoutMs,
                                                const std::string& name) {
    std::unique_ptr<TTcpDevice> device(new TTcpDevice(name));
    device->Dials_ = true;
    addrinfo* found = Resolve(endpoint, false, name);
    int lastError = ECONNREFUSED;
    const uint64_t deadline = MonotonicNs() + uint64_t{connectTimeoutMs} * 1000000U;
    for (addrinfo* a = found; a != nullptr && device->Socket_ < 0; a = a->ai_next) {
        std::memcpy(&device->Address_, a->ai_addr, a->ai_addrlen);
        device->AddressLength_ = a->ai_addrlen;
        if (!device->Dial(deadline, false))
            lastError = errno != 0 ? errno : ETIMEDOUT;
    }
    freeaddrinfo(found);
    if (device->Socket_ < 0)
        throw Failure(sePortMissing, lastError, name);
    return device;
}

namespace {

// A listening socket on the endpoint's first address that takes it.
// Raises ESerialError: sePortBusy when another program listens there,
// seAccessDenied for a privileged port.
int ListeningSocket(const TTcpEndpoint& endpoint, int backlog, const std::string& name) {
    addrinfo* found = Resolve(endpoint, true, name);
    int lastError = EADDRNOTAVAIL;
    int listener = -1;
    for (addrinfo* a = found; a != nullptr && listener < 0; a = a->ai_next) {
        const int fd = NewSocket(a->ai_family);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        // A server started again at once may take its port back from the
        // connections of its previous run that are still closing.
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, backlog) == 0) {
            listener = fd;
        } else {
            lastError = errno;
            close(fd);
        }
    }
    freeaddrinfo(found);
    if (listener < 0) {
        const TSerialErrorKind kind = lastError == EADDRINUSE ? sePortBusy
                                      : lastError == EACCES   ? seAccessDenied
                                                              : seSystem;
        throw Failure(kind, lastError, name);
    }
    return listener;
}

uint16_t LocalPortOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

}  // namespace

std::unique_ptr<TTcpDevice> TTcpDevice::Listen(const TTcpEndpoint& endpoint,
                                               const std::string& name) {
    std::unique_ptr<TTcpDevice> device(new TTcpDevice(name));
    device->Listener_ = ListeningSocket(endpoint, 4, name);
    return device;
}

std::unique_ptr<TTcpDevice> TTcpDevice::Adopt(int socketFd, const std::string& name) {
    std::unique_ptr<TTcpDevice> device;
    try {
        device.reset(new TTcpDevice(name));
    } catch (...) {
        close(socketFd);
        throw;
    }
    device->Socket_ = socketFd;
    device->Adopted_ = true;
    return device;
}

uint16_t TTcpDevice::LocalPort() const {
    return LocalPortOf(Listener_ >= 0 ? Listener_ : Socket_);
}

// One non-blocking connect to the resolved gateway, until the deadline or a
// cut-short wait. False (errno set) when it was not made.
bool TTcpDevice::Dial(uint64_t deadlineNs, bool noLimit) {
    const int fd = NewSocket(Address_.ss_family);
    if (fd < 0)
        return false;
    int error = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&Address_), AddressLength_) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd fds[2] = {{fd, POLLOUT, 0}, {CutShort_.Fd(), POLLIN, 0}};
            int ready = 0;
            do {
                const timespec limit = TimeLeft(deadlineNs);
                ready = ppoll(fds, 2, noLimit ? nullptr : &limit, nullptr);
            } while (ready < 0 && errno == EINTR);
            socklen_t size = sizeof error;
            if (ready <= 0 || (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
                error = ETIMEDOUT;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
            if ((fds[1].revents & POLLIN) != 0)
                CutShort_.Take();
        }
    }
    if (error != 0) {
        close(fd);
        BackoffMs_ = BackoffMs_ == 0 ? kFirstBackoffMs : std::min(BackoffMs_ * 2, kLastBackoffMs);
        NextDialNs_ = MonotonicNs() + uint64_t{BackoffMs_} * 1000000U;
        errno = error;
        return false;
    }
    SendAtOnce(fd);
    Socket_ = fd;
    Announced_ = true;
    BackoffMs_ = 0;
    NextDialNs_ = 0;
    // The drop before belongs to the connection that went, not to the
    // frame about to go on this one.
    LineError_ = false;
    return true;
}

void TTcpDevice::Disconnect() {
    if (Socket_ < 0)
        return;
    const linger abort{1, 0};
    setsockopt(Socket_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    DropPeer();
}

void TTcpDevice::DropPeer() {
    if (Socket_ < 0)
        return;
    close(Socket_);
    Socket_ = -1;
    LineError_ = true;
}

// A listener serves the newest peer: whoever connects now is the one whose
// requests will come.
void TTcpDevice::Accept() {
    const int fd = accept4(Listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (Socket_ >= 0)
        close(Socket_);
    SendAtOnce(fd);
    Socket_ = fd;
    Announced_ = true;
    Input_.Clear();
    // The drop of the peer before belongs to its own requests.
    LineError_ = false;
}

// Moves what the socket holds into the queue, and notes a closed peer.
void TTcpDevice::Pull() {
    Announced_ = true;
    PullAnnounced();
}

// Pull, but only when the socket may hold something not yet taken: a read
// that would only learn that nothing came costs a call into the kernel, and
// the next wait's poll says when something does.
void TTcpDevice::PullAnnounced() {
    while (Socket_ >= 0 && Announced_) {
        const std::span<uint8_t> space = Input_.Space();
        if (space.empty())
            return;
        const ssize_t n = recv(Socket_, space.data(), space.size(), MSG_DONTWAIT);
        if (n > 0) {
            Input_.Added(static_cast<size_t>(n));
            // A read that left room took all the stream had.
            if (static_cast<size_t>(n) < space.size())
                Announced_ = false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Announced_ = false;
            return;
        }
        DropPeer();  // the peer closed the connection, or it was reset
    }
}

void TTcpDevice::CutShortWait() {
    CutShort_.Raise();
}

bool TTcpDevice::WaitForInput(uint32_t timeoutMs) {
    const bool noLimit = timeoutMs == kWaitForever;
    return WaitUntil(MonotonicNs() + (noLimit ? 0 : uint64_t{timeoutMs} * 1000000U), noLimit);
}

bool TTcpDevice::WaitForInputUs(uint64_t timeoutUs) {
    return WaitUntil(MonotonicNs() + timeoutUs * 1000U, false);
}

// Without a peer the wait sleeps (a listener meanwhile takes whoever
// connects); a drop in the middle of it does not end it early, so that a
// worker's pauses keep their length.
bool TTcpDevice::WaitUntil(uint64_t deadlineNs, bool noLimit) {
    PullAnnounced();
    if (Queued() > 0)
        return true;
    // An adopted peer that went has no successor to wait for.
    if (Adopted_ && Socket_ < 0)
        return false;
    for (;;) {
        pollfd fds[3] = {{CutShort_.Fd(), POLLIN, 0}, {Socket_, POLLIN, 0}, {Listener_, POLLIN, 0}};
        const timespec limit = TimeLeft(deadlineNs);
        const int ready = ppoll(fds, 3, noLimit ? nullptr : &limit, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return false;
        if ((fds[0].revents & POLLIN) != 0 && CutShort_.Take())
            return false;
        if (ready == 0)
            return false;
        if ((fds[2].revents & POLLIN) != 0)
            Accept();
        if (fds[1].revents != 0)
            Pull();
        if (Queued() > 0)
            return true;
        if (Adopted_ && Socket_ < 0)
            return false;
    }
}

bool TTcpDevice::GetInputCount(size_t& count) {
    if (Queued() == 0)
        PullAnnounced();
    count = Queued();
    const bool lineError = LineError_;
    LineError_ = false;
    return !lineError;
}

bool TTcpDevice::Read(uint8_t* buffer, size_t count) {
    if (Queued() < count)
        PullAnnounced();
    if (Queued() < count)
        return false;
    Input_.Take(buffer, count);
    const bool lineError = LineError_;
    LineError_ = false;
    return !lineError;
}

bool TTcpDevice::Write(const uint8_t* data, size_t count, uint32_t timeoutMs) {
    const bool noLimit = timeoutMs == kWaitForever;
    const uint64_t deadline = MonotonicNs() + (noLimit ? 0 : uint64_t{timeoutMs} * 1000000U);
    // A peer that left is noticed here rather than by a failed send later.
    Pull();
    if (Socket_ < 0) {
        if (!Dials_ || MonotonicNs() < NextDialNs_ || !Dial(deadline, noLimit))
            return false;
        Input_.Clear();
    }
    size_t sent = 0;
    while (sent < count) {
        const ssize_t n = send(Socket_, data + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            DropPeer();
            return false;
        }
        pollfd out{Socket_, POLLOUT, 0};
        const timespec limit = TimeLeft(deadline);
        const int ready = ppoll(&out, 1, noLimit ? nullptr : &limit, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            // Half a frame is in the stream: the peer can no longer tell
            // where the next one starts, so the connection goes, and with
            // it what the peer did not take.
            if (sent > 0)
                Disconnect();
            return false;
        }
    }
    return true;
}

void TTcpDevice::Purge(bool receive, bool /*transmit*/) {
    // What the socket holds goes too; sent characters are the stream's.
    if (!receive)
        return;
    Pull();
    Input_.Clear();
}

bool TTcpDevice::SetRts(bool) {
    return true;
}

bool TTcpDevice::Drain() {
    return true;
}

void TTcpDevice::ApplySettings(const TSerialLineSettings&) {}

uint32_t TTcpDevice::Tick() const {
    return TickCount();
}

uint64_t TTcpDevice::TickUs() const {
    return MonotonicNs() / 1000U;
}

// --- A listener for several peers ---

std::string NumericAddress(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            inet_ntop(AF_INET, in6.sin6_addr.s6_addr + 12, text, sizeof text);
            return text;
        }
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        return text;
    }
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text,
                  sizeof text);
        return text;
    }
    return {};
}

std::unique_ptr<TTcpListener> TTcpListener::Listen(const TTcpEndpoint& endpoint,
                                                   const std::string& name) {
    std::unique_ptr<TTcpListener> listener(new TTcpListener());
    if (listener->CutShort_.Fd() < 0)
        throw Failure(seSystem, errno, name);
    listener->Fd_ = ListeningSocket(endpoint, 16, name);
    return listener;
}

TTcpListener::~TTcpListener() {
    if (Fd_ >= 0)
        close(Fd_);
}

uint16_t TTcpListener::LocalPort() const {
    return LocalPortOf(Fd_);
}

void TTcpListener::CutShortWait() {
    CutShort_.Raise();
}

int TTcpListener::Accept(std::string& peerAddress, uint32_t timeoutMs) {
    const bool noLimit = timeoutMs == kWaitForever;
    const uint64_t deadline = MonotonicNs() + (noLimit ? 0 : uint64_t{timeoutMs} * 1000000U);
    for (;;) {
        pollfd fds[2] = {{CutShort_.Fd(), POLLIN, 0}, {Fd_, POLLIN, 0}};
        const timespec limit = TimeLeft(deadline);
        const int ready = ppoll(fds, 2, noLimit ? nullptr : &limit, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || ((fds[0].revents & POLLIN) != 0 && CutShort_.Take()))
            return -1;
        if ((fds[1].revents & POLLIN) == 0)
            continue;
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = accept4(Fd_, reinterpret_cast<sockaddr*>(&address), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        // A peer that gave up before it was taken leaves nothing to serve.
        if (fd < 0)
            continue;
        SendAtOnce(fd);
        HoldFewReplies(fd);
        peerAddress = NumericAddress(address);
        return fd;
    }
}

}  // namespace platform
