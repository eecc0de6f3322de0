// Holding-register reads one after another on loopback against a libmodbus
// Modbus TCP server (in a process of its own, so that the figures are the
// clients' alone): our client (queue, worker thread, MBAP framing, the
// completion handed to the caller that waits for it) and libmodbus's TCP
// client in the same run, reading 1 and then 100 registers. The two take
// turns in rounds, so that a machine busy with other work weighs on both
// alike, and the whole is done three times: each side's median round trip,
// transactions per second, processor time per 1000 transactions (the
// median of the three and their spread) and heap allocations per
// transaction, and the ratio of the processor times against 1.3.
// Run it also under `taskset -c 0`: every thread of the client and the
// server on one processor.
#include <modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "alloccount.h"
#include "modbus/client.h"

using namespace regwire;
using TClock = std::chrono::steady_clock;

namespace {

constexpr int Reads = 5000;
constexpr int Rounds = 10;
constexpr int Repetitions = 3;
// The processor time of ours against libmodbus's that the client keeps
// within.
constexpr double kCpuRatioLimit = 1.3;
constexpr int WarmUp = 100;
// Every run stops by itself: a side that has not finished its reads by then
// is reported with what it did.
constexpr auto Limit = std::chrono::seconds(30);
constexpr int Address = 17;

struct TFigures {
    std::vector<double> Samples;  // round trips in milliseconds
    double WallS = 0;
    double CpuS = 0;
    long Allocations = 0;
    int Failures = 0;

    double Median() const {
        std::vector<double> s = Samples;
        std::sort(s.begin(), s.end());
        const std::size_t n = s.size();
        return n == 0 ? 0 : n % 2 == 1 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
    }
    double PerSecond() const { return WallS > 0 ? Samples.size() / WallS : 0; }
    double CpuMsPer1000() const {
        return Samples.empty() ? 0 : CpuS * 1000.0 * 1000.0 / Samples.size();
    }
    double AllocationsPerTransaction() const {
        return Samples.empty() ? 0 : static_cast<double>(Allocations) / Samples.size();
    }
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto s = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

double Ms(TClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Times `read` (true on success) `count` times into figures; a read that
// fails still counts its time, bounded by the reply time-out.
template <typename Read>
void Measure(int count, TFigures& figures, Read& read) {
    const double cpu = CpuSeconds();
    const long allocations = alloccount::Allocations();
    const auto begin = TClock::now();
    for (int i = 0; i < count; ++i) {
        const auto start = TClock::now();
        figures.Failures += read() ? 0 : 1;
        figures.Samples.push_back(Ms(TClock::now() - start));
    }
    figures.WallS += std::chrono::duration<double>(TClock::now() - begin).count();
    figures.CpuS += CpuSeconds() - cpu;
    figures.Allocations += alloccount::Allocations() - allocations;
}

// Our client, reading `count` registers and waiting for its completion as
// a command line does: delivered to this thread directly, not through the
// event loop.
class TOurReader {
  public:
    TOurReader(int port, int count) : FCount(static_cast<std::uint16_t>(count)) {
        FConnection.SetPort("mbtcp://127.0.0.1:" + std::to_string(port));
        FConnection.SetSynchronous(true);
        FConnection.Open();
        FClient.SetConnection(&FConnection);
        FClient.SetServerAddress(Address);
        FClient.OnHoldingRegistersRead = [this](TModbusClient*, const TTransactionInfo& info,
                                                std::uint16_t, std::uint16_t, const TRegValues&) {
            FOk = info.Status == tsSuccess;
            FDone = true;
        };
    }
    bool operator()() {
        FDone = false;
        FClient.ReadHoldingRegisters(0, FCount);
        while (!FDone)
            FConnection.DeliverNext(1000);
        return FOk;
    }

  private:
    TModbusConnection FConnection;
    TModbusClient FClient;
    std::uint16_t FCount;
    bool FDone = false;
    bool FOk = false;
};

class TLibmodbusReader {
  public:
    TLibmodbusReader(int port, int count)
        : FContext(modbus_new_tcp("127.0.0.1", port)), FCount(count) {
        modbus_set_slave(FContext, Address);
        modbus_connect(FContext);
    }
    ~TLibmodbusReader() {
        modbus_close(FContext);
        modbus_free(FContext);
    }
    bool operator()() {
        std::uint16_t values[125] = {};
        return modbus_read_registers(FContext, 0, FCount, values) == FCount;
    }

  private:
    modbus_t* FContext;
    int FCount;
};

// A server in a process of its own for one client, until that client
// leaves or the server is ended.
struct TServer {
    pid_t Pid = -1;
    int Port = 0;
};

TServer StartServer() {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    int listener = modbus_tcp_listen(ctx, 1);
    if (listener < 0) {
        modbus_free(ctx);
        return {};
    }
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    const pid_t pid = fork();
    if (pid == 0) {
        modbus_mapping_t* mapping = modbus_mapping_new(0, 0, 125, 0);
        modbus_set_slave(ctx, Address);
        if (modbus_tcp_accept(ctx, &listener) < 0)
            _exit(1);
        std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            const int n = modbus_receive(ctx, query);
            if (n < 0)
                _exit(0);
            if (n > 0)
                modbus_reply(ctx, query, n, mapping);
        }
    }
    close(listener);
    modbus_free(ctx);
    return {pid, ntohs(address.sin_port)};
}

void StopServer(const TServer& server) {
    if (server.Pid <= 0)
        return;
    kill(server.Pid, SIGTERM);
    waitpid(server.Pid, nullptr, 0);
}

void Print(const char* name, const TFigures& f) {
    std::printf(
        "    %-17s median %7.3f ms  %8.0f transactions/s  CPU %7.1f ms per 1000  "
        "allocations per transaction %.2f",
        name, f.Median(), f.PerSecond(), f.CpuMsPer1000(), f.AllocationsPerTransaction());
    if (f.Failures > 0 || f.Samples.size() < static_cast<std::size_t>(Reads))
        std::printf("  (%zu reads, %d failed)", f.Samples.size(), f.Failures);
    std::printf("\n");
}

double MedianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// One repetition: the two sides in turns against servers of their own.
bool Repetition(int count, TFigures& ours, TFigures& theirs) {
    const TServer ourServer = StartServer();
    const TServer theirServer = StartServer();
    if (ourServer.Pid <= 0 || theirServer.Pid <= 0) {
        StopServer(ourServer);
        StopServer(theirServer);
        return false;
    }
    // Room for every sample, so that recording one allocates nothing.
    ours.Samples.reserve(Reads);
    theirs.Samples.reserve(Reads);
    {
        TOurReader ourRead(ourServer.Port, count);
        TLibmodbusReader theirRead(theirServer.Port, count);
        for (int i = 0; i < WarmUp; ++i) {
            ourRead();
            theirRead();
        }
        const auto begin = TClock::now();
        for (int round = 0; round < Rounds && TClock::now() - begin < Limit; ++round) {
            Measure(Reads / Rounds, ours, ourRead);
            Measure(Reads / Rounds, theirs, theirRead);
        }
    }
    StopServer(ourServer);
    StopServer(theirServer);
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    for (const int count : {1, 100}) {
        std::printf(
            "read of %d holding register%s, Modbus TCP on loopback, %d reads each, "
            "%d repetitions\n",
            count, count == 1 ? "" : "s", Reads, Repetitions);
        std::vector<double> ourCpu;
        std::vector<double> theirCpu;
        std::vector<double> ratios;
        for (int r = 0; r < Repetitions; ++r) {
            TFigures ours;
            TFigures theirs;
            if (!Repetition(count, ours, theirs)) {
                std::printf("no loopback port to listen on\n");
                return 1;
            }
            std::printf("  repetition %d\n", r + 1);
            Print("our client", ours);
            Print("libmodbus client", theirs);
            ourCpu.push_back(ours.CpuMsPer1000());
            theirCpu.push_back(theirs.CpuMsPer1000());
            ratios.push_back(ours.CpuMsPer1000() / theirs.CpuMsPer1000());
        }
        const auto [ratioLow, ratioHigh] = std::minmax_element(ratios.begin(), ratios.end());
        std::printf(
            "  CPU ms per 1000: ours %.1f, libmodbus %.1f (medians); ratio %.2f "
            "(spread %.2f to %.2f) against at most %.1f: %s\n",
            MedianOf(ourCpu), MedianOf(theirCpu), MedianOf(ratios), *ratioLow, *ratioHigh,
            kCpuRatioLimit, MedianOf(ratios) <= kCpuRatioLimit ? "within" : "beyond");
    }
    return 0;
}
