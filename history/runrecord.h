// One finished run as the history holds it, read from its run folder alone
// (plan.json, journal.jsonl, results.json): its identity, the analyser it
// judged, its verdict, its points and its procedure's levels, and the zero
// and upscale errors the analyser's control charts follow.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <stdexcept>
#include <vector>

namespace history {

// A run folder that cannot be taken into the history; the message names the
// folder and what is wrong.
class ERunRecordError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct THistoryPoint {
    int Index = 0;
    QString Status;
    std::optional<double> Wanted;     // ng/l
    std::optional<double> Delivered;  // mean, ng/l
    std::optional<double> Expanded;   // U of the delivered mean, ng/l
    std::optional<double> Analyzer;   // mean, ng/l
    std::optional<double> Error;      // analyser - delivered, ng/l
    std::optional<double> ErrorPercent;
    std::optional<bool> Pass;
};

struct THistoryLevel {
    QString Level;  // "low", "zero", or an EN level's nominal percent as text
    std::optional<double> Reference;
    std::optional<double> Response;
    std::optional<double> Error;
    QString ErrorUnit;
    std::optional<double> Difference;  // response - reference, ng/l
    std::optional<double> Limit;
    std::optional<double> Alternative;
    QString DecidedBy;
    std::optional<bool> Pass;
};

// The analyser's identity: its item's serial when the plan names the item,
// else the plan's analyzerId; empty when the plan names neither.
struct THistoryAnalyzer {
    QString Identity;
    QString Maker, Model, Serial, Tag;
    QString AnalyzerId;
};

struct THistoryRun {
    QString RunId;
    QString Started;     // local ISO 8601 with offset, as the journal writes it
    QString StartedUtc;  // yyyy-MM-ddTHH:mm:ssZ, which sorts as time does
    QString Finished;
    QString Plan;
    QString Procedure = "points";
    std::optional<bool> Pass;
    THistoryAnalyzer Analyzer;
    QString Kit;
    QString Lab;
    QString Operator;
    QString Port;
    QString Console;
    QString Folder;  // absolute
    int Interruptions = 0;
    std::optional<double> ZeroError;     // ng/l
    std::optional<double> UpscaleError;  // ng/l
    std::vector<THistoryPoint> Points;
    std::vector<THistoryLevel> Levels;
};

// What the folder does not say of itself: the lab (the settings'
// [Laboratory] Name) and the kit (the PC that ran it), used only when the
// run's results name none of their own.
struct TImportContext {
    QString Lab;
    QString Kit;
};

// The identity of a run whose journal carries no runId (a folder made before
// runs had one): a name-based UUID of plan.json's bytes and the start time,
// so every PC derives the same identity for the same folder.
QString DerivedRunId(const QByteArray& planBytes, const QString& started);

// The run of a finished run folder; raises ERunRecordError.
THistoryRun ReadRunFolder(const QString& folder, const TImportContext& context);

}  // namespace history
