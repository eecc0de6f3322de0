// The report's number and its approval. Each report gets the next number of
// the lab's sequence, <prefix>-<year>-<nnnn>, kept in the user's data folder
// under a lock, so that two runs ending together never share one. The run
// folder keeps its number and its approval in report.json: a report made
// again from the same folder keeps its number; an approved report is never
// overwritten, and a folder changed after its approval gets a new number
// whose report names the one it replaces.
#pragma once

#include "report/runfolder.h"

#include <QDateTime>
#include <QString>

namespace report {

inline constexpr const char* kReportStateFile = "report.json";
inline constexpr const char* kSequenceFile = "report-numbers";

// Where the sequences are kept: $XDG_DATA_HOME/vapcal (by default
// ~/.local/share/vapcal).
QString SequenceFolder();

// The next number of `prefix`'s sequence in `year`, taken under a lock on
// the sequence file in `folder` (made when missing). Raises EReportError
// naming the file when it cannot be read or written.
QString NextReportNumber(const QString& folder, const QString& prefix, int year);

struct TApproval {
    QString By;    // "Name, function"
    QString Time;  // local ISO 8601 with its offset
    QString File;  // the approved PDF's name
};

// What report.json says of the folder's report.
struct TReportState {
    QString Number;
    QString Replaces;  // the approved number this one replaces; empty: none
    std::optional<TApproval> Approval;
    // The folder's hashes when it was approved.
    TFolderHashes ApprovedHashes;
};

// The report's number for `folder` as it stands: the number it has, or the
// next of the sequence for a folder without one or one changed since its
// approval (whose approval then ends). Saves report.json when it changed.
TReportState ReportNumber(const TRunFolder& folder, const QString& sequenceFolder,
                          const QDateTime& now);

// Records the approval in report.json.
void SaveApproval(const TRunFolder& folder, TReportState& state, const TApproval& approval);

}  // namespace report
