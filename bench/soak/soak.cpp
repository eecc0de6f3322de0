// Soak: our Modbus client against the simulated kit on a noisy line.
//
// vapcal-sim answers as the kit's three instruments with line faults drawn
// for every request (10 % unanswered, 5 % with a spoilt checksum, 2 % from
// another address, 2 % refused as busy) and logs what it did to each one.
// The soak keeps a few transactions queued on one connection (MaxRetries 3)
// across the three servers, reads and writes mixed, until the run's count
// has ended, and samples its own resident memory as it goes. Then it holds
// every transaction against the fault log: each must end exactly once, its
// attempts must be the kit's requests in order, and its status the one its
// faults call for (a failed attempt is sent again until MaxRetries; an
// exception ends it at once). It also replays the clients' failure counts.
//
// With --sends writes the soak sends as the console does: every read once
// (a poll), every write up to three times through its client's MaxSends
// (Apply's set points and handshake steps), the connection's MaxRetries 1.
//
// The soak runs in each frame timing of the client (--timing): standard, where
// a reply ends at its length and every send waits for 3.5 quiet characters,
// and gap, where a reply ends at a silence of 20 ms; the kit keeps standard
// timing throughout. Each run has its own kit and fault log.
//
// Prints, for each timing, the counts, the time and the memory, then one
// PASS or FAIL line; exits 1 on any mismatch, 2 when a run could not be set
// up.
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ledger.h"
#include "memorysampler.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "platform/msgsink.h"
#include "simrun.h"

using namespace regwire;

namespace {

// The line faults, in percent of the kit's requests.
constexpr const char* kNoReply = "10";
constexpr const char* kBadCrc = "5";
constexpr const char* kWrongAddress = "2";
constexpr const char* kException = "2";
constexpr TMaxRetries kMaxRetries = 3;
// With 3 sends a transaction, one that fails outright passes the limit.
constexpr std::int32_t kMaxConsecutiveTimeouts = 2;
// Samples of the resident memory over a run.
constexpr int kMemorySamples = 400;
// Growth from the first quarter's peak to the last quarter's that still
// counts as flat: the allocator's own noise, far below a leak per
// transaction over a long run.
constexpr long kFlatMarginKiB = 1024;
// No completion for this long ends the run: transactions were lost.
constexpr int kStallMs = 15000;
constexpr std::array<std::uint8_t, 3> kServers = {10, 11, 20};

struct TSoakOptions {
    int Transactions = 20000;
    std::uint32_t Seed = 1;
    std::uint32_t ReceiveTimeout = 100;
    int Window = 4;
    bool KeepLog = false;
    // Reads sent once and writes up to kMaxRetries times, as the console.
    bool WritesOnly = false;
    std::vector<TFrameTiming> Timings = {ftStandard, ftGap};
};

const char* TimingName(TFrameTiming timing) {
    return timing == ftStandard ? "standard" : "gap";
}

[[noreturn]] void SetupFailed(const std::string& text) {
    std::printf("soak: FAIL (setup): %s\n", text.c_str());
    std::exit(2);
}

long Number(const QCommandLineParser& parser, const QString& name, long low, long high) {
    bool ok = false;
    const long value = parser.value(name).toLong(&ok);
    if (!ok || value < low || value > high)
        SetupFailed(QString("--%1 takes a whole number from %2 to %3")
                        .arg(name)
                        .arg(low)
                        .arg(high)
                        .toStdString());
    return value;
}

TSoakOptions ReadOptions(const QCoreApplication& application) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Soak of the Modbus client against vapcal-sim with line faults; every "
        "transaction is held against the kit's fault log.");
    parser.addHelpOption();
    parser.addOptions({
        {"transactions", "Transactions to run (default 20000).", "n", "20000"},
        {"seed", "Seed of the kit's fault draws (default 1).", "n", "1"},
        {"receive-timeout", "The connection's ReceiveTimeout in ms (default 100).", "ms", "100"},
        {"window", "Transactions kept queued at once (default 4).", "n", "4"},
        {"keep-log", "Keep the fault log file after a passing run."},
        {"timing",
         "The client's frame timing: standard, gap, or both, one run after the other "
         "(default both).",
         "timing", "both"},
        {"sends",
         "Which requests are sent again while no valid reply comes: all (the connection's "
         "MaxRetries 3, the default) or writes (up to 3 sends by the client's MaxSends, reads "
         "once, as the console's Apply and poll).",
         "which", "all"},
    });
    parser.process(application);
    TSoakOptions options;
    options.Transactions = static_cast<int>(Number(parser, "transactions", 1, 10000000));
    options.Seed = static_cast<std::uint32_t>(Number(parser, "seed", 0, 4294967295L));
    options.ReceiveTimeout =
        static_cast<std::uint32_t>(Number(parser, "receive-timeout", 30, 10000));
    options.Window = static_cast<int>(Number(parser, "window", 1, 64));
    options.KeepLog = parser.isSet("keep-log");
    const QString sends = parser.value("sends");
    if (sends != "all" && sends != "writes")
        SetupFailed("--sends takes all or writes");
    options.WritesOnly = sends == "writes";
    const QString timing = parser.value("timing");
    if (timing == "standard")
        options.Timings = {ftStandard};
    else if (timing == "gap")
        options.Timings = {ftGap};
    else if (timing != "both")
        SetupFailed("--timing takes standard, gap or both");
    return options;
}

// The i-th request: the servers in turn; set-point writes and reads of one
// to three registers on the flow controllers, single reads of the
// temperature controller's registers. Values and counts vary, so a request
// out of line with the fault log shows.
// With writesOnly, a write carries its own sends.
soak::TRequestPlan PlanFor(int i, bool writesOnly) {
    static constexpr std::array<std::uint16_t, 4> kTemperatureRegisters = {28, 127, 148, 150};
    const int round = i / 3;
    const std::uint8_t server = kServers[static_cast<std::size_t>(i % 3)];
    if (server == 20)
        return {server, 3, kTemperatureRegisters[static_cast<std::size_t>(round % 4)], 1};
    if (round % 2 == 0)
        return {server, 6, 33, static_cast<std::uint16_t>(i % 32001), writesOnly ? kMaxRetries : 0};
    return {server, 3, 32, static_cast<std::uint16_t>(1 + round / 2 % 3)};
}

// The run on the main thread: keeps the window of transactions queued and
// books every completion.
class TSoakRun {
  public:
    TSoakRun(const TSoakOptions& options, TModbusConnection& line, soak::TSoakLedger& ledger,
             soak::TMemorySampler& memory)
        : FOptions(options), FLedger(ledger), FMemory(memory) {
        for (std::uint8_t server : kServers)
            FClients.push_back(MakeClient(line, server));
        FWatchdog.setInterval(1000);
        QObject::connect(&FWatchdog, &QTimer::timeout, [this] { Watch(); });
    }

    void Start() {
        FMemory.Sample(0);
        FClock.start();
        FLastProgress.start();
        FWatchdog.start();
        Refill();
    }

    bool Stalled() const { return FStalled; }
    double Seconds() const { return static_cast<double>(FElapsedMs) / 1000.0; }

  private:
    std::unique_ptr<TModbusClient> MakeClient(TModbusConnection& line, std::uint8_t server) {
        auto client = std::make_unique<TModbusClient>();
        client->SetServerAddress(server);
        client->SetMaxConsecutiveTimeouts(kMaxConsecutiveTimeouts);
        client->SetConnection(&line);
        client->OnTransactionProcessed = [this](TModbusClient*, const TTransactionInfo& info,
                                                std::uint8_t command,
                                                bool) { Processed(info, command); };
        client->OnHoldingRegistersRead = [this](TModbusClient*, const TTransactionInfo& info,
                                                std::uint16_t, std::uint16_t count,
                                                const TRegValues& values) {
            FLedger.FunctionCompleted(info, values.size() == count);
        };
        client->OnSingleRegisterWrite = [this](TModbusClient*, const TTransactionInfo& info,
                                               std::uint16_t, std::uint16_t) {
            FLedger.FunctionCompleted(info, true);
        };
        client->OnConsecutiveTimeoutLimitExceed = [this, server](TModbusClient*) {
            FLedger.LimitExceeded(server);
        };
        return client;
    }

    TModbusClient& ClientFor(std::uint8_t server) {
        for (std::size_t i = 0; i < kServers.size(); ++i)
            if (kServers[i] == server)
                return *FClients[i];
        return *FClients.front();
    }

    void Refill() {
        while (FLedger.QueuedCount() < FOptions.Transactions &&
               FLedger.QueuedCount() - FLedger.CompletedCount() < FOptions.Window)
            QueueNext();
    }

    void QueueNext() {
        const soak::TRequestPlan plan = PlanFor(FLedger.QueuedCount(), FOptions.WritesOnly);
        TModbusClient& client = ClientFor(plan.Server);
        client.SetMaxSends(plan.Sends);
        const std::int32_t id = plan.Function == 6
                                    ? client.WriteSingleRegister(plan.First, plan.Second)
                                    : client.ReadHoldingRegisters(plan.First, plan.Second);
        client.SetMaxSends(0);
        FLedger.Queued(id, plan);
    }

    void Processed(const TTransactionInfo& info, std::uint8_t command) {
        const int before = FLedger.CompletedCount();
        FLedger.Completed(info, command);
        const int done = FLedger.CompletedCount();
        if (done == before)
            return;
        FLastProgress.restart();
        const int every = std::max(1, FOptions.Transactions / kMemorySamples);
        if (done % every == 0)
            FMemory.Sample(done);
        Refill();
        if (done == FOptions.Transactions)
            Finish();
    }

    void Watch() {
        if (FLastProgress.elapsed() < kStallMs)
            return;
        FStalled = true;
        Finish();
    }

    void Finish() {
        FElapsedMs = FClock.elapsed();
        FWatchdog.stop();
        QCoreApplication::quit();
    }

    const TSoakOptions& FOptions;
    soak::TSoakLedger& FLedger;
    soak::TMemorySampler& FMemory;
    std::vector<std::unique_ptr<TModbusClient>> FClients;
    QTimer FWatchdog;
    QElapsedTimer FClock;
    QElapsedTimer FLastProgress;
    qint64 FElapsedMs = 0;
    bool FStalled = false;
};

void OpenLine(TModbusConnection& line, const std::string& device, std::uint32_t receiveTimeout,
              TFrameTiming timing, TMaxRetries maxRetries) {
    line.SetFrameTiming(timing);
    line.SetBaudRate(br9600);
    line.SetDataBits(db8);
    line.SetParity(psEven);
    line.SetStopBits(sb1);
    line.SetTransmissionMode(tmRTU);
    line.SetMaxRetries(maxRetries);
    line.SetReceiveTimeout(receiveTimeout);
    line.SetPort(device);
    line.Open();
}

const char* StatusName(TTransactionStatus status) {
    static const char* const names[] = {"tsNoReply",  "tsBadFrame",  "tsWrongServer",
                                        "tsBadReply", "tsException", "tsSuccess"};
    return names[status];
}

void PrintCounts(const soak::TSoakCounts& counts, const TSoakOptions& options, TFrameTiming timing,
                 double seconds, long kitLines) {
    std::printf("soak: %d transactions queued, %d ended once, %d lost, %d doubled, %d unknown\n",
                counts.Queued, counts.Completed, counts.Lost, counts.Doubled, counts.Unknown);
    std::printf("soak: statuses:");
    for (const auto& [status, n] : counts.Statuses)
        std::printf(" %s %d", StatusName(status), n);
    std::printf(
        "\nsoak: %ld attempts, %ld requests in the kit's fault log (%ld attempts unseen, "
        "%ld requests unaccounted):",
        counts.Attempts, counts.KitRequests, counts.UnseenAttempts, counts.UnaccountedRequests);
    for (const auto& [fault, n] : counts.Faults)
        std::printf(" %s %ld", fault.c_str(), n);
    std::printf("\nsoak: consecutive time-out events (MaxConsecutiveTimeouts %d):",
                kMaxConsecutiveTimeouts);
    for (const auto& [server, expected] : counts.ExpectedLimitEvents) {
        const auto raised = counts.LimitEvents.find(server);
        std::printf(" server %d %d of %d", server,
                    raised == counts.LimitEvents.end() ? 0 : raised->second, expected);
    }
    std::printf("\nsoak: kit output lines (accepted writes): %ld\n", kitLines);
    std::printf(
        "soak: %.1f s, %.1f ms a transaction, %.1f transactions/s (ReceiveTimeout %u ms, "
        "%s, window %d, %s timing)\n",
        seconds, counts.Completed > 0 ? seconds * 1000.0 / counts.Completed : 0.0,
        seconds > 0 ? counts.Completed / seconds : 0.0, options.ReceiveTimeout,
        options.WritesOnly ? "reads sent once, writes up to 3 sends" : "MaxRetries 3",
        options.Window, TimingName(timing));
}

// True when the last quarter needed no more memory than the first.
bool PrintMemory(const soak::TMemorySampler& memory, int transactions) {
    const long first = memory.PeakKiB(0, transactions / 4);
    const long last = memory.PeakKiB(transactions - transactions / 4, transactions + 1);
    const long hwm = soak::TMemorySampler::StatusKiB("VmHWM");
    const bool flat = last <= first + kFlatMarginKiB;
    std::printf(
        "soak: VmRSS peak first quarter %ld KiB, last quarter %ld KiB (%+ld KiB), VmHWM "
        "%ld KiB: %s\n",
        first, last, last - first, hwm, flat ? "flat" : "GROWING");
    return flat;
}

// One soak in one frame timing of the client, against a kit of its own;
// errorsShown collects what the library showed meanwhile. True when it
// passed.
bool RunSoak(const TSoakOptions& options, TFrameTiming timing,
             std::vector<std::string>& errorsShown) {
    errorsShown.clear();
    const std::string faultLog =
        (std::filesystem::temp_directory_path() /
         ("vapcal-soak-" + std::to_string(getpid()) + "-" + TimingName(timing) + ".log"))
            .string();
    soak::TSimRun sim(VAPCAL_SIM,
                      {"--no-reply", kNoReply, "--bad-crc", kBadCrc, "--wrong-address",
                       kWrongAddress, "--exception", kException, "--bit-rate", "0", "--seed",
                       std::to_string(options.Seed), "--fault-log", faultLog},
                      10000);
    if (sim.Device().empty())
        SetupFailed("vapcal-sim gave no device");
    std::printf(
        "soak: %d transactions in %s timing against vapcal-sim on %s, faults: no reply %s "
        "%%, bad CRC %s %%, foreign address %s %%, exception %s %%, seed %u\n",
        options.Transactions, TimingName(timing), sim.Device().c_str(), kNoReply, kBadCrc,
        kWrongAddress, kException, options.Seed);
    std::fflush(stdout);

    const TMaxRetries maxRetries = options.WritesOnly ? 1 : kMaxRetries;
    soak::TSoakLedger ledger(options.Transactions, maxRetries, kMaxConsecutiveTimeouts);
    soak::TMemorySampler memory(kMemorySamples + 2);
    double seconds = 0;
    bool stalled = false;
    {
        TModbusConnection line;
        try {
            OpenLine(line, sim.Device(), options.ReceiveTimeout, timing, maxRetries);
        } catch (const std::exception& e) {
            SetupFailed(std::string("cannot open the line: ") + e.what());
        }
        TSoakRun run(options, line, ledger, memory);
        QTimer::singleShot(0, [&run] { run.Start(); });
        QCoreApplication::exec();
        seconds = run.Seconds();
        stalled = run.Stalled();
    }
    const int kitStatus = sim.Stop();

    std::ifstream log(faultLog);
    const soak::TSoakCounts counts = ledger.Check(log);
    PrintCounts(counts, options, timing, seconds, sim.OutputLines());
    const bool flat = PrintMemory(memory, options.Transactions);

    std::vector<std::string> problems = ledger.Problems();
    if (stalled)
        problems.insert(problems.begin(), "the run stalled: no completion for " +
                                              std::to_string(kStallMs / 1000) + " s");
    for (const std::string& text : errorsShown)
        problems.push_back("error shown: " + text);
    if (kitStatus != 0)
        problems.push_back("vapcal-sim ended with status " + std::to_string(kitStatus));
    if (!flat)
        problems.push_back("memory grew over the run");
    constexpr std::size_t kShown = 25;
    for (std::size_t i = 0; i < problems.size() && i < kShown; ++i)
        std::printf("soak: problem: %s\n", problems[i].c_str());
    if (problems.size() > kShown)
        std::printf("soak: ... and %zu more\n", problems.size() - kShown);

    const bool pass = problems.empty();
    if (pass && !options.KeepLog)
        std::filesystem::remove(faultLog);
    else
        std::printf("soak: fault log kept in %s\n", faultLog.c_str());
    if (pass)
        std::printf(
            "soak: PASS in %s timing: %d transactions, each ended once with the status its "
            "faults call for\n",
            TimingName(timing), counts.Completed);
    else
        std::printf("soak: FAIL in %s timing: %zu problems\n", TimingName(timing), problems.size());
    std::fflush(stdout);
    return pass;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("soak");
    const TSoakOptions options = ReadOptions(application);

    std::vector<std::string> errorsShown;
    platform::SetMessageSink(
        [&errorsShown](const platform::TMessage& m) { errorsShown.push_back(m.Text); });
    bool pass = true;
    for (const TFrameTiming timing : options.Timings)
        pass = RunSoak(options, timing, errorsShown) && pass;
    return pass ? 0 : 1;
}
