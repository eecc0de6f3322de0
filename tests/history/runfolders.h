// Finished run folders as the run engine leaves them, as small as the
// history reads them: plan.json, journal.jsonl with its "started" event,
// results.json with a zero point and an upscale point (or a procedure's
// levels).
#pragma once

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <stdexcept>

namespace runtest {

struct TFolderRun {
    QString Name;
    QString RunId;  // empty: a folder made before runs had an identity
    QString Started = "2026-12-07T14:03:05+01:00";
    QString AnalyzerId = "HG-1";
    QString ItemSerial;  // empty: the plan names no item
    QString Procedure;   // empty: points
    double ZeroError = 0.02;
    double UpscaleError = 0.5;
    bool Pass = true;
};

inline void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

inline QJsonObject Point(int index, double wanted, double flow, double error, bool pass) {
    return {{"index", index},
            {"wanted", wanted},
            {"reservoirFlow", flow},
            {"status", "done"},
            {"delivered", QJsonObject{{"mean", wanted}, {"sd", 0.01}, {"expanded", 0.3}}},
            {"analyzer", QJsonObject{{"mean", wanted + error}, {"sd", 0.01}}},
            {"error", error},
            {"errorPercent", wanted > 0 ? QJsonValue(error / wanted * 100) : QJsonValue()},
            {"pass", pass}};
}

inline QString WriteRunFolder(const QString& root, const TFolderRun& run) {
    const QString folder = QDir(root).filePath(run.Name);
    QDir().mkpath(folder);
    QJsonObject analyzer{{"source", "modbus"}};
    if (!run.ItemSerial.isEmpty())
        analyzer["item"] = QJsonObject{{"maker", "Mercury Instruments"},
                                       {"model", "UT-3000"},
                                       {"serial", run.ItemSerial},
                                       {"tag", "stack 2"}};
    const QJsonObject plan{
        {"name", "Linearity " + run.Name}, {"analyzerId", run.AnalyzerId}, {"analyzer", analyzer}};
    WriteFile(folder + "/plan.json", QJsonDocument(plan).toJson());
    QJsonObject started{{"event", "started"},
                        {"time", run.Started},
                        {"plan", plan["name"]},
                        {"port", "/dev/ttyUSB0"}};
    if (!run.RunId.isEmpty())
        started["runId"] = run.RunId;
    WriteFile(folder + "/journal.jsonl", QJsonDocument(started).toJson(QJsonDocument::Compact) +
                                             "\n" + R"({"event":"finished","time":")" +
                                             run.Started.toUtf8() + "\"}\n");
    QJsonObject results{
        {"plan", plan["name"]},         {"started", run.Started}, {"finished", run.Started},
        {"port", "/dev/ttyUSB0"},       {"console", "0.1"},       {"operator", "A. Keller"},
        {"analyzerId", run.AnalyzerId}, {"pass", run.Pass}};
    results["points"] = QJsonArray{Point(1, 0, 0, run.ZeroError, true),
                                   Point(2, 40, 6.5, run.UpscaleError, run.Pass)};
    if (!run.Procedure.isEmpty())
        results["procedure"] =
            QJsonObject{{"name", run.Procedure},
                        {"span", 50},
                        {"basis", "20C"},
                        {"levels", QJsonArray{QJsonObject{{"level", "zero"},
                                                          {"injections", QJsonArray{1}},
                                                          {"reference", 0},
                                                          {"response", run.ZeroError},
                                                          {"error", run.ZeroError / 50 * 100},
                                                          {"errorUnit", "% of span"},
                                                          {"difference", run.ZeroError},
                                                          {"limit", 5},
                                                          {"alternative", 1},
                                                          {"decidedBy", "limit"},
                                                          {"pass", true}},
                                              QJsonObject{{"level", "upscale"},
                                                          {"injections", QJsonArray{2}},
                                                          {"reference", 27.5},
                                                          {"response", 27.5 + run.UpscaleError},
                                                          {"error", run.UpscaleError / 50 * 100},
                                                          {"errorUnit", "% of span"},
                                                          {"difference", run.UpscaleError},
                                                          {"limit", 5},
                                                          {"alternative", 1},
                                                          {"decidedBy", "limit"},
                                                          {"pass", run.Pass}}}},
                        {"regression", QJsonValue()},
                        {"pass", run.Pass}};
    WriteFile(folder + "/results.json", QJsonDocument(results).toJson());
    return folder;
}

}  // namespace runtest
