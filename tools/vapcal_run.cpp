// vapcal-run: a calibration run without a window. Reads and checks the plan,
// opens the kit's line, reads the controllers' capacities and limits, and
// lets the run engine carry the plan out while the poll feeds it; progress
// goes to standard error (with a status line kept up to date on a
// terminal), everything else to the run folder. SIGINT and SIGTERM stop the
// run cleanly: the journal says so and results.json is written.
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QTimer>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "calc/settings.h"
#include "calc/settingslocation.h"
#include "dahs/dahssettings.h"
#include "live/stability.h"
#include "platform/filltext.h"
#include "platform/numtext.h"
#include "platform/stopsignals.h"
#include "run/engine.h"
#include "run/kitline.h"
#include "run/messages.h"
#include "run/plan.h"
#include "run/procedure.h"
#include "run/results.h"
#include "run/runfolder.h"
#include "tools/rundahs.h"
#include "tools/runmessages.h"

namespace {

constexpr int kExitStopped = 2;
constexpr int kExitUsage = 64;
constexpr int kExitPort = 74;
// Long enough for a report of a run of days on a slow PC.
constexpr int kReportWaitMs = 120000;
constexpr int kTickMs = 250;

// One line of progress; on a terminal the status line is cleared first and
// drawn again by the next tick.
bool Terminal = false;

void Say(const std::string& line) {
    std::fprintf(stderr, "%s%s\n", Terminal ? "\r\033[K" : "", line.c_str());
    std::fflush(stderr);
}

struct TUsage {
    std::string Text;
};

struct TArguments {
    std::string Plan;
    std::string Port;
    std::string Out;
    std::string Resume;
    bool Check = false;
    int GiveUpAfter = 120;
    std::string Dahs;
};

TArguments ReadArguments(const QStringList& words) {
    TArguments a;
    for (qsizetype i = 1; i < words.size(); ++i) {
        const std::string word = words[i].toStdString();
        const auto value = [&]() {
            if (i + 1 >= words.size())
                throw TUsage{platform::FillText(tools::kRunNeedsValue, {word})};
            return words[++i].toStdString();
        };
        if (word == "-h" || word == "--help") {
            std::fputs(tools::kRunUsage, stdout);
            std::exit(0);
        } else if (word == "--version") {
            std::printf("vapcal-run %s\n", VAPCAL_VERSION);
            std::exit(0);
        } else if (word == "-p" || word == "--port") {
            a.Port = value();
        } else if (word == "--out") {
            a.Out = value();
        } else if (word == "--resume") {
            a.Resume = value();
        } else if (word == "--check") {
            a.Check = true;
            a.Plan = value();
        } else if (word == "--dahs") {
            a.Dahs = value();
            try {
                dahs::ParseDahsListen(a.Dahs);
            } catch (const dahs::EDahsSettingsError& e) {
                throw TUsage{e.what()};
            }
        } else if (word == "--give-up-after") {
            const std::string text = value();
            bool ok = false;
            const int seconds = QString::fromStdString(text).toInt(&ok);
            if (!ok || seconds < 1 || seconds > 86400)
                throw TUsage{platform::FillText(tools::kRunBadGiveUp, {text})};
            a.GiveUpAfter = seconds;
        } else if (!word.empty() && word[0] == '-') {
            throw TUsage{platform::FillText(tools::kRunUnknownOption, {word})};
        } else if (a.Plan.empty()) {
            a.Plan = word;
        } else {
            throw TUsage{platform::FillText(tools::kRunTooMany, {word})};
        }
    }
    if (!a.Resume.empty() && (!a.Plan.empty() || a.Check || !a.Out.empty()))
        throw TUsage{"--resume takes no plan, --check or --out"};
    if (a.Resume.empty() && a.Plan.empty())
        throw TUsage{tools::kRunNeedsPlan};
    if (a.Resume.empty() && !a.Check && a.Port.empty())
        throw TUsage{tools::kRunNeedsPort};
    return a;
}

QByteArray ReadPlanFile(const std::string& path) {
    try {
        return run::ReadPlanFile(QString::fromStdString(path));
    } catch (const run::EPlanError& e) {
        throw TUsage{platform::FillText(tools::kRunNoPlanFile, {path, e.what()})};
    }
}

// The saturator conditions the console calculates with, from its settings.
run::TKitLimits Conditions(const calc::TVapcalSettings& settings) {
    run::TKitLimits limits;
    const auto number = [](const std::string& text, double otherwise) {
        try {
            return static_cast<double>(platform::FieldTextToFloat(text));
        } catch (const std::exception&) {
            return otherwise;
        }
    };
    limits.Pbar = number(settings.Pbar, limits.Pbar);
    limits.Dp = number(settings.Dp, limits.Dp);
    limits.RefTemp = number(settings.RefTemp, limits.RefTemp);
    return limits;
}

std::string Flow(double value) {
    return platform::FloatToStrGeneral(value);
}

void PrintPoints(const run::TPlan& plan) {
    std::printf("%s: %zu points\n", plan.Name.c_str(), plan.Points.size());
    int index = 0;
    for (const run::TPlanPoint& p : plan.Points) {
        std::printf(
            "point %d: %s \u00B0C, reservoir flow %s ml/min, dilution flow %s l/min, "
            "%s ng/l%s, dwell %s min%s\n",
            ++index, Flow(p.Temperature).c_str(), Flow(p.ReservoirFlow).c_str(),
            Flow(p.Dilution).c_str(), platform::FloatToStrFixed(p.Calculated, 2).c_str(),
            p.Wanted ? (" (wanted " + Flow(*p.Wanted) + ")").c_str() : "",
            Flow(p.DwellMinutes).c_str(), p.Level.empty() ? "" : (", level " + p.Level).c_str());
    }
}

// The procedure a plan names: its span or range and basis, each level with
// its band and the reservoir flow that delivers it, and the order of the
// injections.
void PrintProcedure(const run::TPlan& plan) {
    const run::TProcedureRule* rule = run::ProcedureRule(plan.Procedure.Kind);
    if (!rule)
        return;
    const double span = plan.Procedure.Span;
    std::printf("%s\n", platform::FillText(tools::kRunProcedure,
                                           {rule->Name, rule->SpanKey, Flow(span),
                                            run::AnalyzerBasisName(plan.Analyzer.Basis)})
                            .c_str());
    for (std::size_t i = 0; i < rule->Levels.size(); ++i) {
        const run::TLevelRule& band = rule->Levels[i];
        const run::TPlanLevel& level = plan.Procedure.Levels[i];
        double flow = 0;
        for (const run::TPlanPoint& p : plan.Points)
            if (p.Level == level.Name) {
                flow = p.ReservoirFlow;
                break;
            }
        std::printf("%s\n", platform::FillText(tools::kRunLevel,
                                               {level.Name, Flow(level.Concentration),
                                                Flow(band.LowPercent), Flow(band.HighPercent),
                                                rule->SpanKey, Flow(band.LowPercent / 100 * span),
                                                Flow(band.HighPercent / 100 * span), Flow(flow)})
                                .c_str());
    }
    std::string order;
    for (const run::TPlanPoint& p : plan.Points)
        order += (order.empty() ? "" : ", ") + p.Level;
    std::printf("%s\n", platform::FillText(tools::kRunOrder, {order}).c_str());
}

// The procedure's verdict level by level, as results.json holds it.
void SayProcedure(const QJsonValue& procedureJson) {
    const QJsonObject procedure = procedureJson.toObject();
    if (procedure.isEmpty())
        return;
    const auto number = [](const QJsonValue& value, int decimals) {
        return value.isDouble() ? platform::FloatToStrFixed(value.toDouble(), decimals)
                                : std::string("-");
    };
    for (const QJsonValue& value : procedure["levels"].toArray()) {
        const QJsonObject level = value.toObject();
        const std::string name = level["level"].isDouble()
                                     ? Flow(level["level"].toDouble())
                                     : level["level"].toString().toStdString();
        Say(platform::FillText(
            tools::kRunLevelVerdict,
            {name, number(level["reference"], 3), number(level["response"], 3),
             number(level["error"], 2), level["errorUnit"].toString().toStdString(),
             level["decidedBy"].toString() == "incomplete"
                 ? "incomplete"
                 : (level["pass"].toBool() ? "passes" : "fails") + std::string(" by the ") +
                       level["decidedBy"].toString().toStdString()}));
    }
    Say(platform::FillText(tools::kRunProcedureVerdict,
                           {procedure["name"].toString().toStdString(),
                            procedure["pass"].toBool() ? "PASS" : "FAIL"}));
}

std::string PointLine(const QJsonObject& result) {
    const QString status = result["status"].toString();
    std::string line = status == run::PointStatusName(run::psNoAnalyzerReading)
                           ? run::kNoAnalyzerReadingWords
                           : status.toStdString();
    if (result["delivered"].isObject())
        line += ", delivered " +
                platform::FloatToStrFixed(result["delivered"]["mean"].toDouble(), 3) + " ng/l";
    if (result["analyzer"].isObject())
        line += ", analyser " +
                platform::FloatToStrFixed(result["analyzer"]["mean"].toDouble(), 3) + " ng/l";
    if (result["pass"].isBool())
        line += result["pass"].toBool() ? ", passes" : ", fails";
    return line;
}

// Opens the line and reads the kit's limits, patiently on a lossy line;
// the port's failures end the program with 74.
run::TKitLimits OpenKit(run::TKitLine& kit, const std::string& port,
                        const run::TKitLimits& conditions, int patienceMs) {
    try {
        kit.Open(port);
        return kit.ReadLimits(conditions, patienceMs);
    } catch (const std::exception& e) {
        Say(tools::kRunPrefix + platform::FillText(tools::kRunPortFailed, {port, e.what()}));
        std::exit(kExitPort);
    }
}

// The run's report, made from the run folder by vapcal-report beside this
// program, just as it is made again later: drawing needs a graphics
// application, which a run on the kit's line does without. A report that
// cannot be made is one line here; the run, its folder and the exit status
// stay as they are.
void WriteReport(const QString& folder) {
    if (!QFileInfo::exists(folder + "/" + run::kResultsFile))
        return;
    const QString program = QCoreApplication::applicationDirPath() + "/vapcal-report";
    QProcess report;
    report.start(program, {folder});
    if (!report.waitForFinished(kReportWaitMs)) {
        const std::string why = report.state() == QProcess::NotRunning
                                    ? (program + ": " + report.errorString()).toStdString()
                                    : tools::kRunReportTooLong;
        report.kill();
        report.waitForFinished();
        Say(tools::kRunPrefix + platform::FillText(tools::kRunNoReport, {why}));
        return;
    }
    const QString said = QString::fromLocal8Bit(
        report.exitCode() == 0 ? report.readAllStandardOutput() : report.readAllStandardError());
    const std::string line = said.section('\n', 0, 0).toStdString();
    if (report.exitStatus() == QProcess::NormalExit && report.exitCode() == 0)
        Say(platform::FillText(tools::kRunReport, {line}));
    else
        Say(tools::kRunPrefix +
            platform::FillText(tools::kRunNoReport,
                               {line.empty() ? report.errorString().toStdString() : line}));
}

// A run whose journal says it has ended is left as it is, report and all;
// only its results.json, cut off by a power cut after the journal's end or
// lost since, is made again from the journal, with the report when it has
// none.
int FinishEnded(run::TRunFolder& folder) {
    const std::string path = folder.Path().toStdString();
    if (folder.HasResults()) {
        Say(tools::kRunPrefix + platform::FillText(run::kFolderFinished, {path}));
        return kExitPort;
    }
    QJsonObject results;
    try {
        results = run::ResultsFromJournal(folder.Path());
        folder.WriteResults(results);
    } catch (const run::ERunFolderError& e) {
        Say(tools::kRunPrefix + std::string(e.what()));
        return kExitPort;
    }
    Say(platform::FillText(tools::kRunResultsRebuilt, {path}));
    if (!QFileInfo::exists(folder.Path() + "/report.pdf"))
        WriteReport(folder.Path());
    const QJsonValue pass = results["pass"];
    return pass.isBool() && !pass.toBool() ? 1 : 0;
}

int Run(const TArguments& arguments) {
    const std::string settingsFile = calc::SettingsFilePath();
    const calc::TVapcalSettings settings = calc::ReadSettings(settingsFile);
    const bool resuming = !arguments.Resume.empty();

    std::optional<run::TRunFolder> folder;
    QByteArray planBytes;
    std::string port = arguments.Port;
    if (resuming) {
        try {
            folder.emplace(
                run::TRunFolder::Open(QString::fromStdString(arguments.Resume),
                                      static_cast<double>(settings.Accuracies.CoverageFactor)));
            if (folder->Finished())
                return FinishEnded(*folder);
            planBytes = folder->PlanBytes();
            if (port.empty())
                for (const QJsonObject& event : folder->ReadJournal())
                    if (event["event"].toString() == "started")
                        port = event["port"].toString().toStdString();
        } catch (const run::ERunFolderError& e) {
            Say(tools::kRunPrefix + std::string(e.what()));
            return kExitPort;
        }
        if (port.empty())
            throw TUsage{tools::kRunNeedsPort};
    } else {
        planBytes = ReadPlanFile(arguments.Plan);
    }
    const std::string planName =
        resuming ? arguments.Resume + "/" + run::kPlanFile : arguments.Plan;

    run::TPlan plan;
    try {
        plan = run::ParsePlan(planBytes);
    } catch (const run::EPlanError& e) {
        throw TUsage{platform::FillText(tools::kRunPlanRefused, {planName, e.what()})};
    }
    run::TKitLimits limits = Conditions(settings);
    run::TSystemClock clock;
    std::optional<run::TKitLine> kit;
    if (!port.empty()) {
        kit.emplace(plan.Analyzer, clock);
        kit->ApplyPatienceMs = arguments.GiveUpAfter * 1000;
        limits = OpenKit(*kit, port, limits, arguments.GiveUpAfter * 1000);
    }
    try {
        run::CheckPlan(plan, limits, true);
    } catch (const run::EPlanError& e) {
        throw TUsage{platform::FillText(tools::kRunPlanRefused, {planName, e.what()})};
    }
    // A reference instrument past its due date is the lab's call, not a
    // refusal: it is said, and the run goes on.
    for (const std::string& warning : calc::InstrumentsPastDue(
             settings.Laboratory, QDate::currentDate().toString(Qt::ISODate).toStdString()))
        Say(tools::kRunPrefix + warning);
    if (arguments.Check) {
        PrintProcedure(plan);
        PrintPoints(plan);
        return 0;
    }

    if (!folder) {
        const QString path = !arguments.Out.empty()
                                 ? QString::fromStdString(arguments.Out)
                                 : run::DefaultRunsFolder() + "/" +
                                       run::RunFolderName(QDateTime::currentDateTime(), plan.Name);
        try {
            folder.emplace(run::TRunFolder::Create(
                path, plan.Json, static_cast<double>(settings.Accuracies.CoverageFactor)));
        } catch (const run::ERunFolderError& e) {
            Say(tools::kRunPrefix + std::string(e.what()));
            return kExitPort;
        }
    }
    Say(platform::FillText(tools::kRunFolder, {folder->Path().toStdString()}));

    run::TRunSetup setup;
    setup.Port = port;
    setup.Console = VAPCAL_VERSION;
    setup.Kit = limits;
    setup.Tolerances = live::ReadTolerances(settingsFile);
    setup.Accuracies = settings.Accuracies;
    setup.Laboratory = settings.Laboratory;
    setup.GiveUpAfterMs = arguments.GiveUpAfter * 1000LL;
    run::TRunEngine engine(plan, setup, *kit, clock, *folder);
    // The plant's register map, when asked for; fed from what the run sees.
    std::unique_ptr<tools::TRunDahs> plant;

    kit->Targets = [&engine] { return engine.Targets(); };
    kit->OnSample = [&engine, &plant](const live::TLiveSample& sample,
                                      std::optional<double> analyzer) {
        engine.Sample(sample, analyzer);
        if (plant)
            plant->Sampled(sample);
    };
    kit->OnLapse = [&engine, &plant](std::optional<qint64> oldestReadingAgeMs) {
        engine.Lapse(oldestReadingAgeMs);
        if (plant)
            plant->Lapsed();
    };
    kit->Monitor().Accuracies = settings.Accuracies;
    kit->OnPortGone = [&engine](const std::string& gone) {
        Say(platform::FillText(tools::kRunPortGone, {gone}));
        engine.KitLost(gone);
    };
    kit->OnPortBack = [&engine](const std::string& back) {
        Say(platform::FillText(tools::kRunPortBack, {back}));
        engine.KitBack(back);
    };
    kit->OnAnalyzerAnswered = [&engine](bool answered) { engine.AnalyzerAnswered(answered); };
    engine.OnAnalyzerNews = [](const std::string& message) { Say(tools::kRunPrefix + message); };

    const int count = engine.PointCount();
    engine.OnStateChanged = [&engine, &plant, count](run::TRunState state) {
        if (plant)
            plant->StateChanged();
        if (state == run::rsDone || state == run::rsStopped)
            return;
        char text[300];
        std::snprintf(text, sizeof text, tools::kRunPoint, engine.PointIndex(), count,
                      engine.Paused() ? run::kStatePaused : run::RunStateName(state));
        Say(text);
    };
    engine.OnPointFinished = [&plant, count](int index, const QJsonObject& result) {
        if (plant)
            plant->PointFinished(result);
        char text[400];
        std::snprintf(text, sizeof text, tools::kRunPoint, index, count, PointLine(result).c_str());
        Say(text);
    };
    engine.OnRecordingStopped = [](const std::string& message) {
        Say(tools::kRunPrefix + message);
    };
    engine.OnFinished = [&engine] {
        const bool done = engine.State() == run::rsDone;
        SayProcedure(
            run::ProcedureJson(engine.Plan(), run::PointsJson(engine.Plan(), engine.Results())));
        Say(platform::FillText(
            tools::kRunEnded,
            {done ? "done" : "stopped",
             done ? (engine.ExitStatus() == 0 ? "every point done" : "not every point passed")
                  : engine.StopReason()}));
        QCoreApplication::exit(engine.ExitStatus());
    };

    bool served = false;
    try {
        served = tools::TRunDahs::Wanted(arguments.Dahs, settingsFile);
    } catch (const dahs::EDahsSettingsError& e) {
        throw TUsage{e.what()};
    }
    // An address that cannot be listened on is a port that cannot be had.
    if (served) {
        try {
            plant = std::make_unique<tools::TRunDahs>(arguments.Dahs, settingsFile, engine, *kit,
                                                      clock, Say);
        } catch (const dahs::EDahsSettingsError& e) {
            Say(tools::kRunPrefix + platform::FillText(tools::kRunDahsFailed, {e.what()}));
            return kExitPort;
        }
        Say(platform::FillText(tools::kRunDahs, {plant->Address()}));
    }

    platform::CatchStopSignals([&engine] { engine.Stop(run::kStopSignal); });
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&engine] {
        engine.Tick();
        if (Terminal && engine.Running()) {
            std::fprintf(stderr, "\r\033[K%s", engine.StatusText().c_str());
            std::fflush(stderr);
        }
    });
    tick.start(kTickMs);
    // The readings come from the first moment: the run's first Apply holds
    // the poll only while it writes.
    kit->StartPolling();

    // The engine starts from the event loop, so that an Apply's nested
    // waits and the run's end both meet a running loop.
    // A folder the engine refused to go on with keeps its report as it is.
    bool begun = false;
    QTimer::singleShot(0, [&engine, &begun, resuming] {
        try {
            if (resuming)
                engine.Resume();
            else
                engine.Start();
            begun = true;
        } catch (const run::ERunFolderError& e) {
            Say(tools::kRunPrefix + std::string(e.what()));
            QCoreApplication::exit(kExitPort);
        }
    });
    const int status = QCoreApplication::exec();
    plant.reset();
    kit->StopPolling();
    if (Terminal)
        std::fputs("\r\033[K", stderr);
    if (begun)
        WriteReport(folder->Path());
    return status == 0 || status == 1 ? status : (status == kExitPort ? kExitPort : kExitStopped);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("vapcal-run");
    Terminal = isatty(STDERR_FILENO) != 0;
    try {
        return Run(ReadArguments(QCoreApplication::arguments()));
    } catch (const TUsage& usage) {
        Say(tools::kRunPrefix + usage.Text);
        return kExitUsage;
    }
}
