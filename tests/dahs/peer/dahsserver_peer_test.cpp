// The plant's server against libmodbus as the plant's client, over Modbus
// TCP on loopback: what it reads, which writes it may make, who is let in,
// and that nothing a peer sends ends the server.
#include <modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "dahs/dahsserver.h"

using namespace dahs;

namespace {

// A libmodbus client of the server's port.
class TPlant {
  public:
    explicit TPlant(std::uint16_t port) : FContext(modbus_new_tcp("127.0.0.1", port)) {
        modbus_set_response_timeout(FContext, 5, 0);
        FConnected = modbus_connect(FContext) == 0;
    }
    ~TPlant() {
        modbus_close(FContext);
        modbus_free(FContext);
    }
    TPlant(const TPlant&) = delete;
    TPlant& operator=(const TPlant&) = delete;

    bool Connected() const { return FConnected; }
    modbus_t* operator*() const { return FContext; }

    std::vector<std::uint16_t> ReadMap() {
        std::vector<std::uint16_t> r(static_cast<std::size_t>(DahsRegisterCount(rkInput)));
        if (modbus_read_input_registers(FContext, 0, static_cast<int>(r.size()), r.data()) !=
            static_cast<int>(r.size()))
            r.clear();
        return r;
    }
    // -1 and the exception's errno for a refusal.
    int WriteCommand(float wanted, std::uint16_t plan, std::uint16_t code) {
        // High word first, as the plant's settings default to.
        const auto bits = std::bit_cast<std::uint32_t>(wanted);
        std::uint16_t values[4] = {static_cast<std::uint16_t>(bits >> 16),
                                   static_cast<std::uint16_t>(bits & 0xFFFFU), plan, code};
        return modbus_write_registers(FContext, 0, 4, values);
    }

  private:
    modbus_t* FContext;
    bool FConnected = false;
};

class DahsServerPeer : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("dahs-peer-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
        settings_.Enabled = true;
        settings_.Listen = {"127.0.0.1", 0};
        settings_.PlansFolder = folder_.string();
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(folder_);
    }

    void Start() {
        server_ = std::make_unique<TDahsServer>(settings_);
        server_->OnLog = [this](const std::string& line) {
            std::lock_guard lock(lock_);
            log_.push_back(line);
        };
        server_->OnCommand = [this](const TDahsCommand& command, std::string& reason) {
            std::lock_guard lock(lock_);
            commands_.push_back(command);
            reason = "out of reach";
            return !(command.Kind == ckApplyWanted && command.Wanted > 500);
        };
        server_->Start();
    }
    std::vector<TDahsCommand> Commands() {
        std::lock_guard lock(lock_);
        return commands_;
    }
    bool Logged(const std::string& part) {
        std::lock_guard lock(lock_);
        for (const std::string& line : log_)
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }

    static TDahsSnapshot Sample() {
        TDahsSnapshot s;
        s.Delivered = 24.75;
        s.DeliveredU = 0.5;
        s.Calculated = 25;
        s.Temperature = 40.1;
        s.ReservoirFlow = 12.3;
        s.DilutionFlow = 9.5;
        s.TemperatureSetPoint = 40;
        s.ReservoirFlowSetPoint = 12.3;
        s.DilutionFlowSetPoint = 9.5;
        s.Status = sbPolling | sbAllCurrent | sbStable;
        s.Heartbeat = 70000;
        s.RunPoint = 2;
        s.RunPointCount = 4;
        s.RunState = rsSettling;
        s.RunStateSeconds = 190;
        return s;
    }

    std::filesystem::path folder_;
    TDahsSettings settings_;
    std::unique_ptr<TDahsServer> server_;
    std::mutex lock_;
    std::vector<std::string> log_;
    std::vector<TDahsCommand> commands_;
};

float FloatAt(const std::vector<std::uint16_t>& r, TDahsField field) {
    return modbus_get_float_abcd(&r[DahsRegister(field).Address]);
}

TEST_F(DahsServerPeer, PlantReadsTheSnapshotInEitherWordOrder) {
    Start();
    server_->Publish(Sample());
    TPlant plant(server_->LocalPort());
    ASSERT_TRUE(plant.Connected());
    const auto r = plant.ReadMap();
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[0], kDahsMapVersion);
    EXPECT_EQ(r[1], sbPolling | sbAllCurrent | sbStable);
    EXPECT_EQ(DecodeUInt32(r[2], r[3], woHighFirst), 70000U);
    EXPECT_EQ(FloatAt(r, dfDelivered), 24.75F);
    EXPECT_EQ(FloatAt(r, dfDeliveredU), 0.5F);
    EXPECT_EQ(FloatAt(r, dfCalculated), 25.0F);
    EXPECT_EQ(FloatAt(r, dfTemperature), 40.1F);
    EXPECT_EQ(FloatAt(r, dfDilutionFlowSetPoint), 9.5F);
    EXPECT_EQ(DecodeUInt32(r[22], r[23], woHighFirst), 190U);
    EXPECT_TRUE(std::isnan(FloatAt(r, dfLastPointDelivered)));
    EXPECT_EQ(r[30], 2);
    EXPECT_EQ(r[31], 4);
    EXPECT_EQ(r[32], rsSettling);
    // Beyond the map: exception 2.
    std::uint16_t one = 0;
    EXPECT_EQ(modbus_read_input_registers(*plant, 33, 1, &one), -1);
    EXPECT_EQ(errno, EMBXILADD);

    server_.reset();
    settings_.WordOrder = woLowFirst;
    Start();
    server_->Publish(Sample());
    TPlant swapped(server_->LocalPort());
    const auto w = swapped.ReadMap();
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(modbus_get_float_cdab(&w[DahsRegister(dfDelivered).Address]), 24.75F);
    EXPECT_EQ(DecodeUInt32(w[2], w[3], woLowFirst), 70000U);
}

TEST_F(DahsServerPeer, WithoutControlEveryWriteIsRefusedAndCounted) {
    Start();
    TPlant plant(server_->LocalPort());
    ASSERT_TRUE(plant.Connected());
    EXPECT_EQ(modbus_write_register(*plant, 3, ckStop), -1);
    EXPECT_EQ(errno, EMBXILFUN);
    EXPECT_EQ(plant.WriteCommand(20, 0, ckApplyWanted), -1);
    EXPECT_EQ(errno, EMBXILFUN);
    EXPECT_EQ(modbus_write_bit(*plant, 0, 1), -1);
    EXPECT_EQ(errno, EMBXILFUN);
    EXPECT_EQ(server_->RefusedWrites(), 3U);
    EXPECT_TRUE(Commands().empty());
    EXPECT_TRUE(Logged("127.0.0.1: write refused: control is off"));
    // The status word says so, and reads still work.
    const auto r = plant.ReadMap();
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[1] & sbControlAllowed, 0);
}

TEST_F(DahsServerPeer, WithControlSaneCommandsReachTheOwner) {
    settings_.Control = true;
    std::ofstream(folder_ / "1-short.json") << "{}";
    Start();
    server_->Publish(TDahsSnapshot{});
    TPlant plant(server_->LocalPort());
    ASSERT_TRUE(plant.Connected());
    EXPECT_EQ(plant.ReadMap()[1] & sbControlAllowed, sbControlAllowed);

    EXPECT_EQ(plant.WriteCommand(12.5F, 0, ckApplyWanted), 4);
    EXPECT_EQ(plant.WriteCommand(0, 1, ckStartPlan), 4);
    EXPECT_EQ(modbus_write_register(*plant, 3, ckPause), 1);
    EXPECT_EQ(modbus_write_register(*plant, 3, ckStop), 1);
    const auto taken = Commands();
    ASSERT_EQ(taken.size(), 4U);
    EXPECT_EQ(taken[0].Kind, ckApplyWanted);
    EXPECT_EQ(taken[0].Wanted, 12.5);
    EXPECT_EQ(taken[0].Peer, "127.0.0.1");
    EXPECT_EQ(taken[1].Kind, ckStartPlan);
    EXPECT_EQ(taken[1].PlanFile, (folder_ / "1-short.json").string());
    EXPECT_EQ(taken[2].Kind, ckPause);
    EXPECT_EQ(taken[3].Kind, ckStop);
    EXPECT_EQ(server_->CommandsTaken(), 4U);
    EXPECT_TRUE(Logged("command apply 12.5 ng/l taken"));
}

TEST_F(DahsServerPeer, RefusedCommandsAnswerException3AndChangeNothing) {
    settings_.Control = true;
    Start();
    TPlant plant(server_->LocalPort());
    ASSERT_TRUE(plant.Connected());
    ASSERT_EQ(plant.WriteCommand(12.5F, 0, ckApplyWanted), 4);
    std::uint16_t before[4] = {};
    ASSERT_EQ(modbus_read_registers(*plant, 0, 4, before), 4);

    // The owner cannot reach it.
    EXPECT_EQ(plant.WriteCommand(900, 0, ckApplyWanted), -1);
    EXPECT_EQ(errno, EMBXILVAL);
    // Not sane, or not complete: the owner never hears of it.
    EXPECT_EQ(plant.WriteCommand(-1, 0, ckApplyWanted), -1);
    EXPECT_EQ(errno, EMBXILVAL);
    EXPECT_EQ(modbus_write_register(*plant, 3, ckApplyWanted), -1);
    EXPECT_EQ(errno, EMBXILVAL);
    EXPECT_EQ(plant.WriteCommand(0, 2, ckStartPlan), -1);
    EXPECT_EQ(errno, EMBXILVAL);
    // Past the command register: refused before the command goes.
    std::uint16_t five[5] = {0, 0, 0, ckStop, 0};
    EXPECT_EQ(modbus_write_registers(*plant, 0, 5, five), -1);
    EXPECT_EQ(errno, EMBXILADD);

    std::uint16_t after[4] = {};
    ASSERT_EQ(modbus_read_registers(*plant, 0, 4, after), 4);
    EXPECT_TRUE(std::equal(std::begin(before), std::end(before), std::begin(after)));
    const auto taken = Commands();
    ASSERT_EQ(taken.size(), 2U);  // 12.5 taken, 900 refused by the owner
    EXPECT_EQ(taken[1].Wanted, 900);
    EXPECT_TRUE(Logged("command apply 900 ng/l refused: out of reach"));
    EXPECT_TRUE(Logged("no plan 2 in"));
}

TEST_F(DahsServerPeer, PeerNotAllowedIsClosedAtOnceAndLogged) {
    settings_.Allow = ParseDahsAllow("192.0.2.7");
    Start();
    TPlant plant(server_->LocalPort());
    EXPECT_TRUE(plant.ReadMap().empty());
    EXPECT_EQ(server_->RefusedPeers(), 1U);
    EXPECT_TRUE(Logged("DAHS: 127.0.0.1: connection refused: not an accepted peer"));
}

// Raw bytes on a connection of their own.
int Dial(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

TEST_F(DahsServerPeer, MalformedFramesNeverEndTheServer) {
    Start();
    server_->Publish(Sample());
    const std::vector<std::vector<std::uint8_t>> junk = {
        {0, 1, 0, 7, 0, 6, 1, 4, 0, 0, 0, 1},    // another protocol
        {0, 2, 0, 0, 1, 0, 1, 4},                // a length of 256
        {0, 3, 0, 0, 0, 2, 1, 4},                // a request cut short
        {0, 4, 0, 0, 0, 3, 1, 0x2B, 0x0E},       // a function not served
        {0, 5, 0, 0, 0, 6, 1, 4, 0, 0, 0, 200},  // more registers than a reply holds
        {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '\r', '\n'},
    };
    for (const auto& bytes : junk) {
        const int fd = Dial(server_->LocalPort());
        EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        close(fd);
    }
    // A unit identifier of 0 is answered as any other.
    TPlant plant(server_->LocalPort());
    modbus_set_slave(*plant, 0);
    const auto r = plant.ReadMap();
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(FloatAt(r, dfDelivered), 24.75F);
}

// Four plants read the whole map while the poller publishes: every read is
// answered, and each is all of one poll.
TEST_F(DahsServerPeer, FourPeersAtOnceReadWholePolls) {
    Start();
    TDahsSnapshot first;
    first.Delivered = 0;
    first.LastPointAnalyser = 0;
    server_->Publish(first);
    std::atomic<bool> done{false};
    std::thread poller([this, &done] {
        TDahsSnapshot s;
        for (std::uint32_t beat = 1; !done; ++beat) {
            s.Heartbeat = beat;
            s.Delivered = beat;
            s.LastPointAnalyser = beat;
            server_->Publish(s);
            std::this_thread::yield();
        }
    });
    std::atomic<int> reads{0};
    std::atomic<int> torn{0};
    std::atomic<int> failed{0};
    std::atomic<int> connected{0};
    std::vector<std::thread> plants;
    for (int p = 0; p < 4; ++p) {
        plants.emplace_back([&] {
            TPlant plant(server_->LocalPort());
            ++connected;
            while (connected < 4)
                std::this_thread::yield();
            for (int i = 0; i < 300; ++i) {
                const auto r = plant.ReadMap();
                if (r.empty()) {
                    ++failed;
                    continue;
                }
                const auto beat = static_cast<float>(DecodeUInt32(r[2], r[3], woHighFirst));
                if (FloatAt(r, dfDelivered) != beat || FloatAt(r, dfLastPointAnalyser) != beat)
                    ++torn;
                ++reads;
            }
        });
    }
    for (auto& t : plants)
        t.join();
    done = true;
    poller.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(reads, 1200);
    EXPECT_EQ(server_->RefusedPeers(), 0U);
}

}  // namespace
