#include "report/runfolder.h"

#include "report/messages.h"
#include "run/runfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>
#include <cmath>
#include <limits>

namespace report {

namespace {

[[noreturn]] void Refuse(const QString& message) {
    throw EReportError(message.toStdString());
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        Refuse(QString(kUnreadable).arg(path, file.errorString()));
    return file.readAll();
}

QJsonObject ReadJsonObject(const QString& path) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(ReadFile(path), &error);
    if (error.error != QJsonParseError::NoError)
        Refuse(QString(kNotJson).arg(path, error.errorString()).arg(error.offset));
    if (!document.isObject())
        Refuse(QString(kNotObject).arg(path));
    return document.object();
}

// A number the file holds; a null, a missing key or a value of another
// kind is no number, and the report prints "–" for it.
std::optional<double> Number(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble())
        return std::nullopt;
    return value.toDouble();
}

double NumberOr(const QJsonObject& object, const char* key, double otherwise) {
    return Number(object, key).value_or(otherwise);
}

// A count or a point's number as a whole number; what no int holds (a
// file that says 1e300 or a negative count) is 0.
int Whole(double value) {
    if (!(value >= 0 && value <= std::numeric_limits<int>::max()))
        return 0;
    return static_cast<int>(value);
}

std::optional<bool> Verdict(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

QString Text(const QJsonObject& object, const char* key) {
    return object.value(QLatin1String(key)).toString();
}

std::optional<TDelivered> ReadDelivered(const QJsonValue& value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    const std::optional<double> mean = Number(object, "mean");
    if (!mean)
        return std::nullopt;
    return TDelivered{*mean, NumberOr(object, "sd", 0), Number(object, "expanded"),
                      Number(object, "coverageFactor")};
}

std::optional<TAnalyzerMean> ReadAnalyzer(const QJsonValue& value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    const std::optional<double> mean = Number(object, "mean");
    if (!mean)
        return std::nullopt;
    return TAnalyzerMean{*mean, NumberOr(object, "sd", 0), Whole(NumberOr(object, "samples", 0))};
}

std::vector<TBudgetRow> ReadBudget(const QJsonValue& value) {
    std::vector<TBudgetRow> rows;
    for (const QJsonValue& row : value.toArray()) {
        const QJsonObject object = row.toObject();
        rows.push_back({Text(object, "quantity"), NumberOr(object, "standardUncertainty", 0),
                        NumberOr(object, "sensitivity", 0), NumberOr(object, "contribution", 0)});
    }
    return rows;
}

TPointResult ReadPoint(const QString& file, const QJsonValue& value, int position) {
    const QJsonObject object = value.toObject();
    const std::optional<double> index = Number(object, "index");
    if (!value.isObject() || !index)
        Refuse(QString(kBadPoint).arg(file).arg(position));
    TPointResult point;
    point.Index = Whole(*index);
    point.Wanted = Number(object, "wanted");
    point.Temperature = Number(object, "temperature");
    point.ReservoirFlow = Number(object, "reservoirFlow");
    point.DilutionFlow = Number(object, "dilutionFlow");
    point.Status = Text(object, "status");
    point.StableAfterSeconds = Number(object, "stableAfterSeconds");
    point.Samples = Whole(NumberOr(object, "samples", 0));
    point.DwellStarted = ReadIsoTime(Text(object, "dwellStarted"));
    point.DwellEnded = ReadIsoTime(Text(object, "dwellEnded"));
    point.Delivered = ReadDelivered(object.value("delivered"));
    point.Budget = ReadBudget(object.value("budget"));
    point.Analyzer = ReadAnalyzer(object.value("analyzer"));
    point.Error = Number(object, "error");
    point.ErrorPercent = Number(object, "errorPercent");
    point.Pass = Verdict(object, "pass");
    point.DecidedBy = Text(object, "decidedBy");
    return point;
}

TRunResults ReadResults(const QString& file) {
    const QJsonObject object = ReadJsonObject(file);
    if (!object.value("points").isArray())
        Refuse(QString(kNoPoints).arg(file));
    TRunResults results;
    results.Plan = Text(object, "plan");
    results.Started = Text(object, "started");
    results.Finished = Text(object, "finished");
    results.Port = Text(object, "port");
    results.Console = Text(object, "console");
    results.Operator = Text(object, "operator");
    results.AnalyzerId = Text(object, "analyzerId");
    results.AnalyzerSource = Text(object, "analyzerSource");
    results.Conditions = object.value("conditions").toObject();
    if (object.value("acceptance").isObject()) {
        const QJsonObject acceptance = object.value("acceptance").toObject();
        results.Acceptance =
            TAcceptance{NumberOr(acceptance, "percent", 0), NumberOr(acceptance, "absolute", 0)};
    }
    int position = 0;
    for (const QJsonValue& point : object.value("points").toArray())
        results.Points.push_back(ReadPoint(file, point, ++position));
    if (object.value("linearity").isObject()) {
        const QJsonObject fit = object.value("linearity").toObject();
        results.Linearity = TLinearity{NumberOr(fit, "slope", 0), NumberOr(fit, "intercept", 0),
                                       NumberOr(fit, "r2", 0), NumberOr(fit, "maxResidual", 0)};
    }
    results.Procedure = object.value("procedure").toObject();
    results.Pass = Verdict(object, "pass");
    for (const QJsonValue& value : object.value("interruptions").toArray()) {
        const QJsonObject entry = value.toObject();
        results.Interruptions.push_back({Text(entry, "kind"), Text(entry, "time"),
                                         Whole(NumberOr(entry, "point", 0)), Text(entry, "by"),
                                         Text(entry, "port")});
    }
    return results;
}

// What the plan as run adds when results.json leaves it out: the operator,
// the analyser's identification and its source; and what only the plan
// says: the customer, the item, the lab's air at the start.
void FillFromPlan(const QString& file, TRunFolder& folder) {
    if (!QFileInfo::exists(file))
        return;
    const QJsonObject plan = ReadJsonObject(file);
    TRunResults& results = folder.Results;
    const QJsonObject item = plan.value("analyzer").toObject().value("item").toObject();
    folder.Item = {Text(plan, "customer"), Text(item, "maker"), Text(item, "model"),
                   Text(item, "serial"), Text(item, "tag")};
    const QJsonObject environment = plan.value("environment").toObject();
    folder.LabTemperature = Number(environment, "temperature");
    folder.LabHumidity = Number(environment, "humidity");
    if (results.Plan.isEmpty())
        results.Plan = Text(plan, "name");
    if (results.Operator.isEmpty())
        results.Operator = Text(plan, "operator");
    if (results.AnalyzerId.isEmpty())
        results.AnalyzerId = Text(plan, "analyzerId");
    if (results.AnalyzerSource.isEmpty())
        results.AnalyzerSource = Text(plan.value("analyzer").toObject(), "source");
}

// What the journal adds: why the run stopped early (a "stopped" event
// that no "resumed" followed), and what results.json leaves out of the run's head and of each
// point's dwell. A line that is not a JSON object (a run killed while
// writing it) says nothing and is passed over; every whole line was synced
// before the run went on.
void ReadJournal(const QString& file, TRunFolder& folder) {
    if (!QFileInfo::exists(file))
        return;
    TRunResults& results = folder.Results;
    const auto fill = [](QString& field, const QString& value) {
        if (field.isEmpty())
            field = value;
    };
    for (const QByteArray& line : ReadFile(file).split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        const QString name = Text(event, "event");
        if (name == kStartedEvent) {
            fill(results.Plan, Text(event, "plan"));
            fill(results.Port, Text(event, "port"));
            fill(results.Console, Text(event, "console"));
            fill(results.Started, Text(event, "time"));
        } else if (name == kStoppedEvent) {
            folder.StopReason = Text(event, "reason");
        } else if (name == kResumedEvent) {
            folder.StopReason.clear();  // the run went on after all
        } else if (name == kDwellStartedEvent || name == kDwellDoneEvent) {
            const int index = Whole(NumberOr(event, "point", 0));
            for (TPointResult& point : results.Points) {
                QDateTime& when = name == kDwellDoneEvent ? point.DwellEnded : point.DwellStarted;
                if (point.Index == index && !when.isValid())
                    when = ReadIsoTime(Text(event, "time"));
            }
        }
    }
}

// RFC 4180 records, one at a time: fields split at commas outside double
// quotes, a doubled quote inside them is one quote, CRLF or LF ends a
// record outside quotes. A long run's record is read without holding it
// twice.
class TCsvReader {
  public:
    explicit TCsvReader(const QByteArray& bytes) : FBytes(bytes) {}

    // The next record into `record`; false at the end of the text.
    bool Next(QStringList& record) {
        record.clear();
        if (FAt >= FBytes.size())
            return false;
        QByteArray field;
        TState state = csPlain;
        for (; FAt < FBytes.size(); ++FAt) {
            const char c = FBytes[FAt];
            if (state == csQuoted) {
                if (c == '"')
                    state = csQuoteInQuoted;
                else
                    field += c;
                continue;
            }
            if (state == csQuoteInQuoted) {
                state = csPlain;
                if (c == '"') {
                    field += c;
                    state = csQuoted;
                    continue;
                }
            }
            if (c == '"') {
                state = csQuoted;
            } else if (c == ',') {
                record << QString::fromUtf8(field);
                field.clear();
            } else if (c == '\n') {
                ++FAt;
                break;
            } else if (c != '\r') {
                field += c;
            }
        }
        record << QString::fromUtf8(field);
        return true;
    }

  private:
    enum TState { csPlain, csQuoted, csQuoteInQuoted };

    const QByteArray& FBytes;
    qsizetype FAt = 0;
};

std::optional<double> CsvNumber(const QStringList& record, qsizetype column) {
    if (column < 0 || column >= record.size())
        return std::nullopt;
    bool ok = false;
    const double value = record[column].toDouble(&ok);
    return ok && std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

// The record's complete polls; a line shorter than the header (cut off when
// the run was killed) is left out.
std::vector<TRecordSample> ReadRecord(const QString& file) {
    const QByteArray bytes = ReadFile(file);
    TCsvReader reader(bytes);
    QStringList header;
    reader.Next(header);
    const auto column = [&](const char* name, bool needed) {
        const qsizetype at = header.indexOf(QString::fromUtf8(name));
        if (at < 0 && needed)
            Refuse(QString(kNoRecordColumn).arg(file, QString::fromUtf8(name)));
        return at;
    };
    const qsizetype time = column(kTimeColumn, true);
    const qsizetype delivered = column(kDeliveredColumn, true);
    const qsizetype point = column(kPointColumn, false);
    const qsizetype analyzer = column(kAnalyzerColumn, false);
    std::vector<TRecordSample> samples;
    QStringList record;
    while (reader.Next(record)) {
        if (record.size() < header.size())
            continue;
        const QDateTime when = ReadIsoTime(record[time]);
        if (!when.isValid())
            continue;
        TRecordSample sample;
        sample.Time = when.toMSecsSinceEpoch();
        sample.Delivered = CsvNumber(record, delivered);
        sample.Analyzer = CsvNumber(record, analyzer);
        sample.Point = Whole(CsvNumber(record, point).value_or(0));
        samples.push_back(sample);
    }
    return samples;
}

// The lab, its instruments and the accuracies' source as the run's
// conditions recorded them at its start.
void ReadLaboratory(TRunFolder& folder) {
    const QJsonObject& conditions = folder.Results.Conditions;
    const QJsonObject lab = conditions.value("laboratory").toObject();
    folder.Laboratory = {Text(lab, "name"), Text(lab, "address"), Text(lab, "accreditation"),
                         Text(lab, "reportPrefix")};
    for (const QJsonValue& value : conditions.value("instruments").toArray()) {
        const QJsonObject i = value.toObject();
        folder.Instruments.push_back({Text(i, "role"), Text(i, "model"), Text(i, "serial"),
                                      Text(i, "certificate"), Text(i, "calibrated"),
                                      Text(i, "due")});
    }
    folder.AccuracySource =
        conditions.value("uncertainty").toObject().value("AccuracySource").toString();
}

QByteArray FileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

TFolderHashes HashFolder(const QString& path) {
    const QDir dir(path);
    const QByteArray plan = FileBytes(dir.filePath(run::kPlanFile));
    const QByteArray journal = FileBytes(dir.filePath(run::kJournalFile));
    TFolderHashes hashes;
    hashes.Plan = run::Sha256Hex(plan);
    hashes.Journal = run::Sha256Hex(journal);
    hashes.Record = run::Sha256Hex(FileBytes(dir.filePath(run::kRecordFile)));
    hashes.Results = run::Sha256Hex(FileBytes(dir.filePath(run::kResultsFile)));
    const run::TJournalChain chain = run::CheckJournalChain(plan, journal);
    hashes.ChainEnd = chain.LastHash;
    hashes.Chained = chain.State != run::TJournalChain::jcUnchained;
    hashes.BrokenLine = chain.State == run::TJournalChain::jcBroken ? chain.Line : 0;
    return hashes;
}

QDateTime ReadIsoTime(const QString& text) {
    if (text.isEmpty())
        return {};
    return QDateTime::fromString(text, Qt::ISODateWithMs);
}

TRunFolder ReadRunFolder(const QString& path) {
    const QDir dir(path);
    if (!dir.exists())
        Refuse(QString(kNoFolder).arg(path));
    TRunFolder folder;
    folder.Path = dir.absolutePath();
    folder.Name = QFileInfo(folder.Path).fileName();
    const QString results = dir.filePath(run::kResultsFile);
    if (!QFileInfo::exists(results))
        Refuse(QString(kNoResults).arg(path));
    const QString record = dir.filePath(run::kRecordFile);
    if (!QFileInfo::exists(record))
        Refuse(QString(kNoRecord).arg(path));
    folder.Results = ReadResults(results);
    FillFromPlan(dir.filePath(run::kPlanFile), folder);
    ReadLaboratory(folder);
    folder.Hashes = HashFolder(folder.Path);
    ReadJournal(dir.filePath(run::kJournalFile), folder);
    folder.Record = ReadRecord(record);
    return folder;
}

}  // namespace report
