#include "report/verify.h"

#include "report/messages.h"
#include "run/runfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>

namespace report {

namespace {

constexpr const char* kXmpNamespace = "urn:vapcal:report:1";

// The hashes by their names in the metadata and in the messages.
struct THashName {
    const char* Attribute;
    const char* File;
    QByteArray TFolderHashes::*Member;
};
constexpr THashName kHashNames[] = {
    {"planSha256", run::kPlanFile, &TFolderHashes::Plan},
    {"journalSha256", run::kJournalFile, &TFolderHashes::Journal},
    {"recordSha256", run::kRecordFile, &TFolderHashes::Record},
    {"resultsSha256", run::kResultsFile, &TFolderHashes::Results},
    {"chainEndSha256", kChainEndName, &TFolderHashes::ChainEnd},
};

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EReportError(QString(kUnreadable).arg(path, file.errorString()).toStdString());
    return file.readAll();
}

TVerification Differs(const QString& says) {
    return {false, says};
}

// Where two JSON values first differ, as a path ("delivered.mean",
// "budget[2].contribution"); empty when they are equal.
QString FirstDifference(const QJsonValue& a, const QJsonValue& b, const QString& path) {
    if (a.isObject() && b.isObject()) {
        const QJsonObject x = a.toObject(), y = b.toObject();
        QStringList keys = x.keys() + y.keys();
        keys.removeDuplicates();
        keys.sort();
        for (const QString& key : keys) {
            const QString inner = path.isEmpty() ? key : path + "." + key;
            const QString found = FirstDifference(x.value(key), y.value(key), inner);
            if (!found.isEmpty())
                return found;
        }
        return {};
    }
    if (a.isArray() && b.isArray()) {
        const QJsonArray x = a.toArray(), y = b.toArray();
        for (qsizetype i = 0; i < std::max(x.size(), y.size()); ++i) {
            const QString found =
                FirstDifference(x.at(i), y.at(i), QString("%1[%2]").arg(path).arg(i));
            if (!found.isEmpty())
                return found;
        }
        return {};
    }
    return a == b ? QString() : (path.isEmpty() ? QString("the whole") : path);
}

// Each done point of results.json against the result its dwellDone line
// holds, which the journal wrote whole when the dwell ended.
QString ResultsAgainstJournal(const QString& file, const QByteArray& journal) {
    QFile results(file);
    if (!results.open(QIODevice::ReadOnly))
        return QString(kVerifyResultsDiffer).arg(file, results.errorString());
    const QJsonArray points =
        QJsonDocument::fromJson(results.readAll()).object().value("points").toArray();
    int line = 0;
    for (const QByteArray& text : journal.split('\n')) {
        ++line;
        const QJsonObject event = QJsonDocument::fromJson(text).object();
        if (event.value("event").toString() != kDwellDoneEvent)
            continue;
        const int index = event.value("point").toInt();
        const QString where = QString("points[%1]").arg(index - 1);
        const QString found =
            index >= 1 && index <= points.size()
                ? FirstDifference(points.at(index - 1), event.value("result"), where)
                : where;
        if (!found.isEmpty())
            return QString(kVerifyResultsDiffer)
                .arg(file, QString(kVerifyJournalLine).arg(found).arg(line));
    }
    return {};
}

}  // namespace

QByteArray HashesXmp(const QString& number, const TFolderHashes& hashes) {
    QByteArray xmp =
        "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
        "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
        "<rdf:Description rdf:about=\"\" xmlns:vapcal=\"";
    xmp += kXmpNamespace;
    xmp += "\"\n vapcal:number=\"" + number.toHtmlEscaped().toUtf8() + "\"";
    for (const THashName& name : kHashNames)
        xmp += QByteArray("\n vapcal:") + name.Attribute + "=\"" + hashes.*name.Member + "\"";
    xmp += "/>\n</rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"r\"?>";
    return xmp;
}

std::optional<TFolderHashes> ReadReportHashes(const QByteArray& pdf) {
    const qsizetype at = pdf.indexOf(QByteArray("xmlns:vapcal=\"") + kXmpNamespace + "\"");
    if (at < 0)
        return std::nullopt;
    const qsizetype end = pdf.indexOf("/>", at);
    const QString description = QString::fromUtf8(pdf.mid(at, end < 0 ? -1 : end - at));
    TFolderHashes hashes;
    for (const THashName& name : kHashNames) {
        const QRegularExpression attribute(
            QString("vapcal:%1=\"([0-9a-f]{64})\"").arg(QString::fromLatin1(name.Attribute)));
        const QRegularExpressionMatch match = attribute.match(description);
        if (!match.hasMatch())
            return std::nullopt;
        hashes.*name.Member = match.captured(1).toLatin1();
    }
    return hashes;
}

TVerification VerifyRunFolder(const QString& path, const QString& pdf) {
    const QDir dir(path);
    if (!dir.exists())
        throw EReportError(QString(kNoFolder).arg(path).toStdString());
    const QByteArray plan = ReadBytes(dir.filePath(run::kPlanFile));
    const QByteArray journal = ReadBytes(dir.filePath(run::kJournalFile));
    const run::TJournalChain chain = run::CheckJournalChain(plan, journal);
    if (chain.State == run::TJournalChain::jcUnchained)
        return Differs(QString(kVerifyUnchained).arg(dir.filePath(run::kJournalFile)));
    if (chain.State == run::TJournalChain::jcBroken)
        return Differs(QString(kVerifyChainBroken)
                           .arg(dir.filePath(run::kJournalFile))
                           .arg(chain.Line)
                           .arg(chain.Line - 1));
    const int lines = static_cast<int>(journal.count('\n'));
    const QString results = ResultsAgainstJournal(dir.filePath(run::kResultsFile), journal);
    if (!results.isEmpty())
        return Differs(results);

    if (pdf.isEmpty())
        return {true, QString(kVerifiedFolder).arg(path).arg(lines)};
    const std::optional<TFolderHashes> printed = ReadReportHashes(ReadBytes(pdf));
    if (!printed)
        return Differs(QString(kVerifyNoHashes).arg(pdf));
    const TFolderHashes now = HashFolder(path);
    for (const THashName& name : kHashNames) {
        if ((*printed).*name.Member != now.*name.Member)
            return Differs(
                QString(kVerifyHashDiffers).arg(dir.filePath(QString::fromUtf8(name.File)), pdf));
    }
    return {true, QString(kVerifiedWithReport).arg(path).arg(lines).arg(pdf)};
}

}  // namespace report
