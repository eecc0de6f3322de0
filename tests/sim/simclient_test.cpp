// vapcal-sim against the project's own Modbus client, as the console talks
// to the kit: the read sequence after a port selection, and the line faults
// the options inject, counted by transaction status.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "modbus/client.h"
#include "modbus/connection.h"
#include "simprocess.h"

namespace {

using namespace regwire;

// One finished request as the client reported it.
struct TDone {
    TTransactionStatus Status;
    std::uint16_t Start;
    TRegValues Values;
    std::uint8_t ExceptionCode;
};

class SimClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "simclient_tests";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr)
            new QCoreApplication(argc, argv);
    }

    // Opens the console's line settings on the sim's device.
    void Open(TSimProcess& sim, std::uint32_t receiveTimeout = 1000) {
        ASSERT_FALSE(sim.Device.empty());
        Line = std::make_unique<TModbusConnection>();
        Line->SetBaudRate(br9600);
        Line->SetDataBits(db8);
        Line->SetParity(psEven);
        Line->SetStopBits(sb1);
        Line->SetTransmissionMode(tmRTU);
        Line->SetReceiveTimeout(receiveTimeout);
        Line->SetPort(sim.Device);
        Line->OnFrameReceive = [this](TModbusConnection*, const TFrameData& frame) {
            if (!frame.empty())
                ReceivedFrom.push_back(frame[0]);
        };
        Line->Open();
        for (std::uint8_t address : {10, 11, 20}) {
            auto client = std::make_unique<TModbusClient>();
            client->SetServerAddress(address);
            client->SetConnection(Line.get());
            client->OnHoldingRegistersRead =
                [this, address](TModbusClient*, const TTransactionInfo& info, std::uint16_t start,
                                std::uint16_t, const TRegValues& values) {
                    Done[address].push_back({info.Status, start, values, info.ExceptionCode});
                };
            client->OnSingleRegisterWrite = [this, address](TModbusClient*,
                                                            const TTransactionInfo& info,
                                                            std::uint16_t reg, std::uint16_t) {
                Done[address].push_back({info.Status, reg, {}, info.ExceptionCode});
            };
            Clients[address] = std::move(client);
        }
    }

    void TearDown() override {
        Clients.clear();
        Line.reset();
    }

    size_t DoneCount() const {
        size_t n = 0;
        for (const auto& [address, done] : Done)
            n += done.size();
        return n;
    }

    // Runs the event loop until count requests have finished.
    bool RunUntilDone(size_t count, int limitMs = 30000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (DoneCount() < count && std::chrono::steady_clock::now() < end) {
            QEventLoop loop;
            QTimer::singleShot(10, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return DoneCount() >= count;
    }

    std::unique_ptr<TModbusConnection> Line;
    std::map<std::uint8_t, std::unique_ptr<TModbusClient>> Clients;
    std::map<std::uint8_t, std::vector<TDone>> Done;
    // The address byte of every frame that arrived.
    std::vector<std::uint8_t> ReceivedFrom;
};

// The kit on its pseudo-terminal, and behind a network gateway in either
// framing (vapcal-sim --listen).
class SimLineTest : public SimClientTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SimLineTest, AnswersTheConsolesReadSequenceAfterAPortSelection) {
    const std::string listen = GetParam();
    TSimProcess sim(listen.empty() ? std::vector<std::string>{}
                                   : std::vector<std::string>{"--listen", listen});
    if (!listen.empty()) {
        EXPECT_EQ(sim.Device.rfind(listen.substr(0, listen.size() - 1), 0), 0u) << sim.Device;
    }
    Open(sim);
    TModbusClient& rf = *Clients[10];
    TModbusClient& df = *Clients[11];
    TModbusClient& tc = *Clients[20];
    rf.ReadHoldingRegisters(33128, 2);
    rf.ReadHoldingRegisters(47, 1);
    df.ReadHoldingRegisters(33128, 2);
    df.ReadHoldingRegisters(47, 1);
    tc.ReadHoldingRegisters(148, 1);
    tc.ReadHoldingRegisters(150, 1);
    rf.WriteSingleRegister(34, 400);
    rf.ReadHoldingRegisters(33, 1);
    df.WriteSingleRegister(34, 400);
    df.ReadHoldingRegisters(33, 1);
    tc.ReadHoldingRegisters(127, 1);
    ASSERT_TRUE(RunUntilDone(11));

    for (const auto& [address, done] : Done)
        for (const TDone& d : done)
            EXPECT_EQ(d.Status, tsSuccess) << int(address) << " register " << d.Start;
    ASSERT_EQ(Done[10].size(), 4u);
    EXPECT_EQ(Done[10][0].Values, (TRegValues{0x41A0, 0x0000}));
    EXPECT_EQ(Done[10][1].Values, (TRegValues{2}));
    EXPECT_EQ(Done[10][3].Values, (TRegValues{9600}));
    ASSERT_EQ(Done[11].size(), 4u);
    EXPECT_EQ(Done[11][1].Values, (TRegValues{0}));
    EXPECT_EQ(Done[11][3].Values, (TRegValues{16000}));
    ASSERT_EQ(Done[20].size(), 3u);
    EXPECT_EQ(Done[20][0].Values, (TRegValues{600}));
    EXPECT_EQ(Done[20][1].Values, (TRegValues{300}));
    EXPECT_EQ(Done[20][2].Values, (TRegValues{400}));

    EXPECT_EQ(sim.ReadLine(2000), "server 10: register 34 := 400");
    EXPECT_EQ(sim.ReadLine(2000), "server 11: register 34 := 400");
}

INSTANTIATE_TEST_SUITE_P(Lines, SimLineTest,
                         ::testing::Values("", "tcp://127.0.0.1:0", "mbtcp://127.0.0.1:0"),
                         [](const auto& info) {
                             const std::string listen = info.param;
                             return listen.empty()                 ? std::string("PseudoTerminal")
                                    : listen.starts_with("tcp://") ? std::string("RtuOverTcp")
                                                                   : std::string("ModbusTcp");
                         });

TEST_F(SimClientTest, RefusesTheSetPointOutsideTheHandshakeWithAnException) {
    TSimProcess sim({"--bit-rate", "0"});
    Open(sim);
    Clients[20]->WriteSingleRegister(127, 455);
    ASSERT_TRUE(RunUntilDone(1));
    EXPECT_EQ(Done[20][0].Status, tsException);
    EXPECT_EQ(Done[20][0].ExceptionCode, 3);
}

// Every request meets the same fault; the client reports it as this status.
struct TFaultCase {
    const char* Option;
    TTransactionStatus Status;
    int RepliesFrom;  // the address the replies come from; 0 for none
};

class SimFaultTest : public SimClientTest, public ::testing::WithParamInterface<TFaultCase> {};

TEST_P(SimFaultTest, EveryRequestMeetsTheFault) {
    TSimProcess sim({GetParam().Option, "100", "--bit-rate", "0"});
    Open(sim, 200);
    for (int i = 0; i < 3; ++i)
        Clients[10]->ReadHoldingRegisters(32, 1);
    ASSERT_TRUE(RunUntilDone(3));
    for (const TDone& d : Done[10])
        EXPECT_EQ(d.Status, GetParam().Status);
    if (GetParam().RepliesFrom == 0) {
        EXPECT_TRUE(ReceivedFrom.empty());
        return;
    }
    ASSERT_GE(ReceivedFrom.size(), 3u);
    for (std::uint8_t address : ReceivedFrom)
        EXPECT_EQ(address, GetParam().RepliesFrom);
}

INSTANTIATE_TEST_SUITE_P(Options, SimFaultTest,
                         ::testing::Values(TFaultCase{"--no-reply", tsNoReply, 0},
                                           TFaultCase{"--bad-crc", tsBadFrame, 10},
                                           // A reply from a foreign address is
                                           // ignored and the client listens on
                                           // until its time-out, as on a
                                           // shared bus.
                                           TFaultCase{"--wrong-address", tsNoReply, 11},
                                           TFaultCase{"--exception", tsException, 10}));

// The fault log names what the line did to each request, in order, with the
// request as sent; each line's fault is the status the client saw.
TEST_F(SimClientTest, FaultLogNamesEachRequestsFaultInOrder) {
    const std::string log = (std::filesystem::temp_directory_path() /
                             ("vapcal-faultlog-" + std::to_string(getpid()) + ".txt"))
                                .string();
    {
        TSimProcess sim({"--no-reply", "20", "--bad-crc", "20", "--wrong-address", "20",
                         "--exception", "20", "--seed", "5", "--bit-rate", "0", "--fault-log",
                         log});
        Open(sim, 150);
        constexpr int kRequests = 25;
        for (int i = 0; i < kRequests; ++i)
            Clients[10]->ReadHoldingRegisters(32, 1);
        ASSERT_TRUE(RunUntilDone(kRequests, 60000));
        EXPECT_EQ(sim.Stop(), 0);
    }
    const std::map<std::string, TTransactionStatus> statusOf = {{"none", tsSuccess},
                                                                {"no-reply", tsNoReply},
                                                                {"bad-crc", tsBadFrame},
                                                                {"wrong-address", tsNoReply},
                                                                {"exception", tsException}};
    std::ifstream in(log);
    std::set<std::string> seen;
    std::size_t n = 0;
    for (std::string line; std::getline(in, line); ++n) {
        std::istringstream fields(line);
        std::size_t sequence = 0;
        int server = 0, function = 0;
        std::string fault, request;
        fields >> sequence >> server >> function >> fault >> request;
        ASSERT_LT(n, Done[10].size()) << line;
        EXPECT_EQ(sequence, n + 1) << line;
        EXPECT_EQ(server, 10) << line;
        EXPECT_EQ(function, 3) << line;
        EXPECT_EQ(request, "0a030020000184bb") << line;
        ASSERT_EQ(statusOf.count(fault), 1u) << line;
        EXPECT_EQ(Done[10][n].Status, statusOf.at(fault)) << line;
        seen.insert(fault);
    }
    EXPECT_EQ(n, Done[10].size());
    EXPECT_EQ(seen.size(), statusOf.size());
    std::filesystem::remove(log);
}

TEST_F(SimClientTest, AShareOfFaultsHitsRoughlyThatShareOfRequests) {
    TSimProcess sim({"--no-reply", "30", "--exception", "30", "--seed", "11", "--bit-rate", "0"});
    Open(sim, 150);
    constexpr int kRequests = 40;
    for (int i = 0; i < kRequests; ++i)
        Clients[11]->ReadHoldingRegisters(47, 1);
    ASSERT_TRUE(RunUntilDone(kRequests, 60000));
    std::map<TTransactionStatus, int> counts;
    for (const TDone& d : Done[11])
        ++counts[d.Status];
    EXPECT_EQ(counts[tsNoReply] + counts[tsException] + counts[tsSuccess], kRequests);
    for (TTransactionStatus status : {tsNoReply, tsException, tsSuccess}) {
        EXPECT_GE(counts[status], 4) << int(status);
        EXPECT_LE(counts[status], 24) << int(status);
    }
}

}  // namespace
