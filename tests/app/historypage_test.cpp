// The History page against a SQLite history: the fleet at a glance with each
// analyser's state, and the chosen analyser's action signal and charts.
// With VAPCAL_SHOTS=DIR the page and the charts' window are saved there.
#include "app/historypage.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

#include "history/database.h"
#include "testapp.h"

namespace {

// `count` daily runs of `analyzer`; from run `driftFrom` on (1-based) its
// upscale error stands 1.2 ng/l high.
std::vector<history::THistoryRun> Runs(const QString& analyzer, int count, int driftFrom) {
    std::vector<history::THistoryRun> runs;
    for (int day = 1; day <= count; ++day) {
        history::THistoryRun run;
        run.RunId = QString("%1-%2").arg(analyzer).arg(day);
        const QDateTime started(QDate(2026, 10, 1).addDays(day), QTime(8, 0), Qt::OffsetFromUTC,
                                3600);
        run.Started = started.toString(Qt::ISODate);
        run.StartedUtc = started.toUTC().toString("yyyy-MM-ddTHH:mm:ssZ");
        run.Procedure = "epa-calibration-error";
        run.Analyzer.Identity = analyzer;
        run.ZeroError = 0.05 * std::sin(day * 1.7);
        run.UpscaleError = 0.2 * std::sin(day * 2.3) + (day >= driftFrom ? 1.2 : 0);
        run.Pass = day < driftFrom;
        runs.push_back(run);
    }
    return runs;
}

void Shoot(QWidget& widget, const char* name) {
    const QByteArray folder = qgetenv("VAPCAL_SHOTS");
    if (!folder.isEmpty())
        widget.grab().save(QString::fromLocal8Bit(folder) + "/" + name);
}

}  // namespace

TEST(HistoryPage, TheFleetAtAGlanceAndTheChosenAnalysersActionSignal) {
    App();
    QTemporaryDir scratch;
    const QString file = scratch.filePath("history.sqlite");
    {
        history::THistoryDatabase database(history::ParseHistoryLocation(file));
        database.ImportMany(Runs("UT3-0042", 30, 24));
        database.ImportMany(Runs("UT3-0007", 30, 99));
        database.ImportMany(Runs("UT3-0100", 1, 99));
    }
    const QString settings = scratch.filePath("Vapcal.ini");
    QFile ini(settings);
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(("[Vapcal]\nHistoryDatabase=" + file + "\n").toUtf8());
    ini.close();

    app::THistoryPage page(settings.toStdString(), nullptr);
    page.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
    ASSERT_EQ(page.tblAnalyzers->rowCount(), 3);
    EXPECT_EQ(page.tblAnalyzers->item(0, 0)->text(), "UT3-0007");
    EXPECT_EQ(page.tblAnalyzers->item(0, 3)->text(), "in control");
    EXPECT_EQ(page.tblAnalyzers->item(1, 0)->text(), "UT3-0042");
    EXPECT_EQ(page.tblAnalyzers->item(1, 1)->text(), "2026-10-31");
    EXPECT_EQ(page.tblAnalyzers->item(1, 2)->text(), "FAIL");
    EXPECT_EQ(page.tblAnalyzers->item(1, 3)->text(), "action");
    EXPECT_EQ(page.tblAnalyzers->item(2, 3)->text(), "no limits");

    page.tblAnalyzers->setCurrentCell(1, 0);
    EXPECT_TRUE(
        page.lblSignal->text().contains("UT3-0042: Shewhart chart of the upscale error "
                                        "signals action since run UT3-0042-24"))
        << page.lblSignal->text().toStdString();
    EXPECT_TRUE(page.btnCharts->isEnabled());
    Shoot(page, "history-page.png");
    page.btnCharts->click();
    auto* charts = page.findChild<QDialog*>();
    ASSERT_NE(charts, nullptr);
    EXPECT_EQ(charts->windowTitle(), "Control charts of UT3-0042");
    ASSERT_TRUE(QTest::qWaitForWindowExposed(charts));
    Shoot(*charts, "history-chart.png");
}

TEST(HistoryPage, AHistoryThatCannotBeOpenedIsSaidOnThePage) {
    App();
    QTemporaryDir scratch;
    QFile plain(scratch.filePath("plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    const QString settings = scratch.filePath("Vapcal.ini");
    QFile ini(settings);
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(("[Vapcal]\nHistoryDatabase=" + scratch.filePath("plain/h.sqlite") + "\n").toUtf8());
    ini.close();
    app::THistoryPage page(settings.toStdString(), nullptr);
    page.show();
    EXPECT_TRUE(page.lblHistory->text().contains("cannot be made"))
        << page.lblHistory->text().toStdString();
    EXPECT_EQ(page.tblAnalyzers->rowCount(), 0);
    EXPECT_FALSE(page.btnCharts->isEnabled());
}
