// The run engine: carries out a checked plan point by point. For each point
// it applies the set points through the kit (the same confirmed writes as
// Apply), waits until the stability rule has held them for the plan's
// settling time (at most the point's settleMaxMinutes), waits out the
// analyser's delay, then averages every complete poll over the dwell. Every
// step goes to the journal before the run goes on.
//
// It is driven from outside only: the poll's complete samples, the kit's
// answer to each Apply, and a clock it is given, which Tick asks whenever
// the owner's timer fires. So a window, vapcal-run and the tests (on a
// scripted clock, a whole plan in milliseconds) share one engine.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "calc/settings.h"
#include "calc/uncertainty.h"
#include "live/sample.h"
#include "live/stability.h"
#include "run/plan.h"
#include "run/results.h"
#include "run/runfolder.h"

namespace run {

struct TSetPoints {
    double Temperature = 0;    // °C
    double ReservoirFlow = 0;  // ml/min
    double DilutionFlow = 0;   // l/min
};

// How an Apply ended: every write confirmed, or the step that failed.
struct TApplyResult {
    bool Ok = true;
    std::string FailedStep;
};

// The kit as the engine drives it.
class TRunKit {
  public:
    virtual ~TRunKit() = default;
    // Writes the set points with Apply's confirmed writes and calls `done`
    // once when they are over (possibly before Apply returns).
    virtual void Apply(const TSetPoints& setPoints,
                       std::function<void(const TApplyResult&)> done) = 0;
};

// The engine's clock: monotonic milliseconds for durations, the local date
// and time for the journal.
class TRunClock {
  public:
    virtual ~TRunClock() = default;
    virtual qint64 Ms() const = 0;
    virtual QDateTime Local() const = 0;
};

enum TRunState { rsIdle, rsApplying, rsSettling, rsDelay, rsDwelling, rsDone, rsStopped };
const char* RunStateName(TRunState state);

// What the run is carried out with besides the plan.
struct TRunSetup {
    std::string Port;
    std::string Console;  // the console's version
    // Who started the run when not the operator ("plant 127.0.0.1").
    std::string StartedBy;
    TKitLimits Kit;  // capacities, limits and saturator conditions
    live::TTolerances Tolerances;
    calc::TAccuracies Accuracies;  // the lab's, for each point's budget
    // The lab and its reference instruments as the settings hold them at
    // the start: the report names them.
    calc::TLaboratory Laboratory;
    // The kit silent (no complete poll) this long stops the run; 0: never.
    qint64 GiveUpAfterMs = 120000;
};

// The "conditions" of results.json for a plan and setup.
QJsonObject ConditionsJson(const TPlan& plan, const TRunSetup& setup);

class TRunEngine {
  public:
    TRunEngine(TPlan plan, const TRunSetup& setup, TRunKit& kit, const TRunClock& clock,
               TRunFolder& folder);

    // After every change of state or of the pause.
    std::function<void(TRunState state)> OnStateChanged;
    // A point's result, as the journal keeps it.
    std::function<void(int index, const QJsonObject& result)> OnPointFinished;
    // The run ended (done or stopped); results.json is written.
    std::function<void()> OnFinished;
    // The record refused a line and stopped (the message to show); the run
    // goes on, its journal being its truth.
    std::function<void(const std::string& message)> OnRecordingStopped;
    // A manual analyser: the dwell of point `index` is over and its mean
    // reading is wanted (EnterAnalyzerReading).
    std::function<void(int index)> OnAnalyzerWanted;
    // The analyser stopped answering, or answers again: the message, as
    // the journal holds it.
    std::function<void(const std::string& message)> OnAnalyzerNews;

    // A new run from its first point.
    void Start();
    // An interrupted run: the points the journal finished are kept as they
    // are, the interrupted one starts again; with every point done the run
    // ends as a run's end does; a run cut before its start starts. Raises
    // ERunFolderError when the run has ended.
    void Resume();
    // `by`: who asked when not the operator ("plant 127.0.0.1").
    void Pause(const std::string& by = {});
    void Continue(const std::string& by = {});
    // The point in hand is marked skipped and the run goes on.
    void Skip(const std::string& by = {});
    void Stop(const std::string& reason);
    // A manual analyser's mean over the dwell; one that is not a number
    // (a field left empty) ends the point without an analyser reading.
    void EnterAnalyzerReading(double mean);
    // The kit's port vanished: the run pauses (the kit is not watched), and
    // gives up as for a silent kit should the port stay away. Back: the
    // point in hand settles again.
    void KitLost(const std::string& port);
    void KitBack(const std::string& port = {});

    // A complete poll, with the analyser's reading polled in the same
    // cycle (none when it was not read or did not answer).
    void Sample(const live::TLiveSample& sample, std::optional<double> analyzer);
    // A poll that was not complete; `oldestReadingAgeMs` the age of the
    // oldest of the instruments' last readings (none when unknown). A
    // short gap holds the settling clock, a long one starts it again.
    void Lapse(std::optional<qint64> oldestReadingAgeMs = std::nullopt);
    // The analyser's read of a poll cycle was answered, or not. Misses in a
    // row name it (journal, OnAnalyzerNews, the status); silence for longer
    // than the give-up time stops the run.
    void AnalyzerAnswered(bool answered);
    // The clock moved on.
    void Tick();

    // What the live readings are judged against now.
    live::TKitTargets Targets() const;

    TRunState State() const { return FState; }
    bool Paused() const { return FPaused; }
    bool Running() const { return FState != rsIdle && FState != rsDone && FState != rsStopped; }
    int PointIndex() const { return FPoint + 1; }
    int PointCount() const { return static_cast<int>(FPlan.Points.size()); }
    const TPlan& Plan() const { return FPlan; }
    // Time left in the state, when it has a limit.
    std::optional<qint64> TimeLeftMs() const;
    // "Run: point 2 of 4, dwelling 3:10", and what the run waits on.
    std::string StatusText() const;
    // The state of the point in hand with its countdown: "dwelling 3:10",
    // "settling 3:10 (at most 24:50)", "paused (settling starts again on
    // Resume)".
    std::string PointStateText() const;
    // "analyser 30 on the line" (the plan's analyser).
    std::string AnalyzerName() const;
    // The analyser has missed its reads and not answered since.
    bool AnalyzerSilent() const { return FAnalyzerNamed; }
    const std::string& StopReason() const { return FStopReason; }
    const std::vector<std::optional<QJsonObject>>& Results() const { return FResults; }
    // 0 every point done and passing (or nothing to pass), 1 a point failed
    // or was not done, 2 the run stopped before its end.
    int ExitStatus() const;

  private:
    const TPlanPoint& Point() const { return FPlan.Points[static_cast<std::size_t>(FPoint)]; }
    void SetState(TRunState state);
    QJsonObject EventJson(const char* event, QJsonObject fields, bool withPoint) const;
    void Event(const char* event, QJsonObject fields = {}, bool withPoint = true);
    // The analyser's silence or its answer again: journalled and handed on.
    void AnalyzerNews(const char* event, const char* text);
    void Guarded(const std::function<void()>& step);
    void StartPoint(int index);
    void Applied(const TApplyResult& result, int generation);
    void BeginSettling();
    void Stable(qint64 ms);
    void BeginDwell(qint64 ms);
    void DwellOver(qint64 ms);
    void FinishPoint(TPointStatus status, const char* event, std::optional<double> manual = {},
                     const std::string& by = {});
    void Settle();
    int DwellAttempt() const { return FDwellAttempts[static_cast<std::size_t>(FPoint)]; }
    void NextPoint();
    std::optional<calc::TUncertaintyBudget> Budget() const;
    void ClearDwell();
    QJsonObject FinishedEvent() const;
    // `end`: the event that ends the run and is not in the journal yet.
    void Finish(TRunState state, const QJsonObject& end);
    void Ended();
    void Advance(qint64 ms);
    bool GiveUpWhenSilent(qint64 ms);
    bool GiveUpOnAnalyzer(qint64 ms);
    void Interrupted(const char* event, const std::string& by, QJsonObject fields = {});
    void StopNow(const std::string& reason, bool journal);

    TPlan FPlan;
    TRunSetup FSetup;
    TRunKit& FKit;
    const TRunClock& FClock;
    TRunFolder& FFolder;
    live::TStability FStability;
    TRunState FState = rsIdle;
    bool FPaused = false;
    int FPoint = 0;
    int FGeneration = 0;  // an Apply answered after the point moved on is ignored
    std::vector<std::optional<QJsonObject>> FResults;
    // The dwells each point has begun, in this run and before a resume: the
    // record's rows of a dwell that was cut carry an earlier attempt.
    std::vector<int> FDwellAttempts;
    std::string FStopReason;
    qint64 FAppliedMs = 0;
    qint64 FStateMs = 0;
    qint64 FLastSampleMs = 0;
    std::optional<double> FStableAfterSeconds;
    std::string FDwellStarted;
    TDwellStatistics FDelivered;
    TDwellStatistics FAnalyzer;
    // The readings over the dwell, at whose means the budget is made.
    TDwellStatistics FTemp;
    TDwellStatistics FFlow;
    TDwellStatistics FDilution;
    // Complete polls of the dwell, of which the analyser should have been
    // read in at least half.
    int FDwellPolls = 0;
    bool FAwaitingManual = false;
    bool FKitLost = false;
    // The analyser's reads missed in a row, since when, and whether it has
    // been named as silent.
    int FAnalyzerMisses = 0;
    std::optional<qint64> FAnalyzerSilentSinceMs;
    bool FAnalyzerNamed = false;
};

}  // namespace run
