#include "runfixture.h"

#include <gtest/gtest.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <cmath>
#include <functional>

namespace {

struct TRan {
    int Exit = -1;
    QString Out, Err;
};

// The report numbers' sequences go into a data folder of the tests' own.
void Start(QProcess& process, const QString& program, const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", REPORT_RUNS "/data");
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
}

TRan RunProgram(const QString& program, const QStringList& arguments) {
    QProcess process;
    Start(process, program, arguments);
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

TRan Report(const QStringList& arguments) {
    return RunProgram(VAPCAL_REPORT, arguments);
}

QString PdfText(const QString& pdf) {
    return RunProgram("pdftotext", {"-layout", pdf, "-"}).Out;
}

// The line of the results table that starts with the point's number and
// holds the text.
QString RowOf(const QString& text, int point, const QString& holding) {
    for (const QString& line : text.split('\n')) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QString::number(point) + " ") && trimmed.contains(holding))
            return trimmed;
    }
    return {};
}

QString Folder(const fixture::TRun& run) {
    QFile::remove(QString(REPORT_RUNS "/") + run.Name + "/report.json");
    return fixture::WriteRun(REPORT_RUNS, run);
}

int Pages(const QString& pdf) {
    const QString info = RunProgram("pdfinfo", {pdf}).Out;
    return QRegularExpression("Pages:\\s+(\\d+)").match(info).captured(1).toInt();
}

QJsonObject ReadJson(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject();
}

QString NumberOf(const QString& dir) {
    return ReadJson(dir + "/report.json")["number"].toString();
}

// U of a point's error from results.json's own numbers, and the error,
// both as the report rounds them: U to two significant digits.
QString ErrorWithU(const QJsonObject& point) {
    const QJsonObject delivered = point["delivered"].toObject();
    const QJsonObject analyser = point["analyzer"].toObject();
    const double k = delivered["coverageFactor"].toDouble();
    const double u = delivered["expanded"].toDouble() / k, s = analyser["sd"].toDouble();
    const double expanded = k * std::sqrt(u * u + s * s / analyser["samples"].toDouble());
    const int decimals = 1 - static_cast<int>(std::floor(std::log10(expanded)));
    return QString::number(point["error"].toDouble(), 'f', decimals) +
           QString::fromUtf8(" \u00B1 ") + QString::number(expanded, 'f', decimals);
}

}  // namespace

TEST(RunReport, ShowsEveryPointAsTheResultsGiveIt) {
    const QString dir = Folder(fixture::TRun{});
    const TRan ran = Report({dir});
    ASSERT_EQ(ran.Exit, 0) << ran.Err.toStdString();
    EXPECT_EQ(ran.Out, dir + "/report.pdf\n" + dir + "/report.csv\n");

    const QString text = PdfText(dir + "/report.pdf");
    // Delivered mean and U with U to two digits, the analyser's mean to
    // the same place, the verdict, each on its point's row.
    const struct {
        const char *delivered, *analyser;
    } rows[] = {{"0.012 \u00B1 0.052", "0.031"},
                {"16.04 \u00B1 0.21", "16.35"},
                {"40.12 \u00B1 0.50", "40.93"},
                {"63.95 \u00B1 0.77", "65.21"}};
    for (int i = 0; i < 4; ++i) {
        const QString row = RowOf(text, i + 1, QString::fromUtf8(rows[i].delivered));
        ASSERT_FALSE(row.isEmpty()) << "point " << i + 1 << " in\n" << text.toStdString();
        EXPECT_TRUE(row.contains(rows[i].analyser)) << row.toStdString();
        EXPECT_TRUE(row.endsWith("PASS")) << row.toStdString();
        EXPECT_TRUE(row.contains(i == 0 ? "0.500 (abs.)" : "(5 %)")) << row.toStdString();
        const QJsonObject point = ReadJson(dir + "/results.json")["points"].toArray()[i].toObject();
        EXPECT_TRUE(row.contains(ErrorWithU(point)))
            << row.toStdString() << " " << ErrorWithU(point).toStdString();
    }
    // The lab, the customer, the item and the instruments with their due
    // dates; the one past due on the run's date is marked and named.
    for (const char* shown :
         {"Hg Calibration Lab", "1 Gauge Street", "D-K-12345", "power station",
          "Hgtec CEM-2, serial 4471, tag Stack 2", "not issued: draft", "MFC-20L", "C-D7",
          "2027-06-01", "in calibration", "PAST DUE", "(MFC-20L, due 2026-11-30) past its",
          "C-R1 and C-D7.", "Atmospheric pressure (setting)", "not a measurement",
          "22.4 \u00B0C, 41 % relative humidity", "This is simple", "guard band"})
        EXPECT_TRUE(text.contains(QString::fromUtf8(shown))) << shown;
    // The number on every page, DRAFT on every page, and the folder's
    // hashes as --verify will compare them.
    const QString number = NumberOf(dir);
    EXPECT_TRUE(QRegularExpression("^HGL-20\\d\\d-\\d{4}$").match(number).hasMatch())
        << number.toStdString();
    const int pages = Pages(dir + "/report.pdf");
    EXPECT_EQ(text.count(number), pages);
    EXPECT_EQ(text.count(QString::fromUtf8("DRAFT, not approved")), pages);
    QFile plan(dir + "/plan.json");
    ASSERT_TRUE(plan.open(QIODevice::ReadOnly));
    EXPECT_TRUE(text.contains(fixture::Sha256(plan.readAll())));
    EXPECT_FALSE(text.contains("cannot be verified"));
    for (const char* shown : {"Calibration run report",
                              "Linearity 0-80",
                              "A. Keller",
                              "Hg analyser SN 4471",
                              "2026-12-07 14:00:00 UTC+01:00",
                              "/dev/ttyUSB0",
                              "Run folder: 2026-12-07T140000-Linearity 0-80",
                              "page 1 of ",
                              "end of report",
                              "Verdict: PASS",
                              "slope 1.0197",
                              "R\u00B2 0.999987",
                              "20 \u00B0C and 1 atm",
                              "\u00B5g/m\u00B3",
                              "27.25266",
                              "k = 2",
                              "about 95 %",
                              "5 % of",
                              "0.5 ng/l",
                              "29.92 in. Hg",
                              "Uncertainty budget of the highest point (point 4, 63.95 ng/l)",
                              "stability"})
        EXPECT_TRUE(text.contains(QString::fromUtf8(shown))) << shown;

    const QString info = RunProgram("pdfinfo", {dir + "/report.pdf"}).Out;
    EXPECT_TRUE(info.contains(
        QRegularExpression("Page size:\\s+595(\\.\\d+)? x 84[12](\\.\\d+)? pts \\(A4\\)")))
        << info.toStdString();
    EXPECT_GE(Pages(dir + "/report.pdf"), 3);
    // Every font embedded: pdffonts' "emb" column, fifth from the end.
    const QStringList fonts = RunProgram("pdffonts", {dir + "/report.pdf"}).Out.split('\n');
    ASSERT_GT(fonts.size(), 3);
    for (qsizetype i = 2; i < fonts.size() && !fonts[i].isEmpty(); ++i) {
        const QStringList columns = fonts[i].split(' ', Qt::SkipEmptyParts);
        EXPECT_EQ(columns.value(columns.size() - 5), "yes") << fonts[i].toStdString();
    }

    QFile csv(dir + "/report.csv");
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = csv.readAll().split('\n');
    ASSERT_EQ(lines.size(), 6);  // header, four points, nothing after the last CRLF
    EXPECT_TRUE(
        lines[0].startsWith("point,status,wanted (ng/l),temperature (\xC2\xB0"
                            "C),"));
    EXPECT_EQ(lines[2],
              "2,done,16,40,2.6,10,40.35,30,16.0437,0.061,0.2149,2,16.352,0.06222,30,"
              "0.3083,1.92,PASS,percent\r");
}

// The verdict line names the true reason of a FAIL: a skipped point and who
// skipped it, an analyser that gave no reading, the points outside their
// limits; a failed point's row ends with FAIL.
TEST(RunReport, TheVerdictGivesTheTrueReasonOfAFail) {
    const auto skipped = [](fixture::TRun& run) {
        run.Points[1].Status = "skipped";
        run.Points[1].Pass = -1;
        run.Interruptions = {QJsonObject{{"kind", "skipped"},
                                         {"time", "2026-12-07T14:02:20.000+01:00"},
                                         {"point", 2},
                                         {"by", "operator"},
                                         {"port", QJsonValue()}}};
    };
    const auto silent = [](fixture::TRun& run) {
        for (fixture::TPoint& p : run.Points) {
            p.Status = "no analyzer reading";
            p.Analyzer = std::nan("");
            p.Error = p.ErrorPercent = std::nan("");
            p.Pass = -1;
        }
    };
    const auto outside = [](fixture::TRun& run) {
        for (const int i : {1, 3}) {
            run.Points[i].Analyzer *= 1.2;
            run.Points[i].Error = run.Points[i].Analyzer - run.Points[i].Delivered;
            run.Points[i].Pass = 0;
        }
    };
    const struct {
        const char* Name;
        void (*Change)(fixture::TRun&);
        const char* Verdict;
    } cases[] = {
        {"skipped", skipped, "Verdict: FAIL: point 2 skipped by the operator."},
        {"silent analyser", silent,
         "Verdict: FAIL: points 1, 2, 3 and 4 not judged (no analyser reading)."},
        {"outside", outside, "Verdict: FAIL: points 2 and 4 outside their limits."},
    };
    for (const auto& c : cases) {
        fixture::TRun run;
        run.Name = c.Name;
        run.Pass = false;
        c.Change(run);
        const QString dir = Folder(run);
        ASSERT_EQ(Report({dir}).Exit, 0) << c.Name;
        const QString text = PdfText(dir + "/report.pdf");
        EXPECT_TRUE(text.contains(c.Verdict)) << c.Name << "\n" << text.toStdString();
        EXPECT_FALSE(text.contains("outside their") && std::string(c.Name) != "outside") << c.Name;
        EXPECT_EQ(text.contains("No chart of the analyser"),
                  std::string(c.Name) == "silent analyser")
            << c.Name;
    }
    EXPECT_TRUE(RowOf(PdfText(REPORT_RUNS "/outside/report.pdf"), 4, "FAIL").endsWith("FAIL"));
}

TEST(RunReport, ASkippedAndAStoppedPointWithoutAnAnalyserRender) {
    fixture::TRun run;
    run.Name = "skipped point";
    run.Analyzer = false;
    run.Points[1].Status = "skipped";
    run.Points[3].Status = "stopped";
    const QString dir = Folder(run);
    const TRan ran = Report({dir, "--operator", "B. Novak", "-o", dir + "/out/audit.pdf"});
    // -o names a folder that does not exist: the report says so.
    EXPECT_EQ(ran.Exit, 1);
    EXPECT_EQ(ran.Err.count('\n'), 1) << ran.Err.toStdString();

    QDir(dir).mkdir("out");
    ASSERT_EQ(
        Report({dir, "--operator", "B. Novak", "-o", dir + "/out/audit.pdf", "--all-budgets"}).Exit,
        0);
    const QString text = PdfText(dir + "/out/audit.pdf");
    // Every point with a budget has its own; the skipped one has none.
    for (const char* budget : {"budget of point 1 (", "budget of point 3 (40.12"})
        EXPECT_TRUE(text.contains(budget)) << budget;
    EXPECT_FALSE(text.contains("budget of point 2"));
    EXPECT_FALSE(text.contains("highest point"));
    EXPECT_TRUE(QFile::exists(dir + "/out/report.csv"));
    EXPECT_TRUE(text.contains("B. Novak"));
    EXPECT_TRUE(RowOf(text, 2, "skipped").contains(QString::fromUtf8("\u2013")));
    // The row ends with the standard deviation: no analyser's columns.
    EXPECT_TRUE(RowOf(text, 3, QString::fromUtf8("40.12 \u00B1 0.50")).endsWith("0.14"))
        << text.toStdString();
    EXPECT_FALSE(text.contains("slope"));
    EXPECT_FALSE(text.contains("PASS"));
    EXPECT_TRUE(text.contains("No analyser was read in this run"));
    EXPECT_FALSE(RowOf(text, 4, "stopped").isEmpty());
    EXPECT_TRUE(text.contains("The run stopped before its end: the kit was silent for 120 s."));
}

TEST(RunReport, ALongPlanCarriesItsTableOverToTheNextPageUnderItsHeader) {
    fixture::TRun run;
    run.Name = "long plan";
    const std::vector<fixture::TPoint> levels = run.Points;
    for (int repeat = 1; repeat < 9; ++repeat)
        run.Points.insert(run.Points.end(), levels.begin(), levels.end());
    const QString dir = Folder(run);
    ASSERT_EQ(Report({dir}).Exit, 0);
    const QString text = PdfText(dir + "/report.pdf");
    const QString info = RunProgram("pdfinfo", {dir + "/report.pdf"}).Out;
    const qsizetype pages = QRegularExpression("Pages:\\s+(\\d+)").match(info).captured(1).toInt();
    EXPECT_GE(pages, 3);
    EXPECT_TRUE(text.contains(QString("page %1 of %1").arg(pages)));
    EXPECT_EQ(text.count("verdict\n"), 2) << text.toStdString();
    for (int point = 1; point <= 36; ++point)
        EXPECT_TRUE(RowOf(text, point, "PASS").endsWith("PASS")) << point;
}

TEST(RunReport, AFolderThatCannotMakeAReportGetsOneLine) {
    fixture::TRun run;
    run.Name = "unfinished";
    const QString dir = Folder(run);
    QFile::remove(dir + "/results.json");
    const struct {
        QStringList arguments;
        int exit;
        const char* says;
    } cases[] = {
        {{dir}, 1, "no results.json: the run has not ended"},
        {{dir + "/nothing"}, 1, "no such run folder"},
        {{}, 64, "no run folder given"},
        {{dir, "--colour"}, 64, "unknown option '--colour'"},
        {{dir, "-o"}, 64, "-o needs a value"},
        {{dir, dir}, 64, "one run folder only"},
    };
    for (const auto& c : cases) {
        const TRan ran = Report(c.arguments);
        EXPECT_EQ(ran.Exit, c.exit) << c.says;
        EXPECT_EQ(ran.Err.count('\n'), 1) << ran.Err.toStdString();
        EXPECT_TRUE(ran.Err.contains(c.says)) << ran.Err.toStdString();
    }
    fixture::Write(dir + "/results.json", "{\"plan\": \"x\", \"points\": [");
    const TRan torn = Report({dir});
    EXPECT_EQ(torn.Exit, 1);
    EXPECT_TRUE(torn.Err.contains("results.json: not valid JSON")) << torn.Err.toStdString();
    EXPECT_FALSE(QFile::exists(dir + "/report.pdf"));
}

// An approved report names its approver, the date of issue and the time of
// approval, carries no DRAFT mark, and is never overwritten; a folder
// changed after its approval gets a new number that names the one it
// replaces.
TEST(RunReport, AnApprovedReportNamesItsApproverAndIsNeverOverwritten) {
    fixture::TRun run;
    run.Name = "approved";
    const QString dir = Folder(run);
    ASSERT_EQ(Report({dir}).Exit, 0);
    const QString number = NumberOf(dir);
    ASSERT_EQ(Report({dir}).Exit, 0);
    EXPECT_EQ(NumberOf(dir), number);  // made again: the same number

    const TRan approved = Report({dir, "--approve", "C. Weber, head of laboratory"});
    ASSERT_EQ(approved.Exit, 0) << approved.Err.toStdString();
    const QString pdf = dir + "/report-" + number + ".pdf";
    EXPECT_TRUE(approved.Out.startsWith(pdf + "\n")) << approved.Out.toStdString();
    const QString text = PdfText(pdf);
    EXPECT_TRUE(text.contains("C. Weber, head of laboratory, at ")) << text.toStdString();
    EXPECT_TRUE(text.contains(QRegularExpression("Issued\\s+20\\d\\d-\\d\\d-\\d\\d")));
    EXPECT_FALSE(text.contains("DRAFT"));
    EXPECT_EQ(text.count(number), Pages(pdf));
    EXPECT_TRUE(text.contains("PAST DUE"));

    const QByteArray before = [&pdf] {
        QFile file(pdf);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    const TRan again = Report({dir, "--approve", "D. Roth, deputy"});
    EXPECT_EQ(again.Exit, 1);
    EXPECT_TRUE(again.Err.contains("an approved report is never overwritten"))
        << again.Err.toStdString();
    QFile file(pdf);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before);

    // results.json changed after the approval: a new number, replacing it.
    QFile results(dir + "/results.json");
    ASSERT_TRUE(results.open(QIODevice::Append));
    results.write("\n");
    results.close();
    ASSERT_EQ(Report({dir, "--approve", "D. Roth, deputy"}).Exit, 0);
    const QString renewed = NumberOf(dir);
    EXPECT_NE(renewed, number);
    EXPECT_TRUE(PdfText(dir + "/report-" + renewed + ".pdf")
                    .contains(QRegularExpression("Replaces\\s+" + number)));
}

// --verify: 0 on an untouched folder; 1 naming the first line or file that
// differs after each edit, and for a folder written before lines were
// chained.
TEST(RunReport, VerifyNamesTheFirstLineOrFileThatDiffers) {
    const auto edit = [](const QString& file, const std::function<void(QByteArray&)>& change) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return;
        QByteArray bytes = f.readAll();
        f.close();
        change(bytes);
        fixture::Write(file, bytes);
    };
    const auto removeLine = [](QByteArray& bytes, int line) {
        qsizetype at = 0;
        for (int i = 1; i < line; ++i)
            at = bytes.indexOf('\n', at) + 1;
        bytes.remove(at, bytes.indexOf('\n', at) + 1 - at);
    };
    fixture::TRun other;
    other.Name = "verify other";
    other.Points[3].Delivered = 64.5;
    const QString otherDir = Folder(other);
    ASSERT_EQ(Report({otherDir}).Exit, 0);

    const struct {
        const char* Name;
        std::function<void(const QString& dir)> Change;
        bool WithReport;
        const char* Says;  // empty: verified
    } cases[] = {
        {"untouched", [](const QString&) {}, true, "every file is as"},
        {"a digit of a dwellDone line",
         [&](const QString& dir) {
             edit(dir + "/journal.jsonl", [](QByteArray& b) {
                 const qsizetype at = b.indexOf("\"mean\":0.031", b.indexOf("dwellDone"));
                 b[at + 11] = '2';
             });
         },
         false, "journal.jsonl line 3: does not carry the hash of line 2"},
        {"a journal line removed",
         [&](const QString& dir) {
             edit(dir + "/journal.jsonl", [&](QByteArray& b) { removeLine(b, 3); });
         },
         false, "journal.jsonl line 3: does not carry the hash of line 2"},
        {"results.json changed",
         [&](const QString& dir) {
             edit(dir + "/results.json", [](QByteArray& b) { b.replace("63.9468", "63.9469"); });
         },
         false,
         "results.json: differs from the results the journal gives, at points[3].delivered.mean "
         "(journal.jsonl line 5)"},
        {"results.json changed where the journal is silent",
         [&](const QString& dir) {
             edit(dir + "/results.json", [](QByteArray& b) { b.replace("0.0912", "0.0913"); });
         },
         true, "results.json: its SHA-256 is not the one"},
        {"a record line removed",
         [&](const QString& dir) {
             edit(dir + "/record.csv", [&](QByteArray& b) { removeLine(b, 40); });
         },
         true, "record.csv: its SHA-256 is not the one"},
        {"another run's report",
         [&](const QString& dir) { QFile::copy(otherDir + "/report.pdf", dir + "/other.pdf"); },
         true, "journal.jsonl: its SHA-256 is not the one"},
        {"a folder from before the chain",
         [&](const QString& dir) {
             edit(dir + "/journal.jsonl", [](QByteArray& b) {
                 b = QString::fromUtf8(b)
                         .remove(QRegularExpression(",?\"previousSha256\":\"[0-9a-f]*\""))
                         .toUtf8();
             });
         },
         false, "cannot be verified"},
    };
    for (const auto& c : cases) {
        fixture::TRun run;
        run.Name = QString("verify ") + c.Name;
        const QString dir = Folder(run);
        ASSERT_EQ(Report({dir}).Exit, 0);
        c.Change(dir);
        const QString pdf =
            dir + (QString(c.Name) == "another run's report" ? "/other.pdf" : "/report.pdf");
        const TRan ran =
            Report(c.WithReport ? QStringList{"--verify", dir, pdf} : QStringList{"--verify", dir});
        const bool verified = QString(c.Says) == "every file is as";
        EXPECT_EQ(ran.Exit, verified ? 0 : 1) << c.Name << ": " << ran.Err.toStdString();
        EXPECT_TRUE((verified ? ran.Out : ran.Err).contains(c.Says))
            << c.Name << ": " << ran.Out.toStdString() << ran.Err.toStdString();
        EXPECT_EQ((verified ? ran.Out : ran.Err).count('\n'), 1) << c.Name;
    }
    // Its report is still made, and says it cannot be verified.
    const QString unchained = REPORT_RUNS "/verify a folder from before the chain";
    ASSERT_EQ(Report({unchained}).Exit, 0);
    EXPECT_TRUE(PdfText(unchained + "/report.pdf").contains("carries no hash chain"));
}

// Reports of runs that end at the same moment, made by separate processes,
// never share a number.
TEST(RunReport, ReportsMadeAtOnceGetDifferentNumbers) {
    constexpr int kAtOnce = 4;
    QStringList dirs;
    for (int i = 0; i < kAtOnce; ++i) {
        fixture::TRun run;
        run.Name = QString("at once %1").arg(i);
        dirs << Folder(run);
    }
    QProcess processes[kAtOnce];
    for (int i = 0; i < kAtOnce; ++i)
        Start(processes[i], VAPCAL_REPORT, {dirs[i]});
    QStringList numbers;
    for (int i = 0; i < kAtOnce; ++i) {
        ASSERT_TRUE(processes[i].waitForFinished(120000));
        EXPECT_EQ(processes[i].exitCode(), 0) << processes[i].readAllStandardError().toStdString();
        numbers << NumberOf(dirs[i]);
    }
    numbers.removeDuplicates();
    EXPECT_EQ(numbers.size(), kAtOnce) << numbers.join(' ').toStdString();
}

// A paused and resumed run lists its interruptions in the order they
// happened, with who and which port.
TEST(RunReport, InterruptionsAreListedInTheOrderTheyHappened) {
    fixture::TRun run;
    run.Name = "paused";
    run.Interruptions = {
        QJsonObject{{"kind", "paused"},
                    {"time", "2026-12-07T14:02:10.000+01:00"},
                    {"point", 2},
                    {"by", "operator"},
                    {"port", QJsonValue()}},
        QJsonObject{{"kind", "resumed"},
                    {"time", "2026-12-07T14:04:10.000+01:00"},
                    {"point", 2},
                    {"by", "operator"},
                    {"port", "/dev/ttyUSB1"}},
    };
    const QString dir = Folder(run);
    ASSERT_EQ(Report({dir}).Exit, 0);
    const QString text = PdfText(dir + "/report.pdf");
    const qsizetype title = text.indexOf("Interruptions and deviations");
    ASSERT_GE(title, 0);
    const qsizetype paused = text.indexOf(
        QRegularExpression("14:02:10 UTC\\+01:00\\s+paused\\s+2\\s+the operator"), title);
    const qsizetype resumed = text.indexOf(
        QRegularExpression("14:04:10 UTC\\+01:00\\s+resumed\\s+2\\s+the operator\\s+/dev/ttyUSB1"),
        title);
    EXPECT_GT(paused, title) << text.toStdString();
    EXPECT_GT(resumed, paused);
    fixture::TRun whole;
    whole.Name = "not paused";
    const QString plain = Folder(whole);
    ASSERT_EQ(Report({plain}).Exit, 0);
    EXPECT_TRUE(PdfText(plain + "/report.pdf").contains("None: the run went"));
}
