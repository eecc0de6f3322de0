// vapcal-history: every finished calibration run in one database, listed,
// shown, exported and charted per analyser.
#include <QDateTime>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>

#include "calc/settingslocation.h"
#include "history/chartpainter.h"
#include "history/database.h"
#include "history/pending.h"
#include "run/runfolder.h"
#include "tools/historymessages.h"

namespace {

constexpr int kExitNotAll = 1;
constexpr int kExitUsage = 64;
constexpr int kExitUnavailable = 69;
constexpr int kExitFile = 74;

void Say(const QString& line) {
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

void Out(const QString& text) {
    std::fputs(text.toUtf8().constData(), stdout);
}

struct TUsageError {
    QString Text;
};

// The command line: the command, its words and its options by name.
struct THistoryCommand {
    QString History;
    bool HistoryGiven = false;
    QString Command;
    QStringList Words;
    std::map<QString, QStringList> Options;
    bool Json = false;
    bool Csv = false;
    QString Option(const QString& name) const {
        const auto found = Options.find(name);
        return found == Options.end() ? QString() : found->second.back();
    }
};

// Which options each command takes, and whether it takes words.
struct TCommandShape {
    QStringList Valued;
    QStringList Flags;
    bool Words;
};

const std::map<QString, TCommandShape>& Shapes() {
    static const std::map<QString, TCommandShape> shapes{
        {"import", {{}, {}, true}},
        {"sync", {{"--runs"}, {}, false}},
        {"list", {{"--analyzer", "--since", "--procedure"}, {"--json"}, false}},
        {"show", {{}, {"--json"}, true}},
        {"export", {{"--analyzer", "--since", "--procedure"}, {"--csv"}, false}},
        {"analyzers", {{}, {"--json"}, false}},
        {"chart", {{"--analyzer", "-o"}, {}, false}},
        {"sigma", {{"--analyzer", "--zero", "--upscale"}, {}, false}},
    };
    return shapes;
}

THistoryCommand ReadArguments(const QStringList& arguments, bool& help) {
    THistoryCommand command;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == "-h" || argument == "--help") {
            help = true;
            return command;
        }
        const auto value = [&]() -> QString {
            if (i + 1 >= arguments.size())
                throw TUsageError{QString(tools::kHistoryMissingValue).arg(argument)};
            return arguments[++i];
        };
        if (argument == "--history") {
            command.History = value();
            command.HistoryGiven = true;
            continue;
        }
        if (command.Command.isEmpty()) {
            if (argument.startsWith('-'))
                throw TUsageError{QString(tools::kHistoryUnknownOption).arg(argument)};
            if (Shapes().count(argument) == 0)
                throw TUsageError{QString(tools::kHistoryUnknownCommand).arg(argument)};
            command.Command = argument;
            continue;
        }
        const TCommandShape& shape = Shapes().at(command.Command);
        if (shape.Valued.contains(argument)) {
            command.Options[argument] << value();
        } else if (shape.Flags.contains(argument)) {
            (argument == "--json" ? command.Json : command.Csv) = true;
        } else if (argument.startsWith('-') && argument.size() > 1) {
            throw TUsageError{QString(tools::kHistoryBadArgument).arg(command.Command, argument)};
        } else if (shape.Words) {
            command.Words << argument;
        } else {
            throw TUsageError{QString(tools::kHistoryBadArgument).arg(command.Command, argument)};
        }
    }
    if (command.Command.isEmpty())
        throw TUsageError{tools::kHistoryNoCommand};
    const auto needs = [&command](bool ok, const char* what) {
        if (!ok)
            throw TUsageError{QString(tools::kHistoryNeeds).arg(command.Command, what)};
    };
    if (command.Command == "import")
        needs(!command.Words.isEmpty(), "a run folder");
    if (command.Command == "show")
        needs(command.Words.size() == 1, "one run");
    if (command.Command == "export")
        needs(command.Csv, "--csv");
    if (command.Command == "chart")
        needs(!command.Option("--analyzer").isEmpty() && !command.Option("-o").isEmpty(),
              "--analyzer and -o");
    if (command.Command == "sigma")
        needs(!command.Option("--analyzer").isEmpty(), "--analyzer");
    return command;
}

// yyyy-MM-dd is the local midnight that starts the day; a full ISO 8601
// time stands as given.
QString SinceUtc(const QString& text) {
    if (text.isEmpty())
        return {};
    QDateTime since;
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid() && text.size() == 10)
        since = day.startOfDay();
    else
        since = QDateTime::fromString(text, Qt::ISODate);
    if (!since.isValid())
        throw TUsageError{QString(tools::kHistoryBadDate).arg(text)};
    return since.toUTC().toString("yyyy-MM-ddTHH:mm:ssZ");
}

std::optional<double> Number(const QString& text) {
    if (text.isNull())
        return std::nullopt;
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        throw TUsageError{QString(tools::kHistoryBadNumber).arg(text)};
    return value;
}

QJsonValue Json(std::optional<double> value) {
    return value ? QJsonValue(*value) : QJsonValue();
}

QJsonValue Json(std::optional<bool> value) {
    return value ? QJsonValue(*value) : QJsonValue();
}

QString Verdict(std::optional<bool> pass) {
    return pass ? (*pass ? "PASS" : "FAIL") : "-";
}

QJsonObject RowJson(const history::TRunRow& row) {
    return {{"id", row.RunId},
            {"started", row.Started},
            {"finished", row.Finished},
            {"analyzer", row.Analyzer},
            {"procedure", row.Procedure},
            {"pass", Json(row.Pass)},
            {"folder", row.Folder},
            {"plan", row.Plan},
            {"kit", row.Kit},
            {"lab", row.Lab},
            {"operator", row.Operator},
            {"zeroError", Json(row.ZeroError)},
            {"upscaleError", Json(row.UpscaleError)}};
}

QString Compact(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + '\n';
}

// RFC 4180: a field with a comma, a quote or a line end is quoted, its
// quotes doubled.
QString CsvField(const QString& text) {
    if (!text.contains(',') && !text.contains('"') && !text.contains('\n') && !text.contains('\r'))
        return text;
    return '"' + QString(text).replace("\"", "\"\"") + '"';
}

QString CsvNumber(std::optional<double> value) {
    return value ? QString::number(*value, 'g', 15) : QString();
}

history::TRunFilter Filter(const THistoryCommand& command) {
    return {command.Option("--analyzer"), SinceUtc(command.Option("--since")),
            command.Option("--procedure")};
}

int Import(history::THistoryDatabase& database, const THistoryCommand& command) {
    const history::TImportContext context = history::DefaultImportContext(calc::SettingsFilePath());
    int status = 0;
    for (const QString& folder : command.Words) {
        const history::TWriteOutcome outcome = history::WriteFinishedRun(folder, database, context);
        if (!outcome.Written) {
            Say(QString(tools::kHistoryNotWritten).arg(outcome.Error));
            status = kExitNotAll;
        } else {
            Out(QString(outcome.Added ? tools::kHistoryAdded : tools::kHistoryAlreadyThere)
                    .arg(folder));
        }
    }
    database.RefreshCharts();
    return status;
}

int Sync(history::THistoryDatabase& database, const THistoryCommand& command) {
    QStringList folders =
        command.Options.count("--runs") ? command.Options.at("--runs") : QStringList();
    if (folders.isEmpty())
        folders << run::DefaultRunsFolder();
    const history::TSyncOutcome sync = history::SyncPending(
        database, folders, history::DefaultImportContext(calc::SettingsFilePath()));
    database.RefreshCharts();
    for (const QString& failed : sync.Failed)
        Say(QString(tools::kHistoryNotWritten).arg(failed));
    Out(QString(tools::kHistorySynced)
            .arg(sync.Added)
            .arg(sync.AlreadyThere)
            .arg(sync.Failed.size()));
    return sync.Failed.isEmpty() ? 0 : kExitNotAll;
}

int List(history::THistoryDatabase& database, const THistoryCommand& command) {
    for (const history::TRunRow& row : database.List(Filter(command))) {
        if (command.Json)
            Out(Compact(RowJson(row)));
        else
            Out(QString("%1  %2  %3  %4  %5  %6\n")
                    .arg(row.RunId, row.Started, row.Analyzer.isEmpty() ? "-" : row.Analyzer,
                         row.Procedure, Verdict(row.Pass), row.Folder));
    }
    return 0;
}

int Show(history::THistoryDatabase& database, const THistoryCommand& command) {
    const std::optional<history::THistoryRun> run = database.Show(command.Words.front());
    if (!run) {
        Say(QString(tools::kHistoryNoRun).arg(command.Words.front()));
        return kExitNotAll;
    }
    QJsonArray points;
    for (const history::THistoryPoint& p : run->Points)
        points.append(QJsonObject{{"index", p.Index},
                                  {"status", p.Status},
                                  {"wanted", Json(p.Wanted)},
                                  {"delivered", Json(p.Delivered)},
                                  {"expanded", Json(p.Expanded)},
                                  {"analyzer", Json(p.Analyzer)},
                                  {"error", Json(p.Error)},
                                  {"errorPercent", Json(p.ErrorPercent)},
                                  {"pass", Json(p.Pass)}});
    QJsonArray levels;
    for (const history::THistoryLevel& l : run->Levels)
        levels.append(QJsonObject{{"level", l.Level},
                                  {"reference", Json(l.Reference)},
                                  {"response", Json(l.Response)},
                                  {"error", Json(l.Error)},
                                  {"errorUnit", l.ErrorUnit},
                                  {"difference", Json(l.Difference)},
                                  {"limit", Json(l.Limit)},
                                  {"alternative", Json(l.Alternative)},
                                  {"decidedBy", l.DecidedBy},
                                  {"pass", Json(l.Pass)}});
    const QJsonObject json{{"id", run->RunId},
                           {"started", run->Started},
                           {"finished", run->Finished},
                           {"plan", run->Plan},
                           {"procedure", run->Procedure},
                           {"pass", Json(run->Pass)},
                           {"analyzer", QJsonObject{{"identity", run->Analyzer.Identity},
                                                    {"maker", run->Analyzer.Maker},
                                                    {"model", run->Analyzer.Model},
                                                    {"serial", run->Analyzer.Serial},
                                                    {"tag", run->Analyzer.Tag},
                                                    {"analyzerId", run->Analyzer.AnalyzerId}}},
                           {"kit", run->Kit},
                           {"lab", run->Lab},
                           {"operator", run->Operator},
                           {"port", run->Port},
                           {"console", run->Console},
                           {"folder", run->Folder},
                           {"interruptions", run->Interruptions},
                           {"zeroError", Json(run->ZeroError)},
                           {"upscaleError", Json(run->UpscaleError)},
                           {"points", points},
                           {"levels", levels}};
    if (command.Json) {
        Out(QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Indented)));
        return 0;
    }
    const auto number = [](std::optional<double> v) {
        return v ? QString::number(*v, 'g', 6) : "-";
    };
    Out(QString("run %1\nstarted %2\nfinished %3\nplan %4\nprocedure %5\nverdict %6\n"
                "analyser %7\nkit %8\nlab %9\n")
            .arg(run->RunId, run->Started, run->Finished, run->Plan, run->Procedure,
                 Verdict(run->Pass), run->Analyzer.Identity, run->Kit, run->Lab));
    Out(QString("operator %1\nfolder %2\nzero error %3 ng/l\nupscale error %4 ng/l\n")
            .arg(run->Operator, run->Folder, number(run->ZeroError), number(run->UpscaleError)));
    for (const history::THistoryPoint& p : run->Points)
        Out(QString("point %1 %2 delivered %3 analyser %4 error %5 %6\n")
                .arg(p.Index)
                .arg(p.Status, number(p.Delivered), number(p.Analyzer), number(p.Error),
                     Verdict(p.Pass)));
    for (const history::THistoryLevel& l : run->Levels)
        Out(QString("level %1 reference %2 response %3 error %4 %5 %6\n")
                .arg(l.Level, number(l.Reference), number(l.Response), number(l.Error), l.ErrorUnit,
                     Verdict(l.Pass)));
    return 0;
}

int Export(history::THistoryDatabase& database, const THistoryCommand& command) {
    Out("id,started,finished,analyzer,procedure,pass,plan,kit,lab,operator,"
        "zero error (ng/l),upscale error (ng/l),folder\n");
    for (const history::TRunRow& row : database.List(Filter(command))) {
        const QStringList fields{row.RunId,
                                 row.Started,
                                 row.Finished,
                                 row.Analyzer,
                                 row.Procedure,
                                 row.Pass ? (*row.Pass ? "1" : "0") : "",
                                 row.Plan,
                                 row.Kit,
                                 row.Lab,
                                 row.Operator,
                                 CsvNumber(row.ZeroError),
                                 CsvNumber(row.UpscaleError),
                                 row.Folder};
        QStringList quoted;
        for (const QString& field : fields)
            quoted << CsvField(field);
        Out(quoted.join(',') + "\r\n");
    }
    return 0;
}

int Analyzers(history::THistoryDatabase& database, const THistoryCommand& command) {
    for (const history::TAnalyzerGlance& g : database.Glance()) {
        if (command.Json)
            Out(Compact({{"analyzer", g.Analyzer},
                         {"runs", g.Runs},
                         {"lastRun", g.LastRunId},
                         {"lastStarted", g.LastStarted},
                         {"lastProcedure", g.LastProcedure},
                         {"lastPass", Json(g.LastPass)},
                         {"state", history::ChartStateName(g.State)},
                         {"signal", g.Signal}}));
        else
            Out(QString("%1  %2  %3  %4  %5%6\n")
                    .arg(g.Analyzer, g.LastStarted, g.LastProcedure, Verdict(g.LastPass),
                         history::ChartStateName(g.State),
                         g.Signal.isEmpty() ? QString() : "  " + g.Signal));
    }
    return 0;
}

int Chart(history::THistoryDatabase& database, const THistoryCommand& command) {
    const QString analyzer = command.Option("--analyzer");
    const history::TAnalyzerCharts charts = database.Charts(analyzer);
    history::WriteChartFile(command.Option("-o"), charts);
    Out(QString(tools::kHistoryChartWritten).arg(command.Option("-o")));
    for (const auto& [which, chart] :
         {std::pair{"zero", &charts.Zero}, std::pair{"upscale", &charts.Upscale}}) {
        Out(QString("%1: %2, %3\n")
                .arg(which, history::ChartStateName(chart->State), history::SigmaText(*chart)));
        const QString signal = history::ActionSignalText(analyzer, which, *chart);
        if (!signal.isEmpty())
            Out(signal + '\n');
    }
    const history::TSevenDayTest seven = database.SevenDay(analyzer);
    if (seven.Days.empty()) {
        Out(tools::kHistoryNoSevenDay);
        return 0;
    }
    Out(QString(tools::kHistorySevenDay).arg(seven.Pass ? "PASS" : "FAIL"));
    for (const history::TDayVerdict& day : seven.Days)
        Out(QString(tools::kHistorySevenDayLine)
                .arg(day.Day.toString(Qt::ISODate), day.RunId.isEmpty() ? "no run" : day.RunId,
                     day.RunId.isEmpty() ? "FAIL" : Verdict(day.Pass)));
    return 0;
}

int Sigma(history::THistoryDatabase& database, const THistoryCommand& command) {
    database.SetSigma(command.Option("--analyzer"), Number(command.Option("--zero")),
                      Number(command.Option("--upscale")));
    return 0;
}

int Carry(history::THistoryDatabase& database, const THistoryCommand& command) {
    const std::map<QString, int (*)(history::THistoryDatabase&, const THistoryCommand&)> commands{
        {"import", Import}, {"sync", Sync},           {"list", List},   {"show", Show},
        {"export", Export}, {"analyzers", Analyzers}, {"chart", Chart}, {"sigma", Sigma}};
    return commands.at(command.Command)(database, command);
}

// Qt's own notes (a missing runtime folder, a font substituted) are no
// concern of whoever reads the command's lines; its errors still show.
void OnlyQtErrors(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        Say(message);
}

}  // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    bool help = false;
    THistoryCommand command;
    try {
        command = ReadArguments(arguments, help);
        if (!help) {
            Filter(command);
            Number(command.Option("--zero"));
            Number(command.Option("--upscale"));
        }
    } catch (const TUsageError& e) {
        Say(e.Text);
        return kExitUsage;
    }
    if (help) {
        std::fputs(tools::kHistoryUsage, stdout);
        return 0;
    }
    // Charts are drawn without a window: the offscreen platform needs no
    // display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(OnlyQtErrors);
    QGuiApplication application(argc, argv);
    std::unique_ptr<history::THistoryDatabase> database;
    try {
        const QString url = command.HistoryGiven
                                ? command.History
                                : history::HistoryDatabaseSetting(calc::SettingsFilePath());
        database = std::make_unique<history::THistoryDatabase>(history::ParseHistoryLocation(url));
    } catch (const std::exception& e) {
        Say(QString(tools::kHistoryFailed).arg(QString::fromStdString(e.what())));
        return kExitUnavailable;
    }
    try {
        return Carry(*database, command);
    } catch (const history::EChartFileError& e) {
        Say(QString(tools::kHistoryFailed).arg(QString::fromStdString(e.what())));
        return kExitFile;
    } catch (const history::ENotInHistory& e) {
        Say(QString(tools::kHistoryFailed).arg(QString::fromStdString(e.what())));
        return kExitNotAll;
    } catch (const history::EHistoryError& e) {
        Say(QString(tools::kHistoryFailed).arg(QString::fromStdString(e.what())));
        return kExitUnavailable;
    }
}
