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
    // hold no started run): writes plan.json and opens the journal and
    // record. `coverageFactor` names the record's uncertainty column.
    static TRunFolder Create(const QString& path, const QJsonObject& plan, double coverageFactor);
    // An interrupted run to resume; raises when the folder holds no run.
    static TRunFolder Open(const QString& path, double coverageFactor);
    // Both take the folder's lock (an flock on the journal) for as long as
    // the object lives, and raise "DIR is in use by process N" when another
    // holds it.

    TRunFolder(TRunFolder&& other) noexcept;
    TRunFolder& operator=(TRunFolder&&) = delete;
    TRunFolder(const TRunFolder&) = delete;
    ~TRunFolder();

    const QString& Path() const { return FPath; }
    QByteArray PlanBytes() const;
    // Every event of the journal in order; a torn last line (a power cut
    // during its write) is dropped, any other bad line raises.
    std::vector<QJsonObject> ReadJournal() const;
    // Whether the journal says the run has ended ("finished").
    bool Finished() const;
    bool HasResults() const;

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
    // The run has ended: the record is synced, the files close and the
    // folder's lock goes; nothing is written after.
    void Close();

  private:
    explicit TRunFolder(QString path);
    void Lock();
    void OpenRecord(double coverageFactor);

    QString FPath;
    QByteArray FLastHash;  // of the journal's last line: the next line's link
    int FJournal = -1;
    int FRecord = -1;
    qint64 FRecordSyncedMs = -1;
    bool FRecordDirty = false;
    std::string FRecordError;
};

// Every event of the journal at `path` in order; a torn last line is
// dropped, any other bad line raises ERunFolderError.
std::vector<QJsonObject> ReadJournalFile(const QString& path);

// results.json rebuilt from the run folder at `path` alone, reading only:
// plan.json checked against the kit's conditions the run journalled, and
// the journal (byte for byte what the run's own end writes; see
// ResultsFromJournal in results.h). Raises ERunFolderError when the folder
// holds no started run or its plan is refused.
QJsonObject ResultsFromJournal(const QString& path);

// Each journal line carries under this key the SHA-256 (lower-case hex) of
// the line before it, without its line end; the first line carries that of
// plan.json's bytes. An edited, added or removed line anywhere breaks the
// chain at the line after it.
inline constexpr const char* kChainKey = "previousSha256";

QByteArray Sha256Hex(const QByteArray& bytes);

// A journal's chain checked line by line against its plan. A torn last line
// (a power cut during its write) is no part of the chain.
struct TJournalChain {
    enum TState {
        jcWhole,     // every line carries the hash of the one before it
        jcBroken,    // Line is the first line whose hash does not match
        jcUnchained  // written before lines were chained: cannot be verified
    };
    TState State = jcUnchained;
    int Line = 0;  // 1-based
    // The SHA-256 of the last whole line (of plan.json for an empty
    // journal): the hash the next line would carry.
    QByteArray LastHash;
};
TJournalChain CheckJournalChain(const QByteArray& plan, const QByteArray& journal);

// The record line of one complete poll during a run; `attempt` 0 outside
// a dwell.
std::string RunRecordLine(const live::TLiveSample& sample, const std::string& stability,
                          double coverageFactor, int point, double analyzer, int attempt = 0);

}  // namespace run
