// The history database: one schema for SQLite and PostgreSQL (runs, their
// points and procedure levels, analysers, kits, labs, and the schema's
// version), created and migrated when a program opens it. A run is written
// once by its identity: writing it again, from this PC or another at the
// same moment, never doubles it.
#pragma once

#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

#include "history/controlchart.h"
#include "history/runrecord.h"

namespace history {

// The database cannot be opened, read or written; the message names it and
// gives the driver's reason.
class EHistoryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The run or analyser asked for is not in the history, or the text names
// more than one run.
class ENotInHistory : public EHistoryError {
  public:
    using EHistoryError::EHistoryError;
};

inline constexpr int kSchemaVersion = 1;

// Where the history is: a SQLite file, or a PostgreSQL database named by
// postgresql://USER@HOST:PORT/DB?sslmode=... (HOST may be a socket's folder,
// written %2F...). No password: libpq reads it from ~/.pgpass.
struct THistoryLocation {
    bool Postgres = false;
    QString File;  // SQLite
    QString User, Host, Database;
    int Port = 5432;
    QString Options;  // libpq's, key=value;key=value
    QString Text;     // as given, for messages
};
// $XDG_DATA_HOME/vapcal/history.sqlite (by default ~/.local/share/...).
QString DefaultHistoryFile();
// An empty text is the default file; raises EHistoryError.
THistoryLocation ParseHistoryLocation(const QString& text);

// A line of `list`: a run and where it stands.
struct TRunRow {
    QString RunId, Started, Finished, Analyzer, Procedure, Plan, Kit, Lab, Operator, Folder;
    std::optional<bool> Pass;
    std::optional<double> ZeroError, UpscaleError;
};
struct TRunFilter {
    QString Analyzer;
    QString SinceUtc;  // yyyy-MM-ddTHH:mm:ssZ; empty: all
    QString Procedure;
};

// The fleet at a glance: each analyser, its last run and its charts' state.
struct TAnalyzerGlance {
    QString Analyzer;
    int Runs = 0;
    QString LastRunId, LastStarted, LastProcedure;
    std::optional<bool> LastPass;
    TChartState State = csNoLimits;
    QString Signal;  // the action signal named, empty without one
};

// One analyser's two charts, zero and upscale.
struct TAnalyzerCharts {
    QString Analyzer;
    TControlChart Zero;
    TControlChart Upscale;
};

class THistoryDatabase {
  public:
    // Opens the database and brings its schema to this program's version;
    // raises EHistoryError.
    explicit THistoryDatabase(const THistoryLocation& location);
    ~THistoryDatabase();
    THistoryDatabase(const THistoryDatabase&) = delete;
    THistoryDatabase& operator=(const THistoryDatabase&) = delete;

    const THistoryLocation& Location() const { return FLocation; }
    int SchemaVersion();

    // True when the run was added, false when it was there already.
    bool Import(const THistoryRun& run);
    // Many runs in one transaction (a bulk import); the number added.
    int ImportMany(const std::vector<THistoryRun>& runs);

    std::vector<TRunRow> List(const TRunFilter& filter);
    // A run by its identity or a unique beginning of it (at least 4
    // characters), with its points and levels.
    std::optional<THistoryRun> Show(const QString& runId);
    // Brings the chart state of every analyser with new runs up to date
    // (after an import, so that the fleet's list reads it as kept).
    void RefreshCharts();
    // The fleet at a glance: each analyser's last run and chart state.
    std::vector<TAnalyzerGlance> Glance();
    TAnalyzerCharts Charts(const QString& analyzer);
    TSevenDayTest SevenDay(const QString& analyzer);
    // The analyser's last run that started before `beforeUtc`.
    std::optional<TRunRow> PreviousRun(const QString& analyzer, const QString& beforeUtc);
    // What the database takes on the disk, in bytes.
    qint64 SizeBytes();
    // The analyser's own sigmas (ng/l); a value <= 0 clears it.
    void SetSigma(const QString& analyzer, std::optional<double> zero,
                  std::optional<double> upscale);

  private:
    void Migrate();
    std::vector<qint64> ImportRuns(const std::vector<THistoryRun>& runs);
    // Inserts `rows` of `columns` values each, many rows a statement; a
    // statement's result rows go to `returned`.
    void InsertRows(const char* head, int columns, const std::vector<QVariantList>& rows,
                    const char* tail, const std::function<void(QSqlQuery&)>& returned);
    void CountRuns(const std::map<qint64, int>& added);
    template <typename Work>
    auto InTransaction(Work work);
    void Rollback();
    QSqlQuery& Prepared(const QString& sql);
    void Exec(QSqlQuery& query);
    void Exec(const QString& sql);
    qint64 IdOf(const char* table, const QString& name);
    qint64 AnalyzerIdOf(const THistoryAnalyzer& analyzer);
    [[noreturn]] void Fail(const QString& reason);

    THistoryLocation FLocation;
    QString FConnection;
    // Each statement prepared once per connection, which a bulk import needs.
    std::map<QString, QSqlQuery> FQueries;
    // Keys of analysers, kits and labs this transaction has seen.
    std::map<QString, qint64> FIds;
};

// The run report's line for the run's analyser: its previous run's date and
// verdict and its control charts' state, or that the history holds no
// earlier run of it; empty for a run that names no analyser.
QString ReportLine(THistoryDatabase& database, const THistoryRun& run);

// "ANALYSER: CUSUM chart of the zero error signals action since run ID
// (STARTED)", empty when the chart signals no action.
QString ActionSignalText(const QString& analyzer, const QString& which, const TControlChart& chart);

}  // namespace history
