// The history on SQLite and on a real PostgreSQL server that the test starts
// itself, the same cases for both.
#include "history/database.h"
#include "history/pending.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <memory>

#include "pgserver.h"
#include "runfolders.h"

using namespace history;

namespace {

pgtest::TPgServer& Server() {
    // One server for the whole program; a failure to start fails each test
    // that needs it, with the server's own words.
    static std::unique_ptr<pgtest::TPgServer> server = std::make_unique<pgtest::TPgServer>();
    return *server;
}

class HistoryDatabase : public testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "history_tests";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr)
            new QCoreApplication(argc, argv);
        ASSERT_TRUE(FScratch.isValid());
        static int databases = 0;
        if (Postgres())
            FUrl = Server().NewDatabase(QString("case%1").arg(++databases));
        else
            FUrl = FScratch.filePath("data/history.sqlite");
    }
    bool Postgres() const { return std::string(GetParam()) == "postgresql"; }
    THistoryLocation Location() const { return ParseHistoryLocation(FUrl); }
    QString Folder(runtest::TFolderRun run) {
        return runtest::WriteRunFolder(FScratch.filePath("runs"), run);
    }

    QTemporaryDir FScratch;
    QString FUrl;
};

runtest::TFolderRun FolderRun(const QString& name, const QString& runId, const QString& started) {
    runtest::TFolderRun run;
    run.Name = name;
    run.RunId = runId;
    run.Started = started;
    return run;
}

}  // namespace

TEST_P(HistoryDatabase, SchemaIsCreatedOnAnEmptyDatabaseAndKeptWhenOpenedAgain) {
    {
        THistoryDatabase database(Location());
        EXPECT_EQ(database.SchemaVersion(), kSchemaVersion);
        EXPECT_TRUE(database.List({}).empty());
    }
    THistoryDatabase again(Location());
    EXPECT_EQ(again.SchemaVersion(), kSchemaVersion);
}

TEST_P(HistoryDatabase, ASchemaNewerThanTheProgramIsRefusedNotTouched) {
    { THistoryDatabase database(Location()); }
    {
        // The lab's own tool on the database, as a newer console would leave it.
        QSqlDatabase db = QSqlDatabase::addDatabase(Postgres() ? "QPSQL" : "QSQLITE", "newer");
        const THistoryLocation l = Location();
        db.setDatabaseName(l.Postgres ? l.Database : l.File);
        db.setHostName(l.Host);
        db.setPort(l.Port);
        db.setUserName(l.User);
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec("UPDATE schema_version SET version = 99");
        db.close();
    }
    QSqlDatabase::removeDatabase("newer");
    try {
        THistoryDatabase database(Location());
        FAIL() << "a newer schema was opened";
    } catch (const EHistoryError& e) {
        EXPECT_NE(std::string(e.what()).find("has schema version 99, newer than this program's 1"),
                  std::string::npos)
            << e.what();
    }
}

TEST_P(HistoryDatabase, ImportKeepsTheRunItsPointsAndLevels) {
    runtest::TFolderRun run =
        FolderRun("a", "1b4e28ba-2fa1-11d2-883f-0016d3cca427", "2026-12-07T14:03:05+01:00");
    run.ItemSerial = "UT3-0042";
    run.Procedure = "epa-calibration-error";
    run.ZeroError = 0.25;
    run.UpscaleError = -1.5;
    const QString folder = Folder(run);
    THistoryDatabase database(Location());
    EXPECT_TRUE(database.Import(ReadRunFolder(folder, {"Lab One", "pc7"})));

    const std::vector<TRunRow> rows = database.List({});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].RunId, run.RunId);
    EXPECT_EQ(rows[0].Analyzer, "UT3-0042");  // the item's serial over analyzerId
    EXPECT_EQ(rows[0].Procedure, "epa-calibration-error");
    EXPECT_EQ(rows[0].Pass, true);
    EXPECT_EQ(rows[0].Folder, folder);
    EXPECT_EQ(rows[0].Lab, "Lab One");
    EXPECT_EQ(rows[0].Kit, "pc7");

    const std::optional<THistoryRun> shown = database.Show("1b4e28ba");
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->Started, "2026-12-07T14:03:05+01:00");
    EXPECT_EQ(shown->StartedUtc, "2026-12-07T13:03:05Z");
    EXPECT_EQ(shown->Analyzer.Model, "UT-3000");
    EXPECT_EQ(shown->Analyzer.AnalyzerId, "HG-1");
    ASSERT_EQ(shown->Points.size(), 2u);
    EXPECT_DOUBLE_EQ(*shown->Points[1].Analyzer, 38.5);
    ASSERT_EQ(shown->Levels.size(), 2u);
    EXPECT_EQ(shown->Levels[1].Level, "upscale");
    EXPECT_DOUBLE_EQ(*shown->Levels[1].Reference, 27.5);
    EXPECT_EQ(shown->ZeroError, 0.25);
    EXPECT_EQ(shown->UpscaleError, -1.5);
    EXPECT_FALSE(database.Show("ffffffff"));
    EXPECT_FALSE(database.Show("1b4e'; DROP TABLE runs; --"));
}

TEST_P(HistoryDatabase, ImportingARunAgainNeverDoublesIt) {
    THistoryDatabase database(Location());
    const QString named = Folder(
        FolderRun("named", "7d444840-9dc0-11d1-b245-5ffdce74fad2", "2026-12-01T08:00:00+01:00"));
    // A folder from before runs had an identity, and a copy of it elsewhere:
    // both derive the same identity from plan.json and the start time.
    const QString old = Folder(FolderRun("old", "", "2026-12-02T08:00:00+01:00"));
    QDir().mkpath(FScratch.filePath("copy"));
    const QString copy = runtest::WriteRunFolder(FScratch.filePath("copy"),
                                                 FolderRun("old", "", "2026-12-02T08:00:00+01:00"));
    EXPECT_TRUE(database.Import(ReadRunFolder(named, {})));
    EXPECT_FALSE(database.Import(ReadRunFolder(named, {})));
    EXPECT_TRUE(database.Import(ReadRunFolder(old, {})));
    EXPECT_FALSE(database.Import(ReadRunFolder(copy, {})));
    EXPECT_EQ(database.ImportMany({ReadRunFolder(named, {}), ReadRunFolder(old, {})}), 0);
    // Twice in one batch: once, with its points once.
    const THistoryRun twice =
        ReadRunFolder(Folder(FolderRun("twice", "7d444840-9dc0-11d1-b245-5ffdce74fad3",
                                       "2026-12-03T08:00:00+01:00")),
                      {});
    EXPECT_EQ(database.ImportMany({twice, twice}), 1);
    EXPECT_EQ(database.Show(twice.RunId)->Points.size(), twice.Points.size());
    EXPECT_EQ(database.List({}).size(), 3u);
    EXPECT_EQ(database.Glance().at(0).Runs, 3);
}

TEST_P(HistoryDatabase, ListFiltersByAnalyzerTimeAndProcedure) {
    THistoryDatabase database(Location());
    runtest::TFolderRun a =
        FolderRun("a", "00000000-0000-4000-8000-000000000001", "2026-11-01T08:00:00+01:00");
    runtest::TFolderRun b =
        FolderRun("b", "00000000-0000-4000-8000-000000000002", "2026-12-01T08:00:00+01:00");
    b.Procedure = "epa-calibration-error";
    runtest::TFolderRun c =
        FolderRun("c", "00000000-0000-4000-8000-000000000003", "2026-12-02T08:00:00-05:00");
    c.AnalyzerId = "HG-2";
    for (const auto& run : {a, b, c})
        database.Import(ReadRunFolder(Folder(run), {}));
    EXPECT_EQ(database.List({"HG-1", "", ""}).size(), 2u);
    EXPECT_EQ(database.List({"", "2026-12-01T00:00:00Z", ""}).size(), 2u);
    EXPECT_EQ(database.List({"", "", "epa-calibration-error"}).at(0).RunId, b.RunId);
    EXPECT_EQ(database.List({"", "", "points"}).size(), 2u);
    // In the order the runs started, whatever their offsets.
    EXPECT_EQ(database.List({}).back().RunId, c.RunId);
}

TEST_P(HistoryDatabase, ARunEndingWhileTheDatabaseIsAwayIsWrittenBySyncLater) {
    const QString folder = Folder(
        FolderRun("late", "2c1d43b8-7d4a-4bb0-b2f5-3a4d60a0a0a1", "2026-12-03T09:00:00+01:00"));
    { THistoryDatabase database(Location()); }
    THistoryLocation away = Location();
    if (Postgres()) {
        Server().Stop();
    } else {
        // A database whose folder cannot be made: below a plain file.
        runtest::WriteFile(FScratch.filePath("plain"), "x");
        away = ParseHistoryLocation(FScratch.filePath("plain/history.sqlite"));
    }
    const TWriteOutcome outcome = WriteFinishedRun(folder, away, {});
    if (Postgres())
        Server().Start();
    EXPECT_FALSE(outcome.Written);
    EXPECT_FALSE(outcome.Error.isEmpty());
    EXPECT_TRUE(IsPending(folder));
    EXPECT_EQ(PendingFolders(FScratch.filePath("runs")), QStringList{folder});

    THistoryDatabase database(Location());
    const TSyncOutcome sync = SyncPending(database, {FScratch.filePath("runs")}, {});
    EXPECT_EQ(sync.Added, 1);
    EXPECT_TRUE(sync.Failed.isEmpty()) << sync.Failed.join('\n').toStdString();
    EXPECT_FALSE(IsPending(folder));
    EXPECT_EQ(database.List({}).size(), 1u);
    // A second sync finds nothing left to write.
    EXPECT_EQ(SyncPending(database, {FScratch.filePath("runs")}, {}).Added, 0);
}

TEST_P(HistoryDatabase, TheGlanceNamesAnAnalysersActionSignal) {
    THistoryDatabase database(Location());
    std::vector<THistoryRun> runs;
    for (int day = 1; day <= 24; ++day) {
        runtest::TFolderRun run =
            FolderRun(QString("d%1").arg(day),
                      QString("00000000-0000-4000-8000-%1").arg(day, 12, 10, QChar('0')),
                      QString("2026-10-%1T08:00:00+01:00").arg(day, 2, 10, QChar('0')));
        run.UpscaleError = day <= 20 ? (day % 2 == 0 ? 0.1 : -0.1) : 2.0;
        run.ZeroError = 0.02;  // the same every day: no spread, no limits, no signal
        runs.push_back(ReadRunFolder(Folder(run), {}));
    }
    EXPECT_EQ(database.ImportMany(runs), 24);
    std::vector<TAnalyzerGlance> glance = database.Glance();
    ASSERT_EQ(glance.size(), 1u);
    EXPECT_EQ(glance[0].State, csAction);
    EXPECT_EQ(glance[0].LastRunId, runs.back().RunId);
    EXPECT_NE(glance[0].Signal.indexOf("upscale error signals action since run " + runs[20].RunId),
              -1)
        << glance[0].Signal.toStdString();
    // The lab's own sigma, wide enough: the state follows at once.
    database.SetSigma("HG-1", std::nullopt, 5.0);
    glance = database.Glance();
    EXPECT_EQ(glance[0].State, csInControl);
    EXPECT_TRUE(glance[0].Signal.isEmpty());
    EXPECT_EQ(SigmaText(database.Charts("HG-1").Upscale),
              "sigma 5 ng/l from the analyser's setting");
    EXPECT_THROW(database.SetSigma("nobody's", 1.0, 1.0), EHistoryError);
}

TEST_P(HistoryDatabase, TheReportsLineNamesThePreviousRunAndTheChartState) {
    THistoryDatabase database(Location());
    runtest::TFolderRun first =
        FolderRun("first", "00000000-0000-4000-8000-0000000000a1", "2026-12-01T08:00:00+01:00");
    first.Pass = false;
    runtest::TFolderRun second =
        FolderRun("second", "00000000-0000-4000-8000-0000000000a2", "2026-12-02T08:00:00+01:00");
    const THistoryRun older = ReadRunFolder(Folder(first), {});
    const THistoryRun newer = ReadRunFolder(Folder(second), {});
    EXPECT_EQ(ReportLine(database, older),
              "History of analyser HG-1: no earlier run in the history");
    database.Import(older);
    database.Import(newer);
    // The line of the newer run names the older, whatever came in after.
    EXPECT_EQ(ReportLine(database, newer),
              "History of analyser HG-1: previous run 2026-12-01 FAIL; control charts: no limits");
    THistoryRun unnamed = newer;
    unnamed.Analyzer = {};
    EXPECT_TRUE(ReportLine(database, unnamed).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Databases, HistoryDatabase, testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return std::string(info.param); });

TEST(HistoryLocation, UrlsAndTheirRefusals) {
    const THistoryLocation pg =
        ParseHistoryLocation("postgresql://qa@db.plant:6543/fleet?sslmode=require");
    EXPECT_TRUE(pg.Postgres);
    EXPECT_EQ(pg.User, "qa");
    EXPECT_EQ(pg.Host, "db.plant");
    EXPECT_EQ(pg.Port, 6543);
    EXPECT_EQ(pg.Database, "fleet");
    EXPECT_EQ(pg.Options, "connect_timeout=10;sslmode=require");
    EXPECT_FALSE(ParseHistoryLocation("/srv/h.sqlite").Postgres);
    EXPECT_TRUE(ParseHistoryLocation("").File.endsWith("vapcal/history.sqlite"));
    for (const char* bad :
         {"postgresql://qa:secret@db/fleet", "postgresql://qa@db/",
          "postgresql://qa@db/fleet?sslmode=require%20host%3Devil", "mysql://qa@db/fleet"})
        EXPECT_THROW(ParseHistoryLocation(bad), EHistoryError) << bad;
}
