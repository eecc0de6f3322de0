#include "live/recorder.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "live/messages.h"
#include "platform/filltext.h"

namespace live {

namespace {

constexpr char kLineEnd[] = "\r\n";

// Decimals of each column: the instruments' resolution and the calculator's
// held concentrations.
constexpr int kTempDecimals = 2;
constexpr int kFlowDecimals = 4;
constexpr int kConcentrationDecimals = 2;
// U to a thousandth of a nanogram per litre: finer than it is shown, so the
// record keeps what the display rounds.
constexpr int kUncertaintyDecimals = 3;

// A number with a "." whatever the locale; an unknown value is an empty field.
std::string Number(double value, int decimals) {
    if (!std::isfinite(value))
        return {};
    return QString::number(value, 'f', decimals).toStdString();
}

}  // namespace

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string IsoLocalTime(const QDateTime& when) {
    const int offsetMinutes = when.offsetFromUtc() / 60;
    char offset[16];
    std::snprintf(offset, sizeof offset, "%c%02d:%02d", offsetMinutes < 0 ? '-' : '+',
                  std::abs(offsetMinutes) / 60, std::abs(offsetMinutes) % 60);
    return when.toString("yyyy-MM-dd'T'HH:mm:ss.zzz").toStdString() + offset;
}

std::string RecordHeader(double coverageFactor) {
    return platform::FillText(kRecordHeader, {QString::number(coverageFactor).toStdString()});
}

std::string RecordLine(const TLiveSample& s, const std::string& stability, double coverageFactor) {
    const TKitTargets& t = s.Targets;
    const std::string fields[] = {
        IsoLocalTime(s.When),
        Number(s.Temp, kTempDecimals),
        Number(s.Flow, kFlowDecimals),
        Number(s.DilutionFlow, kFlowDecimals),
        Number(t.TempSP, kTempDecimals),
        Number(t.FlowSP, kFlowDecimals),
        Number(t.DilutionFlowSP, kFlowDecimals),
        Number(s.Delivered, kConcentrationDecimals),
        Number(t.Calculated, kConcentrationDecimals),
        stability,
        Number(coverageFactor * s.DeliveredStandardU, kUncertaintyDecimals)};
    std::string line = CsvField(fields[0]);
    for (std::size_t i = 1; i < std::size(fields); ++i)
        line += ',' + CsvField(fields[i]);
    return line;
}

TRecorder::TRecorder()
    : Sync(::fdatasync), Clock([] {
          return std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
              .count();
      }) {}

void TRecorder::Start(const QString& path) {
    Stop();
    FError.clear();
    FFile.setFileName(path);
    if (!FFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        throw ERecordError(platform::FillText(
            kRecordNotOpened, {path.toStdString(), FFile.errorString().toStdString()}));
    }
    if (FFile.size() == 0 && !(Append(RecordHeader(CoverageFactor)) && SyncNow())) {
        FFile.close();
        throw ERecordError(platform::FillText(kRecordNotOpened, {path.toStdString(), FWhy}));
    }
}

// A stop that finds the disk refusing the last lines says so in Error().
void TRecorder::Stop() {
    if (!FFile.isOpen())
        return;
    if (FUnsyncedSinceMs && !SyncNow())
        FError = platform::FillText(kRecordStopped, {FFile.fileName().toStdString(), FWhy});
    FFile.close();
    FUnsyncedSinceMs.reset();
}

bool TRecorder::Write(const TLiveSample& sample, const std::string& stability) {
    if (!Recording())
        return false;
    if (!Append(RecordLine(sample, stability, CoverageFactor))) {
        // The lines the file did take are still put on the disk.
        const std::string why = FWhy;
        if (FUnsyncedSinceMs)
            SyncNow();
        StopWith(why);
        return false;
    }
    if (!FUnsyncedSinceMs)
        FUnsyncedSinceMs = Clock();
    return SyncIfDue();
}

bool TRecorder::SyncIfDue() {
    if (!Recording() || !FUnsyncedSinceMs || Clock() - *FUnsyncedSinceMs < kSyncPeriodMs)
        return true;
    if (SyncNow())
        return true;
    StopWith(FWhy);
    return false;
}

bool TRecorder::SyncNow() {
    if (Sync(FFile.handle()) != 0) {
        FWhy = std::strerror(errno);
        return false;
    }
    FUnsyncedSinceMs.reset();
    return true;
}

// The lines the disk refused are not tried again: the file is closed as it
// is, and the recording has stopped.
void TRecorder::StopWith(const std::string& why) {
    FError = platform::FillText(kRecordStopped, {FFile.fileName().toStdString(), why});
    FFile.close();
    FUnsyncedSinceMs.reset();
}

// Unbuffered: the line goes to the system in this call. A short write (a
// full disk) is cut off again, so the file never ends in half a line.
bool TRecorder::Append(const std::string& line) {
    const qint64 before = FFile.size();
    const std::string whole = line + kLineEnd;
    const qint64 written = FFile.write(whole.data(), static_cast<qint64>(whole.size()));
    if (written == static_cast<qint64>(whole.size()))
        return true;
    FWhy = FFile.errorString().toStdString();
    FFile.resize(before);
    return false;
}

}  // namespace live
