#include "history/runrecord.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>
#include <cmath>

#include "history/messages.h"
#include "run/runfolder.h"

namespace history {

namespace {

// The namespace of derived run identities; fixed, so that every PC derives
// the same identity for the same folder.
const QUuid kDerivedNamespace("{6d3c0e52-93a4-4c1e-9f57-2b8f6f0a4d11}");

[[noreturn]] void Refuse(const char* pattern, const QString& a, const QString& b = {},
                         const QString& c = {}) {
    QString text(pattern);
    text = b.isNull() ? text.arg(a) : c.isNull() ? text.arg(a, b) : text.arg(a, b, c);
    throw ERunRecordError(text.toStdString());
}

QByteArray ReadFile(const QString& folder, const char* name) {
    QFile file(QDir(folder).filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        Refuse(kRunUnreadable, folder, name);
    return file.readAll();
}

QJsonObject ReadObject(const QString& folder, const char* name) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(ReadFile(folder, name), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        Refuse(kRunNotJson, folder, name,
               error.error != QJsonParseError::NoError ? error.errorString() : "not an object");
    return document.object();
}

// The journal's "started" event: the first line that names it. A folder is
// finished when it has results, so a torn line can only be elsewhere.
QJsonObject StartedEvent(const QString& folder) {
    const QByteArray journal = ReadFile(folder, run::kJournalFile);
    for (const QByteArray& line : journal.split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (event["event"].toString() == "started")
            return event;
    }
    Refuse(kRunNoStart, folder);
}

std::optional<double> Number(const QJsonValue& value) {
    if (!value.isDouble() || !std::isfinite(value.toDouble()))
        return std::nullopt;
    return value.toDouble();
}

std::optional<bool> Bool(const QJsonValue& value) {
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

// A name the run's results give of their own: a text, or an object's "name".
QString NameOf(const QJsonValue& value) {
    return value.isObject() ? value.toObject()["name"].toString() : value.toString();
}

THistoryAnalyzer AnalyzerOf(const QJsonObject& plan) {
    THistoryAnalyzer analyzer;
    const QJsonObject item = plan["analyzer"].toObject()["item"].toObject();
    analyzer.Maker = item["maker"].toString();
    analyzer.Model = item["model"].toString();
    analyzer.Serial = item["serial"].toString();
    analyzer.Tag = item["tag"].toString();
    analyzer.AnalyzerId = plan["analyzerId"].toString();
    analyzer.Identity = !analyzer.Serial.isEmpty() ? analyzer.Serial : analyzer.AnalyzerId;
    return analyzer;
}

THistoryPoint PointOf(const QJsonObject& p) {
    THistoryPoint point;
    point.Index = p["index"].toInt();
    point.Status = p["status"].toString();
    point.Wanted = Number(p["wanted"]);
    point.Delivered = Number(p["delivered"].toObject()["mean"]);
    point.Expanded = Number(p["delivered"].toObject()["expanded"]);
    point.Analyzer = Number(p["analyzer"].toObject()["mean"]);
    point.Error = Number(p["error"]);
    point.ErrorPercent = Number(p["errorPercent"]);
    point.Pass = Bool(p["pass"]);
    return point;
}

THistoryLevel LevelOf(const QJsonObject& l) {
    THistoryLevel level;
    const QJsonValue name = l["level"];
    level.Level = name.isDouble() ? QString::number(name.toDouble()) : name.toString();
    level.Reference = Number(l["reference"]);
    level.Response = Number(l["response"]);
    level.Error = Number(l["error"]);
    level.ErrorUnit = l["errorUnit"].toString();
    level.Difference = Number(l["difference"]);
    level.Limit = Number(l["limit"]);
    level.Alternative = Number(l["alternative"]);
    level.DecidedBy = l["decidedBy"].toString();
    level.Pass = Bool(l["pass"]);
    return level;
}

bool IsZeroLevel(const THistoryLevel& level) {
    return level.Level == "zero" || level.Level == "0";
}

// Under a procedure: its zero level, and its highest other level. Without
// one: the mean error of the zero-gas points (no reservoir flow or 0 ng/l
// wanted) and the error of the done point with the highest delivered mean.
void FindZeroAndUpscale(THistoryRun& run, const QJsonArray& points) {
    if (!run.Levels.empty()) {
        double highest = -HUGE_VAL;
        for (const THistoryLevel& level : run.Levels) {
            if (!level.Difference)
                continue;
            if (IsZeroLevel(level)) {
                run.ZeroError = level.Difference;
            } else if (level.Reference && *level.Reference > highest) {
                highest = *level.Reference;
                run.UpscaleError = level.Difference;
            }
        }
        return;
    }
    double zeroSum = 0;
    int zeroCount = 0;
    double highest = -HUGE_VAL;
    for (std::size_t i = 0; i < run.Points.size(); ++i) {
        const THistoryPoint& point = run.Points[i];
        if (point.Status != "done" || !point.Error || !point.Delivered)
            continue;
        const QJsonObject p = points[static_cast<qsizetype>(i)].toObject();
        if (p["reservoirFlow"].toDouble() == 0 || (point.Wanted && *point.Wanted == 0)) {
            zeroSum += *point.Error;
            ++zeroCount;
        } else if (*point.Delivered > highest) {
            highest = *point.Delivered;
            run.UpscaleError = point.Error;
        }
    }
    if (zeroCount > 0)
        run.ZeroError = zeroSum / zeroCount;
}

}  // namespace

QString DerivedRunId(const QByteArray& planBytes, const QString& started) {
    return QUuid::createUuidV5(kDerivedNamespace, planBytes + '\n' + started.toUtf8())
        .toString(QUuid::WithoutBraces);
}

THistoryRun ReadRunFolder(const QString& folder, const TImportContext& context) {
    const QString path = QDir(folder).absolutePath();
    if (!QFile::exists(QDir(path).filePath(run::kResultsFile)))
        Refuse(kRunNotFinished, path);
    const QJsonObject results = ReadObject(path, run::kResultsFile);
    const QJsonObject plan = ReadObject(path, run::kPlanFile);
    const QJsonObject started = StartedEvent(path);

    THistoryRun run;
    run.Folder = path;
    run.Started = started["time"].toString();
    if (run.Started.isEmpty())
        run.Started = results["started"].toString();
    run.StartedUtc =
        QDateTime::fromString(run.Started, Qt::ISODate).toUTC().toString("yyyy-MM-ddTHH:mm:ssZ");
    run.RunId = started["runId"].toString();
    if (run.RunId.isEmpty())
        run.RunId = DerivedRunId(ReadFile(path, run::kPlanFile), run.Started);
    run.Finished = results["finished"].toString();
    run.Plan = results["plan"].toString();
    const QJsonObject procedure = results["procedure"].toObject();
    if (!procedure["name"].toString().isEmpty())
        run.Procedure = procedure["name"].toString();
    run.Pass = Bool(procedure.isEmpty() ? results["pass"] : procedure["pass"]);
    run.Analyzer = AnalyzerOf(plan);
    run.Lab = NameOf(results["lab"]);
    if (run.Lab.isEmpty())
        run.Lab = context.Lab;
    run.Kit = NameOf(results["kit"]);
    if (run.Kit.isEmpty())
        run.Kit = context.Kit;
    run.Operator = results["operator"].toString();
    run.Port = results["port"].toString();
    run.Console = results["console"].toString();
    run.Interruptions = static_cast<int>(results["interruptions"].toArray().size());
    const QJsonArray points = results["points"].toArray();
    for (const QJsonValue& p : points)
        run.Points.push_back(PointOf(p.toObject()));
    for (const QJsonValue& l : procedure["levels"].toArray())
        run.Levels.push_back(LevelOf(l.toObject()));
    FindZeroAndUpscale(run, points);
    return run;
}

}  // namespace history
