// The connection over a real pseudo-terminal pair, with a small instrument
// on the far end that answers reads of holding registers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine_helpers.h"
#include "modbus/transactionthread.h"

namespace regwire::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Answers function 3 for address 10 with register value = 2 x start
// register; stays silent when told to.
class TPtyInstrument {
  public:
    explicit TPtyInstrument(TTransmissionMode mode) : FMode(mode) {
        EXPECT_EQ(openpty(&Master, &FSlave, nullptr, nullptr, nullptr), 0);
        char name[64] = {};
        ttyname_r(FSlave, name, sizeof name);
        Path = name;
        FThread = std::thread([this] { Run(); });
    }
    ~TPtyInstrument() {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
        if (Master >= 0)
            close(Master);
        close(FSlave);
    }
    // The far end goes away (as when an adapter is pulled).
    void Vanish() {
        FStop = true;
        FThread.join();
        FThread = std::thread();
        close(Master);
        Master = -1;
        close(FSlave);
        FSlave = open("/dev/null", O_RDONLY);
    }

    int Master = -1;
    std::string Path;
    std::atomic<bool> Silent{false};
    std::atomic<int> Requests{0};

  private:
    void Run() {
        Bytes request;
        while (!FStop) {
            pollfd p{Master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0)
                continue;
            std::uint8_t chunk[600];
            const ssize_t n = read(Master, chunk, sizeof chunk);
            if (n <= 0)
                continue;
            request.insert(request.end(), chunk, chunk + n);
            if (!Complete(request))
                continue;
            ++Requests;
            const Bytes reply = Answer(request);
            request.clear();
            if (Silent)
                continue;
            const ssize_t written = write(Master, reply.data(), reply.size());
            EXPECT_EQ(written, static_cast<ssize_t>(reply.size()));
        }
    }
    bool Complete(const Bytes& request) const {
        if (FMode == tmRTU)
            return request.size() >= 8;
        return request.size() >= 2 && request[request.size() - 2] == '\r' && request.back() == '\n';
    }
    Bytes Answer(const Bytes& request) const {
        TModbusBuffer frame(256);
        TFrameCodec(FMode).DecodeFrame(request, frame);
        frame.SetPosition(2);
        const std::uint16_t value = static_cast<std::uint16_t>(frame.ReadWord() * 2);
        const Bytes pdu{10, 3, 2, static_cast<std::uint8_t>(value >> 8),
                        static_cast<std::uint8_t>(value)};
        return FMode == tmRTU ? Rtu(pdu) : Ascii(pdu);
    }

    TTransmissionMode FMode;
    int FSlave = -1;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

class PseudoTerminal : public ::testing::TestWithParam<TTransmissionMode> {};

TEST_P(PseudoTerminal, EveryReadIsAnsweredWithItsOwnValue) {
    App();
    TPtyInstrument instrument(GetParam());
    TModbusConnection c;
    TRecordingClient client(10);
    c.SetTransmissionMode(GetParam());
    c.SetPort(instrument.Path);
    c.SetCustomBaudRate(9600);
    c.RegisterClient(&client);
    c.Open();
    for (std::uint16_t reg = 0; reg < 20; ++reg)
        c.QueueTransaction(Request(c, &client, 3, reg, 1), &client);
    ASSERT_TRUE(SpinUntil([&] { return client.Done.size() == 20; }));
    for (std::size_t i = 0; i < 20; ++i) {
        EXPECT_EQ(client.Done[i].Status, tsSuccess) << i;
        EXPECT_EQ(client.Done[i].TransactionID, static_cast<std::int32_t>(i));
        const std::uint16_t value = static_cast<std::uint16_t>(i * 2);
        EXPECT_EQ(client.Replies[i][3], value >> 8);
        EXPECT_EQ(client.Replies[i][4], value & 0xFF);
    }
    c.Close();
}

TEST_P(PseudoTerminal, ASilentInstrumentIsAskedMaxRetriesTimes) {
    App();
    TPtyInstrument instrument(GetParam());
    instrument.Silent = true;
    TModbusConnection c;
    TRecordingClient client(10);
    c.SetTransmissionMode(GetParam());
    c.SetPort(instrument.Path);
    c.SetMaxRetries(2);
    c.SetReceiveTimeout(100);
    c.RegisterClient(&client);
    c.Open();
    c.QueueTransaction(Request(c, &client, 3, 5, 1), &client);
    ASSERT_TRUE(SpinUntil([&] { return client.Done.size() == 1; }));
    EXPECT_EQ(client.Done[0].Status, tsNoReply);
    EXPECT_EQ(client.Done[0].Attempts, 2);
    EXPECT_EQ(instrument.Requests.load(), 2);
}

INSTANTIATE_TEST_SUITE_P(Modes, PseudoTerminal, ::testing::Values(tmRTU, tmASCII),
                         [](const auto& info) { return info.param == tmRTU ? "RTU" : "ASCII"; });

// A port whose far end is gone makes every read fail at once; the thread
// must still take each attempt's time-out and stay asleep meanwhile.
TEST(PseudoTerminalVanished, AttemptsTimeOutAndTheThreadDoesNotSpin) {
    App();
    TPtyInstrument instrument(tmRTU);
    TModbusConnection c;
    TRecordingClient client(10);
    c.SetPort(instrument.Path);
    c.SetMaxRetries(2);
    c.SetReceiveTimeout(400);
    c.RegisterClient(&client);
    c.Open();
    instrument.Vanish();
    const auto cpuBefore = c.Thread()->CpuTime();
    const auto wallBefore = std::chrono::steady_clock::now();
    c.QueueTransaction(Request(c, &client, 3, 5, 1), &client);
    ASSERT_TRUE(SpinUntil([&] { return client.Done.size() == 1; }));
    const auto wall = std::chrono::steady_clock::now() - wallBefore;
    const auto cpu = c.Thread()->CpuTime() - cpuBefore;
    EXPECT_EQ(client.Done[0].Status, tsNoReply);
    EXPECT_EQ(client.Done[0].Attempts, 2);
    // Two whole time-outs went by, and the thread slept through them.
    EXPECT_GE(wall, std::chrono::milliseconds(2 * 400));
    EXPECT_LT(cpu * 10, wall);
    c.Close();
}

}  // namespace
}  // namespace regwire::test
