// What a run found: each point's result (the delivered concentration and
// the analyser's reading averaged over the dwell, the acceptance), the
// linearity of the analyser over the done points, and the run's verdict.
// Each point's result is written whole into the journal when its dwell is
// done, so results.json is rebuilt from the journal alone and a resumed run
// keeps its finished points exactly as they were.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <optional>
#include <string>
#include <vector>

#include "calc/uncertainty.h"
#include "run/plan.h"

namespace run {

// Mean and standard deviation of a dwell's readings, one poll at a time
// (Welford's running sums: no list of readings is kept).
class TDwellStatistics {
  public:
    void Add(double value);
    int Count() const { return FCount; }
    double Mean() const { return FMean; }
    // The sample standard deviation; 0 for fewer than two readings.
    double SD() const;

  private:
    int FCount = 0;
    double FMean = 0;
    double FSquares = 0;
};

// psNoAnalyzerReading: the dwell ended with the analyser read in fewer than
// half its polls (or a manual reading left empty): not judged.
enum TPointStatus { psDone, psNotStable, psSkipped, psStopped, psNoAnalyzerReading };
const char* PointStatusName(TPointStatus status);

// Whether the analyser's mean passes: |analyser - delivered| against
// max(percent % of delivered, absolute), and which of the two was the limit.
struct TVerdict {
    double Error = 0;         // analyser - delivered, ng/l
    double ErrorPercent = 0;  // of delivered; NaN when delivered is 0
    bool Pass = false;
    const char* DecidedBy = "percent";
};
TVerdict Judge(double analyzer, double delivered, const TAcceptance& acceptance);

// The analyser on the delivered concentration by least squares.
struct TLinearity {
    double Slope = 0;
    double Intercept = 0;
    double R2 = 0;
    double MaxResidual = 0;  // the largest |residual|, ng/l
};
// Over the (delivered, analyser) pairs; none for fewer than three or when
// the delivered means do not spread.
std::optional<TLinearity> FitLinearity(const std::vector<std::pair<double, double>>& points);

// One point's result as results.json and the journal hold it. `budget`:
// the point's uncertainty budget at its mean readings with the dwell's
// stability row, null when none could be made (U is then null, not
// invented).
QJsonObject PointResultJson(int index, const TPlanPoint& point, TPointStatus status,
                            std::optional<double> stableAfterSeconds,
                            const TDwellStatistics& delivered, const TDwellStatistics& analyzer,
                            bool analyzerRead, const std::string& dwellStarted,
                            const std::string& dwellEnded, const calc::TUncertaintyBudget* budget,
                            const std::optional<TAcceptance>& acceptance);

// A point that ended without a dwell of its own (not stable, skipped,
// stopped).
QJsonObject PointWithoutDwell(int index, const TPlanPoint& point, TPointStatus status,
                              std::optional<double> stableAfterSeconds);

// The run's results.json: the plan, times, port, conditions, the points'
// results in the plan's order (a point without one is "stopped"), the
// linearity and the verdict.
struct TRunSummary {
    std::string Started;
    std::string Finished;
    std::string Port;
    std::string Console;
    QJsonObject Conditions;
    // InterruptionsFromJournal's list.
    QJsonArray Interruptions;
};
QJsonObject ResultsJson(const TPlan& plan, const TRunSummary& summary,
                        const std::vector<std::optional<QJsonObject>>& points);

// The points of results.json in the plan's order; a point without a result
// is "stopped".
QJsonArray PointsJson(const TPlan& plan, const std::vector<std::optional<QJsonObject>>& points);

// results.json as the run's end writes it, from the journal's events alone
// (`plan` checked as the run checked it): the start, the port, console and
// conditions of the latest session (the start, or a resume that names
// them), every point's result as journalled (the latest for a point run
// again), the point a stop cut short, and the end's time: that of
// "finished", or of a "stopped" no resume followed; null while the run has
// not ended.
QJsonObject ResultsFromJournal(const TPlan& plan, const std::vector<QJsonObject>& events);

// What interrupted the run, from its journal in the order it happened:
// each {"kind", "time", "point", "by", "port"}, kinds paused, resumed,
// skipped, portLost, portBack, notStable; `point` 1-based or null; `by`
// "operator", "plant ADDRESS" or "run" (the engine itself); `port` the
// port or null.
QJsonArray InterruptionsFromJournal(const std::vector<QJsonObject>& events);

// Whether every done point passed: true, false, or null (no acceptance, or
// no point was judged).
QJsonValue RunPass(const QJsonArray& points);
// The run's verdict: under a procedure the procedure's, else RunPass.
QJsonValue PlanPass(const TPlan& plan, const QJsonArray& points);

}  // namespace run
