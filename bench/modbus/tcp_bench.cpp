// One holding-register read after another on loopback against a libmodbus
// Modbus TCP server (in a process of its own, so that the figures are the
// clients' alone): our client (queue, worker thread, MBAP framing,
// completion on the main thread) and libmodbus's TCP client in the same run.
// Prints each side's median round trip, transactions per second, processor
// time per 1000 transactions and heap allocations per transaction, and the
// ratios. The two take turns in rounds, so that a machine busy with other
// work weighs on both alike.
// Our client hands each transaction from the main thread to its worker and
// back; on an otherwise idle virtual machine each hand-off waits for a
// sleeping processor to wake, and our figures vary several-fold from run to
// run, while libmodbus's single thread does not: compare runs made under
// the same load.
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

// Our client, reading one register and waiting for its completion on the
// main thread.
class TOurReader {
  public:
    explicit TOurReader(int port) {
        FConnection.SetPort("mbtcp://127.0.0.1:" + std::to_string(port));
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
        FClient.ReadHoldingRegisters(0, 1);
        while (!FDone)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return FOk;
    }

  private:
    TModbusConnection FConnection;
    TModbusClient FClient;
    bool FDone = false;
    bool FOk = false;
};

class TLibmodbusReader {
  public:
    explicit TLibmodbusReader(int port) : FContext(modbus_new_tcp("127.0.0.1", port)) {
        modbus_set_slave(FContext, Address);
        modbus_connect(FContext);
    }
    ~TLibmodbusReader() {
        modbus_close(FContext);
        modbus_free(FContext);
    }
    bool operator()() {
        std::uint16_t value = 0;
        return modbus_read_registers(FContext, 0, 1, &value) == 1;
    }

  private:
    modbus_t* FContext;
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
        modbus_mapping_t* mapping = modbus_mapping_new(0, 0, 10, 0);
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
        "  %-17s median %7.3f ms  %8.0f transactions/s  CPU %7.1f ms per 1000  "
        "allocations per transaction %.2f",
        name, f.Median(), f.PerSecond(), f.CpuMsPer1000(), f.AllocationsPerTransaction());
    if (f.Failures > 0 || f.Samples.size() < static_cast<std::size_t>(Reads))
        std::printf("  (%zu reads, %d failed)", f.Samples.size(), f.Failures);
    std::printf("\n");
}

}  // namespace

int main(int argc, char* argv[]) {
    const TServer ourServer = StartServer();
    const TServer theirServer = StartServer();
    if (ourServer.Pid <= 0 || theirServer.Pid <= 0) {
        std::printf("no loopback port to listen on\n");
        StopServer(ourServer);
        return 1;
    }

    QCoreApplication app(argc, argv);
    TFigures ours;
    TFigures theirs;
    // Room for every sample, so that recording one allocates nothing.
    ours.Samples.reserve(Reads);
    theirs.Samples.reserve(Reads);
    {
        TOurReader ourRead(ourServer.Port);
        TLibmodbusReader theirRead(theirServer.Port);
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

    std::printf("read of one holding register, Modbus TCP on loopback, %d reads each\n", Reads);
    Print("our client", ours);
    Print("libmodbus client", theirs);
    std::printf("  ratio ours/libmodbus: median %.2f (goal at most 2), CPU per transaction %.2f\n",
                ours.Median() / theirs.Median(), ours.CpuMsPer1000() / theirs.CpuMsPer1000());
    std::printf("  our transactions per second %.0f (goal at least 5000)\n", ours.PerSecond());
    return 0;
}
