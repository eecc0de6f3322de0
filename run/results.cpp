#include "run/results.h"
#include "run/procedure.h"

#include <QJsonValue>
#include <algorithm>
#include <cmath>

namespace run {

namespace {

QJsonValue Maybe(std::optional<double> value) {
    return value && std::isfinite(*value) ? QJsonValue(*value) : QJsonValue();
}

QJsonValue Text(const std::string& text) {
    return text.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(text));
}

QJsonObject PointHead(int index, const TPlanPoint& point, TPointStatus status,
                      std::optional<double> stableAfterSeconds) {
    return {
        {"index", index},
        {"wanted", Maybe(point.Wanted)},
        {"temperature", point.Temperature},
        {"reservoirFlow", point.ReservoirFlow},
        {"dilutionFlow", point.Dilution},
        {"status", PointStatusName(status)},
        {"stableAfterSeconds", Maybe(stableAfterSeconds)},
    };
}

}  // namespace

void TDwellStatistics::Add(double value) {
    ++FCount;
    const double step = value - FMean;
    FMean += step / FCount;
    FSquares += step * (value - FMean);
}

double TDwellStatistics::SD() const {
    return FCount < 2 ? 0 : std::sqrt(std::max(0.0, FSquares / (FCount - 1)));
}

const char* PointStatusName(TPointStatus status) {
    switch (status) {
        case psDone:
            return "done";
        case psNotStable:
            return "not stable";
        case psSkipped:
            return "skipped";
        case psNoAnalyzerReading:
            return "no analyzer reading";
        case psStopped:
            break;
    }
    return "stopped";
}

// The percent limit is taken of the delivered concentration's size, so a
// zero point is judged by the absolute limit alone.
TVerdict Judge(double analyzer, double delivered, const TAcceptance& acceptance) {
    TVerdict verdict;
    verdict.Error = analyzer - delivered;
    verdict.ErrorPercent = delivered != 0 ? verdict.Error / delivered * 100 : std::nan("");
    const double byPercent = acceptance.Percent / 100 * std::fabs(delivered);
    const bool percentLimits = byPercent >= acceptance.Absolute;
    verdict.DecidedBy = percentLimits ? "percent" : "absolute";
    verdict.Pass = std::fabs(verdict.Error) <= (percentLimits ? byPercent : acceptance.Absolute);
    return verdict;
}

std::optional<TLinearity> FitLinearity(const std::vector<std::pair<double, double>>& points) {
    const auto n = static_cast<double>(points.size());
    if (points.size() < 3)
        return std::nullopt;
    double meanX = 0;
    double meanY = 0;
    for (const auto& [x, y] : points) {
        meanX += x / n;
        meanY += y / n;
    }
    double sxx = 0;
    double sxy = 0;
    double syy = 0;
    for (const auto& [x, y] : points) {
        sxx += (x - meanX) * (x - meanX);
        sxy += (x - meanX) * (y - meanY);
        syy += (y - meanY) * (y - meanY);
    }
    if (sxx <= 0)
        return std::nullopt;
    TLinearity fit;
    fit.Slope = sxy / sxx;
    fit.Intercept = meanY - fit.Slope * meanX;
    double residuals = 0;
    for (const auto& [x, y] : points) {
        const double residual = y - (fit.Intercept + fit.Slope * x);
        residuals += residual * residual;
        fit.MaxResidual = std::max(fit.MaxResidual, std::fabs(residual));
    }
    fit.R2 = syy > 0 ? 1 - residuals / syy : 1;
    return fit;
}

QJsonObject PointResultJson(int index, const TPlanPoint& point, TPointStatus status,
                            std::optional<double> stableAfterSeconds,
                            const TDwellStatistics& delivered, const TDwellStatistics& analyzer,
                            bool analyzerRead, const std::string& dwellStarted,
                            const std::string& dwellEnded, const calc::TUncertaintyBudget* budget,
                            const std::optional<TAcceptance>& acceptance) {
    QJsonObject result = PointHead(index, point, status, stableAfterSeconds);
    result["samples"] = delivered.Count();
    result["dwellStarted"] = Text(dwellStarted);
    result["dwellEnded"] = Text(dwellEnded);
    QJsonValue deliveredJson;
    QJsonArray budgetJson;
    if (delivered.Count() > 0) {
        QJsonValue expanded;
        QJsonValue coverage;
        if (budget != nullptr) {
            for (const calc::TBudgetRow& row : budget->Rows)
                budgetJson.append(QJsonObject{
                    {"quantity", QString::fromStdString(row.Quantity)},
                    {"standardUncertainty", static_cast<double>(row.StandardUncertainty)},
                    {"sensitivity", static_cast<double>(row.Sensitivity)},
                    {"contribution", static_cast<double>(row.Contribution)}});
            expanded = Maybe(static_cast<double>(budget->Expanded));
            coverage = Maybe(static_cast<double>(budget->CoverageFactor));
        }
        deliveredJson = QJsonObject{{"mean", delivered.Mean()},
                                    {"sd", delivered.SD()},
                                    {"expanded", expanded},
                                    {"coverageFactor", coverage}};
    }
    result["delivered"] = deliveredJson;
    result["budget"] = budgetJson;
    QJsonValue analyzerJson;
    if (analyzerRead && analyzer.Count() > 0)
        analyzerJson = QJsonObject{
            {"mean", analyzer.Mean()}, {"sd", analyzer.SD()}, {"samples", analyzer.Count()}};
    result["analyzer"] = analyzerJson;
    QJsonValue error, errorPercent, pass, decidedBy;
    if (analyzerJson.isObject() && delivered.Count() > 0) {
        // Judged on the analyser's basis: the kit delivers at 20 °C.
        const TVerdict verdict = Judge(analyzer.Mean(), delivered.Mean() * point.BasisFactor,
                                       acceptance.value_or(TAcceptance{}));
        error = verdict.Error;
        errorPercent = Maybe(verdict.ErrorPercent);
        if (acceptance) {
            pass = verdict.Pass;
            decidedBy = verdict.DecidedBy;
        }
    }
    result["error"] = error;
    result["errorPercent"] = errorPercent;
    result["pass"] = pass;
    result["decidedBy"] = decidedBy;
    return result;
}

QJsonObject PointWithoutDwell(int index, const TPlanPoint& point, TPointStatus status,
                              std::optional<double> stableAfterSeconds) {
    QJsonObject result = PointHead(index, point, status, stableAfterSeconds);
    for (const char* key : {"dwellStarted", "dwellEnded", "delivered", "analyzer", "error",
                            "errorPercent", "pass", "decidedBy"})
        result[key] = QJsonValue();
    result["samples"] = 0;
    result["budget"] = QJsonArray();
    return result;
}

// A "paused" event with a reason is a lost port as journals wrote it
// before the port had events of its own. A resume that found every point
// done and only ended the run (a cut between the last point and its end)
// interrupted no measurement.
QJsonArray InterruptionsFromJournal(const std::vector<QJsonObject>& events) {
    QJsonArray interruptions;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const QJsonObject& event = events[i];
        QString kind = event["event"].toString();
        if (kind == "resumed" && i + 1 < events.size() &&
            events[i + 1]["event"].toString() == "finished")
            continue;
        QString by = event["by"].toString("operator");
        if (kind == "paused" && event.contains("reason")) {
            kind = "portLost";
            by = "run";
        } else if (kind == "portLost" || kind == "portBack" || kind == "notStable") {
            by = "run";
        } else if (kind != "paused" && kind != "resumed" && kind != "skipped") {
            continue;
        }
        const QJsonValue point = event["point"];
        const QJsonValue port = event["port"];
        interruptions.append(QJsonObject{
            {"kind", kind},
            {"time", event["time"]},
            {"point", point.isDouble() ? point : QJsonValue()},
            {"by", by},
            {"port", port.isString() ? port : QJsonValue()},
        });
    }
    return interruptions;
}

QJsonValue RunPass(const QJsonArray& points) {
    bool judged = false;
    for (const QJsonValue& point : points) {
        const QJsonObject p = point.toObject();
        if (p["status"].toString() != "done")
            return false;
        if (p["pass"].isBool()) {
            judged = true;
            if (!p["pass"].toBool())
                return false;
        }
    }
    return judged ? QJsonValue(true) : QJsonValue();
}

QJsonValue PlanPass(const TPlan& plan, const QJsonArray& points) {
    const QJsonValue procedure = ProcedureJson(plan, points);
    return procedure.isObject() ? procedure["pass"] : RunPass(points);
}

QJsonArray PointsJson(const TPlan& plan, const std::vector<std::optional<QJsonObject>>& points) {
    QJsonArray pointsJson;
    for (std::size_t i = 0; i < plan.Points.size(); ++i)
        pointsJson.append(
            i < points.size() && points[i]
                ? *points[i]
                : PointWithoutDwell(static_cast<int>(i) + 1, plan.Points[i], psStopped, {}));
    return pointsJson;
}

QJsonObject ResultsJson(const TPlan& plan, const TRunSummary& summary,
                        const std::vector<std::optional<QJsonObject>>& points) {
    const QJsonArray pointsJson = PointsJson(plan, points);
    std::vector<std::pair<double, double>> pairs;
    for (const QJsonValue& value : pointsJson) {
        const QJsonObject point = value.toObject();
        if (point["status"].toString() == "done" && point["delivered"].isObject() &&
            point["analyzer"].isObject())
            pairs.emplace_back(point["delivered"]["mean"].toDouble(),
                               point["analyzer"]["mean"].toDouble());
    }
    QJsonValue linearity;
    if (const auto fit = FitLinearity(pairs))
        linearity = QJsonObject{{"slope", fit->Slope},
                                {"intercept", fit->Intercept},
                                {"r2", fit->R2},
                                {"maxResidual", fit->MaxResidual}};
    QJsonValue acceptance;
    if (plan.Acceptance)
        acceptance = QJsonObject{{"percent", plan.Acceptance->Percent},
                                 {"absolute", plan.Acceptance->Absolute}};
    // Under a procedure its verdict is the run's; the points' own
    // acceptance does not apply.
    const QJsonValue procedure = ProcedureJson(plan, pointsJson);
    return {
        {"plan", QString::fromStdString(plan.Name)},
        {"started", Text(summary.Started)},
        {"finished", Text(summary.Finished)},
        {"port", QString::fromStdString(summary.Port)},
        {"console", QString::fromStdString(summary.Console)},
        {"operator", Text(plan.Operator)},
        {"analyzerId", Text(plan.AnalyzerId)},
        {"analyzerSource", AnalyzerSourceName(plan.Analyzer.Source)},
        {"conditions", summary.Conditions},
        {"acceptance", acceptance},
        {"points", pointsJson},
        {"interruptions", summary.Interruptions},
        {"linearity", linearity},
        {"procedure", procedure},
        {"pass", PlanPass(plan, pointsJson)},
    };
}

namespace {

// Reads a journal event by event into what results.json says, in the
// order the engine lived it.
class TJournalReading {
  public:
    explicit TJournalReading(const TPlan& plan) : FPlan(plan), FPoints(plan.Points.size()) {}

    void Read(const QJsonObject& event) {
        const QString name = event["event"].toString();
        const int point = event["point"].toInt();
        const bool inPlan = point >= 1 && point <= static_cast<int>(FPoints.size());
        if (name == "started") {
            FSummary.Started = event["time"].toString().toStdString();
            FSummary.Console = event["console"].toString().toStdString();
            FSummary.Conditions = event["conditions"].toObject();
        }
        if (name == "started" || name == "resumed") {
            if (event.contains("port"))
                FSummary.Port = event["port"].toString().toStdString();
            if (event.contains("console"))
                FSummary.Console = event["console"].toString().toStdString();
            if (event["conditions"].isObject())
                FSummary.Conditions = event["conditions"].toObject();
        }
        // A point's settling is over once per apply; a resume settles it
        // again.
        if (name == "applied" || name == "resumed")
            FStableAfter.reset();
        if (name == "stable" && event["stableAfterSeconds"].isDouble())
            FStableAfter = {point, event["stableAfterSeconds"].toDouble()};
        if (name == "resumed") {
            FStoppedPoint = 0;
            FEnded.clear();
        }
        if (event["result"].isObject() && inPlan)
            FPoints[static_cast<std::size_t>(point - 1)] = event["result"].toObject();
        if (name == "stopped") {
            FEnded = event["time"].toString().toStdString();
            FStoppedPoint = inPlan ? point : 0;
            FStoppedAfter.reset();
            if (FStableAfter && FStableAfter->first == point)
                FStoppedAfter = FStableAfter->second;
        }
        if (name == "finished") {
            FEnded = event["time"].toString().toStdString();
            FStoppedPoint = 0;
        }
    }

    QJsonObject Results(QJsonArray interruptions) {
        FSummary.Interruptions = std::move(interruptions);
        // The stop's point keeps how long it took to settle, as the
        // stopped engine holds it.
        if (FStoppedPoint > 0 && !FPoints[static_cast<std::size_t>(FStoppedPoint - 1)])
            FPoints[static_cast<std::size_t>(FStoppedPoint - 1)] = PointWithoutDwell(
                FStoppedPoint, FPlan.Points[static_cast<std::size_t>(FStoppedPoint - 1)], psStopped,
                FStoppedAfter);
        FSummary.Finished = FEnded;
        return ResultsJson(FPlan, FSummary, FPoints);
    }

  private:
    const TPlan& FPlan;
    std::vector<std::optional<QJsonObject>> FPoints;
    TRunSummary FSummary;
    std::optional<std::pair<int, double>> FStableAfter;
    int FStoppedPoint = 0;
    std::optional<double> FStoppedAfter;
    std::string FEnded;
};

}  // namespace

QJsonObject ResultsFromJournal(const TPlan& plan, const std::vector<QJsonObject>& events) {
    TJournalReading reading(plan);
    for (const QJsonObject& event : events)
        reading.Read(event);
    return reading.Results(InterruptionsFromJournal(events));
}

}  // namespace run
