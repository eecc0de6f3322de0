// history_load [kits] [days]: the history at a fleet's size. 100 kits (one
// analyser each), one daily run each for 3650 days (365,000 runs, each with
// a zero and an upscale point) are made in memory and imported in batches of
// 5,000 runs a transaction, once into a SQLite file and once into a private
// PostgreSQL server (started like the tests' own, but syncing each commit
// to the disk as a lab's server does). Prints for each: the
// import's time and rate, the database's size, the fleet's "at a glance"
// list (first when every chart is worked out, then as the console asks
// again) and one analyser's two charts, each the median of several.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "history/database.h"
#include "pgserver.h"

namespace {

constexpr int kBatch = 5000;
constexpr int kRepeats = 7;

// A run of kit `kit` on day `day`: its analyser drifts slowly upwards after
// year five, so charts have signals to find.
history::THistoryRun SyntheticRun(int kit, int day) {
    history::THistoryRun run;
    run.RunId =
        QString("%1-0000-4000-8000-%2").arg(kit, 8, 16, QChar('0')).arg(day, 12, 16, QChar('0'));
    const QDateTime started =
        QDateTime(QDate(2016, 1, 1).addDays(day), QTime(8, kit % 60), Qt::OffsetFromUTC, 3600);
    run.Started = started.toString(Qt::ISODate);
    run.StartedUtc = started.toUTC().toString("yyyy-MM-ddTHH:mm:ssZ");
    run.Finished = started.addSecs(5400).toString(Qt::ISODate);
    run.Plan = "Daily calibration error";
    run.Procedure = "epa-calibration-error";
    run.Analyzer.Identity = QString("UT3-%1").arg(kit, 4, 10, QChar('0'));
    run.Analyzer.Serial = run.Analyzer.Identity;
    run.Analyzer.AnalyzerId = QString("stack %1").arg(kit);
    run.Kit = QString("kit-%1").arg(kit);
    run.Lab = "Fleet QA";
    run.Operator = "operator";
    run.Port = "/dev/ttyUSB0";
    run.Console = "0.1";
    run.Folder = QString("/srv/runs/kit-%1/%2").arg(kit).arg(day);
    const double noise = std::sin(day * 12.9898 + kit * 78.233) * 0.2;
    const double drift = day > 1825 ? (day - 1825) * 0.0005 * (kit % 3) : 0;
    run.ZeroError = noise * 0.3;
    run.UpscaleError = noise + drift;
    run.Pass = std::fabs(*run.UpscaleError) <= 1.375;
    for (int p = 1; p <= 2; ++p) {
        const double wanted = p == 1 ? 0 : 27.5;
        const double error = p == 1 ? *run.ZeroError : *run.UpscaleError;
        run.Points.push_back(
            {p, "done", wanted, wanted, 0.3, wanted + error, error,
             wanted > 0 ? std::optional<double>(error / wanted * 100) : std::nullopt,
             std::fabs(error) <= 1.375});
    }
    return run;
}

template <typename Work>
double MedianMs(Work work) {
    std::vector<double> times;
    for (int i = 0; i < kRepeats; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void Measure(const char* name, const history::THistoryLocation& location, int kits, int days) {
    history::THistoryDatabase database(location);
    QElapsedTimer timer;
    timer.start();
    long added = 0;
    std::vector<history::THistoryRun> batch;
    for (int day = 0; day < days; ++day)
        for (int kit = 0; kit < kits; ++kit) {
            batch.push_back(SyntheticRun(kit, day));
            if (static_cast<int>(batch.size()) == kBatch) {
                added += database.ImportMany(batch);
                batch.clear();
            }
        }
    added += database.ImportMany(batch);
    // The import ends with every analyser's charts worked out, as
    // vapcal-history import and sync end.
    database.RefreshCharts();
    const double importS = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    std::printf("%s: imported %ld runs in %.1f s (%.0f runs/s); database %.1f MB\n", name, added,
                importS, added / importS, static_cast<double>(database.SizeBytes()) / 1e6);

    timer.restart();
    std::size_t fleet = database.Glance().size();
    const double firstGlance = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    int actions = 0;
    for (const auto& g : database.Glance())
        actions += g.State == history::csAction;
    const double glance = MedianMs([&] { fleet = database.Glance().size(); });
    const QString one = QString("UT3-%1").arg(kits / 2, 4, 10, QChar('0'));
    std::size_t samples = 0;
    const double chart = MedianMs([&] { samples = database.Charts(one).Upscale.Samples.size(); });
    std::printf(
        "%s: at a glance, %zu analysers (%d in action): %.1f ms the first time after the "
        "import, %.1f ms after\n",
        name, fleet, actions, firstGlance, glance);
    std::printf("%s: one analyser's charts (%zu runs each): %.1f ms\n", name, samples, chart);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const int kits = argc > 1 ? std::atoi(argv[1]) : 100;
    const int days = argc > 2 ? std::atoi(argv[2]) : 3650;
    std::printf("history_load: %d kits x %d days = %d runs, batches of %d\n", kits, days,
                kits * days, kBatch);
    QTemporaryDir scratch;
    Measure("SQLite", history::ParseHistoryLocation(scratch.filePath("history.sqlite")), kits,
            days);
    pgtest::TPgServer server(true);
    Measure("PostgreSQL", history::ParseHistoryLocation(server.Url()), kits, days);
    return 0;
}
