// vapcal-run end to end: a four-point plan against vapcal-sim with its
// analyser, as an operator would run it, killed, resumed, left by its kit,
// and watched and stopped by the plant's DAHS (libmodbus).
#include <modbus.h>
// libmodbus first: its system headers come before Qt's macros.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUuid>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../sim/simprocess.h"

namespace {

// Zero and three concentrations, settled for 3 s and averaged for 3 s each.
constexpr const char* kPlan = R"({"name": "Four points", "temperature": 40, "dilution": 10,
    "settlingMinutes": 0.05, "settleMaxMinutes": 1, "dwellMinutes": 0.05,
    "acceptance": {"percent": 5, "absolute": 0.5},
    "analyzer": {"source": "modbus", "port": "line", "address": 30, "function": 4,
                 "register": 0, "format": "float"},
    "points": [{"flow": 0}, {"wanted": 16}, {"wanted": 40}, {"wanted": 64}]})";

class TRunProcess {
  public:
    TRunProcess(const QString& home, std::vector<std::string> arguments,
                std::string program = VAPCAL_RUN) {
        static int count = 0;
        FErrors = (home + QString("/vapcal-run-%1.err").arg(++count)).toStdString();
        FPid = fork();
        if (FPid == 0) {
            setenv("XDG_DATA_HOME", (home + "/data").toLocal8Bit().constData(), 1);
            setenv("XDG_CONFIG_HOME", (home + "/config").toLocal8Bit().constData(), 1);
            const int null = open("/dev/null", O_WRONLY);
            const int errors = open(FErrors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(null, STDOUT_FILENO);
            dup2(errors, STDERR_FILENO);
            std::vector<char*> argv;
            argv.push_back(program.data());
            for (std::string& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
    }

    // The exit status, or 128 plus the signal; -1 when it runs past the
    // limit (then it is killed).
    int Wait(int limitSeconds = 300) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
        while (!Ended()) {
            if (std::chrono::steady_clock::now() > end) {
                kill(FPid, SIGKILL);
                waitpid(FPid, &FStatus, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : 128 + WTERMSIG(FStatus);
    }

    bool Ended() {
        if (!FEnded)
            FEnded = waitpid(FPid, &FStatus, WNOHANG) == FPid;
        return FEnded;
    }

    void Kill(int signal) { kill(FPid, signal); }

    // What the run said on standard error, for a test that failed.
    std::string Errors() const {
        QFile file(QString::fromStdString(FErrors));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

  private:
    pid_t FPid = -1;
    std::string FErrors;
    int FStatus = 0;
    bool FEnded = false;
};

QByteArray Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::vector<QJsonObject> Events(const QString& folder) {
    std::vector<QJsonObject> events;
    for (const QByteArray& line : Read(folder + "/journal.jsonl").split('\n'))
        if (!line.isEmpty())
            events.push_back(QJsonDocument::fromJson(line).object());
    return events;
}

// Waits until the journal holds `event` for `point`; false at once when
// the run has ended.
bool WaitForEvent(TRunProcess& run, const QString& folder, const char* event, int point,
                  int limitSeconds = 120) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (std::chrono::steady_clock::now() < end && !run.Ended()) {
        for (const QJsonObject& e : Events(folder))
            if (e["event"].toString() == event && e["point"].toInt() == point)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

QString Output(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(60000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

// A concentration as the report prints it beside its U: U to two
// significant digits, the value to the same place.
int Decimals(double expanded) {
    int decimals = 1 - static_cast<int>(std::floor(std::log10(expanded)));
    if (QString::number(expanded, 'f', decimals).toDouble() >= std::pow(10.0, 2 - decimals))
        --decimals;
    return std::max(decimals, 0);
}

// The line of the report's results table that starts with the point's
// number and holds `text`.
QString ReportRow(const QString& report, int point, const QString& text) {
    for (const QString& line : report.split('\n')) {
        const QString row = line.trimmed();
        if (row.startsWith(QString::number(point) + " ") && row.contains(text))
            return row;
    }
    return {};
}

class VapcalRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(FHome.isValid());
        QFile plan(PlanPath());
        ASSERT_TRUE(plan.open(QIODevice::WriteOnly));
        plan.write(kPlan);
    }
    QString PlanPath() const { return FHome.path() + "/plan.json"; }
    QString Out(const char* name) const { return FHome.path() + "/" + name; }
    std::vector<std::string> Arguments(const TSimProcess& sim, const QString& out) const {
        return {PlanPath().toStdString(), "-p", sim.Device, "--out", out.toStdString()};
    }

    QTemporaryDir FHome;
};

// Both runs at once, each against its own kit: the wall time of one.
TEST_F(VapcalRun, AFourPointPlanPassesAtGain102AndFailsAt110) {
    TSimProcess good({"--analyzer", "30", "--analyzer-gain", "1.02", "--seed", "1"});
    TSimProcess bad({"--analyzer", "30", "--analyzer-gain", "1.10", "--seed", "2"});
    ASSERT_FALSE(good.Device.empty());
    TRunProcess passing(FHome.path(), Arguments(good, Out("good")));
    TRunProcess failing(FHome.path(), Arguments(bad, Out("bad")));
    EXPECT_EQ(passing.Wait(), 0) << passing.Errors();
    EXPECT_EQ(failing.Wait(), 1) << failing.Errors();

    const QJsonObject results =
        QJsonDocument::fromJson(Read(Out("good") + "/results.json")).object();
    EXPECT_TRUE(results["pass"].toBool());
    EXPECT_FALSE(QJsonDocument::fromJson(Read(Out("bad") + "/results.json"))["pass"].toBool());
    // Each point's delivered mean against what the calculator gives for the
    // set points the point held.
    std::vector<double> calculated;
    for (const QJsonObject& e : Events(Out("good")))
        if (e["event"].toString() == "applied")
            calculated.push_back(e["calculated"].toDouble());
    const QJsonArray points = results["points"].toArray();
    ASSERT_EQ(points.size(), 4);
    ASSERT_EQ(calculated.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        const double delivered = points[i]["delivered"]["mean"].toDouble();
        EXPECT_LE(std::fabs(delivered - calculated[i]), std::max(0.005 * calculated[i], 0.05))
            << "point " << i + 1;
        EXPECT_EQ(points[i]["status"].toString(), "done");
        EXPECT_GT(points[i]["samples"].toInt(), 3);
    }
    EXPECT_NEAR(results["linearity"]["slope"].toDouble(), 1.02, 0.005);
    const QList<QByteArray> record = Read(Out("good") + "/record.csv").split('\n');
    EXPECT_TRUE(record[0].endsWith(",point,analyser reading (ng/l),attempt\r"));

    // The report each run writes when it ends, read back: every point's
    // delivered mean ± U, the analyser's mean and the verdict as
    // results.json holds them, on A4 pages; the folder as the run left it
    // verifies against that report.
    for (const char* run : {"good", "bad"}) {
        const QString folder = Out(run);
        const QString report = Output("pdftotext", {"-layout", folder + "/report.pdf", "-"});
        for (const QJsonValue point :
             QJsonDocument::fromJson(Read(folder + "/results.json"))["points"].toArray()) {
            const double u = point["delivered"]["expanded"].toDouble();
            const int d = Decimals(u);
            const QString delivered =
                QString::number(point["delivered"]["mean"].toDouble(), 'f', d) +
                QString::fromUtf8(" \u00B1 ") + QString::number(u, 'f', d);
            const QString row = ReportRow(report, point["index"].toInt(), delivered);
            ASSERT_FALSE(row.isEmpty()) << run << ": " << delivered.toStdString() << " in\n"
                                        << report.toStdString();
            EXPECT_TRUE(row.contains(
                " " + QString::number(point["analyzer"]["mean"].toDouble(), 'f', d) + " "))
                << row.toStdString();
            EXPECT_TRUE(row.endsWith(point["pass"].toBool() ? "PASS" : "FAIL"))
                << row.toStdString();
        }
        const QString info = Output("pdfinfo", {folder + "/report.pdf"});
        EXPECT_TRUE(
            info.contains(QRegularExpression("Page size:\\s+595(\\.\\d+)? x 842 pts \\(A4\\)")))
            << info.toStdString();
        EXPECT_TRUE(info.contains(QRegularExpression("Pages:\\s+[34]\\n"))) << info.toStdString();
        EXPECT_TRUE(QFile::exists(folder + "/report.csv"));
        QProcess verify;
        verify.start(QFileInfo(VAPCAL_RUN).dir().filePath("vapcal-report"),
                     {"--verify", folder, folder + "/report.pdf"});
        ASSERT_TRUE(verify.waitForFinished(60000));
        EXPECT_EQ(verify.exitCode(), 0) << verify.readAllStandardError().toStdString();
    }
}

// A procedure against the simulated analyser: the kit, the analyser's
// response, the plan's procedure head and what the procedure must say.
struct TProcedureCase {
    const char* Name;
    std::vector<std::string> Analyzer;  // vapcal-sim's analyser options
    const char* Head;                   // the plan's procedure keys
    bool Pass;
    const char* DecidedBy;  // every complete level's criterion
};

const TProcedureCase kProcedureCases[] = {
    {"epa-linearity at gain 1.05",
     {"--analyzer-gain", "1.05"},
     R"("procedure": "epa-linearity", "span": 50)",
     true,
     "limit"},
    {"epa-linearity at gain 1.15",
     {"--analyzer-gain", "1.15"},
     R"("procedure": "epa-linearity", "span": 50)",
     false,
     "limit"},
    {"epa-linearity at span 5 with an offset of 0.7",
     {"--analyzer-offset", "0.7"},
     R"("procedure": "epa-linearity", "span": 5)",
     true,
     "alternative"},
    {"epa-calibration-error with an offset of 2",
     {"--analyzer-offset", "2"},
     R"("procedure": "epa-calibration-error", "span": 50)",
     true,
     "limit"},
    {"epa-calibration-error with an offset of 3",
     {"--analyzer-offset", "3"},
     R"("procedure": "epa-calibration-error", "span": 50)",
     false,
     "limit"},
    {"en14181-linearity at gain 1.03",
     {"--analyzer-gain", "1.03"},
     R"("procedure": "en14181-linearity", "range": 50)",
     true,
     "limit"},
    {"en14181-linearity bent by 0.02 x^2",
     {"--analyzer-curve", "0.02"},
     R"("procedure": "en14181-linearity", "range": 50)",
     false,
     "limit"},
    {"an analyser 7.3 % high on the 0C basis",
     {"--analyzer-gain", "1.073"},
     R"("procedure": "epa-calibration-error", "span": 50, "levels": {"upscale": 50},
        "analyzer": {"source": "modbus", "port": "line", "address": 30, "basis": "0C"})",
     true,
     "limit"},
    {"the same analyser on the 20C basis",
     {"--analyzer-gain", "1.073"},
     R"("procedure": "epa-calibration-error", "span": 50, "levels": {"upscale": 50},
        "analyzer": {"source": "modbus", "port": "line", "address": 30, "basis": "20C"})",
     false,
     "limit"},
};

std::string ProcedurePlan(const TProcedureCase& c) {
    const std::string head = c.Head;
    const std::string analyzer =
        head.find("\"analyzer\"") != std::string::npos
            ? ""
            : R"(, "analyzer": {"source": "modbus", "port": "line", "address": 30})";
    // A dwell of 6 s: a level's mean needs readings even on a busy machine.
    return R"({"name": "Procedure", "temperature": 35, "dilution": 15, "settlingMinutes": 0.05,
               "settleMaxMinutes": 1, "dwellMinutes": 0.1, )" +
           head + analyzer + "}";
}

// Each level's means and error recomputed from its injections' means; the
// procedure's verdict and the run's exit status follow.
void ExpectProcedure(const TProcedureCase& c, const QJsonObject& results, int status) {
    const QJsonObject procedure = results["procedure"].toObject();
    const QJsonArray points = results["points"].toArray();
    const std::string name = procedure["name"].toString().toStdString();
    const double factor = procedure["basis"].toString() == "0C" ? 293.15 / 273.15 : 1;
    const double span = procedure[name == "en14181-linearity" ? "range" : "span"].toDouble();
    EXPECT_EQ(procedure["pass"].toBool(), c.Pass) << c.Name;
    EXPECT_EQ(results["pass"].toBool(), c.Pass) << c.Name;
    EXPECT_EQ(status, c.Pass ? 0 : 1) << c.Name;

    // The EN line over every injection, fitted here.
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    const auto n = static_cast<double>(points.size());
    for (const QJsonValue point : points) {
        const double x = point["delivered"]["mean"].toDouble() * factor;
        const double y = point["analyzer"]["mean"].toDouble();
        sx += x, sy += y, sxx += x * x, sxy += x * y;
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double intercept = (sy - slope * sx) / n;

    for (const QJsonValue value : procedure["levels"].toArray()) {
        const QJsonObject level = value.toObject();
        double reference = 0, response = 0;
        const QJsonArray injections = level["injections"].toArray();
        for (const QJsonValue index : injections) {
            const QJsonObject point = points[index.toInt() - 1].toObject();
            EXPECT_EQ(point["status"].toString(), "done") << c.Name;
            reference += point["delivered"]["mean"].toDouble() * factor / injections.size();
            response += point["analyzer"]["mean"].toDouble() / injections.size();
        }
        const double difference = response - reference;
        double error = 0;
        if (name == "epa-linearity")
            error = std::fabs(difference) / reference * 100;
        else if (name == "epa-calibration-error")
            error = std::fabs(difference) / span * 100;
        else
            error = (response - (intercept + slope * reference)) / span * 100;
        const std::string where = std::string(c.Name) + ", level " +
                                  QJsonDocument(QJsonArray{level["level"]}).toJson().toStdString();
        EXPECT_NEAR(level["reference"].toDouble(), reference, 1e-9) << where;
        EXPECT_NEAR(level["response"].toDouble(), response, 1e-9) << where;
        EXPECT_NEAR(level["difference"].toDouble(), difference, 1e-9) << where;
        EXPECT_NEAR(level["error"].toDouble(), error, 1e-6) << where;
        const double limit = level["limit"].toDouble();
        const bool byLimit = std::fabs(error) <= limit;
        const bool byAlternative = level["alternative"].isDouble() &&
                                   std::fabs(difference) <= level["alternative"].toDouble();
        EXPECT_EQ(level["pass"].toBool(), byLimit || byAlternative) << where;
        EXPECT_EQ(level["decidedBy"].toString().toStdString(),
                  !byLimit && byAlternative ? "alternative" : "limit")
            << where;
    }
    // The criterion the case is about decided at least once.
    bool named = false;
    for (const QJsonValue level : procedure["levels"].toArray())
        named = named || level["decidedBy"].toString() == c.DecidedBy;
    EXPECT_TRUE(named) << c.Name;
}

// Every case at once, each against its own kit: the wall time of the
// longest (nine injections).
TEST_F(VapcalRun, ProceduresPassAndFailByTheirOwnRules) {
    std::vector<std::unique_ptr<TSimProcess>> kits;
    std::vector<std::unique_ptr<TRunProcess>> runs;
    int seed = 10;
    for (const TProcedureCase& c : kProcedureCases) {
        std::vector<std::string> options = {"--analyzer", "30", "--seed", std::to_string(++seed)};
        options.insert(options.end(), c.Analyzer.begin(), c.Analyzer.end());
        kits.push_back(std::make_unique<TSimProcess>(options));
        ASSERT_FALSE(kits.back()->Device.empty()) << c.Name;
        const QString plan = Out(("plan-" + std::to_string(seed) + ".json").c_str());
        QFile file(plan);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::fromStdString(ProcedurePlan(c)));
        file.close();
        runs.push_back(std::make_unique<TRunProcess>(
            FHome.path(),
            std::vector<std::string>{plan.toStdString(), "-p", kits.back()->Device, "--out",
                                     Out(("run-" + std::to_string(seed)).c_str()).toStdString()}));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const TProcedureCase& c = kProcedureCases[i];
        const int status = runs[i]->Wait();
        const QJsonObject results =
            QJsonDocument::fromJson(
                Read(Out(("run-" + std::to_string(11 + i)).c_str()) + "/results.json"))
                .object();
        ASSERT_TRUE(results["procedure"].isObject()) << c.Name << "\n" << runs[i]->Errors();
        ExpectProcedure(c, results, status);
        // The report's section: the procedure, each level's means as the
        // results hold them, and the verdict in words.
        const QString report = Output(
            "pdftotext",
            {"-layout", Out(("run-" + std::to_string(11 + i)).c_str()) + "/report.pdf", "-"});
        const QString name = results["procedure"]["name"].toString();
        EXPECT_TRUE(report.contains(QRegularExpression("Procedure: .* \\(" + name + "\\)")))
            << c.Name << "\n"
            << report.toStdString();
        for (const QJsonValue level : results["procedure"]["levels"].toArray())
            EXPECT_TRUE(report.contains(QRegularExpression(
                "mean\\s+" + QString::number(level["reference"].toDouble(), 'f', 3) + "\\s+" +
                QString::number(level["response"].toDouble(), 'f', 3))))
                << c.Name;
        EXPECT_TRUE(report.contains(c.Pass ? " passes: every level is within its limit."
                                           : " fails: level "))
            << c.Name;
    }
}

// No analyser answers at address 30: every point ends without an analyser
// reading within its settling and dwell plus a minute (by the journal's
// clock), the analyser is named once on standard error and in the journal,
// and the run fails.
TEST_F(VapcalRun, ASilentAnalyserIsNamedAndNoPointPassesWithoutIt) {
    TSimProcess sim({"--seed", "4"});
    ASSERT_FALSE(sim.Device.empty());
    const QString out = Out("silent");
    TRunProcess run(FHome.path(), Arguments(sim, out));
    EXPECT_EQ(run.Wait(), 1) << run.Errors();
    const QString errors = QString::fromStdString(run.Errors());
    EXPECT_EQ(errors.count("vapcal-run: analyser 30 on the line does not answer"), 1)
        << errors.toStdString();
    const QJsonObject results = QJsonDocument::fromJson(Read(out + "/results.json")).object();
    EXPECT_FALSE(results["pass"].toBool());
    for (const QJsonValue point : results["points"].toArray()) {
        EXPECT_EQ(point["status"].toString(), "no analyzer reading");
        EXPECT_GT(point["samples"].toInt(), 3);
    }
    int named = 0;
    QDateTime applied;
    for (const QJsonObject& e : Events(out)) {
        const QString name = e["event"].toString();
        const QDateTime time = QDateTime::fromString(e["time"].toString(), Qt::ISODateWithMs);
        named += name == "analyzerSilent" ? 1 : 0;
        if (name == "applied")
            applied = time;
        if (name == "dwellDone")
            EXPECT_LE(applied.msecsTo(time), (3 + 3 + 60) * 1000);
    }
    EXPECT_EQ(named, 1);
}

TEST_F(VapcalRun, ARunKilledInItsThirdPointResumesWithTheFirstTwoPointsUntouched) {
    TSimProcess sim({"--analyzer", "30", "--analyzer-gain", "1.02", "--seed", "3"});
    const QString out = Out("killed");
    TRunProcess first(FHome.path(), Arguments(sim, out));
    ASSERT_TRUE(WaitForEvent(first, out, "applied", 3)) << first.Errors();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    first.Kill(SIGKILL);
    EXPECT_EQ(first.Wait(), 128 + SIGKILL);
    const QByteArray journal = Read(out + "/journal.jsonl");
    std::vector<QByteArray> finished;
    for (const QByteArray& line : journal.split('\n'))
        if (line.contains("\"event\":\"dwellDone\""))
            finished.push_back(line);
    ASSERT_EQ(finished.size(), 2u);

    TRunProcess resumed(FHome.path(), {"--resume", out.toStdString()});
    EXPECT_EQ(resumed.Wait(), 0);
    const QByteArray after = Read(out + "/journal.jsonl");
    EXPECT_TRUE(after.startsWith(journal));
    const QJsonArray points =
        QJsonDocument::fromJson(Read(out + "/results.json"))["points"].toArray();
    ASSERT_EQ(points.size(), 4);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(QJsonDocument(points[i].toObject()).toJson(QJsonDocument::Compact),
                  QJsonDocument(QJsonDocument::fromJson(finished[i])["result"].toObject())
                      .toJson(QJsonDocument::Compact));
    EXPECT_EQ(points[2]["status"].toString(), "done");
}

// Two resumes of one folder at once, on two kits: the second is refused
// naming the first, and the journal holds each point once. The run ended, a
// resume leaves the folder alone; only a lost results.json is made again,
// byte for byte, from the journal.
TEST_F(VapcalRun, OneRunFolderTakesOneRunAtATimeAndAnEndedRunStaysAsItIs) {
    TSimProcess sim({"--analyzer", "30", "--analyzer-gain", "1.02", "--seed", "6"});
    TSimProcess other({"--analyzer", "30", "--analyzer-gain", "1.02", "--seed", "7"});
    const QString out = Out("twice");
    TRunProcess first(FHome.path(), Arguments(sim, out));
    ASSERT_TRUE(WaitForEvent(first, out, "applied", 2)) << first.Errors();
    first.Kill(SIGKILL);
    first.Wait();

    TRunProcess resumed(FHome.path(), {"--resume", out.toStdString()});
    ASSERT_TRUE(WaitForEvent(resumed, out, "resumed", 2)) << resumed.Errors();
    TRunProcess again(FHome.path(), {"--resume", out.toStdString(), "-p", other.Device});
    EXPECT_EQ(again.Wait(), 74);
    EXPECT_NE(again.Errors().find(out.toStdString() + " is in use by process "), std::string::npos)
        << again.Errors();
    EXPECT_EQ(resumed.Wait(), 0) << resumed.Errors();
    std::vector<int> done(5, 0);
    int finished = 0;
    for (const QJsonObject& e : Events(out)) {
        if (e["event"].toString() == "dwellDone")
            ++done[static_cast<std::size_t>(e["point"].toInt())];
        finished += e["event"].toString() == "finished" ? 1 : 0;
    }
    EXPECT_EQ(done, std::vector<int>({0, 1, 1, 1, 1}));
    EXPECT_EQ(finished, 1);

    const QByteArray results = Read(out + "/results.json");
    const QByteArray journal = Read(out + "/journal.jsonl");
    const QByteArray report = Read(out + "/report.pdf");
    ASSERT_FALSE(report.isEmpty());
    TRunProcess ended(FHome.path(), {"--resume", out.toStdString()});
    EXPECT_EQ(ended.Wait(), 74);
    EXPECT_NE(ended.Errors().find("holds a run that has ended"), std::string::npos);
    ASSERT_TRUE(QFile::remove(out + "/results.json"));
    TRunProcess rebuilt(FHome.path(), {"--resume", out.toStdString()});
    EXPECT_EQ(rebuilt.Wait(), 0) << rebuilt.Errors();
    EXPECT_EQ(Read(out + "/results.json"), results);
    EXPECT_EQ(Read(out + "/journal.jsonl"), journal);
    EXPECT_EQ(Read(out + "/report.pdf"), report);
}

TEST_F(VapcalRun, TheKitKilledMidRunEndsTheRunAfterGivingUpWithItsJournalWhole) {
    TSimProcess sim({"--analyzer", "30", "--seed", "4"});
    const QString out = Out("silent");
    std::vector<std::string> arguments = Arguments(sim, out);
    arguments.insert(arguments.end(), {"--give-up-after", "3"});
    TRunProcess run(FHome.path(), arguments);
    ASSERT_TRUE(WaitForEvent(run, out, "applied", 1)) << run.Errors();
    sim.Stop(SIGKILL);
    EXPECT_EQ(run.Wait(), 2) << run.Errors();
    const std::vector<QJsonObject> events = Events(out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"].toString(), "stopped");
    EXPECT_EQ(events.back()["reason"].toString(), "the kit has not answered for 3 s");
    EXPECT_TRUE(Read(out + "/journal.jsonl").endsWith('\n'));
    EXPECT_EQ(QJsonDocument::fromJson(Read(out + "/results.json"))["points"][0]["status"],
              "stopped");
}

// A loopback port nobody listens on now.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// The plant reads the run's progress from the status word and the run
// registers, pauses and resumes it, is refused an apply while the run
// drives the kit, and stops it: exit 2, the stop journalled with who asked.
TEST_F(VapcalRun, ThePlantWatchesTheRunThroughTheStatusWordAndStopsIt) {
    // The settings beside the program: a copy of it with DahsControl=1.
    const QString bin = FHome.path() + "/bin";
    ASSERT_TRUE(QDir().mkpath(bin));
    ASSERT_TRUE(QFile::copy(VAPCAL_RUN, bin + "/vapcal-run"));
    QFile ini(bin + "/Vapcal.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Vapcal]\nDahsControl=1\n");
    ini.close();

    TSimProcess sim({"--analyzer", "30", "--analyzer-gain", "1.02", "--seed", "4"});
    const int port = FreePort();
    std::vector<std::string> arguments = Arguments(sim, Out("plant"));
    arguments.push_back("--dahs");
    arguments.push_back("mbtcp://127.0.0.1:" + std::to_string(port));
    TRunProcess running(FHome.path(), arguments, (bin + "/vapcal-run").toStdString());

    modbus_t* plant = modbus_new_tcp("127.0.0.1", port);
    modbus_set_response_timeout(plant, 5, 0);
    bool connected = false;
    for (int i = 0; i < 100 && !connected; ++i) {
        connected = modbus_connect(plant) == 0;
        if (!connected)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(connected);
    std::uint16_t r[33] = {};
    const auto read = [&] { return modbus_read_input_registers(plant, 0, 33, r) == 33; };
    const auto waitFor = [&](const std::function<bool()>& seen) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < end) {
            if (read() && seen())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
    constexpr std::uint16_t runActive = 1U << 3;
    constexpr std::uint16_t paused = 1U << 4;
    // Point 2 of 4 dwelling (state 4), with point 1's means in place.
    ASSERT_TRUE(waitFor([&] { return r[30] == 2 && r[32] == 4; }));
    EXPECT_EQ(r[31], 4);
    EXPECT_TRUE(r[1] & runActive);
    EXPECT_FALSE(std::isnan(modbus_get_float_abcd(&r[24])));
    EXPECT_FALSE(std::isnan(modbus_get_float_abcd(&r[28])));
    EXPECT_NEAR(modbus_get_float_abcd(&r[8]), 16, 0.5);

    EXPECT_EQ(modbus_write_register(plant, 3, 4), 1);  // pause
    ASSERT_TRUE(waitFor([&] { return (r[1] & paused) != 0; }));
    EXPECT_EQ(modbus_write_register(plant, 3, 5), 1);  // resume
    ASSERT_TRUE(waitFor([&] { return (r[1] & paused) == 0; }));
    std::uint16_t apply[4] = {0x4180, 0, 0, 1};  // 16 ng/l, apply
    EXPECT_EQ(modbus_write_registers(plant, 0, 4, apply), -1);
    EXPECT_EQ(errno, EMBXILVAL);
    EXPECT_EQ(modbus_write_register(plant, 3, 6), 1);  // stop
    EXPECT_EQ(running.Wait(), 2);
    modbus_close(plant);
    modbus_free(plant);

    std::vector<std::string> events;
    QString reason;
    for (const QJsonObject& e : Events(Out("plant"))) {
        events.push_back(e["event"].toString().toStdString());
        if (e["event"].toString() == "stopped")
            reason = e["reason"].toString();
    }
    EXPECT_NE(std::find(events.begin(), events.end(), "paused"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "resumed"), events.end());
    EXPECT_EQ(reason, "stopped by the plant's DAHS at 127.0.0.1");
}

TEST_F(VapcalRun, SigintAndSigtermStopTheRunWithItsJournalAndResults) {
    for (const int signal : {SIGINT, SIGTERM}) {
        TSimProcess sim({"--analyzer", "30", "--seed", "5"});
        const QString out = Out(signal == SIGINT ? "interrupted" : "terminated");
        TRunProcess run(FHome.path(), Arguments(sim, out));
        ASSERT_TRUE(WaitForEvent(run, out, "applied", 1)) << run.Errors();
        run.Kill(signal);
        EXPECT_EQ(run.Wait(), 2) << run.Errors();
        const std::vector<QJsonObject> events = Events(out);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back()["reason"].toString(), "stopped by a signal");
        EXPECT_EQ(QJsonDocument::fromJson(Read(out + "/results.json"))["plan"].toString(),
                  "Four points");
    }
}

// The history away at the run's end (its folder cannot be made): the run
// ends as it would, its folder marked; sync writes it once the history is
// there, and only once. The journal's start carries the run's identity.
TEST_F(VapcalRun, ARunEndsNormallyWithItsHistoryAwayAndSyncWritesItLater) {
    TSimProcess sim({"--analyzer", "30", "--analyzer-gain", "1.02", "--seed", "6"});
    ASSERT_FALSE(sim.Device.empty());
    QFile plain(Out("plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    std::vector<std::string> arguments = Arguments(sim, Out("runs/away"));
    arguments.insert(arguments.end(), {"--history", Out("plain/history.sqlite").toStdString()});
    TRunProcess away(FHome.path(), arguments);
    EXPECT_EQ(away.Wait(), 0) << away.Errors();
    EXPECT_NE(away.Errors().find("not yet in the history"), std::string::npos) << away.Errors();
    EXPECT_TRUE(QFile::exists(Out("runs/away") + "/history-pending"));
    const QString runId = Events(Out("runs/away")).front()["runId"].toString();
    EXPECT_EQ(QUuid(runId).version(), QUuid::Random) << runId.toStdString();

    const QString good = Out("history.sqlite");
    const QString synced =
        Output(VAPCAL_HISTORY, {"--history", good, "sync", "--runs", Out("runs")});
    EXPECT_TRUE(synced.startsWith("1 written")) << synced.toStdString();
    EXPECT_FALSE(QFile::exists(Out("runs/away") + "/history-pending"));
    EXPECT_TRUE(Output(VAPCAL_HISTORY, {"--history", good, "sync", "--runs", Out("runs")})
                    .startsWith("0 written"));
    const QString listed = Output(VAPCAL_HISTORY, {"--history", good, "list", "--json"});
    EXPECT_EQ(listed.count('\n'), 1) << listed.toStdString();
    EXPECT_TRUE(listed.contains("\"id\":\"" + runId + "\"")) << listed.toStdString();
}

TEST_F(VapcalRun, UsageAndRefusedPlansExit64) {
    TRunProcess noPort(FHome.path(), {PlanPath().toStdString()});
    EXPECT_EQ(noPort.Wait(), 64);
    QFile bad(FHome.path() + "/bad.json");
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write(R"({"name": "B", "temperature": 40, "dilution": 10, "points": [{"flow": 25}]})");
    bad.close();
    TRunProcess refused(FHome.path(), {"--check", bad.fileName().toStdString()});
    EXPECT_EQ(refused.Wait(), 64);
    TRunProcess checked(FHome.path(), {"--check", PlanPath().toStdString()});
    EXPECT_EQ(checked.Wait(), 0);
    TRunProcess noPortThere(FHome.path(), {PlanPath().toStdString(), "-p", "/dev/vapcal-none"});
    EXPECT_EQ(noPortThere.Wait(), 74);
}

}  // namespace
