// The TCP device on loopback: a listening device and a dialling one are the
// two ends of a gateway's connection.
#include "platform/tcpdevice.h"

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <future>
#include <string>

using namespace platform;

namespace {

TTcpEndpoint Loopback(uint16_t port) {
    return {"127.0.0.1", port};
}

std::unique_ptr<TTcpDevice> Dial(const TTcpDevice& listener) {
    return TTcpDevice::Connect(Loopback(listener.LocalPort()), 3000, "gateway");
}

std::string Received(TSerialDevice& device, size_t count) {
    std::string text;
    while (text.size() < count && device.WaitForInput(3000)) {
        size_t queued = 0;
        device.GetInputCount(queued);
        std::string chunk(queued, '\0');
        device.Read(reinterpret_cast<uint8_t*>(chunk.data()), queued);
        text += chunk;
    }
    return text;
}

bool Send(TSerialDevice& device, const std::string& text) {
    return device.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 3000);
}

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

TEST(TcpEndpoint, ReadsHostAndPortAsAUserTypesThem) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
    };
    const Case cases[] = {
        {"127.0.0.1:5020", true, "127.0.0.1", 5020},
        {"gateway.lab", true, "gateway.lab", 502},
        {"[::1]:1502", true, "::1", 1502},
        {"[::1]", true, "::1", 502},
        {"host:0", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:", false, "", 0},
        {":502", false, "", 0},
        {"host:50x", false, "", 0},
        {"::1:502", false, "", 0},
        {"[::1:502", false, "", 0},
        {"[::1]502", false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TTcpEndpoint endpoint;
        ASSERT_EQ(ParseTcpEndpoint(c.text, 502, false, endpoint), c.ok);
        if (c.ok) {
            EXPECT_EQ(endpoint.Host, c.host);
            EXPECT_EQ(endpoint.Port, c.port);
        }
    }
    TTcpEndpoint any;
    EXPECT_TRUE(ParseTcpEndpoint("127.0.0.1:0", 502, true, any));
}

TEST(TcpDevice, AGatewayThatIsNotThereOrAPortTakenCannotBeOpened) {
    auto listener = TTcpDevice::Listen(Loopback(0), "server");
    const uint16_t port = listener->LocalPort();
    try {
        TTcpDevice::Listen(Loopback(port), "second server");
        FAIL() << "a port in use was listened on twice";
    } catch (const ESerialError& e) {
        EXPECT_EQ(e.Kind(), sePortBusy);
    }
    listener.reset();
    try {
        TTcpDevice::Connect(Loopback(port), 3000, "tcp://127.0.0.1");
        FAIL() << "a closed port was reached";
    } catch (const ESerialError& e) {
        EXPECT_EQ(e.Kind(), sePortMissing);
        EXPECT_EQ(std::string(e.what()).rfind("tcp://127.0.0.1: ", 0), 0u) << e.what();
    }
}

TEST(TcpDevice, CarriesCharactersBothWaysAndIgnoresLineSettings) {
    auto server = TTcpDevice::Listen(Loopback(0), "server");
    auto client = Dial(*server);
    TSerialLineSettings settings;
    settings.BitRate = 300;
    settings.Handshake = shRtsCts;
    EXPECT_NO_THROW(client->ApplySettings(settings));
    EXPECT_TRUE(client->SetRts(true));
    ASSERT_TRUE(Send(*client, "request"));
    EXPECT_TRUE(client->Drain());
    EXPECT_EQ(Received(*server, 7), "request");
    ASSERT_TRUE(Send(*server, "reply"));
    EXPECT_EQ(Received(*client, 5), "reply");
}

TEST(TcpDevice, ADropIsOneLineErrorAndTheNextWriteDialsAgain) {
    auto server = TTcpDevice::Listen(Loopback(0), "server");
    const uint16_t port = server->LocalPort();
    auto client = Dial(*server);
    ASSERT_TRUE(Send(*client, "a"));
    ASSERT_EQ(Received(*server, 1), "a");
    server.reset();

    // Down: a wait sleeps its time-out without using the processor, and a
    // write fails.
    const double cpu = ThreadCpuMs();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->WaitForInput(300));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_LT(ThreadCpuMs() - cpu, 50.0);
    size_t queued = 0;
    EXPECT_FALSE(client->GetInputCount(queued));
    EXPECT_TRUE(client->GetInputCount(queued));
    EXPECT_FALSE(Send(*client, "b"));

    // Back: after the back-off the next write reaches the new server.
    server = TTcpDevice::Listen(Loopback(port), "server");
    bool sent = false;
    for (int i = 0; i < 100 && !sent; ++i) {
        sent = Send(*client, "c");
        if (!sent)
            client->WaitForInput(50);
    }
    ASSERT_TRUE(sent);
    EXPECT_EQ(Received(*server, 1), "c");
}

TEST(TcpDevice, AListenerServesTheNewestPeer) {
    auto server = TTcpDevice::Listen(Loopback(0), "server");
    auto first = Dial(*server);
    ASSERT_TRUE(Send(*first, "1"));
    ASSERT_EQ(Received(*server, 1), "1");
    auto second = Dial(*server);
    ASSERT_TRUE(Send(*second, "2"));
    EXPECT_EQ(Received(*server, 1), "2");
    size_t queued = 0;
    EXPECT_TRUE(server->GetInputCount(queued));
    ASSERT_TRUE(Send(*server, "r"));
    EXPECT_EQ(Received(*second, 1), "r");
}

TEST(TcpDevice, AnEndlessWaitForAPeerEndsWhenCutShort) {
    auto server = TTcpDevice::Listen(Loopback(0), "server");
    auto waiting =
        std::async(std::launch::async, [&] { return server->WaitForInput(kWaitForever); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    server->CutShortWait();
    EXPECT_FALSE(waiting.get());
}
