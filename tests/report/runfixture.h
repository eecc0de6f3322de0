// A calibration run's folder as the run engine leaves it when the run ends:
// plan.json, journal.jsonl, record.csv with its point and analyser columns,
// results.json. Four points (zero, 16, 40, 64 ng/l), each settling for 40 s
// and dwelling for 60 s, polled every 2 s; the analyser reads 2 % high.
// The lab has four reference instruments, the dilution flow controller past
// its due date on the run's date; each journal line carries the SHA-256 of
// the line before it.
#pragma once

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTimeZone>
#include <cmath>
#include <vector>

namespace fixture {

struct TPoint {
    double Wanted, Flow;
    const char* Status;
    double Delivered, U, Sd;
    double Analyzer;  // NaN: none
    double Error, ErrorPercent;
    int Pass;  // 1, 0, -1 for null
    const char* DecidedBy;
};

struct TRun {
    QString Name = "2026-12-07T140000-Linearity 0-80";
    bool Analyzer = true;
    std::vector<TPoint> Points = {
        {0, 0, "done", 0.0123, 0.052, 0.0071, 0.031, 0.0187, 152.0, 1, "absolute"},
        {16, 2.6, "done", 16.0437, 0.2149, 0.061, 16.352, 0.3083, 1.92, 1, "percent"},
        {40, 6.5, "done", 40.1182, 0.4987, 0.143, 40.927, 0.8088, 2.02, 1, "percent"},
        {64, 10.4, "done", 63.9468, 0.7731, 0.229, 65.214, 1.2672, 1.98, 1, "percent"},
    };
    bool Pass = true;
    // results.json's "interruptions"; a "paused" one also leaves the record
    // without polls for two minutes from the pause.
    QJsonArray Interruptions;
};

inline QByteArray Sha256(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

inline QString Iso(const QDateTime& t) {
    return t.toString(Qt::ISODateWithMs);
}

inline void Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

inline QJsonValue Maybe(double value) {
    return std::isnan(value) ? QJsonValue() : QJsonValue(value);
}

// Writes the run into `root`/<name> (emptied first) and returns the folder.
inline QString WriteRun(const QString& root, const TRun& run) {
    QDir dir(root + "/" + run.Name);
    dir.removeRecursively();
    QDir().mkpath(dir.path());
    const QDateTime start(QDate(2026, 12, 7), QTime(14, 0, 0), QTimeZone(3600));
    const int settle = 40, dwell = 60, poll = 2;

    QJsonArray points, journal;
    QByteArray record =
        "time,reservoir temperature (\xC2\xB0"
        "C),reservoir flow (ml/min),dilution flow (l/min),"
        "temperature set point (\xC2\xB0"
        "C),reservoir flow set point (ml/min),"
        "dilution flow set point (l/min),delivered concentration (ng/l),"
        "calculated concentration (ng/l),stability,point,analyser reading (ng/l)\r\n";
    journal.append(QJsonObject{{"event", "started"},
                               {"time", Iso(start)},
                               {"plan", "Linearity 0-80"},
                               {"port", "/dev/ttyUSB0"},
                               {"console", "0.1"}});
    QDateTime t = start;
    for (size_t i = 0; i < run.Points.size(); ++i) {
        const TPoint& p = run.Points[i];
        const int index = static_cast<int>(i) + 1;
        const bool dwelt =
            std::string(p.Status) == "done" || std::string(p.Status) == "no analyzer reading";
        const QDateTime dwellStart = t.addSecs(settle), dwellEnd = t.addSecs(settle + dwell);
        for (int s = 0; s < (dwelt ? settle + dwell : settle); s += poll) {
            const QDateTime at = t.addSecs(s);
            bool paused = false;
            for (const QJsonValue& i : run.Interruptions) {
                const QDateTime from =
                    QDateTime::fromString(i["time"].toString(), Qt::ISODateWithMs);
                paused = paused || (i["kind"] == "paused" && at >= from && at < from.addSecs(120));
            }
            if (paused)
                continue;
            const double approach = s < settle ? 1 - std::exp(-s / 8.0) : 1;
            const double level = i == 0
                                     ? p.Delivered
                                     : run.Points[i - 1].Delivered +
                                           (p.Delivered - run.Points[i - 1].Delivered) * approach;
            const double delivered = level + p.Sd * std::sin(s * 0.7);
            const QString analyser = run.Analyzer && !std::isnan(p.Analyzer)
                                         ? QString::number(delivered * 1.02, 'g', 10)
                                         : "";
            record += QString("%1,40.0,%2,10.0,40,%2,10,%3,%4,Stable for 0 min,%5,%6\r\n")
                          .arg(Iso(at))
                          .arg(p.Flow)
                          .arg(delivered, 0, 'g', 10)
                          .arg(p.Wanted)
                          .arg(index)
                          .arg(analyser)
                          .toUtf8();
        }
        QJsonObject result{{"index", index},
                           {"wanted", p.Wanted},
                           {"temperature", 40.0},
                           {"reservoirFlow", p.Flow},
                           {"dilutionFlow", 10.0},
                           {"status", p.Status},
                           {"stableAfterSeconds", dwelt ? QJsonValue(settle + 0.35) : QJsonValue()},
                           {"samples", dwelt ? dwell / poll : 0},
                           {"dwellStarted", dwelt ? QJsonValue(Iso(dwellStart)) : QJsonValue()},
                           {"dwellEnded", dwelt ? QJsonValue(Iso(dwellEnd)) : QJsonValue()}};
        if (dwelt) {
            result["delivered"] = QJsonObject{
                {"mean", p.Delivered}, {"sd", p.Sd}, {"expanded", p.U}, {"coverageFactor", 2}};
            const double uc = p.U / 2;
            QJsonArray budget;
            const std::pair<const char*, double> rows[] = {{"temperature", 0.62},
                                                           {"reservoirFlow", 0.55},
                                                           {"dilutionFlow", 0.4},
                                                           {"satConcEquation", 0.3},
                                                           {"pbar", 0.1}};
            double rest = 1;
            for (const auto& [name, share] : rows) {
                const double c = uc * share;
                rest -= share * share;
                budget.append(QJsonObject{{"quantity", name},
                                          {"standardUncertainty", c / 3},
                                          {"sensitivity", 3},
                                          {"contribution", c}});
            }
            budget.append(QJsonObject{{"quantity", "stability"},
                                      {"standardUncertainty", p.Sd},
                                      {"sensitivity", 1},
                                      {"contribution", uc * std::sqrt(std::max(rest, 0.0))}});
            result["budget"] = budget;
            result["analyzer"] =
                run.Analyzer && !std::isnan(p.Analyzer) && std::string(p.Status) == "done"
                    ? QJsonValue(QJsonObject{
                          {"mean", p.Analyzer}, {"sd", p.Sd * 1.02}, {"samples", dwell / poll}})
                    : QJsonValue();
            t = dwellEnd;
        } else {
            result["delivered"] = QJsonValue();
            result["budget"] = QJsonArray();
            result["analyzer"] = QJsonValue();
            const bool stopped = std::string(p.Status) == "stopped";
            journal.append(QJsonObject{{"event", stopped ? "stopped" : "skipped"},
                                       {"time", Iso(t.addSecs(settle))},
                                       {"point", index},
                                       {"reason", "the kit was silent for 120 s"}});
            t = t.addSecs(settle);
        }
        result["error"] = run.Analyzer ? Maybe(p.Error) : QJsonValue();
        result["errorPercent"] = run.Analyzer ? Maybe(p.ErrorPercent) : QJsonValue();
        result["pass"] = p.Pass < 0 || !run.Analyzer ? QJsonValue() : QJsonValue(p.Pass == 1);
        result["decidedBy"] = run.Analyzer && p.Pass >= 0 ? QJsonValue(p.DecidedBy) : QJsonValue();
        points.append(result);
        // The journal holds a dwell's result whole, as results.json does.
        if (dwelt)
            journal.append(QJsonObject{
                {"event", "dwellDone"}, {"time", Iso(t)}, {"point", index}, {"result", result}});
    }
    if (std::string(run.Points.back().Status) != "stopped")
        journal.append(QJsonObject{{"event", "finished"}, {"time", Iso(t)}});

    const QJsonObject plan{{"name", "Linearity 0-80"},
                           {"temperature", 40},
                           {"dilution", 10},
                           {"operator", "A. Keller"},
                           {"analyzerId", "Hg analyser SN 4471"},
                           {"customer", "Northfield power station"},
                           {"environment", QJsonObject{{"temperature", 22.4}, {"humidity", 41}}},
                           {"analyzer", QJsonObject{{"source", run.Analyzer ? "modbus" : "none"},
                                                    {"item", QJsonObject{{"maker", "Hgtec"},
                                                                         {"model", "CEM-2"},
                                                                         {"serial", "4471"},
                                                                         {"tag", "Stack 2"}}}}}};
    const auto instrument = [](const char* role, const char* model, const char* serial,
                               const char* due) {
        return QJsonObject{{"role", role},
                           {"model", model},
                           {"serial", serial},
                           {"certificate", QString("C-") + serial},
                           {"calibrated", "2025-12-01"},
                           {"due", due}};
    };
    const QJsonObject conditions{
        {"pbar", 29.92},
        {"dp", 0.5},
        {"refTemp", 20},
        {"reservoirCapacity", 20},
        {"dilutionCapacity", 20},
        {"settlingMinutes", 0.5},
        {"tempTolerance", 0.2},
        {"flowTolerancePercent", 1},
        {"concentrationTolerancePercent", 1},
        {"flowToleranceFloor", 0.05},
        {"dilutionToleranceFloor", 0.05},
        {"concentrationToleranceFloor", 0.05},
        {"uncertainty", QJsonObject{{"TempAccuracy", 0.1},
                                    {"FlowReadingPercent", 0.5},
                                    {"FlowFullScalePercent", 0.1},
                                    {"PbarAccuracy", 0.02},
                                    {"DpAccuracy", 0.05},
                                    {"RefTempAccuracy", 0.2},
                                    {"SatConcPercent", 1},
                                    {"CoverageFactor", 2},
                                    {"AccuracySource",
                                     "certificates "
                                     "C-R1 and C-D7"}}},
        {"laboratory", QJsonObject{{"name", "Hg Calibration Lab"},
                                   {"address", "1 Gauge Street"},
                                   {"accreditation", "D-K-12345"},
                                   {"reportPrefix", "HGL"}}},
        {"instruments",
         QJsonArray{
             instrument("reservoir flow controller", "MFC-20", "R1", "2027-06-01"),
             instrument("dilution flow controller", "MFC-20L", "D7", "2026-11-30"),
             instrument("temperature controller with its sensor", "TC-4", "T3", "2027-03-01"),
             instrument("barometer", "BA-1", "B9", "2027-01-15")}}};
    QJsonObject results{
        {"plan", "Linearity 0-80"},
        {"started", Iso(start)},
        {"finished", Iso(t)},
        {"port", "/dev/ttyUSB0"},
        {"console", "0.1"},
        {"operator", "A. Keller"},
        {"analyzerId", "Hg analyser SN 4471"},
        {"analyzerSource", run.Analyzer ? "modbus" : "none"},
        {"conditions", conditions},
        {"acceptance", QJsonObject{{"percent", 5}, {"absolute", 0.5}}},
        {"points", points},
        {"linearity", run.Analyzer ? QJsonValue(QJsonObject{{"slope", 1.0197},
                                                            {"intercept", 0.0215},
                                                            {"r2", 0.999987},
                                                            {"maxResidual", 0.0912}})
                                   : QJsonValue()},
        {"pass", run.Analyzer ? QJsonValue(run.Pass) : QJsonValue()},
        {"interruptions", run.Interruptions}};

    const QByteArray planBytes = QJsonDocument(plan).toJson();
    Write(dir.filePath("plan.json"), planBytes);
    Write(dir.filePath("record.csv"), record);
    QByteArray lines, previous = Sha256(planBytes);
    for (const QJsonValue& event : journal) {
        QJsonObject linked = event.toObject();
        linked["previousSha256"] = QString::fromLatin1(previous);
        const QByteArray line = QJsonDocument(linked).toJson(QJsonDocument::Compact);
        previous = Sha256(line);
        lines += line + "\n";
    }
    Write(dir.filePath("journal.jsonl"), lines + "{\"event\": \"pau");  // killed mid-line
    Write(dir.filePath("results.json"), QJsonDocument(results).toJson());
    return dir.path();
}

}  // namespace fixture
