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
    // "done", "not stable", "skipped", "stopped", "no analyzer reading"
    QString Status;
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

// Something that cut into the run, in the order it happened: a pause, a
// resume, a skip, a lost or returned port, a point that did not settle.
struct TInterruption {
    QString Kind;   // "paused", "resumed", "skipped", "portLost", "portBack", "notStable"
    QString Time;   // local ISO 8601 with its offset, as written
    int Point = 0;  // 0: none
    QString By;     // "operator", "plant ADDRESS", "run" or empty
    QString Port;
};

// One reference instrument as the run's settings named it.
struct TInstrumentStatus {
    QString Role;
    QString Model;
    QString Serial;
    QString Certificate;
    QString Calibrated;
    QString Due;
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
    std::vector<TInterruption> Interruptions;

    bool HasAnalyzer() const { return !AnalyzerSource.isEmpty() && AnalyzerSource != "none"; }
};

// One complete poll of the live record.
struct TRecordSample {
    qint64 Time = 0;  // milliseconds since 1970 UTC
    std::optional<double> Delivered;
    std::optional<double> Analyzer;
    int Point = 0;  // 0 between points
};

// The lab that ran the calibration, as the run's settings named it.
struct TLaboratoryText {
    QString Name;
    QString Address;
    QString Accreditation;
    QString ReportPrefix;
};

// The analyser under calibration and whom it is calibrated for (plan.json).
struct TItem {
    QString Customer;
    QString Maker;
    QString Model;
    QString Serial;
    QString Tag;
};

// The SHA-256 of the run's files and the journal's chain, as the report
// prints them and --verify compares them.
struct TFolderHashes {
    QByteArray Plan;
    QByteArray Journal;
    QByteArray Record;
    QByteArray Results;
    QByteArray ChainEnd;   // the journal's last line's
    bool Chained = false;  // false: written before lines were chained
    int BrokenLine = 0;    // the first line whose link fails; 0: none
};

struct TRunFolder {
    QString Path;
    QString Name;  // the folder's own name
    TRunResults Results;
    TLaboratoryText Laboratory;
    std::vector<TInstrumentStatus> Instruments;
    QString AccuracySource;  // empty: the run did not say
    TItem Item;
    std::optional<double> LabTemperature;  // °C at the start
    std::optional<double> LabHumidity;     // % at the start
    TFolderHashes Hashes;
    std::vector<TRecordSample> Record;
    // Why the run stopped early, as its journal says; empty for a run that
    // went to its end.
    QString StopReason;
};

// The date and time of a local ISO 8601 text with its offset from UTC, or
// an invalid value for anything else.
QDateTime ReadIsoTime(const QString& text);

// The hashes of the folder's four files and its journal's chain; a file
// that is missing hashes as empty.
TFolderHashes HashFolder(const QString& path);

// Reads the run folder at `path`. Raises EReportError when results.json or
// record.csv is missing or unreadable; plan.json and journal.jsonl fill in
// only what results.json leaves out (a torn last journal line is passed over).
TRunFolder ReadRunFolder(const QString& path);

}  // namespace report
