// Standard timing at the line's limit: one-register reads of our client
// (ftStandard) and of libmodbus's client against the same libmodbus server,
// across a paced line: two pseudo-terminals joined by a relay that passes
// each character on after its time on the wire (11 bits: start, 8 data, even
// parity, stop), one character at a time in either direction, as on a
// two-wire RS-485 bus. Run at the speeds given (bench_timing 115200), or at
// 9600 and at 115200 bit/s.
//
// Prints for each speed and client the median transaction, its ratio to the
// limit of a master that keeps the rule (wire time of request and reply plus
// the 3.5 characters of quiet before the next request), the quiet the line
// really had before each of our requests (minimum and median, seen by the
// relay), and the CPU each client takes per 1000 transactions; and, as the
// least a master that keeps the rest could take on this line and machine,
// libmodbus's median plus the rest it skips. libmodbus's client runs twice:
// as it is, and resting t3.5 before each request as a master that keeps the
// rule on top of it must, which prices the rest on this machine. The server
// runs in a child process; the relay's own CPU is not counted. The clients
// take turns in 30 short blocks, so that a spell of other work on the
// machine weighs on all alike: the ratio of their processor times against
// 1.3, the median and middle half of the ratios of the blocks, and that
// median over the blocks during which the host took no processor time from
// this machine (a virtual machine's neighbours make the processor times
// swing more than anything measured here). Our client's completions are
// taken by the waiting caller, as regwire takes them.
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
#include <cstdlib>
#include <deque>
#include <functional>
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
// The blocks the reads are taken in, in turns.
constexpr int Blocks = 30;
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

// The processor time the host took from this virtual machine so far, in
// clock ticks (the steal column of /proc/stat); 0 on a machine of its own.
long long StolenTicks() {
    std::FILE* stat = std::fopen("/proc/stat", "r");
    if (stat == nullptr)
        return 0;
    long long field[8] = {};
    const int read =
        std::fscanf(stat, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &field[0], &field[1],
                    &field[2], &field[3], &field[4], &field[5], &field[6], &field[7]);
    std::fclose(stat);
    return read == 8 ? field[7] : 0;
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

// One client's share of the exchanges: transaction times and processor
// time (the relay's left out).
struct TTally {
    std::vector<double> Ms;
    double CpuMs = 0;
    int Failures = 0;
    int BadFrames = 0;  // a reply cut by a gap: the line stalled mid-frame
};

// Our client on side B, in standard timing, its completions taken by the
// waiting caller as regwire takes them.
class TOurClient {
  public:
    TOurClient(const std::string& path, std::uint32_t rate) {
        FConnection.SetPort(path);
        FConnection.SetBaudRate(brCustom);
        FConnection.SetCustomBaudRate(rate);
        FConnection.SetFrameTiming(ftStandard);
        FConnection.SetSynchronous(true);
        FConnection.Open();
        FClient.SetConnection(&FConnection);
        FClient.SetServerAddress(Address);
        FClient.OnHoldingRegistersRead = [this](TModbusClient*, const TTransactionInfo& info,
                                                std::uint16_t, std::uint16_t, const TRegValues&) {
            FStatus = info.Status;
            FDone = true;
        };
    }
    ~TOurClient() { FConnection.Close(); }

    std::uint32_t QuietUs() const { return FConnection.StandardQuietUs(); }

    // One read; its status.
    TTransactionStatus Read() {
        FDone = false;
        FClient.ReadHoldingRegisters(0, 1);
        while (!FDone)
            FConnection.DeliverNext(1000);
        return FStatus;
    }

  private:
    TModbusConnection FConnection;
    TModbusClient FClient;
    bool FDone = false;
    TTransactionStatus FStatus = tsSuccess;
};

// libmodbus's client; with a rest, it sleeps before each request until the
// line has been quiet that long since the last reply came back, as a master
// that keeps the rule on top of libmodbus must.
class TLibmodbusClient {
  public:
    TLibmodbusClient(const std::string& path, std::uint32_t rate, std::int64_t restNs = 0)
        : FContext(modbus_new_rtu(path.c_str(), static_cast<int>(rate), 'E', 8, 1)),
          FRestNs(restNs) {
        modbus_set_slave(FContext, Address);
        FOpen = modbus_connect(FContext) == 0;
        modbus_set_response_timeout(FContext, 1, 0);
    }
    ~TLibmodbusClient() {
        modbus_close(FContext);
        modbus_free(FContext);
    }

    bool Read() {
        if (FRestNs > 0 && FLastReplyNs > 0) {
            const std::int64_t until = FLastReplyNs + FRestNs;
            const timespec at{static_cast<time_t>(until / 1000000000),
                              static_cast<long>(until % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        }
        std::uint16_t value = 0;
        const bool ok = FOpen && modbus_read_registers(FContext, 0, 1, &value) == 1;
        FLastReplyNs = NowNs();
        return ok;
    }

  private:
    modbus_t* FContext;
    std::int64_t FRestNs;
    std::int64_t FLastReplyNs = 0;
    bool FOpen = false;
};

// `reads` exchanges of one client, added to its tally.
template <typename ReadOne>
void Block(TPacedLine& line, int reads, TTally& tally, ReadOne readOne) {
    const double cpu = ProcessCpuMs();
    const double relay = line.RelayCpuMs();
    for (int i = 0; i < reads; ++i) {
        const std::int64_t start = NowNs();
        readOne();
        tally.Ms.push_back(static_cast<double>(NowNs() - start) / 1e6);
    }
    tally.CpuMs += (ProcessCpuMs() - cpu) - (line.RelayCpuMs() - relay);
}

void RunAt(std::uint32_t rate) {
    TPacedLine line(rate);
    const pid_t server = StartServer(line.PathA, rate);
    // Let the server open its end before the first request.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // The clients take turns in short blocks, so that whatever else the
    // machine does weighs on all alike; which goes first rotates. Each opens
    // the port for its block (they share its line settings) and opens the
    // way with two reads before the counted ones.
    const int perBlock = ReadsAt(rate) * Repetitions / Blocks;
    const std::int64_t restNs = TOurClient(line.PathB, rate).QuietUs() * 1000;
    TTally our;
    TTally their;
    TTally resting;
    std::vector<double> ratios;
    std::vector<double> calmRatios;
    std::vector<double> restingRatios;
    for (int b = 0; b < Blocks; ++b) {
        const long long stolen = StolenTicks();
        const double ourBefore = our.CpuMs;
        const double theirBefore = their.CpuMs;
        const double restingBefore = resting.CpuMs;
        const auto ourBlock = [&] {
            TOurClient ours(line.PathB, rate);
            for (int i = 0; i < 2; ++i)
                ours.Read();
            line.Watch(true);
            Block(line, perBlock, our, [&] {
                const TTransactionStatus status = ours.Read();
                our.Failures += status == tsSuccess ? 0 : 1;
                our.BadFrames += status == tsBadFrame ? 1 : 0;
            });
            line.Watch(false);
        };
        const auto libmodbusBlock = [&](TTally& tally, std::int64_t rest) {
            TLibmodbusClient theirs(line.PathB, rate, rest);
            for (int i = 0; i < 2; ++i)
                theirs.Read();
            Block(line, perBlock, tally, [&] { tally.Failures += theirs.Read() ? 0 : 1; });
        };
        const std::function<void()> turns[] = {ourBlock, [&] { libmodbusBlock(their, 0); },
                                               [&] { libmodbusBlock(resting, restNs); }};
        for (int t = 0; t < 3; ++t)
            turns[(b + t) % 3]();
        const double ourCpu = our.CpuMs - ourBefore;
        const double ratio = ourCpu / (their.CpuMs - theirBefore);
        ratios.push_back(ratio);
        restingRatios.push_back(ourCpu / (resting.CpuMs - restingBefore));
        // A block during which the host took processor time from this
        // machine may be skewed either way: its caches were another's.
        if (StolenTicks() == stolen)
            calmRatios.push_back(ratio);
    }
    const double quietUs = static_cast<double>(restNs) / 1000.0;
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);

    const double wireMs = RequestAndReply * BitsPerCharacter * 1000.0 / rate;
    const double limitMs = wireMs + quietUs / 1000.0;
    std::printf(
        "%6u bit/s: wire %.2f ms + quiet %.2f ms = limit %.2f ms; %d blocks of %d reads "
        "each\n",
        rate, wireMs, quietUs / 1000.0, limitMs, Blocks, perBlock);
    const double ourMedian = Median(our.Ms);
    const double theirMedian = Median(their.Ms);
    std::printf("  regwire    median %7.2f ms  ratio to limit %.3f  failed %d (%d bad frames)\n",
                ourMedian, ourMedian / limitMs, our.Failures, our.BadFrames);
    std::printf("  libmodbus  median %7.2f ms  ratio to limit %.3f  failed %d\n", theirMedian,
                theirMedian / limitMs, their.Failures);
    const double restingMedian = Median(resting.Ms);
    std::printf(
        "  libmodbus resting t3.5 before each request: median %7.2f ms  ratio to limit "
        "%.3f  failed %d\n",
        restingMedian, restingMedian / limitMs, resting.Failures);
    // libmodbus sends at once: its median plus the rest is what this line,
    // this server and this machine's wake-ups leave a master that keeps it.
    const double floorMs = theirMedian + quietUs / 1000.0;
    std::printf("  libmodbus + t3.5 %.2f ms, ratio to limit %.3f (ours to it %.3f)\n", floorMs,
                floorMs / limitMs, ourMedian / floorMs);
    std::sort(ratios.begin(), ratios.end());
    const double ourCpu = our.CpuMs * 1000.0 / static_cast<double>(our.Ms.size());
    const double theirCpu = their.CpuMs * 1000.0 / static_cast<double>(their.Ms.size());
    std::printf(
        "  CPU ms per 1000: regwire %.1f, libmodbus %.1f; ratio %.2f (blocks: median %.2f, "
        "middle half %.2f to %.2f) against at most %.1f: %s\n",
        ourCpu, theirCpu, ourCpu / theirCpu, Median(ratios), ratios[ratios.size() / 4],
        ratios[ratios.size() * 3 / 4], kCpuRatioLimit,
        ourCpu / theirCpu <= kCpuRatioLimit ? "within" : "beyond");
    const double restingCpu = resting.CpuMs * 1000.0 / static_cast<double>(resting.Ms.size());
    std::sort(restingRatios.begin(), restingRatios.end());
    std::printf(
        "  CPU ms per 1000 of libmodbus resting t3.5: %.1f; ours to it %.2f (blocks: median "
        "%.2f, middle half %.2f to %.2f)\n",
        restingCpu, ourCpu / restingCpu, Median(restingRatios),
        restingRatios[restingRatios.size() / 4], restingRatios[restingRatios.size() * 3 / 4]);
    std::printf(
        "  blocks the host took no processor time in: %zu of %d, their median ratio "
        "%.2f\n",
        calmRatios.size(), Blocks, calmRatios.empty() ? 0.0 : Median(calmRatios));
    const std::vector<double> quiets = line.Quiets();
    const double least = quiets.empty() ? 0 : *std::min_element(quiets.begin(), quiets.end());
    std::printf(
        "  quiet before our requests: min %.3f ms, median %.3f ms (%zu seen, %d after a relay "
        "stall left out), t3.5 %.3f ms\n",
        least, Median(quiets), quiets.size(), line.Stalls(), quietUs / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The speeds given, or both.
    std::vector<std::uint32_t> rates;
    for (int i = 1; i < argc; ++i)
        rates.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    if (rates.empty())
        rates = {9600, 115200};
    for (const std::uint32_t rate : rates)
        RunAt(rate);
    return 0;
}
