// The run folder: plan.json as run, journal.jsonl (one event a line, each
// on the disk before the run goes on), record.csv (the live record with the
// point and the analyser's reading) and results.json once the run ends. The
// journal is the run's truth: the results, a resumed run and the report are
// made from the folder alone.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <stdexcept>
#include <string>
#include <vector>

#include "live/sample.h"

namespace run {

// The folder cannot be made, read or written; the message names the file
// and the system's reason.
class ERunFolderError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kPlanFile = "plan.json";
inline constexpr const char* kJournalFile = "journal.jsonl";
inline constexpr const char* kRecordFile = "record.csv";
inline constexpr const char* kResultsFile = "results.json";
// The record's columns after the live record's own. `attempt` is filled
// in the rows of a dwell only: the dwell's number among the point's dwells
// (one that was cut and begun again has a later one); the rows that count
// are those whose attempt is the point's "attempt" in results.json.
inline constexpr const char* kRecordRunColumns = ",point,analyser reading (ng/l),attempt";
// The record reaches the disk at least this often, and at every stop.
inline constexpr qint64 kRecordSyncMs = 10000;

// Where runs go by default: $XDG_DATA_HOME/vapcal/runs (by default
// ~/.local/share/vapcal/runs).
QString DefaultRunsFolder();
// "<start time>-<plan name>": 2026-12-07T14-03-05-Linearity 0-80, with
// what a file name cannot hold in the plan's name replaced by "_".
QString RunFolderName(const QDateTime& started, const std::string& planName);

class TRunFolder {
  public:
    // A new run in `path` (made with its parents; an existing folder must
    // hold no run yet): writes plan.json and opens the journal and record.
    // `coverageFactor` names the record's uncertainty column.
    static TRunFolder Create(const QString& path, const QJsonObject& plan, double coverageFactor);
    // An interrupted run to resume; raises when the folder holds no run.
    static TRunFolder Open(const QString& path, double coverageFactor);

    TRunFolder(TRunFolder&& other) noexcept;
    TRunFolder& operator=(TRunFolder&&) = delete;
    TRunFolder(const TRunFolder&) = delete;
    ~TRunFolder();

    const QString& Path() const { return FPath; }
    QByteArray PlanBytes() const;
    // Every event of the journal in order; a torn last line (a power cut
    // during its write) is dropped, any other bad line raises.
    std::vector<QJsonObject> ReadJournal() const;

    // One event, on the disk when this returns; raises ERunFolderError when
    // it cannot be written or synced.
    void Journal(const QJsonObject& event);
    // One record line (without its line end); synced every kRecordSyncMs of
    // `ms`. False when the file refused it: the record stops, the run goes
    // on.
    bool Record(const std::string& line, qint64 ms);
    // Why the record stopped; empty while it records.
    const std::string& RecordError() const { return FRecordError; }
    void SyncRecord();
    // results.json whole: written beside, synced, then renamed over.
    void WriteResults(const QJsonObject& results);

  private:
    explicit TRunFolder(QString path);
    void OpenFiles(double coverageFactor);

    QString FPath;
    int FJournal = -1;
    int FRecord = -1;
    qint64 FRecordSyncedMs = -1;
    bool FRecordDirty = false;
    std::string FRecordError;
};

// The record line of one complete poll during a run; `attempt` 0 outside
// a dwell.
std::string RunRecordLine(const live::TLiveSample& sample, const std::string& stability,
                          double coverageFactor, int point, double analyzer, int attempt = 0);

}  // namespace run
