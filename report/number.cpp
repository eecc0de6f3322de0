#include "report/number.h"

#include "report/messages.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

namespace report {

namespace {

[[noreturn]] void Refuse(const QString& path, const QString& why) {
    throw EReportError(QString(kCannotWrite).arg(path, why).toStdString());
}

// An exclusive lock on a file of its own beside the sequence, held while
// the sequence is read, counted on and written back; the kernel lets go of
// it when the process ends, however it ends.
class TFileLock {
  public:
    explicit TFileLock(const QString& path) {
        FFd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (FFd < 0)
            Refuse(path, QString::fromLocal8Bit(std::strerror(errno)));
        while (::flock(FFd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                const int error = errno;
                ::close(FFd);
                Refuse(path, QString::fromLocal8Bit(std::strerror(error)));
            }
        }
    }
    ~TFileLock() { ::close(FFd); }
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

  private:
    int FFd = -1;
};

void WriteJson(const QString& path, const QJsonObject& object) {
    QSaveFile file(path);
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        Refuse(path, file.errorString());
}

// A file that is missing is empty; one that holds no JSON object is
// refused rather than started again, which could repeat a number.
QJsonObject ReadJson(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        throw EReportError(QString(kUnreadable).arg(path, file.errorString()).toStdString());
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        throw EReportError(
            QString(kNotJson).arg(path, error.errorString()).arg(error.offset).toStdString());
    if (!document.isObject())
        throw EReportError(QString(kNotObject).arg(path).toStdString());
    return document.object();
}

QJsonObject HashesJson(const TFolderHashes& hashes) {
    return {{"plan", QString::fromLatin1(hashes.Plan)},
            {"journal", QString::fromLatin1(hashes.Journal)},
            {"record", QString::fromLatin1(hashes.Record)},
            {"results", QString::fromLatin1(hashes.Results)}};
}

TFolderHashes ReadHashes(const QJsonObject& object) {
    TFolderHashes hashes;
    hashes.Plan = object.value("plan").toString().toLatin1();
    hashes.Journal = object.value("journal").toString().toLatin1();
    hashes.Record = object.value("record").toString().toLatin1();
    hashes.Results = object.value("results").toString().toLatin1();
    return hashes;
}

bool SameFiles(const TFolderHashes& a, const TFolderHashes& b) {
    return a.Plan == b.Plan && a.Journal == b.Journal && a.Record == b.Record &&
           a.Results == b.Results;
}

QString StatePath(const TRunFolder& folder) {
    return QDir(folder.Path).filePath(kReportStateFile);
}

TReportState ReadState(const TRunFolder& folder) {
    const QJsonObject object = ReadJson(StatePath(folder));
    TReportState state;
    state.Number = object.value("number").toString();
    state.Replaces = object.value("replaces").toString();
    if (object.value("approval").isObject()) {
        const QJsonObject approval = object.value("approval").toObject();
        state.Approval =
            TApproval{approval.value("by").toString(), approval.value("time").toString(),
                      approval.value("file").toString()};
        state.ApprovedHashes = ReadHashes(approval.value("hashes").toObject());
    }
    return state;
}

void SaveState(const TRunFolder& folder, const TReportState& state) {
    QJsonObject object{{"number", state.Number}};
    if (!state.Replaces.isEmpty())
        object["replaces"] = state.Replaces;
    if (state.Approval)
        object["approval"] = QJsonObject{{"by", state.Approval->By},
                                         {"time", state.Approval->Time},
                                         {"file", state.Approval->File},
                                         {"hashes", HashesJson(state.ApprovedHashes)}};
    WriteJson(StatePath(folder), object);
}

}  // namespace

QString SequenceFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/vapcal";
}

QString NextReportNumber(const QString& folder, const QString& prefix, int year) {
    if (!QDir().mkpath(folder))
        Refuse(folder, QString::fromLocal8Bit(std::strerror(errno)));
    const QString path = QDir(folder).filePath(kSequenceFile);
    const TFileLock lock(path + ".lock");
    QJsonObject sequences = ReadJson(path);
    const QString key = QString("%1-%2").arg(prefix).arg(year);
    const int next = sequences.value(key).toInt() + 1;
    sequences[key] = next;
    WriteJson(path, sequences);
    return QString("%1-%2").arg(key).arg(next, 4, 10, QChar('0'));
}

TReportState ReportNumber(const TRunFolder& folder, const QString& sequenceFolder,
                          const QDateTime& now) {
    TReportState state = ReadState(folder);
    const bool changedSinceApproval =
        state.Approval && !SameFiles(state.ApprovedHashes, folder.Hashes);
    if (!state.Number.isEmpty() && !changedSinceApproval)
        return state;
    if (changedSinceApproval) {
        state.Replaces = state.Number;
        state.Approval.reset();
    }
    const QString prefix = folder.Laboratory.ReportPrefix.isEmpty()
                               ? QString::fromUtf8(kDefaultReportPrefix)
                               : folder.Laboratory.ReportPrefix;
    state.Number = NextReportNumber(sequenceFolder, prefix, now.date().year());
    SaveState(folder, state);
    return state;
}

void SaveApproval(const TRunFolder& folder, TReportState& state, const TApproval& approval) {
    state.Approval = approval;
    state.ApprovedHashes = folder.Hashes;
    SaveState(folder, state);
}

}  // namespace report
