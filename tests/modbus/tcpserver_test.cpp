// TModbusTcpServer: several Modbus TCP peers at once, each answered on its
// own thread, and the peers it lets go: one too many, one that stays
// silent, one that stops taking its replies.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modbus/memoryserver.h"
#include "modbus/tcpserver.h"

using namespace regwire;

namespace {

class TcpServer : public ::testing::Test {
  protected:
    void Start(TModbusTcpServer::TOptions options, TModbusTcpServer::TPeerCheck check = {}) {
        server_ = std::make_unique<TModbusTcpServer>(
            platform::TTcpEndpoint{"127.0.0.1", 0}, "test",
            [](const std::string&) { return std::make_unique<TMemoryModbusServer>(200); }, options);
        server_->OnLog = [this](const std::string& line) {
            std::lock_guard lock(lock_);
            log_.push_back(line);
        };
        server_->AcceptsPeer = std::move(check);
        server_->Start();
    }
    void TearDown() override {
        for (const int fd : sockets_)
            close(fd);
        server_.reset();
    }

    // A connection to the server; a receive buffer given is set before the
    // connection is made, so the window the peer offers stays that small.
    int Dial(int receiveBuffer = 0) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server_->LocalPort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        sockets_.push_back(fd);
        return fd;
    }
    // A read of `count` holding registers from 0 with the transaction id.
    static void Ask(int fd, std::uint16_t id, std::uint8_t count = 1) {
        const std::uint8_t request[] = {static_cast<std::uint8_t>(id >> 8),
                                        static_cast<std::uint8_t>(id),
                                        0,
                                        0,
                                        0,
                                        6,
                                        1,
                                        3,
                                        0,
                                        0,
                                        0,
                                        count};
        send(fd, request, sizeof request, MSG_NOSIGNAL);
    }
    // The reply's bytes, or none when the connection closed or stayed quiet.
    static std::vector<std::uint8_t> Take(int fd, std::size_t size) {
        std::vector<std::uint8_t> reply(size);
        std::size_t got = 0;
        while (got < size) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0)
                return {};
            const ssize_t n = recv(fd, reply.data() + got, size - got, 0);
            if (n <= 0)
                return {};
            got += static_cast<std::size_t>(n);
        }
        return reply;
    }
    // Whether the server closed the connection (within a generous wait),
    // without taking what it sent before.
    static bool Closed(int fd) {
        pollfd p{fd, POLLRDHUP, 0};
        return poll(&p, 1, 60000) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    }
    bool Logged(const std::string& part) {
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard lock(lock_);
                for (const std::string& line : log_)
                    if (line.find(part) != std::string::npos)
                        return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::unique_ptr<TModbusTcpServer> server_;
    std::vector<int> sockets_;
    std::mutex lock_;
    std::vector<std::string> log_;
};

TEST_F(TcpServer, EachPeerIsAnsweredWithItsOwnTransactionAndUnit) {
    Start({});
    const int a = Dial();
    const int b = Dial();
    Ask(a, 0x0102);
    Ask(b, 0x0304);
    const auto ra = Take(a, 11);
    const auto rb = Take(b, 11);
    ASSERT_EQ(ra.size(), 11U);
    ASSERT_EQ(rb.size(), 11U);
    EXPECT_EQ(ra[0], 0x01);
    EXPECT_EQ(ra[1], 0x02);
    EXPECT_EQ(rb[0], 0x03);
    EXPECT_EQ(rb[1], 0x04);
    EXPECT_EQ(ra[6], 1);  // the unit asked for
    EXPECT_EQ(ra[7], 3);
    EXPECT_EQ(server_->PeerCount(), 2);
}

TEST_F(TcpServer, OnePeerTooManyWaitsForAPlaceThenIsClosedAndLogged) {
    TModbusTcpServer::TOptions options;
    options.MaxPeers = 2;
    options.PlaceWaitMs = 300;
    Start(options);
    const int a = Dial();
    const int b = Dial();
    Ask(a, 1);
    Ask(b, 2);
    ASSERT_EQ(Take(a, 11).size(), 11U);
    ASSERT_EQ(Take(b, 11).size(), 11U);
    const int c = Dial();
    EXPECT_TRUE(Closed(c));
    EXPECT_TRUE(Logged("test: 127.0.0.1: connection refused: 2 peers are served already"));
    EXPECT_EQ(server_->RefusedPeers(), 1U);
    // A place that comes free is taken by the next, which waited for it with
    // its request already sent.
    const int d = Dial();
    Ask(d, 4);
    close(a);
    sockets_.erase(sockets_.begin());
    EXPECT_EQ(Take(d, 11).size(), 11U);
}

// Peers that send part of a header and fall silent hold their places only
// for the frame time-out; a peer that came after them waits for a place,
// and is served as soon as they are gone.
TEST_F(TcpServer, PeersWithHalfSentFramesCannotShutOutAnother) {
    Start({});
    for (int i = 0; i < 8; ++i) {
        const std::uint8_t header[] = {0, 1, 0};
        send(Dial(), header, sizeof header, MSG_NOSIGNAL);
    }
    for (int i = 0; i < 100 && server_->PeerCount() < 8; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server_->PeerCount(), 8);
    const int ninth = Dial();
    const auto start = std::chrono::steady_clock::now();
    Ask(ninth, 9);
    EXPECT_EQ(Take(ninth, 11).size(), 11U);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_TRUE(Closed(sockets_[i])) << i;
    EXPECT_TRUE(
        Logged("test: 127.0.0.1: connection closed: a frame begun was not complete within 2 s"));
    EXPECT_EQ(server_->RefusedPeers(), 0U);
}

// A peer that dials again and again is logged once, then counted.
TEST_F(TcpServer, RefusalsOfOneAddressAreLoggedOnceAPeriodWithTheirCount) {
    TModbusTcpServer::TOptions options;
    options.RefusalLogMs = 1500;
    Start(options, [](const std::string&) { return false; });
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(Closed(Dial()));
    EXPECT_TRUE(Logged(
        "test: 127.0.0.1: connection refused: not an accepted peer; 4 more in the last 1 s"));
    std::lock_guard lock(lock_);
    EXPECT_EQ(std::count_if(log_.begin(), log_.end(),
                            [](const std::string& line) {
                                return line.find("not an accepted peer") != std::string::npos;
                            }),
              2);
    EXPECT_EQ(server_->RefusedPeers(), 5U);
}

TEST_F(TcpServer, ASilentPeerIsLetGo) {
    TModbusTcpServer::TOptions options;
    options.IdleTimeoutMs = 200;
    Start(options);
    const int a = Dial();
    EXPECT_TRUE(Closed(a));
    EXPECT_TRUE(Logged("connection closed: no request for 0 s"));
}

// A peer that sends and never reads: another peer is answered all along,
// and the one that stalls is let go, once a reply cannot be sent in time
// or, when the stream holds its requests back, once it has been silent.
TEST_F(TcpServer, APeerThatStopsTakingItsRepliesIsLetGoAndOthersAreServed) {
    TModbusTcpServer::TOptions options;
    options.SendTimeoutMs = 200;
    options.IdleTimeoutMs = 1000;
    Start(options);
    const int stalled = Dial(4096);
    const int other = Dial();
    std::thread flood([stalled] {
        // Far more replies than the two ends' buffers hold.
        for (int id = 0; id < 100000; ++id)
            Ask(stalled, static_cast<std::uint16_t>(id), 125);
    });
    for (std::uint16_t id = 0; id < 50; ++id) {
        Ask(other, id);
        ASSERT_EQ(Take(other, 11).size(), 11U) << id;
    }
    EXPECT_TRUE(Closed(stalled));
    flood.join();
    EXPECT_TRUE(Logged("test: 127.0.0.1: connection closed: "));
}

}  // namespace
