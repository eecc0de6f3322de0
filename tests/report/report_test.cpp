#include "runfixture.h"

#include <gtest/gtest.h>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

namespace {

struct TRan {
    int Exit = -1;
    QString Out, Err;
};

TRan RunProgram(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
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
    return fixture::WriteRun(REPORT_RUNS, run);
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
    }
    for (const char* shown : {"Calibration run report",
                              "Linearity 0-80",
                              "A. Keller",
                              "Hg analyser SN 4471",
                              "2026-12-07 14:00:00 UTC+01:00",
                              "/dev/ttyUSB0",
                              "2026-12-07T140000-Linearity 0-80",
                              "page 1 of 2",
                              "page 2 of 2",
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
    EXPECT_TRUE(info.contains(QRegularExpression("Pages:\\s+2\\n"))) << info.toStdString();
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

TEST(RunReport, AFailedPointPrintsFailOnItsRow) {
    fixture::TRun run;
    run.Name = "failed";
    run.Points[2].Analyzer = 44.2;
    run.Points[2].Error = 4.0818;
    run.Points[2].ErrorPercent = 10.17;
    run.Points[2].Pass = 0;
    run.Pass = false;
    const QString dir = Folder(run);
    ASSERT_EQ(Report({dir}).Exit, 0);
    const QString text = PdfText(dir + "/report.pdf");
    const QString row = RowOf(text, 3, QString::fromUtf8("40.12 \u00B1 0.50"));
    EXPECT_TRUE(row.contains("44.20")) << row.toStdString();
    EXPECT_TRUE(row.endsWith("FAIL")) << row.toStdString();
    EXPECT_TRUE(RowOf(text, 2, "16.35").endsWith("PASS"));
    EXPECT_TRUE(text.contains("Verdict: FAIL, point 3 outside its limit."));
}

// A history that cannot be read costs the report only its history line.
TEST(RunReport, AHistoryThatCannotBeReadLeavesTheReportWithoutItsLine) {
    fixture::TRun run;
    run.Name = "historyaway";
    const QString dir = Folder(run);
    const auto result = Report({dir, "--history", "postgresql://vapcal@127.0.0.1:1/none"});
    EXPECT_EQ(result.Exit, 0) << result.Err.toStdString();
    EXPECT_TRUE(result.Err.contains("no line from the history")) << result.Err.toStdString();
    EXPECT_FALSE(PdfText(dir + "/report.pdf").contains("History of analyser"));
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
    ASSERT_EQ(Report({dir, "--operator", "B. Novak", "-o", dir + "/out/audit.pdf"}).Exit, 0);
    const QString text = PdfText(dir + "/out/audit.pdf");
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
