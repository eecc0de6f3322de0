// The run report: a calibration run's folder read back, and the PDF and CSV
// a lab hands its customer or auditor, made from that folder alone so that a
// report can be made again later or on another PC.
//
// A run folder holds plan.json (the plan as run), journal.jsonl (one event
// per line), record.csv (the live record with the point and the analyser's
// reading) and, once the run has ended, results.json. This header reads them
// into plain values; report.h writes the report from those values.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <optional>
#include <stdexcept>
#include <vector>

namespace report {

// The folder lacks what a report needs, or a file in it cannot be read; the
// message is one line naming the file and the reason.
class EReportError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct TDelivered {
    double Mean = 0;
    double Sd = 0;
    std::optional<double> Expanded;
    std::optional<double> CoverageFactor;
};

// One line of a point's uncertainty budget at its mean readings.
struct TBudgetRow {
    QString Quantity;
    double StandardUncertainty = 0;
    double Sensitivity = 0;
    double Contribution = 0;
};

struct TAnalyzerMean {
    double Mean = 0;
    double Sd = 0;
    int Samples = 0;
};

struct TPointResult {
    int Index = 0;
    std::optional<double> Wanted;
    std::optional<double> Temperature;
    std::optional<double> ReservoirFlow;
    std::optional<double> DilutionFlow;
    QString Status;  // "done", "not stable", "skipped", "stopped"
    std::optional<double> StableAfterSeconds;
    int Samples = 0;
    QDateTime DwellStarted;  // invalid when the point had no dwell
    QDateTime DwellEnded;
    std::optional<TDelivered> Delivered;
    std::vector<TBudgetRow> Budget;
    std::optional<TAnalyzerMean> Analyzer;
    std::optional<double> Error;
    std::optional<double> ErrorPercent;
    std::optional<bool> Pass;
    QString DecidedBy;  // "percent", "absolute" or empty
};

struct TAcceptance {
    double Percent = 0;
    double Absolute = 0;
};

struct TLinearity {
    double Slope = 0;
    double Intercept = 0;
    double R2 = 0;
    double MaxResidual = 0;
};

// results.json as the run engine writes it when a run ends.
struct TRunResults {
    QString Plan;
    QString Started;  // local ISO 8601 with its offset from UTC, as written
    QString Finished;
    QString Port;
    QString Console;
    QString Operator;
    QString AnalyzerId;
    QString AnalyzerSource;  // "none", "manual", "modbus"
    QJsonObject Conditions;
    std::optional<TAcceptance> Acceptance;
    std::vector<TPointResult> Points;
    std::optional<TLinearity> Linearity;
    // The QA procedure's verdict as results.json holds it; empty under a
    // plan of plain points.
    QJsonObject Procedure;
    std::optional<bool> Pass;

    bool HasAnalyzer() const { return !AnalyzerSource.isEmpty() && AnalyzerSource != "none"; }
};

// One complete poll of the live record.
struct TRecordSample {
    qint64 Time = 0;  // milliseconds since 1970 UTC
    std::optional<double> Delivered;
    std::optional<double> Analyzer;
    int Point = 0;  // 0 between points
};

struct TRunFolder {
    QString Path;
    QString Name;  // the folder's own name: the report's identifier
    TRunResults Results;
    std::vector<TRecordSample> Record;
    // Why the run stopped early, as its journal says; empty for a run that
    // went to its end.
    QString StopReason;
};

// The date and time of a local ISO 8601 text with its offset from UTC, or
// an invalid value for anything else.
QDateTime ReadIsoTime(const QString& text);

// Reads the run folder at `path`. Raises EReportError when results.json or
// record.csv is missing or unreadable; plan.json and journal.jsonl fill in
// only what results.json leaves out (a torn last journal line is passed over).
TRunFolder ReadRunFolder(const QString& path);

}  // namespace report
