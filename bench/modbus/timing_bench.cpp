// Standard timing at the line's limit: one-register reads of our client
// (ftStandard) and of libmodbus's client against the same libmodbus server,
// across a paced line: two pseudo-terminals joined by a relay that passes
// each character on after its time on the wire (11 bits: start, 8 data, even
// parity, stop), one character at a time in either direction, as on a
// two-wire RS-485 bus. Run at 9600 and at 115200 bit/s.
//
// Prints for each speed and client the median transaction, its ratio to the
// limit of a master that keeps the rule (wire time of request and reply plus
// the 3.5 characters of quiet before the next request), the quiet the line
// really had before each of our requests (minimum and median, seen by the
// relay), and the CPU each client takes per 1000 transactions; and, as the
// least a master that keeps the rest could take on this line and machine,
// libmodbus's median plus the rest it skips. The server runs in a child
// process; the relay's own CPU is not counted. The two clients take turns,
// three times; the medians, and the ratio of the processor times (median
// and spread) against 1.3. Our client's completions are taken by the
// waiting caller, as regwire takes them.
#include <fcntl.h>
#include <modbus.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modbus/client.h"
#include "platform/thread.h"

using namespace regwire;

namespace {

// Reads per run: 300, or as many as take about six seconds on a faster
// line, so that the processor times are read from more than a few ticks.
int ReadsAt(std::uint32_t rate) {
    return std::max(300, static_cast<int>(rate / 9600 * 150));
}
constexpr int Repetitions = 3;
// The processor time of ours against libmodbus's that the client keeps
// within.
constexpr double kCpuRatioLimit = 1.3;
constexpr int Address = 1;
constexpr int BitsPerCharacter = 11;
constexpr int RequestAndReply = 8 + 7;
// How long before a character is due the relay stops sleeping.
constexpr std::int64_t SpinNs = 30000;

std::int64_t NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? 0 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void OpenPair(int& master, int& slave, std::string& path) {
    char name[128];
    openpty(&master, &slave, name, nullptr, nullptr);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    path = name;
}

// Two pseudo-terminals joined master to master through a line that carries
// one character at a time, each for its time on the wire. Side A is the
// server's, side B the clients'.
class TPacedLine {
  public:
    explicit TPacedLine(std::uint32_t rate)
        : FCharNs(BitsPerCharacter * 1000000000LL / rate),
          FQuietNs(rate > 19200 ? 1750000 : FCharNs * 7 / 2) {
        OpenPair(FMasterA, FSlaveA, PathA);
        OpenPair(FMasterB, FSlaveB, PathB);
        for (const int fd : {FMasterA, FMasterB})
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        FThread = std::thread([this] { Run(); });
    }
    ~TPacedLine() {
        FStop = true;
        FThread.join();
        for (const int fd : {FMasterA, FSlaveA, FMasterB, FSlaveB})
            close(fd);
    }

    // Quiet before each request from side B while watching, in ms.
    void Watch(bool on) {
        std::lock_guard lock(FLock);
        FWatching = on;
    }
    std::vector<double> Quiets() {
        std::lock_guard lock(FLock);
        return FQuiets;
    }
    // Requests after an exchange in which the relay fell so far behind the
    // wire that it parted a frame: their quiet is left out of Quiets().
    int Stalls() {
        std::lock_guard lock(FLock);
        return FStalls;
    }
    double RelayCpuMs() {
        clockid_t clock{};
        pthread_getcpuclockid(FThread.native_handle(), &clock);
        timespec t{};
        clock_gettime(clock, &t);
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
    }

    std::string PathA, PathB;

  private:
    struct TCharacter {
        std::int64_t At;  // when its last bit has been on the wire
        int To;
        std::uint8_t Byte;
    };

    void Run() {
        // A character is due to the microsecond, not whenever the kernel
        // next groups its timers.
        platform::UseExactTimers();
        std::deque<TCharacter> line;
        std::int64_t lineFree = 0;  // when the last character leaves the wire
        // When the last character was passed on. A relay that falls behind
        // (its thread not scheduled) keeps a character on the wire until it
        // passes it on: that is when the far end can hear it end.
        std::int64_t delivered = 0;
        bool lastFromB = false;
        bool stalled = false;
        while (!FStop) {
            // Deliver what has had its time on the wire.
            const std::int64_t now = NowNs();
            while (!line.empty() && line.front().At <= now) {
                // Taken before the write: the far end may hear the character
                // before the relay's thread runs again after it.
                delivered = NowNs();
                // A relay not scheduled in time holds characters back that
                // the wire would have carried. Once the pause it makes in a
                // frame reaches t3.5, the client rightly hears the frame end
                // there, and may send while the relay still holds the rest.
                stalled = stalled || delivered - line.front().At >= FQuietNs - FCharNs;
                [[maybe_unused]] const auto n = write(line.front().To, &line.front().Byte, 1);
                line.pop_front();
            }
            int timeoutMs = 5;
            if (!line.empty()) {
                // Asleep until just before the character is due, then
                // watching the clock: a wire does not wait for a sleeping
                // processor to wake.
                const std::int64_t wake = line.front().At - SpinNs;
                const timespec until{static_cast<time_t>(wake / 1000000000),
                                     static_cast<long>(wake % 1000000000)};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
                while (NowNs() < line.front().At) {
                }
                timeoutMs = 0;
            }
            pollfd fds[2] = {{FMasterA, POLLIN, 0}, {FMasterB, POLLIN, 0}};
            if (poll(fds, 2, timeoutMs) <= 0)
                continue;
            for (int side = 0; side < 2; ++side) {
                if ((fds[side].revents & POLLIN) == 0)
                    continue;
                std::uint8_t block[512];
                const ssize_t n = read(fds[side].fd, block, sizeof block);
                const std::int64_t arrived = NowNs();
                for (ssize_t i = 0; i < n; ++i) {
                    const bool fromB = side == 1;
                    if (fromB && !lastFromB && i == 0) {
                        NoteQuiet(arrived - std::max(lineFree, delivered), stalled);
                        stalled = false;
                    }
                    lastFromB = fromB;
                    lineFree = std::max(lineFree, arrived) + FCharNs;
                    line.push_back({lineFree, fromB ? FMasterA : FMasterB, block[i]});
                }
            }
        }
    }
    void NoteQuiet(std::int64_t ns, bool afterStall) {
        std::lock_guard lock(FLock);
        if (!FWatching)
            return;
        if (afterStall)
            ++FStalls;
        else
            FQuiets.push_back(static_cast<double>(ns) / 1e6);
    }

    const std::int64_t FCharNs;
    const std::int64_t FQuietNs;  // t3.5
    int FMasterA = -1, FSlaveA = -1, FMasterB = -1, FSlaveB = -1;
    std::atomic<bool> FStop{false};
    std::mutex FLock;
    bool FWatching = false;
    std::vector<double> FQuiets;
    int FStalls = 0;
    std::thread FThread;
};

// A libmodbus RTU server in a child process, until SIGTERM.
pid_t StartServer(const std::string& path, std::uint32_t rate) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    modbus_t* ctx = modbus_new_rtu(path.c_str(), static_cast<int>(rate), 'E', 8, 1);
    modbus_set_slave(ctx, Address);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 16, 0);
    if (ctx == nullptr || map == nullptr || modbus_connect(ctx) != 0)
        _exit(1);
    std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const int n = modbus_receive(ctx, query);
        if (n > 0)
            modbus_reply(ctx, query, n, map);
    }
}

struct TRun {
    std::vector<double> Ms;
    double CpuMs = 0;
    int Failures = 0;
    int BadFrames = 0;  // a reply cut by a gap: the line stalled mid-frame
};

TRun OurReads(TPacedLine& line, std::uint32_t rate, double& quietUs) {
    const int reads = ReadsAt(rate);
    TModbusConnection connection;
    connection.SetPort(line.PathB);
    connection.SetBaudRate(brCustom);
    connection.SetCustomBaudRate(rate);
    connection.SetFrameTiming(ftStandard);
    connection.SetSynchronous(true);
    connection.Open();
    quietUs = connection.StandardQuietUs();
    TModbusClient client;
    client.SetConnection(&connection);
    client.SetServerAddress(Address);
    bool done = false;
    TRun run;
    client.OnHoldingRegistersRead = [&](TModbusClient*, const TTransactionInfo& info, std::uint16_t,
                                        std::uint16_t, const TRegValues&) {
        run.Failures += info.Status == tsSuccess ? 0 : 1;
        run.BadFrames += info.Status == tsBadFrame ? 1 : 0;
        done = true;
    };
    // Warm up: the first exchange opens the way.
    for (int i = 0; i < 2; ++i) {
        done = false;
        client.ReadHoldingRegisters(0, 1);
        while (!done)
            connection.DeliverNext(1000);
    }
    run.Failures = 0;
    run.BadFrames = 0;
    line.Watch(true);
    const double cpu = ProcessCpuMs();
    const double relay = line.RelayCpuMs();
    for (int i = 0; i < reads; ++i) {
        done = false;
        const std::int64_t start = NowNs();
        client.ReadHoldingRegisters(0, 1);
        while (!done)
            connection.DeliverNext(1000);
        run.Ms.push_back(static_cast<double>(NowNs() - start) / 1e6);
    }
    run.CpuMs = (ProcessCpuMs() - cpu) - (line.RelayCpuMs() - relay);
    line.Watch(false);
    connection.Close();
    return run;
}

TRun LibmodbusReads(TPacedLine& line, std::uint32_t rate) {
    const int reads = ReadsAt(rate);
    TRun run;
    modbus_t* ctx = modbus_new_rtu(line.PathB.c_str(), static_cast<int>(rate), 'E', 8, 1);
    modbus_set_slave(ctx, Address);
    if (modbus_connect(ctx) != 0) {
        run.Failures = reads;
        return run;
    }
    modbus_set_response_timeout(ctx, 1, 0);
    std::uint16_t value = 0;
    for (int i = 0; i < 2; ++i)
        modbus_read_registers(ctx, 0, 1, &value);
    const double cpu = ProcessCpuMs();
    const double relay = line.RelayCpuMs();
    for (int i = 0; i < reads; ++i) {
        const std::int64_t start = NowNs();
        if (modbus_read_registers(ctx, 0, 1, &value) != 1)
            ++run.Failures;
        run.Ms.push_back(static_cast<double>(NowNs() - start) / 1e6);
    }
    run.CpuMs = (ProcessCpuMs() - cpu) - (line.RelayCpuMs() - relay);
    modbus_close(ctx);
    modbus_free(ctx);
    return run;
}

void RunAt(std::uint32_t rate) {
    TPacedLine line(rate);
    const pid_t server = StartServer(line.PathA, rate);
    // Let the server open its end before the first request.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // The two clients take turns, three times over, so that the machine's
    // other work weighs on both alike.
    double quietUs = 0;
    std::vector<TRun> ours;
    std::vector<TRun> theirs;
    std::vector<double> quiets;
    int stalls = 0;
    for (int r = 0; r < Repetitions; ++r) {
        ours.push_back(OurReads(line, rate, quietUs));
        const std::vector<double> seen = line.Quiets();
        quiets.insert(quiets.end(), seen.begin(), seen.end());
        stalls += line.Stalls();
        theirs.push_back(LibmodbusReads(line, rate));
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);

    const double wireMs = RequestAndReply * BitsPerCharacter * 1000.0 / rate;
    const double limitMs = wireMs + quietUs / 1000.0;
    std::printf("%6u bit/s: wire %.2f ms + quiet %.2f ms = limit %.2f ms\n", rate, wireMs,
                quietUs / 1000.0, limitMs);
    std::vector<double> ratios;
    std::vector<double> ourCpu;
    std::vector<double> theirCpu;
    std::vector<double> ourMedians;
    std::vector<double> floors;
    const int reads = ReadsAt(rate);
    for (int r = 0; r < Repetitions; ++r) {
        const TRun& o = ours[static_cast<std::size_t>(r)];
        const TRun& t = theirs[static_cast<std::size_t>(r)];
        const double oursMedian = Median(o.Ms);
        std::printf("  repetition %d\n", r + 1);
        std::printf(
            "    regwire    median %7.2f ms  ratio to limit %.3f  CPU %6.1f ms/1000  "
            "failed %d (%d bad frames)\n",
            oursMedian, oursMedian / limitMs, o.CpuMs * 1000.0 / reads, o.Failures, o.BadFrames);
        std::printf(
            "    libmodbus  median %7.2f ms  ratio to limit %.3f  CPU %6.1f ms/1000  "
            "failed %d\n",
            Median(t.Ms), Median(t.Ms) / limitMs, t.CpuMs * 1000.0 / reads, t.Failures);
        ourCpu.push_back(o.CpuMs * 1000.0 / reads);
        theirCpu.push_back(t.CpuMs * 1000.0 / reads);
        ratios.push_back(o.CpuMs / t.CpuMs);
        ourMedians.push_back(oursMedian);
        // libmodbus sends at once: its median plus the rest is what this
        // line, this server and this machine's wake-ups leave a master that
        // keeps it.
        floors.push_back(Median(t.Ms) + quietUs / 1000.0);
    }
    const double oursMedian = Median(ourMedians);
    const double floorMs = Median(floors);
    std::printf(
        "  regwire median %.2f ms, ratio to limit %.3f; libmodbus + t3.5 %.2f ms, ratio "
        "to limit %.3f (ours to it %.3f)\n",
        oursMedian, oursMedian / limitMs, floorMs, floorMs / limitMs, oursMedian / floorMs);
    const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
    std::printf(
        "  CPU ms per 1000: regwire %.1f, libmodbus %.1f (medians); ratio %.2f (spread "
        "%.2f to %.2f) against at most %.1f: %s\n",
        Median(ourCpu), Median(theirCpu), Median(ratios), *low, *high, kCpuRatioLimit,
        Median(ratios) <= kCpuRatioLimit ? "within" : "beyond");
    const double least = quiets.empty() ? 0 : *std::min_element(quiets.begin(), quiets.end());
    std::printf(
        "  quiet before our requests: min %.3f ms, median %.3f ms (%zu seen, %d after a relay "
        "stall left out), t3.5 %.3f ms\n",
        least, Median(quiets), quiets.size(), stalls, quietUs / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    for (const std::uint32_t rate : {9600u, 115200u})
        RunAt(rate);
    return 0;
}
