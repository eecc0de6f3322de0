// Overhead of one exchange through the connection over a pseudo-terminal:
// from queueing a one-register read to its completion on the main thread,
// less the instrument's own reply time and, in RTU, the end-of-frame gap
// (SilentMs) the line must stay quiet for. Also the CPU time the waiting
// transaction thread uses while idle.
//
// Prints figures; asserts nothing.
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "modbus/connection.h"
#include "modbus/transactionthread.h"

using namespace regwire;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The far end: answers every read of address 10 at once and notes how long
// it took from the request's last character to the reply being written.
class TInstrument {
  public:
    explicit TInstrument(TTransmissionMode mode) : FMode(mode) {
        openpty(&FMaster, &FSlave, nullptr, nullptr, nullptr);
        char name[64] = {};
        ttyname_r(FSlave, name, sizeof name);
        Path = name;
        FThread = std::thread([this] { Run(); });
    }
    ~TInstrument() {
        FStop = true;
        FThread.join();
        close(FMaster);
        close(FSlave);
    }
    Clock::duration TakeReplyTime() {
        std::lock_guard lock(FLock);
        return FReplyTime;
    }
    std::string Path;

  private:
    void Run() {
        std::vector<std::uint8_t> request;
        TModbusBuffer frame(256);
        std::uint8_t line[600];
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = read(FMaster, line, sizeof line);
            if (n <= 0)
                continue;
            request.insert(request.end(), line, line + n);
            const bool complete = FMode == tmRTU ? request.size() >= 8
                                                 : request.size() >= 2 && request.back() == '\n';
            if (!complete)
                continue;
            const Clock::time_point start = Clock::now();
            frame.SetSize(0);
            frame.WriteByte(10);
            frame.WriteByte(3);
            frame.WriteByte(2);
            frame.WriteWord(0x1234);
            TFrameCodec codec(FMode);
            codec.AddChecksum(frame);
            const int m = codec.EncodeFrame(frame, line);
            if (write(FMaster, line, static_cast<std::size_t>(m)) != m)
                std::perror("write");
            request.clear();
            std::lock_guard lock(FLock);
            FReplyTime = Clock::now() - start;
        }
    }

    TTransmissionMode FMode;
    int FMaster = -1, FSlave = -1;
    std::atomic<bool> FStop{false};
    std::thread FThread;
    std::mutex FLock;
    Clock::duration FReplyTime{};
};

class TTimedClient : public TModbusClientLink {
  public:
    TModbusClient* LinkedClient() override { return reinterpret_cast<TModbusClient*>(this); }
    std::uint8_t ServerAddress() const override { return 10; }
    void ProcessTransaction(TModbusTransaction& t) override {
        Done = Clock::now();
        Status = t.Info.Status;
        Finished = true;
    }
    Clock::time_point Done;
    TTransactionStatus Status = tsNoReply;
    bool Finished = false;
};

void Measure(TTransmissionMode mode, int count) {
    TInstrument instrument(mode);
    TModbusConnection connection;
    TTimedClient client;
    connection.SetTransmissionMode(mode);
    connection.SetPort(instrument.Path);
    connection.SetCustomBaudRate(9600);
    connection.RegisterClient(&client);
    connection.Open();
    const double gap = mode == tmRTU ? connection.SilentMs() : 0.0;

    std::vector<double> overhead;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        auto t = std::make_unique<TModbusTransaction>(connection.MaxADUSize());
        t->Info.ServerAddress = 10;
        connection.WriteAddress(t->Request, &client);
        t->Request.WriteByte(3);
        t->Request.WriteWord(32);
        t->Request.WriteWord(1);
        connection.AddChecksum(t->Request);
        client.Finished = false;
        const Clock::time_point queued = Clock::now();
        connection.QueueTransaction(std::move(t), &client);
        while (!client.Finished)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        if (client.Status != tsSuccess) {
            ++failed;
            continue;
        }
        overhead.push_back(Ms(client.Done - queued) - Ms(instrument.TakeReplyTime()) - gap);
    }
    std::sort(overhead.begin(), overhead.end());
    const auto at = [&](double q) {
        return overhead.empty() ? 0.0
                                : overhead[static_cast<std::size_t>(q * (overhead.size() - 1))];
    };
    std::printf(
        "%-5s %4d reads  overhead median %.3f ms  p99 %.3f ms  max %.3f ms  (less %.0f ms gap)%s\n",
        mode == tmRTU ? "RTU" : "ASCII", count, at(0.5), at(0.99),
        overhead.empty() ? 0.0 : overhead.back(), gap, failed ? "  SOME FAILED" : "");

    // The thread waits for work: it must use no CPU at all meanwhile.
    const auto cpuBefore = connection.Thread()->CpuTime();
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    getrusage(RUSAGE_SELF, &after);
    const auto cpu = connection.Thread()->CpuTime() - cpuBefore;
    const auto usec = [](const timeval& t) { return t.tv_sec * 1000000.0 + t.tv_usec; };
    std::printf(
        "      idle 2 s: transaction thread CPU %.3f ms; whole process %.3f ms (incl. instrument's "
        "20 ms polls)\n",
        std::chrono::duration<double, std::milli>(cpu).count(),
        (usec(after.ru_utime) + usec(after.ru_stime) - usec(before.ru_utime) -
         usec(before.ru_stime)) /
            1000.0);
    connection.Close();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Measure(tmRTU, 200);
    Measure(tmASCII, 1000);
    return 0;
}
