// run_load [polls]: what a calibration run adds to CPU per poll. The same
// polls (every 500 ms of a scripted clock, default 200,000: about 28 hours)
// go through the live monitor twice: once alone, once with a run engine fed
// by every sample, carrying out a plan of many short points and writing its
// journal (synced at each event), record (synced every 10 s) and results
// to a scratch run folder. Prints the CPU per poll of each and the
// difference, the events journaled and the record's size.
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "live/monitor.h"
#include "run/engine.h"
#include "usage.h"

namespace {

class TScriptedClock : public run::TRunClock {
  public:
    qint64 Ms() const override { return FMs; }
    QDateTime Local() const override { return FStart.addMSecs(FMs); }
    qint64 FMs = 0;
    QDateTime FStart = QDateTime::currentDateTime();
};

class TConfirmingKit : public run::TRunKit {
  public:
    void Apply(const run::TSetPoints& setPoints,
               std::function<void(const run::TApplyResult&)> done) override {
        Held = setPoints;
        done({});
    }
    run::TSetPoints Held;
};

// The kit near its set points with the controllers' noise.
void Poll(live::TKitMonitor& monitor, const TScriptedClock& clock, const run::TSetPoints& held,
          long n) {
    const double wobble = std::sin(static_cast<double>(n) * 0.7) * 0.004;
    const QDateTime when = clock.Local();
    monitor.Completed(live::inReservoirFlow, true, held.ReservoirFlow + wobble, clock.FMs, when);
    monitor.Completed(live::inDilutionFlow, true, held.DilutionFlow + wobble, clock.FMs, when);
    monitor.Completed(live::inTemperature, true, held.Temperature, clock.FMs, when);
}

QJsonObject Plan(int points) {
    QJsonArray list;
    for (int i = 0; i < points; ++i)
        list.append(QJsonObject{{"wanted", 8.0 * (i % 8)}});
    return {{"name", "Load"},
            {"temperature", 40},
            {"dilution", 10},
            {"settlingMinutes", 1},
            {"dwellMinutes", 5},
            {"acceptance", QJsonObject{{"percent", 5}}},
            {"analyzer", QJsonObject{{"source", "modbus"}}},
            {"points", list}};
}

double CpuPerPollUs(long polls, bool withRun, const QString& folderPath, int* events) {
    TScriptedClock clock;
    TConfirmingKit kit;
    kit.Held = {40, 6, 10};
    live::TKitMonitor monitor(60000, 500);
    const QJsonObject planJson = Plan(static_cast<int>(polls / 700 + 2));
    run::TPlan plan = run::ParsePlan(QJsonDocument(planJson).toJson());
    run::CheckPlan(plan, run::TKitLimits{}, true);
    std::optional<run::TRunFolder> folder;
    std::optional<run::TRunEngine> engine;
    run::TRunSetup setup;
    setup.GiveUpAfterMs = 0;
    if (withRun) {
        folder.emplace(run::TRunFolder::Create(folderPath, plan.Json, 2));
        engine.emplace(plan, setup, kit, clock, *folder);
        monitor.Targets = [&] { return engine->Targets(); };
        monitor.OnSample = [&](const live::TLiveSample& s) { engine->Sample(s, s.Delivered); };
        engine->Start();
    }
    const double start = CpuSeconds();
    for (long n = 0; n < polls; ++n) {
        clock.FMs += 500;
        Poll(monitor, clock, kit.Held, n);
        if (engine)
            engine->Tick();
    }
    const double seconds = CpuSeconds() - start;
    if (engine) {
        engine->Stop("bench over");
        *events = static_cast<int>(folder->ReadJournal().size());
    }
    return seconds / static_cast<double>(polls) * 1e6;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const long polls = argc > 1 ? std::atol(argv[1]) : 200000;
    QTemporaryDir scratch;
    int events = 0;
    const double alone = CpuPerPollUs(polls, false, {}, nullptr);
    const double withRun = CpuPerPollUs(polls, true, scratch.path() + "/run", &events);
    std::printf("polls: %ld (%.1f hours at 500 ms)\n", polls, polls * 0.5 / 3600);
    std::printf("live view alone:         %.2f us CPU per poll\n", alone);
    std::printf("live view and a run:     %.2f us CPU per poll\n", withRun);
    std::printf("the run adds:            %.2f us CPU per poll\n", withRun - alone);
    std::printf("journal events:          %d\n", events);
    std::printf("record.csv:              %.1f MB\n",
                static_cast<double>(QFileInfo(scratch.path() + "/run/record.csv").size()) / 1e6);
    return 0;
}
