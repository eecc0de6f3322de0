// The record of what the kit delivered: one CSV line per complete poll,
// appended to a file the operator names, for the calibration lab's audit.
//
// The file is RFC 4180 CSV in UTF-8 with CRLF line ends: a header with the
// units first (only when the file is empty, so a recording can go on in an
// old file), then the local time in ISO 8601 with its offset from UTC, the
// three readings, the three set points, the delivered and the calculated
// concentration, the stability and the expanded uncertainty of the
// delivered concentration at the coverage factor the header names, numbers
// always with a "." whatever the operator's locale. Each line is handed to
// the system before Write returns, so a console that is killed loses at most
// the poll in hand; a line the file refuses is taken back whole and the
// recording stops. The system is made to put the lines on the disk
// (fdatasync) once the oldest line not yet there is 10 s old, and at every
// stop: a power cut loses at most the last 10 s of the record.
#pragma once

#include <QFile>
#include <QString>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "live/sample.h"

namespace live {

// The file cannot be opened for recording: "Cannot record to <path>: <why>".
class ERecordError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A field quoted as RFC 4180 asks: in double quotes, with its quotes doubled,
// when it holds a comma, a quote or a line break; otherwise as it is.
std::string CsvField(const std::string& text);
// The local date and time with milliseconds and the offset from UTC:
// 2026-12-07T14:03:05.250+01:00.
std::string IsoLocalTime(const QDateTime& when);
// The header, naming the coverage factor of the last column.
std::string RecordHeader(double coverageFactor);
// The line of one poll, without its line end; the last column is the
// delivered concentration's standard uncertainty times `coverageFactor`.
std::string RecordLine(const TLiveSample& sample, const std::string& stability,
                       double coverageFactor);

class TRecorder {
  public:
    // The longest a written line waits before it is made to reach the disk.
    static constexpr qint64 kSyncPeriodMs = 10000;

    TRecorder();
    ~TRecorder() { Stop(); }
    TRecorder(const TRecorder&) = delete;
    TRecorder& operator=(const TRecorder&) = delete;

    // Opens the file for appending (creating it) and writes the header to
    // an empty file. Raises ERecordError and leaves nothing open on failure.
    void Start(const QString& path);
    // Puts the lines written on the disk and closes the file.
    void Stop();
    bool Recording() const { return FFile.isOpen(); }
    // The k of the last column, named in the header of the next file started.
    double CoverageFactor = 2;
    QString Path() const { return FFile.fileName(); }

    // Appends the poll's line. False when the file refused it: the file ends
    // with its last whole line, put on the disk, the recording has stopped,
    // and Error() says "Recording to <path> stopped: <why>".
    bool Write(const TLiveSample& sample, const std::string& stability);
    // Puts the lines written on the disk once the oldest of them waited
    // kSyncPeriodMs; called between polls too, so that lines do not wait
    // for the next poll when the poll has stopped. False when the disk
    // refused them: the recording has stopped as for a refused line.
    bool SyncIfDue();
    const std::string& Error() const { return FError; }

    // How the lines are put on the disk (fdatasync on the file's
    // descriptor; 0 or -1 with errno) and the monotonic clock in
    // milliseconds that says when; tests count the one and drive the other.
    std::function<int(int fd)> Sync;
    std::function<qint64()> Clock;

  private:
    bool Append(const std::string& line);
    bool SyncNow();
    void StopWith(const std::string& why);

    QFile FFile;
    std::string FError;
    std::string FWhy;  // the system's reason for the last refused line
    // When the oldest line not yet put on the disk was written, if any.
    std::optional<qint64> FUnsyncedSinceMs;
};

}  // namespace live
