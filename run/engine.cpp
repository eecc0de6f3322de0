#include "run/engine.h"
#include "platform/filltext.h"

#include <QJsonArray>
#include <QUuid>
#include <cmath>
#include <cstdio>
#include <exception>

#include "live/recorder.h"
#include "run/messages.h"

namespace run {

namespace {

qint64 MinutesMs(double minutes) {
    return static_cast<qint64>(std::llround(minutes * 60000));
}

std::string Clock(qint64 ms) {
    const qint64 seconds = (std::max<qint64>(ms, 0) + 999) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

std::string General(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// The analyser's reads missed in a row that name it as silent: a read lost
// on a noisy line is not yet news.
constexpr int kAnalyzerSilentReads = 3;

QJsonObject Accuracies(const calc::TAccuracies& accuracies, const std::string& source) {
    QJsonObject json;
    for (const calc::TAccuracyKey& key : calc::kAccuracyKeys)
        json[key.Key] = static_cast<double>(accuracies.*key.Member);
    json[calc::kAccuracySourceKey] = QString::fromStdString(source);
    return json;
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

QJsonObject LaboratoryJson(const calc::TLaboratory& lab) {
    return {{"name", Text(lab.Name)},
            {"address", Text(lab.Address)},
            {"accreditation", Text(lab.Accreditation)},
            {"reportPrefix", Text(lab.ReportPrefix)}};
}

QJsonArray InstrumentsJson(const calc::TLaboratory& lab) {
    QJsonArray instruments;
    for (int i = 0; i < calc::kInstrumentCount; ++i) {
        const calc::TInstrument& instrument = lab.Instruments[i];
        instruments.append(QJsonObject{{"role", calc::kInstrumentRoles[i].Role},
                                       {"model", Text(instrument.Model)},
                                       {"serial", Text(instrument.Serial)},
                                       {"certificate", Text(instrument.Certificate)},
                                       {"calibrated", Text(instrument.Calibrated)},
                                       {"due", Text(instrument.Due)}});
    }
    return instruments;
}

}  // namespace

const char* RunStateName(TRunState state) {
    switch (state) {
        case rsIdle:
            return kStateIdle;
        case rsApplying:
            return kStateApplying;
        case rsSettling:
            return kStateSettling;
        case rsDelay:
            return kStateDelay;
        case rsDwelling:
            return kStateDwelling;
        case rsDone:
            return kStateDone;
        case rsStopped:
            break;
    }
    return kStateStopped;
}

QJsonObject ConditionsJson(const TPlan& plan, const TRunSetup& setup) {
    const live::TTolerances& t = setup.Tolerances;
    return {
        {"pbar", setup.Kit.Pbar},
        {"dp", setup.Kit.Dp},
        {"refTemp", setup.Kit.RefTemp},
        {"reservoirCapacity", setup.Kit.ReservoirCapacity},
        {"dilutionCapacity", setup.Kit.DilutionCapacity},
        {"settlingMinutes", plan.SettlingMinutes},
        {"tempTolerance", t.Temp},
        {"flowTolerancePercent", t.FlowPercent},
        {"concentrationTolerancePercent", t.ConcentrationPercent},
        {"flowToleranceFloor", t.FlowFloor},
        {"dilutionToleranceFloor", t.DilutionFloor},
        {"concentrationToleranceFloor", t.ConcentrationFloor},
        {"uncertainty", Accuracies(setup.Accuracies, setup.Laboratory.AccuracySource)},
        {"laboratory", LaboratoryJson(setup.Laboratory)},
        {"instruments", InstrumentsJson(setup.Laboratory)},
    };
}

TRunEngine::TRunEngine(TPlan plan, const TRunSetup& setup, TRunKit& kit, const TRunClock& clock,
                       TRunFolder& folder)
    : FPlan(std::move(plan)),
      FSetup(setup),
      FKit(kit),
      FClock(clock),
      FFolder(folder),
      FStability(MinutesMs(FPlan.SettlingMinutes), setup.Tolerances),
      FResults(FPlan.Points.size()),
      FDwellAttempts(FPlan.Points.size(), 0) {}

// A journal line that cannot be written stops the run at once: nothing is
// done that the journal does not hold.
void TRunEngine::Guarded(const std::function<void()>& step) {
    try {
        step();
    } catch (const ERunFolderError& e) {
        StopNow(e.what(), false);
    }
}

QJsonObject TRunEngine::EventJson(const char* event, QJsonObject fields, bool withPoint) const {
    fields["event"] = event;
    fields["time"] = QString::fromStdString(live::IsoLocalTime(FClock.Local()));
    if (withPoint)
        fields["point"] = PointIndex();
    return fields;
}

void TRunEngine::Event(const char* event, QJsonObject fields, bool withPoint) {
    FFolder.Journal(EventJson(event, std::move(fields), withPoint));
}

void TRunEngine::SetState(TRunState state) {
    FState = state;
    FStateMs = FClock.Ms();
    if (OnStateChanged)
        OnStateChanged(state);
}

void TRunEngine::Start() {
    Guarded([this] {
        QJsonObject fields{{"runId", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                           {"plan", QString::fromStdString(FPlan.Name)},
                           {"port", QString::fromStdString(FSetup.Port)},
                           {"console", QString::fromStdString(FSetup.Console)},
                           {"conditions", ConditionsJson(FPlan, FSetup)}};
        if (!FSetup.StartedBy.empty())
            fields["by"] = QString::fromStdString(FSetup.StartedBy);
        Event("started", fields, false);
        StartPoint(0);
    });
}

void TRunEngine::Resume() {
    bool started = false;
    for (const QJsonObject& event : FFolder.ReadJournal()) {
        const QString name = event["event"].toString();
        if (name == "started")
            started = true;
        else if (name == "finished")
            throw ERunFolderError(
                platform::FillText(kFolderFinished, {FFolder.Path().toStdString()}));
        const int point = event["point"].toInt();
        if (name == "dwellStarted" && point >= 1 && point <= PointCount())
            ++FDwellAttempts[static_cast<std::size_t>(point - 1)];
        if (event["result"].isObject() && point >= 1 && point <= PointCount())
            FResults[static_cast<std::size_t>(point - 1)] = event["result"].toObject();
    }
    // Cut before its start was journalled: nothing was done, the run
    // starts.
    if (!started) {
        Start();
        return;
    }
    int first = 0;
    while (first < PointCount() && FResults[static_cast<std::size_t>(first)])
        ++first;
    Guarded([this, first] {
        FPoint = std::min(first, PointCount() - 1);
        // This session's kit and console, which its end reports.
        Event("resumed",
              {{"port", QString::fromStdString(FSetup.Port)},
               {"console", QString::fromStdString(FSetup.Console)},
               {"conditions", ConditionsJson(FPlan, FSetup)}},
              first < PointCount());
        if (first >= PointCount())
            Finish(rsDone, FinishedEvent());
        else
            StartPoint(first);
    });
}

void TRunEngine::StartPoint(int index) {
    FPoint = index;
    FStableAfterSeconds.reset();
    FDwellStarted.clear();
    ClearDwell();
    FAwaitingManual = false;
    const int generation = ++FGeneration;
    SetState(rsApplying);
    const TPlanPoint& p = Point();
    FKit.Apply({p.Temperature, p.ReservoirFlow, p.Dilution},
               [this, generation](const TApplyResult& result) { Applied(result, generation); });
}

void TRunEngine::Applied(const TApplyResult& result, int generation) {
    if (generation != FGeneration || FState != rsApplying)
        return;
    Guarded([this, &result] {
        if (!result.Ok) {
            char reason[400];
            std::snprintf(reason, sizeof reason, kStopApplyFailed, PointIndex(),
                          result.FailedStep.c_str());
            StopNow(reason, true);
            return;
        }
        const TPlanPoint& p = Point();
        Event("applied", {{"temperature", p.Temperature},
                          {"reservoirFlow", p.ReservoirFlow},
                          {"dilutionFlow", p.Dilution},
                          {"calculated", p.Calculated}});
        FAppliedMs = FClock.Ms();
        FLastSampleMs = FAppliedMs;
        BeginSettling();
    });
}

void TRunEngine::BeginSettling() {
    FStability.Lapse();
    ClearDwell();
    SetState(rsSettling);
}

void TRunEngine::ClearDwell() {
    FDwellPolls = 0;
    FDelivered = {};
    FAnalyzer = {};
    FTemp = {};
    FFlow = {};
    FDilution = {};
}

// What interrupts the run goes to the journal with who asked: results.json
// lists the interruptions from there.
void TRunEngine::Interrupted(const char* event, const std::string& by, QJsonObject fields) {
    if (!by.empty())
        fields["by"] = QString::fromStdString(by);
    Event(event, fields);
}

void TRunEngine::Pause(const std::string& by) {
    if (!Running() || FPaused)
        return;
    Guarded([this, &by] {
        Interrupted("paused", by);
        FPaused = true;
        if (OnStateChanged)
            OnStateChanged(FState);
    });
}

// The kit was not watched while paused: a point past its apply settles
// again, from a fresh settling limit.
void TRunEngine::Continue(const std::string& by) {
    if (!Running() || !FPaused)
        return;
    Guarded([this, &by] {
        Interrupted("resumed", by, {{"port", QString::fromStdString(FSetup.Port)}});
        Settle();
    });
}

void TRunEngine::Settle() {
    FPaused = false;
    FStableAfterSeconds.reset();
    FDwellStarted.clear();
    FAwaitingManual = false;
    if (FState == rsApplying) {
        if (OnStateChanged)
            OnStateChanged(FState);
        return;
    }
    FAppliedMs = FClock.Ms();
    FLastSampleMs = FAppliedMs;
    BeginSettling();
}

void TRunEngine::KitLost(const std::string& port) {
    if (!Running() || FPaused)
        return;
    Guarded([this, &port] {
        Event("portLost",
              {{"port", QString::fromStdString(port)},
               {"reason", QString::fromStdString(platform::FillText(kPausePortGone, {port}))}});
        FPaused = true;
        FKitLost = true;
        if (OnStateChanged)
            OnStateChanged(FState);
    });
}

void TRunEngine::KitBack(const std::string& port) {
    if (!FKitLost)
        return;
    FKitLost = false;
    if (!Running() || !FPaused)
        return;
    Guarded([this, &port] {
        Event("portBack", {{"port", QString::fromStdString(port.empty() ? FSetup.Port : port)}});
        Settle();
    });
}

void TRunEngine::Skip(const std::string& by) {
    if (!Running())
        return;
    Guarded([this, &by] {
        ++FGeneration;
        FPaused = false;
        FinishPoint(psSkipped, "skipped", std::nullopt, by);
    });
}

void TRunEngine::Stop(const std::string& reason) {
    if (!Running())
        return;
    Guarded([this, &reason] { StopNow(reason, true); });
}

void TRunEngine::StopNow(const std::string& reason, bool journal) {
    if (FState == rsDone || FState == rsStopped)
        return;
    ++FGeneration;
    FStopReason = reason;
    if (!FResults[static_cast<std::size_t>(FPoint)])
        FResults[static_cast<std::size_t>(FPoint)] =
            PointWithoutDwell(PointIndex(), Point(), psStopped, FStableAfterSeconds);
    // A stop the journal refused still ends results.json.
    QJsonObject unjournalled =
        EventJson("stopped", {{"reason", QString::fromStdString(reason)}}, true);
    if (journal) {
        try {
            FFolder.Journal(unjournalled);
            unjournalled = {};
        } catch (const ERunFolderError& e) {
            FStopReason = e.what();
        }
    }
    Finish(rsStopped, unjournalled);
}

void TRunEngine::EnterAnalyzerReading(double mean) {
    if (FState != rsDwelling || !FAwaitingManual)
        return;
    Guarded([this, mean] {
        if (std::isfinite(mean))
            FinishPoint(psDone, "dwellDone", mean);
        else
            FinishPoint(psNoAnalyzerReading, "dwellDone");
    });
}

void TRunEngine::Sample(const live::TLiveSample& sample, std::optional<double> analyzer) {
    if (!Running())
        return;
    FLastSampleMs = sample.Ms;
    const double reading = analyzer.value_or(std::nan(""));
    const bool wasRecording = FFolder.RecordError().empty();
    const int attempt = FState == rsDwelling && !FPaused ? DwellAttempt() : 0;
    if (!FFolder.Record(RunRecordLine(sample, FStability.Text(sample.Ms),
                                      static_cast<double>(FSetup.Accuracies.CoverageFactor),
                                      FState == rsIdle ? 0 : PointIndex(), reading, attempt),
                        sample.Ms) &&
        wasRecording && OnRecordingStopped)
        OnRecordingStopped(FFolder.RecordError());
    if (FPaused)
        return;
    Guarded([&] {
        if (FState == rsSettling) {
            FStability.Feed(sample);
            if (FStability.State(sample.Ms) == live::ssStable) {
                Stable(sample.Ms);
                return;
            }
        } else if (FState == rsDwelling && !FAwaitingManual) {
            ++FDwellPolls;
            if (std::isfinite(sample.Delivered)) {
                FDelivered.Add(sample.Delivered);
                FTemp.Add(sample.Temp);
                FFlow.Add(sample.Flow);
                FDilution.Add(sample.DilutionFlow);
            }
            if (analyzer && std::isfinite(*analyzer))
                FAnalyzer.Add(*analyzer);
        }
        Advance(sample.Ms);
    });
}

void TRunEngine::Lapse(std::optional<qint64> oldestReadingAgeMs) {
    if (FState == rsSettling)
        FStability.Unwatched(FClock.Ms(), oldestReadingAgeMs);
}

void TRunEngine::AnalyzerAnswered(bool answered) {
    if (!Running() || FPlan.Analyzer.Source != asModbus)
        return;
    Guarded([this, answered] {
        if (answered) {
            FAnalyzerMisses = 0;
            FAnalyzerSilentSinceMs.reset();
            if (!FAnalyzerNamed)
                return;
            FAnalyzerNamed = false;
            AnalyzerNews("analyzerAnswers", kAnalyzerAnswers);
            return;
        }
        if (!FAnalyzerSilentSinceMs)
            FAnalyzerSilentSinceMs = FClock.Ms();
        if (++FAnalyzerMisses < kAnalyzerSilentReads || FAnalyzerNamed)
            return;
        FAnalyzerNamed = true;
        AnalyzerNews("analyzerSilent", kAnalyzerSilent);
    });
}

void TRunEngine::AnalyzerNews(const char* event, const char* text) {
    const std::string message = platform::FillText(text, {AnalyzerName()});
    Event(event, {{"message", QString::fromStdString(message)}}, false);
    if (OnAnalyzerNews)
        OnAnalyzerNews(message);
}

std::string TRunEngine::AnalyzerName() const {
    const TAnalyzerPlan& a = FPlan.Analyzer;
    return platform::FillText(
        kAnalyzerName, {std::to_string(a.Address), a.Port == "line" ? kAnalyzerOnLine : a.Port});
}

// An analyser silent for longer than the kit may be stops the run: no
// point could be judged meanwhile.
bool TRunEngine::GiveUpOnAnalyzer(qint64 ms) {
    if (FSetup.GiveUpAfterMs <= 0 || !FAnalyzerSilentSinceMs ||
        ms - *FAnalyzerSilentSinceMs <= FSetup.GiveUpAfterMs)
        return false;
    StopNow(platform::FillText(kStopAnalyzerSilent,
                               {AnalyzerName(), std::to_string(FSetup.GiveUpAfterMs / 1000)}),
            true);
    return true;
}

void TRunEngine::Tick() {
    if (!Running() || (FPaused && !FKitLost))
        return;
    Guarded([this] {
        if (FPaused)
            GiveUpWhenSilent(FClock.Ms());
        else
            Advance(FClock.Ms());
    });
}

bool TRunEngine::GiveUpWhenSilent(qint64 ms) {
    if (FSetup.GiveUpAfterMs <= 0 || FState == rsApplying ||
        ms - FLastSampleMs <= FSetup.GiveUpAfterMs)
        return false;
    char reason[200];
    std::snprintf(reason, sizeof reason, kStopKitSilent,
                  static_cast<int>(FSetup.GiveUpAfterMs / 1000));
    StopNow(reason, true);
    return true;
}

// The steps that follow from time alone.
void TRunEngine::Advance(qint64 ms) {
    if (GiveUpWhenSilent(ms) || GiveUpOnAnalyzer(ms))
        return;
    switch (FState) {
        case rsSettling:
            if (ms - FAppliedMs > MinutesMs(Point().SettleMaxMinutes)) {
                Interrupted("notStable", "run",
                            {{"result", PointWithoutDwell(PointIndex(), Point(), psNotStable,
                                                          std::nullopt)}});
                if (FPlan.StopWhenNotStable) {
                    char reason[200];
                    std::snprintf(reason, sizeof reason, kStopNotStable, PointIndex(),
                                  General(Point().SettleMaxMinutes).c_str());
                    FResults[static_cast<std::size_t>(FPoint)] =
                        PointWithoutDwell(PointIndex(), Point(), psNotStable, std::nullopt);
                    StopNow(reason, true);
                } else {
                    FinishPoint(psNotStable, nullptr);
                }
            }
            break;
        case rsDelay:
            if (ms - FStateMs >= static_cast<qint64>(FPlan.Analyzer.DelaySeconds * 1000))
                BeginDwell(ms);
            break;
        case rsDwelling:
            if (!FAwaitingManual && ms - FStateMs >= MinutesMs(Point().DwellMinutes))
                DwellOver(ms);
            break;
        default:
            break;
    }
}

void TRunEngine::Stable(qint64 ms) {
    FStableAfterSeconds = static_cast<double>(ms - FAppliedMs) / 1000;
    Event("stable", {{"stableAfterSeconds", *FStableAfterSeconds}});
    if (FPlan.Analyzer.DelaySeconds > 0) {
        SetState(rsDelay);
        return;
    }
    BeginDwell(ms);
}

void TRunEngine::BeginDwell(qint64) {
    FDwellStarted = live::IsoLocalTime(FClock.Local());
    ClearDwell();
    ++FDwellAttempts[static_cast<std::size_t>(FPoint)];
    Event("dwellStarted", {{"attempt", DwellAttempt()}});
    SetState(rsDwelling);
}

// A dwell that saw no complete poll (a line that lost every one of them)
// has nothing to average: it is begun again rather than ending the point
// "done" with nothing in it; a kit silent for good is given up on.
void TRunEngine::DwellOver(qint64 ms) {
    if (FDwellPolls == 0) {
        BeginDwell(ms);
        return;
    }
    if (FPlan.Analyzer.Source == asManual) {
        FAwaitingManual = true;
        if (OnAnalyzerWanted)
            OnAnalyzerWanted(PointIndex());
        return;
    }
    FinishPoint(FPlan.Analyzer.Source == asModbus && FAnalyzer.Count() * 2 < FDwellPolls
                    ? psNoAnalyzerReading
                    : psDone,
                "dwellDone");
}

// The point's result goes to the journal whole; what the journal holds is
// what a resumed run and the report will show.
void TRunEngine::FinishPoint(TPointStatus status, const char* event, std::optional<double> manual,
                             const std::string& by) {
    QJsonObject result;
    if (status == psNoAnalyzerReading) {
        const std::optional<calc::TUncertaintyBudget> budget = Budget();
        result = PointResultJson(PointIndex(), Point(), status, FStableAfterSeconds, FDelivered, {},
                                 false, FDwellStarted, live::IsoLocalTime(FClock.Local()),
                                 budget ? &*budget : nullptr, FPlan.Acceptance);
        result["attempt"] = DwellAttempt();
    } else if (status == psDone) {
        TDwellStatistics analyzer = FAnalyzer;
        if (manual) {
            analyzer = {};
            analyzer.Add(*manual);
        }
        const std::optional<calc::TUncertaintyBudget> budget = Budget();
        result = PointResultJson(PointIndex(), Point(), status, FStableAfterSeconds, FDelivered,
                                 analyzer, FPlan.Analyzer.Source != asNone, FDwellStarted,
                                 live::IsoLocalTime(FClock.Local()), budget ? &*budget : nullptr,
                                 FPlan.Acceptance);
        result["attempt"] = DwellAttempt();
    } else {
        result = PointWithoutDwell(PointIndex(), Point(), status, FStableAfterSeconds);
    }
    if (event != nullptr)
        Interrupted(event, by, {{"result", result}});
    FResults[static_cast<std::size_t>(FPoint)] = result;
    if (OnPointFinished)
        OnPointFinished(PointIndex(), result);
    NextPoint();
}

// The budget at the dwell's mean readings, with the spread of the delivered
// concentration over the dwell as one more row taken whole: successive polls
// are not independent, so it is not divided by the count. None without a
// reading, or where the model has no value.
std::optional<calc::TUncertaintyBudget> TRunEngine::Budget() const {
    if (FDelivered.Count() == 0)
        return std::nullopt;
    try {
        calc::TUncertaintyBudget budget = calc::CalcUncertaintyBudget(
            {FTemp.Mean(), FFlow.Mean(), FDilution.Mean(), FSetup.Kit.Pbar, FSetup.Kit.Dp,
             FSetup.Kit.RefTemp},
            {FSetup.Kit.ReservoirCapacity, FSetup.Kit.DilutionCapacity}, FSetup.Accuracies);
        budget.AddWhole(calc::kUncStability, FDelivered.SD());
        return budget;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void TRunEngine::NextPoint() {
    if (FPoint + 1 < PointCount()) {
        StartPoint(FPoint + 1);
        return;
    }
    Finish(rsDone, FinishedEvent());
}

QJsonObject TRunEngine::FinishedEvent() const {
    return EventJson("finished", {{"pass", PlanPass(FPlan, PointsJson(FPlan, FResults))}}, false);
}

// results.json is made from the journal, as a resume or a report's check
// makes it again. "finished" reaches the journal only after results.json is
// in place: a journal that says the run has ended has its results beside
// it, and a run cut between the two is finished by a resume.
void TRunEngine::Finish(TRunState state, const QJsonObject& end) {
    ++FGeneration;
    FPaused = false;
    FKitLost = false;
    FFolder.SyncRecord();
    SetState(state);
    try {
        std::vector<QJsonObject> events = FFolder.ReadJournal();
        if (!end.isEmpty())
            events.push_back(end);
        FFolder.WriteResults(ResultsFromJournal(FPlan, events));
        if (state == rsDone)
            FFolder.Journal(end);
    } catch (const ERunFolderError& e) {
        if (FStopReason.empty())
            FStopReason = e.what();
        FState = rsStopped;
    }
    if (FPlan.EndWithZeroFlow) {
        const TPlanPoint& p = Point();
        FKit.Apply({p.Temperature, 0, p.Dilution}, [this](const TApplyResult&) { Ended(); });
        return;
    }
    Ended();
}

void TRunEngine::Ended() {
    if (OnFinished)
        OnFinished();
}

int TRunEngine::ExitStatus() const {
    if (FState != rsDone)
        return 2;
    // The procedure's verdict under a procedure, else the points'.
    const QJsonValue pass = PlanPass(FPlan, PointsJson(FPlan, FResults));
    return pass.isBool() && !pass.toBool() ? 1 : 0;
}

live::TKitTargets TRunEngine::Targets() const {
    live::TKitTargets t;
    t.Pbar = FSetup.Kit.Pbar;
    t.Dp = FSetup.Kit.Dp;
    t.RefTemp = FSetup.Kit.RefTemp;
    t.FlowCapacity = FSetup.Kit.ReservoirCapacity;
    t.DilutionFlowCapacity = FSetup.Kit.DilutionCapacity;
    if (!Running())
        return t;
    const TPlanPoint& p = Point();
    t.TempSP = p.Temperature;
    t.FlowSP = p.ReservoirFlow;
    t.DilutionFlowSP = p.Dilution;
    t.Calculated = p.Calculated;
    return t;
}

std::optional<qint64> TRunEngine::TimeLeftMs() const {
    const qint64 now = FClock.Ms();
    switch (FState) {
        case rsSettling:
            return FAppliedMs + MinutesMs(Point().SettleMaxMinutes) - now;
        case rsDelay:
            return FStateMs + static_cast<qint64>(FPlan.Analyzer.DelaySeconds * 1000) - now;
        case rsDwelling:
            if (FAwaitingManual)
                return std::nullopt;
            return FStateMs + MinutesMs(Point().DwellMinutes) - now;
        default:
            return std::nullopt;
    }
}

// While settling the countdown is the settling still needed (all of it
// while something is off) and, beside it, the longest the point may still
// take before it counts as not stable.
std::string TRunEngine::PointStateText() const {
    if (!Running())
        return RunStateName(FState);
    if (FPaused)
        return FState == rsApplying ? kStatePaused : kStatePausedSettlesAgain;
    const std::optional<qint64> left = TimeLeftMs();
    std::string state = RunStateName(FState);
    if (!left)
        return state;
    if (FState != rsSettling)
        return state + " " + Clock(*left);
    const qint64 settling = FStability.SettlingMs() - FStability.InToleranceMs(FClock.Ms());
    return state + " " +
           platform::FillText(kSettlingCountdown, {Clock(std::min(settling, *left)), Clock(*left)});
}

std::string TRunEngine::StatusText() const {
    if (!Running())
        return std::string("Run: ") + RunStateName(FState);
    char text[300];
    std::snprintf(text, sizeof text, kRunStatus, PointIndex(), PointCount(),
                  PointStateText().c_str());
    std::string shown = text;
    if (FAnalyzerNamed)
        shown = platform::FillText(kRunStatusAnd,
                                   {shown, platform::FillText(kAnalyzerSilent, {AnalyzerName()})});
    return shown;
}

}  // namespace run
