// trend_load [hours]: a day of the live view in simulated time. Polls every
// second (default 24 hours) through the monitor: the delivered concentration,
// the stability, the trend's history and the record to a scratch file, the
// Trend page hidden as it is most of the time. Then the Trend page in front
// at its 8-hour span, redrawn and painted at every poll. Prints:
//   - CPU per poll, hidden page and page in front;
//   - the peak resident memory the day added, and the history's points;
//   - the record's size per day.
// Goal: under 50 MB more memory than without the trend.

#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "app/trendpage.h"
#include "live/monitor.h"
#include "usage.h"

namespace {

live::TKitTargets Targets() {
    live::TKitTargets t;
    t.TempSP = 40;
    t.FlowSP = 6;
    t.DilutionFlowSP = 10;
    t.Pbar = 29.96;
    t.Dp = 0;
    t.RefTemp = 20;
    t.Calculated = 40.02;
    return t;
}

// A kit that wanders a little around its set points, with a disturbance an
// hour, so the stability and the record see every state.
void Poll(live::TKitMonitor& monitor, qint64 ms, const QDateTime& start) {
    const double s = static_cast<double>(ms) / 1000;
    const bool disturbed = static_cast<long>(s) % 3600 < 120;
    const double temp = std::round((40 + 0.1 * std::sin(s / 97)) * 10) / 10;
    const double flow = 6 * (1 + 0.003 * std::sin(s / 13) + (disturbed ? 0.03 : 0));
    const double dilution = 10 * (1 + 0.002 * std::cos(s / 29));
    const QDateTime when = start.addMSecs(ms);
    monitor.Completed(live::inReservoirFlow, true, flow, ms, when);
    monitor.Completed(live::inDilutionFlow, true, dilution, ms, when);
    monitor.Completed(live::inTemperature, true, temp, ms, when);
}

}  // namespace

int main(int argc, char** argv) {
    const double hours = argc > 1 ? std::atof(argv[1]) : 24;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath("record.csv");

    qint64 now = 0;
    live::TKitMonitor monitor(10 * 60 * 1000, 1000);
    monitor.Targets = Targets;
    app::TTrendPage page(
        monitor.History(), monitor.Stability().Tolerances(), [&now] { return now; }, nullptr);
    page.resize(322, 353);
    page.cbxRange->setCurrentIndex(2);
    monitor.OnSample = [&page](const live::TLiveSample&) { page.Redraw(); };
    monitor.Recorder().Start(path);
    const QDateTime start = QDateTime::currentDateTime();
    application.processEvents();

    const long baseKiB = PeakKiB();
    const qint64 polls = static_cast<qint64>(hours * 3600);
    const double cpuHidden = CpuSeconds();
    for (qint64 i = 0; i < polls; ++i) {
        now = i * 1000;
        Poll(monitor, now, start);
    }
    const double hiddenCpu = CpuSeconds() - cpuHidden;
    const long hiddenKiB = PeakKiB() - baseKiB;
    const qint64 bytes = QFileInfo(path).size();

    page.show();
    application.processEvents();
    const int shownPolls = 600;
    const double cpuShown = CpuSeconds();
    for (int i = 0; i < shownPolls; ++i) {
        now += 1000;
        Poll(monitor, now, start);
        application.processEvents();
    }
    const double shownCpu = CpuSeconds() - cpuShown;
    const long shownKiB = PeakKiB() - baseKiB;
    monitor.Recorder().Stop();

    std::printf("polls (1 s, simulated): %lld over %.1f h\n", static_cast<long long>(polls), hours);
    std::printf("CPU per poll, Trend page hidden: %.1f us\n", 1e6 * hiddenCpu / polls);
    std::printf("CPU per poll, Trend page in front (8 h span, painted): %.2f ms\n",
                1e3 * shownCpu / shownPolls);
    std::printf("peak memory added by the run: %.1f MB (page hidden), %.1f MB (page shown)\n",
                hiddenKiB / 1024.0, shownKiB / 1024.0);
    std::printf("history: %zu points\n", monitor.History().Size());
    std::printf("record: %lld bytes, %.1f MB per day (%.0f bytes a line)\n",
                static_cast<long long>(bytes), bytes / 1048576.0 * 24 / hours,
                static_cast<double>(bytes) / static_cast<double>(polls + 1));
    return 0;
}
