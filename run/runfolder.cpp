#include "run/runfolder.h"
#include "platform/filltext.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "live/messages.h"
#include "live/recorder.h"
#include "run/messages.h"

namespace run {

namespace {

std::string Local(const QString& path) {
    return QDir::toNativeSeparators(path).toStdString();
}

[[noreturn]] void RaiseFile(const QString& path) {
    throw ERunFolderError(platform::FillText(kFileNotWritten, {Local(path), std::strerror(errno)}));
}

// Writes all of `bytes`, taking a short write or an interrupted one as it
// comes; false with errno set when the file refuses.
bool WriteAll(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int OpenAppending(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        RaiseFile(path);
    return fd;
}

// A file name holds neither "/" nor NUL, and the folder's name stays
// readable on any file system a lab copies it to.
QString SafeName(const std::string& name) {
    QString safe = QString::fromStdString(name);
    for (QChar& c : safe)
        if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
            c == '>' || c == '|' || c.unicode() < 32)
            c = '_';
    return safe;
}

void SyncFolder(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

QString DefaultRunsFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/vapcal/runs";
}

QString RunFolderName(const QDateTime& started, const std::string& planName) {
    return started.toString("yyyy-MM-dd'T'HH-mm-ss") + "-" + SafeName(planName);
}

TRunFolder::TRunFolder(QString path) : FPath(std::move(path)) {}

TRunFolder::TRunFolder(TRunFolder&& other) noexcept
    : FPath(std::move(other.FPath)),
      FJournal(other.FJournal),
      FRecord(other.FRecord),
      FRecordSyncedMs(other.FRecordSyncedMs),
      FRecordDirty(other.FRecordDirty) {
    other.FJournal = -1;
    other.FRecord = -1;
}

TRunFolder::~TRunFolder() {
    if (FRecord >= 0) {
        ::fdatasync(FRecord);
        ::close(FRecord);
    }
    if (FJournal >= 0)
        ::close(FJournal);
}

TRunFolder TRunFolder::Create(const QString& path, const QJsonObject& plan, double coverageFactor) {
    if (!QDir().mkpath(path))
        throw ERunFolderError(
            platform::FillText(kFolderNotMade, {Local(path), std::strerror(errno)}));
    if (QFile::exists(path + "/" + kJournalFile))
        throw ERunFolderError(
            platform::FillText(kFolderNotMade, {Local(path), "it holds a run already"}));
    TRunFolder folder(path);
    const QString planPath = path + "/" + kPlanFile;
    QFile file(planPath);
    const QByteArray bytes = QJsonDocument(plan).toJson(QJsonDocument::Indented);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush() || ::fdatasync(file.handle()) != 0)
        RaiseFile(planPath);
    file.close();
    folder.OpenFiles(coverageFactor);
    SyncFolder(path);
    return folder;
}

// A line cut short by a power cut ends the file without its line end; it is
// cut off before the resumed run appends, so that it does not run into the
// next line and spoil both.
void CutTornLine(const QString& path) {
    if (!QFileInfo(path).isFile())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        RaiseFile(path);
    const QByteArray all = file.readAll();
    if (all.isEmpty() || all.endsWith('\n'))
        return;
    if (!file.resize(all.lastIndexOf('\n') + 1) || ::fdatasync(file.handle()) != 0)
        RaiseFile(path);
}

TRunFolder TRunFolder::Open(const QString& path, double coverageFactor) {
    if (!QFile::exists(path + "/" + kPlanFile) || !QFile::exists(path + "/" + kJournalFile))
        throw ERunFolderError(platform::FillText(kFolderNotRun, {Local(path)}));
    CutTornLine(path + "/" + kJournalFile);
    if (QFile::exists(path + "/" + kRecordFile))
        CutTornLine(path + "/" + kRecordFile);
    TRunFolder folder(path);
    folder.OpenFiles(coverageFactor);
    return folder;
}

void TRunFolder::OpenFiles(double coverageFactor) {
    FJournal = OpenAppending(FPath + "/" + kJournalFile);
    const QString record = FPath + "/" + kRecordFile;
    FRecord = OpenAppending(record);
    if (::lseek(FRecord, 0, SEEK_END) == 0) {
        const std::string header = live::RecordHeader(coverageFactor) + kRecordRunColumns + "\r\n";
        if (!WriteAll(FRecord, header.data(), header.size()) || ::fdatasync(FRecord) != 0)
            RaiseFile(record);
    }
}

QByteArray TRunFolder::PlanBytes() const {
    QFile file(FPath + "/" + kPlanFile);
    if (!file.open(QIODevice::ReadOnly))
        throw ERunFolderError(platform::FillText(kFolderNotRun, {Local(FPath)}));
    return file.readAll();
}

std::vector<QJsonObject> TRunFolder::ReadJournal() const {
    QFile file(FPath + "/" + kJournalFile);
    if (!file.open(QIODevice::ReadOnly))
        throw ERunFolderError(platform::FillText(kFolderNotRun, {Local(FPath)}));
    const QList<QByteArray> lines = file.readAll().split('\n');
    std::vector<QJsonObject> events;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        const QJsonDocument line = QJsonDocument::fromJson(lines[i]);
        const bool last = i == lines.size() - 1;  // no line end after it: torn
        if (line.isObject() && line.object().contains("event") && !last) {
            events.push_back(line.object());
            continue;
        }
        if (last)
            break;
        char text[300];
        std::snprintf(text, sizeof text, kJournalBad, Local(file.fileName()).c_str(),
                      static_cast<int>(i + 1));
        throw ERunFolderError(text);
    }
    return events;
}

void TRunFolder::Journal(const QJsonObject& event) {
    const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
    if (!WriteAll(FJournal, line.constData(), static_cast<std::size_t>(line.size())) ||
        ::fdatasync(FJournal) != 0)
        throw ERunFolderError(platform::FillText(
            kStopJournal, {platform::FillText(kFileNotWritten, {Local(FPath + "/" + kJournalFile),
                                                                std::strerror(errno)})}));
}

// A line the file refuses (a full disk) is taken back whole, and the record
// stops there: the file ends with its last whole line.
bool TRunFolder::Record(const std::string& line, qint64 ms) {
    if (FRecord < 0)
        return false;
    const std::string whole = line + "\r\n";
    const off_t end = ::lseek(FRecord, 0, SEEK_END);
    if (!WriteAll(FRecord, whole.data(), whole.size())) {
        FRecordError = platform::FillText(kFileNotWritten,
                                          {Local(FPath + "/" + kRecordFile), std::strerror(errno)});
        if (end < 0 || ::ftruncate(FRecord, end) != 0)
            FRecordError += "; its last line may be torn";
        ::close(FRecord);
        FRecord = -1;
        return false;
    }
    FRecordDirty = true;
    if (FRecordSyncedMs < 0)
        FRecordSyncedMs = ms;
    if (ms - FRecordSyncedMs >= kRecordSyncMs) {
        SyncRecord();
        FRecordSyncedMs = ms;
    }
    return true;
}

void TRunFolder::SyncRecord() {
    if (FRecord >= 0 && FRecordDirty)
        ::fdatasync(FRecord);
    FRecordDirty = false;
}

void TRunFolder::WriteResults(const QJsonObject& results) {
    const QString path = FPath + "/" + kResultsFile;
    const QString beside = path + ".new";
    QFile file(beside);
    const QByteArray bytes = QJsonDocument(results).toJson(QJsonDocument::Indented);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush() || ::fdatasync(file.handle()) != 0)
        RaiseFile(beside);
    file.close();
    if (::rename(QFile::encodeName(beside).constData(), QFile::encodeName(path).constData()) != 0)
        RaiseFile(path);
    SyncFolder(FPath);
}

std::string RunRecordLine(const live::TLiveSample& sample, const std::string& stability,
                          double coverageFactor, int point, double analyzer, int attempt) {
    std::string line = live::RecordLine(sample, stability, coverageFactor) + ",";
    if (point > 0)
        line += std::to_string(point);
    line += ",";
    if (std::isfinite(analyzer))
        line += QString::number(analyzer, 'f', 3).toStdString();
    line += ",";
    if (attempt > 0)
        line += std::to_string(attempt);
    return line;
}

}  // namespace run
