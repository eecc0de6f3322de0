// Proof that a run folder and its report were not changed: the journal's
// hash chain, results.json against the results the journal gives, and the
// SHA-256 of the folder's files against those the report printed.
#pragma once

#include "report/runfolder.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace report {

// The report's hashes as its PDF carries them beside the printed ones, in
// its XMP metadata, where --verify reads them back.
QByteArray HashesXmp(const QString& number, const TFolderHashes& hashes);
// The hashes a PDF made by this program carries; none for any other file.
std::optional<TFolderHashes> ReadReportHashes(const QByteArray& pdf);

struct TVerification {
    bool Agrees = false;
    // What agrees, or the first line or file that differs; one line.
    QString Says;
};

// Checks the folder at `path` and, when `pdf` is not empty, the hashes
// that report printed. Raises EReportError when a file cannot be read.
TVerification VerifyRunFolder(const QString& path, const QString& pdf);

}  // namespace report
