#include "run/runfolder.h"
#include "platform/filltext.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "live/messages.h"
#include "live/recorder.h"
#include "run/messages.h"
#include "run/plan.h"
#include "run/results.h"

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
      FLastHash(std::move(other.FLastHash)),
      FJournal(other.FJournal),
      FRecord(other.FRecord),
      FRecordSyncedMs(other.FRecordSyncedMs),
      FRecordDirty(other.FRecordDirty),
      FRecordError(std::move(other.FRecordError)) {
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

namespace {

// Who holds the flock on `fd`'s file, from the kernel's list of locks
// ("1: FLOCK  ADVISORY  WRITE 4711 08:01:1234 0 EOF"); 0 when it does not
// say.
long LockHolder(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return 0;
    QFile locks("/proc/locks");
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray inode = ":" + QByteArray::number(static_cast<qulonglong>(st.st_ino));
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 6 && words[1] == "FLOCK" && words[4].toLong() > 0 &&
            words[5].endsWith(inode))
            return words[4].toLong();
    }
    return 0;
}

void RaiseInUse(const QString& path, int fd) {
    const long holder = LockHolder(fd);
    throw ERunFolderError(
        holder > 0 ? platform::FillText(kFolderInUse, {Local(path), std::to_string(holder)})
                   : platform::FillText(kFolderInUseUnknown, {Local(path)}));
}

// plan.json read as any plan is read: a regular file of a plan's size.
QByteArray PlanFileBytes(const QString& folder) {
    const QString path = folder + "/" + kPlanFile;
    if (!QFileInfo::exists(path))
        throw ERunFolderError(platform::FillText(kFolderNotRun, {Local(folder), kPlanFile}));
    try {
        return ReadPlanFile(path);
    } catch (const EPlanError& e) {
        throw ERunFolderError(platform::FillText(kFolderPlanRefused, {Local(path), e.what()}));
    }
}

std::string Missing(const QString& path) {
    const bool plan = QFileInfo::exists(path + "/" + kPlanFile);
    const bool journal = QFileInfo::exists(path + "/" + kJournalFile);
    if (plan && journal)
        return {};
    return !plan && !journal ? std::string(kPlanFile) + " and " + kJournalFile
                             : (plan ? kJournalFile : kPlanFile);
}

}  // namespace

// One run in a folder at a time: the journal's flock is held for as long as
// this object lives, by whichever program runs it.
void TRunFolder::Lock() {
    const QString journal = FPath + "/" + kJournalFile;
    FJournal = OpenAppending(journal);
    if (::flock(FJournal, LOCK_EX | LOCK_NB) == 0)
        return;
    if (errno != EWOULDBLOCK)
        RaiseFile(journal);
    RaiseInUse(FPath, FJournal);
}

// A folder whose journal holds no event was cut before its run started:
// nothing was done there, and a new run takes it whole.
TRunFolder TRunFolder::Create(const QString& path, const QJsonObject& plan, double coverageFactor) {
    if (!QDir().mkpath(path))
        throw ERunFolderError(
            platform::FillText(kFolderNotMade, {Local(path), std::strerror(errno)}));
    TRunFolder folder(path);
    folder.Lock();
    bool empty = false;
    try {
        empty = folder.ReadJournal().empty();
    } catch (const ERunFolderError&) {
    }
    if (!empty)
        throw ERunFolderError(
            platform::FillText(kFolderNotMade, {Local(path), "it holds a run already"}));
    if (::ftruncate(folder.FJournal, 0) != 0)
        RaiseFile(path + "/" + kJournalFile);
    QFile::remove(path + "/" + kRecordFile);
    const QString planPath = path + "/" + kPlanFile;
    QFile file(planPath);
    const QByteArray bytes = QJsonDocument(plan).toJson(QJsonDocument::Indented);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush() || ::fdatasync(file.handle()) != 0)
        RaiseFile(planPath);
    file.close();
    folder.FLastHash = Sha256Hex(bytes);
    folder.OpenRecord(coverageFactor);
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
    const std::string missing = Missing(path);
    if (!missing.empty())
        throw ERunFolderError(platform::FillText(kFolderNotRun, {Local(path), missing}));
    TRunFolder folder(path);
    folder.Lock();
    CutTornLine(path + "/" + kJournalFile);
    if (QFile::exists(path + "/" + kRecordFile))
        CutTornLine(path + "/" + kRecordFile);
    QFile journal(path + "/" + kJournalFile);
    if (!journal.open(QIODevice::ReadOnly))
        RaiseFile(journal.fileName());
    folder.FLastHash = CheckJournalChain(folder.PlanBytes(), journal.readAll()).LastHash;
    folder.OpenRecord(coverageFactor);
    return folder;
}

void TRunFolder::OpenRecord(double coverageFactor) {
    const QString record = FPath + "/" + kRecordFile;
    FRecord = OpenAppending(record);
    if (::lseek(FRecord, 0, SEEK_END) == 0) {
        const std::string header = live::RecordHeader(coverageFactor) + kRecordRunColumns + "\r\n";
        if (!WriteAll(FRecord, header.data(), header.size()) || ::fdatasync(FRecord) != 0)
            RaiseFile(record);
    }
}

QByteArray TRunFolder::PlanBytes() const {
    return PlanFileBytes(FPath);
}

void TRunFolder::Close() {
    SyncRecord();
    if (FRecord >= 0)
        ::close(FRecord);
    if (FJournal >= 0)
        ::close(FJournal);
    FRecord = -1;
    FJournal = -1;
}

std::vector<QJsonObject> TRunFolder::ReadJournal() const {
    return ReadJournalFile(FPath + "/" + kJournalFile);
}

bool TRunFolder::Finished() const {
    const std::vector<QJsonObject> events = ReadJournal();
    return std::any_of(events.begin(), events.end(), [](const QJsonObject& event) {
        return event["event"].toString() == "finished";
    });
}

bool TRunFolder::HasResults() const {
    return QFileInfo::exists(FPath + "/" + kResultsFile);
}

std::vector<QJsonObject> ReadJournalFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ERunFolderError(
            platform::FillText(kFolderNotRun, {Local(QFileInfo(path).path()), kJournalFile}));
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
    QJsonObject linked = event;
    linked[kChainKey] = QString::fromLatin1(FLastHash);
    const QByteArray line = QJsonDocument(linked).toJson(QJsonDocument::Compact);
    const QByteArray whole = line + '\n';
    if (!WriteAll(FJournal, whole.constData(), static_cast<std::size_t>(whole.size())) ||
        ::fdatasync(FJournal) != 0)
        throw ERunFolderError(platform::FillText(
            kStopJournal, {platform::FillText(kFileNotWritten, {Local(FPath + "/" + kJournalFile),
                                                                std::strerror(errno)})}));
    FLastHash = Sha256Hex(line);
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

namespace {

// The kit as the run's latest session found it: the conditions its start
// (or a resume that names them) journalled. The temperature limits are not
// journalled; the plan passed them when it was run.
TKitLimits JournalledLimits(const std::vector<QJsonObject>& events) {
    QJsonObject conditions;
    for (const QJsonObject& event : events) {
        const QString name = event["event"].toString();
        if ((name == "started" || name == "resumed") && event["conditions"].isObject())
            conditions = event["conditions"].toObject();
    }
    TKitLimits limits;
    limits.TempMin = -273.15;
    limits.TempMax = 1e4;
    const auto take = [&conditions](const char* key, double& value) {
        if (conditions[key].isDouble())
            value = conditions[key].toDouble();
    };
    take("reservoirCapacity", limits.ReservoirCapacity);
    take("dilutionCapacity", limits.DilutionCapacity);
    take("pbar", limits.Pbar);
    take("dp", limits.Dp);
    take("refTemp", limits.RefTemp);
    return limits;
}

}  // namespace

QJsonObject ResultsFromJournal(const QString& path) {
    const QByteArray planBytes = PlanFileBytes(path);
    const std::vector<QJsonObject> events = ReadJournalFile(path + "/" + kJournalFile);
    if (std::none_of(events.begin(), events.end(), [](const QJsonObject& event) {
            return event["event"].toString() == "started";
        }))
        throw ERunFolderError(platform::FillText(kFolderNotStarted, {Local(path)}));
    try {
        TPlan plan = ParsePlan(planBytes);
        CheckPlan(plan, JournalledLimits(events), false);
        return ResultsFromJournal(plan, events);
    } catch (const EPlanError& e) {
        throw ERunFolderError(
            platform::FillText(kFolderPlanRefused, {Local(path + "/" + kPlanFile), e.what()}));
    }
}

QByteArray Sha256Hex(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

TJournalChain CheckJournalChain(const QByteArray& plan, const QByteArray& journal) {
    TJournalChain chain;
    chain.LastHash = Sha256Hex(plan);
    QList<QByteArray> lines = journal.split('\n');
    lines.removeLast();  // what follows the last line end: nothing, or a torn line
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QJsonValue link = QJsonDocument::fromJson(lines[i]).object().value(kChainKey);
        if (i == 0)
            chain.State = link.isUndefined() ? TJournalChain::jcUnchained : TJournalChain::jcWhole;
        if (chain.State == TJournalChain::jcWhole && link.toString().toLatin1() != chain.LastHash) {
            chain.State = TJournalChain::jcBroken;
            chain.Line = static_cast<int>(i) + 1;
        }
        chain.LastHash = Sha256Hex(lines[i]);
    }
    return chain;
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
