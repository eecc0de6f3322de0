// A client that reads registers again and again allocates nothing per
// transaction once warm: not on the main thread, not on the connection's
// worker. A program of its own, because it replaces the global operator new
// to count every allocation of the process.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <atomic>
#include <string>
#include <thread>

#include "alloccount.h"
#include "modbus/checksum.h"
#include "modbus/client.h"

namespace regwire {
namespace {

constexpr std::uint8_t Address = 10;

// Answers every 8-byte RTU request with two registers of fixed values.
class TPtyInstrument {
  public:
    TPtyInstrument() {
        char name[128] = {};
        EXPECT_EQ(openpty(&FMaster, &FSlave, name, nullptr, nullptr), 0);
        termios raw{};
        tcgetattr(FSlave, &raw);
        cfmakeraw(&raw);
        tcsetattr(FSlave, TCSANOW, &raw);
        Path = name;
        FThread = std::thread([this] {
            // It stands for the far end of the line: not counted.
            alloccount::UncountedThread = true;
            Run();
        });
    }
    ~TPtyInstrument() {
        FStop = true;
        FThread.join();
        close(FMaster);
        close(FSlave);
    }

    std::string Path;

  private:
    void Run() {
        std::uint8_t request[8];
        std::size_t have = 0;
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = read(FMaster, request + have, sizeof request - have);
            if (n <= 0)
                continue;
            have += static_cast<std::size_t>(n);
            if (have < sizeof request)
                continue;
            have = 0;
            std::uint8_t reply[9] = {Address, 3, 4, 0x12, 0x34, 0x56, 0x78};
            const std::uint16_t crc = CRC16(std::span<const std::uint8_t>(reply, 7));
            reply[7] = static_cast<std::uint8_t>(crc);
            reply[8] = static_cast<std::uint8_t>(crc >> 8);
            [[maybe_unused]] const ssize_t written = write(FMaster, reply, sizeof reply);
        }
    }

    int FMaster = -1;
    int FSlave = -1;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

TEST(SteadyClient, ReadsRegistersWithoutAnAllocationPerTransaction) {
    int argc = 1;
    char name[] = "modbus_alloc_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    TPtyInstrument instrument;
    TModbusConnection connection;
    connection.SetPort(instrument.Path);
    connection.SetFrameTiming(ftStandard);
    connection.Open();
    TModbusClient client;
    client.SetConnection(&connection);
    client.SetServerAddress(Address);
    bool done = false;
    int good = 0;
    client.OnHoldingRegistersRead = [&](TModbusClient*, const TTransactionInfo& info, std::uint16_t,
                                        std::uint16_t, const TRegValues& values) {
        // Compared in place: a vector to compare with would be an allocation.
        good += info.Status == tsSuccess && values.size() == 2 && values[0] == 0x1234 &&
                values[1] == 0x5678;
        done = true;
    };

    constexpr int WarmUp = 20;
    constexpr int Counted = 100;
    long before = 0;
    for (int i = 0; i < WarmUp + Counted; ++i) {
        if (i == WarmUp)
            before = alloccount::Allocations();
        done = false;
        client.ReadHoldingRegisters(0, 2);
        // Every read completes, at the latest after its reply time-out.
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const long allocations = alloccount::Allocations() - before;

    EXPECT_EQ(good, WarmUp + Counted);
    EXPECT_EQ(allocations, 0) << "allocations in " << Counted << " transactions";
}

}  // namespace
}  // namespace regwire
