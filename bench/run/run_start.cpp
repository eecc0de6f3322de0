// bench_run_start: how a calibration run starts against vapcal-sim at 9600
// bit/s, on a clean line and on two lossy ones.
//
// For each line, --runs times, a fresh vapcal-sim with a seed of its own:
// - in this process, the start as vapcal-run makes it: the kit's line
//   opened, its settings read (patiently, within the give-up time of
//   120 s), the poll started; the time from the open to the first complete
//   poll;
// - then vapcal-run itself with a two-point plan (no analyser: on a line
//   that loses half of every instrument's reads, an analyser's points would
//   rightly end without an analyser reading), its exit status and whether
//   every point is done.
// Prints, per line, the starts that got their settings, the runs that ended
// with every point done (exit 0) and the time to the first complete poll
// (median and worst). Started by hand; asserts nothing.
//
//     build/bench/run/bench_run_start [--runs 10] [--line 0|1|2]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "platform/delay.h"
#include "run/kitline.h"
#include "simrun.h"

namespace {

constexpr int kPatienceMs = 120000;
constexpr int kFirstPollLimitMs = 10000;
constexpr int kRunLimitMs = 300000;

constexpr const char* kPlan = R"({"name": "Start", "temperature": 40, "dilution": 10,
    "settlingMinutes": 0.05, "settleMaxMinutes": 2, "dwellMinutes": 0.05,
    "points": [{"flow": 0.7}, {"wanted": 40}]})";

struct TLine {
    const char* Name;
    std::vector<std::string> Faults;
};

struct TStart {
    bool SettingsRead = false;
    std::optional<qint64> FirstPollMs;
    int Exit = -1;
    bool EveryPointDone = false;
};

// The start in this process: open, settings, poll, first complete poll.
TStart StartInProcess(const std::string& device) {
    TStart start;
    run::TSystemClock clock;
    run::TKitLine line(run::TAnalyzerPlan{}, clock);
    QElapsedTimer elapsed;
    elapsed.start();
    try {
        line.Open(device);
        line.ReadLimits({}, kPatienceMs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "  start refused: %s\n", e.what());
        return start;
    }
    start.SettingsRead = true;
    line.OnSample = [&](const live::TLiveSample&, std::optional<double>) {
        if (!start.FirstPollMs)
            start.FirstPollMs = elapsed.elapsed();
    };
    line.StartPolling();
    while (!start.FirstPollMs && elapsed.elapsed() < kFirstPollLimitMs)
        platform::Delay(2);
    line.StopPolling();
    return start;
}

// vapcal-run with the plan against the same kit.
void RunProgram(const std::string& device, const QTemporaryDir& home, int index, TStart& start) {
    const QString out = home.filePath(QString("run-%1").arg(index));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    environment.insert("XDG_DATA_HOME", home.filePath("data"));
    process.setProcessEnvironment(environment);
    process.start(VAPCAL_RUN,
                  {home.filePath("plan.json"), "-p", QString::fromStdString(device), "--out", out});
    if (!process.waitForFinished(kRunLimitMs)) {
        process.kill();
        process.waitForFinished();
        return;
    }
    start.Exit = process.exitCode();
    if (start.Exit != 0)
        std::fprintf(stderr, "  vapcal-run %d: %s", start.Exit,
                     process.readAllStandardError().constData());
    QFile results(out + "/results.json");
    if (!results.open(QIODevice::ReadOnly))
        return;
    start.EveryPointDone = true;
    // Done, and with the polls its mean stands on.
    for (const QJsonValue point :
         QJsonDocument::fromJson(results.readAll()).object()["points"].toArray())
        start.EveryPointDone = start.EveryPointDone && point["status"].toString() == "done" &&
                               point["samples"].toInt() > 0;
}

void Report(const TLine& line, const std::vector<TStart>& starts) {
    int read = 0, done = 0;
    std::vector<qint64> first;
    for (const TStart& s : starts) {
        read += s.SettingsRead ? 1 : 0;
        done += s.Exit == 0 && s.EveryPointDone ? 1 : 0;
        if (s.FirstPollMs)
            first.push_back(*s.FirstPollMs);
    }
    std::sort(first.begin(), first.end());
    const auto runs = static_cast<int>(starts.size());
    std::printf("%-28s settings read %2d of %d, every point done %2d of %d", line.Name, read, runs,
                done, runs);
    if (!first.empty())
        std::printf(", first complete poll after %lld ms (median), %lld ms (worst)",
                    static_cast<long long>(first[first.size() / 2]),
                    static_cast<long long>(first.back()));
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    int runs = 10;
    int only = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            runs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--line") == 0 && i + 1 < argc) {
            only = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: bench_run_start [--runs N] [--line 0|1|2]\n");
            return 64;
        }
    }
    QTemporaryDir home;
    QFile plan(home.filePath("plan.json"));
    if (!home.isValid() || !plan.open(QIODevice::WriteOnly) || plan.write(kPlan) < 0) {
        std::fprintf(stderr, "bench_run_start: no scratch folder\n");
        return 1;
    }
    plan.close();
    const TLine lines[] = {
        {"clean line", {}},
        {"--no-reply 15 --bad-crc 5", {"--no-reply", "15", "--bad-crc", "5"}},
        {"--no-reply 30 --bad-crc 20", {"--no-reply", "30", "--bad-crc", "20"}},
    };
    int index = 0;
    for (int l = 0; l < 3; ++l) {
        if (only >= 0 && l != only)
            continue;
        const TLine& line = lines[l];
        std::vector<TStart> starts;
        for (int run = 0; run < runs; ++run) {
            std::vector<std::string> options = line.Faults;
            options.push_back("--seed=" + std::to_string(100 + run));
            soak::TSimRun sim(VAPCAL_SIM, options, 5000);
            if (sim.Device().empty()) {
                std::fprintf(stderr, "bench_run_start: vapcal-sim gave no port\n");
                return 1;
            }
            TStart start = StartInProcess(sim.Device());
            RunProgram(sim.Device(), home, ++index, start);
            starts.push_back(start);
        }
        Report(line, starts);
    }
    return 0;
}
