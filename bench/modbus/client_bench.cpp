// Round trip of one holding-register read against a libmodbus RTU server on
// a pseudo-terminal: our client (queue, worker thread, end of frame by the
// silent interval, completion on the main thread) and libmodbus's own client
// in the same run. Prints both medians, their ratio, how much of ours lies
// beyond SilentMs, the gap by which our reader knows a frame has ended, and
// what our reads cost once warm: heap allocations per transaction and
// processor time per 1000 transactions (the whole process, so the libmodbus
// server and the null modem in it count too; compare runs under the same load).
#include "nullmodem.h"
// nullmodem.h first: its system headers come before Qt's macros.
#include <modbus.h>

#include <sys/resource.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "alloccount.h"
#include "modbus/client.h"

using namespace regwire;
using TClock = std::chrono::steady_clock;

namespace {

constexpr int Reads = 200;
// Reads before the allocations and the processor time are counted: the
// first ones fill what the connection keeps for the next.
constexpr int WarmUp = 20;
constexpr int Address = 17;

double MedianMs(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

double Ms(TClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto s = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

// What the warm reads cost.
struct TCost {
    double AllocationsPerTransaction = 0;
    double CpuMsPer1000 = 0;
};

std::vector<double> OurReads(const std::string& path, std::uint32_t& silentMs, TCost& cost) {
    TModbusConnection connection;
    connection.SetPort(path);
    connection.Open();
    silentMs = connection.SilentMs();
    TModbusClient client;
    client.SetConnection(&connection);
    client.SetServerAddress(Address);
    bool done = false;
    int failures = 0;
    client.OnHoldingRegistersRead = [&](TModbusClient*, const TTransactionInfo& info, std::uint16_t,
                                        std::uint16_t, const TRegValues&) {
        failures += info.Status == tsSuccess ? 0 : 1;
        done = true;
    };
    std::vector<double> samples;
    samples.reserve(Reads);
    long allocations = 0;
    double cpu = 0;
    for (int i = 0; i < Reads; ++i) {
        if (i == WarmUp) {
            allocations = alloccount::Allocations();
            cpu = CpuSeconds();
        }
        done = false;
        const auto start = TClock::now();
        client.ReadHoldingRegisters(0, 1);
        // The overload with a time limit never sleeps: it would spin the
        // processor that the worker and the server share with us. Every read
        // completes, at the latest after its reply time-out.
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        samples.push_back(Ms(TClock::now() - start));
    }
    constexpr double Counted = Reads - WarmUp;
    cost.AllocationsPerTransaction =
        static_cast<double>(alloccount::Allocations() - allocations) / Counted;
    cost.CpuMsPer1000 = (CpuSeconds() - cpu) * 1000.0 * 1000.0 / Counted;
    if (failures > 0)
        std::printf("our client: %d reads failed\n", failures);
    return samples;
}

std::vector<double> LibmodbusReads(const std::string& path) {
    modbus_t* ctx = modbus_new_rtu(path.c_str(), 19200, 'E', 8, 1);
    modbus_set_slave(ctx, Address);
    modbus_connect(ctx);
    std::vector<double> samples;
    std::uint16_t value = 0;
    for (int i = 0; i < Reads; ++i) {
        const auto start = TClock::now();
        if (modbus_read_registers(ctx, 0, 1, &value) != 1)
            std::printf("libmodbus client: read failed\n");
        samples.push_back(Ms(TClock::now() - start));
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return samples;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    regwire::peer::TNullModem line;

    modbus_t* server = modbus_new_rtu(line.PathA().c_str(), 19200, 'E', 8, 1);
    modbus_mapping_t* mapping = modbus_mapping_new(0, 0, 10, 0);
    modbus_set_slave(server, Address);
    modbus_set_indication_timeout(server, 0, 50000);
    modbus_connect(server);
    std::atomic<bool> stop = false;
    std::thread serving([&] {
        std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop) {
            const int n = modbus_receive(server, query);
            if (n > 0)
                modbus_reply(server, query, n, mapping);
        }
    });

    std::uint32_t silentMs = 0;
    TCost cost;
    const double ours = MedianMs(OurReads(line.PathB(), silentMs, cost));
    const double theirs = MedianMs(LibmodbusReads(line.PathB()));
    stop = true;
    serving.join();
    modbus_close(server);
    modbus_free(server);
    modbus_mapping_free(mapping);

    std::printf("read of one holding register, %d reads each, 19200 bit/s on a pseudo-terminal\n",
                Reads);
    std::printf("  our client       median %8.3f ms\n", ours);
    std::printf("  libmodbus client median %8.3f ms\n", theirs);
    std::printf("  ratio ours/libmodbus     %8.2f\n", ours / theirs);
    std::printf("  SilentMs %u ms; our overhead beyond it %8.3f ms\n", silentMs,
                ours - static_cast<double>(silentMs));
    std::printf(
        "  our client, warm: allocations per transaction %.2f, CPU %.1f ms per 1000 "
        "(whole process)\n",
        cost.AllocationsPerTransaction, cost.CpuMsPer1000);
    return 0;
}
