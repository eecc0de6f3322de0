// vapcal-history as a user runs it, on SQLite and on the test's own
// PostgreSQL server: two PCs writing at once, and the exit statuses.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include "pgserver.h"
#include "runfolders.h"

namespace {

pgtest::TPgServer& Server() {
    static std::unique_ptr<pgtest::TPgServer> server = std::make_unique<pgtest::TPgServer>();
    return *server;
}

QProcess* StartHistory(const QString& url, const QStringList& arguments, const QString& home) {
    auto* process = new QProcess;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", home + "/data");
    environment.insert("XDG_CONFIG_HOME", home + "/config");
    process->setProcessEnvironment(environment);
    process->start(VAPCAL_HISTORY, QStringList{"--history", url} + arguments);
    return process;
}

struct TResult {
    int Status;
    QString Out, Err;
};

TResult Finish(QProcess* process) {
    process->waitForFinished(600000);
    TResult result{process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1,
                   QString::fromUtf8(process->readAllStandardOutput()),
                   QString::fromUtf8(process->readAllStandardError())};
    delete process;
    return result;
}

class HistoryCommand : public testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "history_tests";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr)
            new QCoreApplication(argc, argv);
        static int databases = 0;
        FUrl = std::string(GetParam()) == "postgresql"
                   ? Server().NewDatabase(QString("command%1").arg(++databases))
                   : FScratch.filePath("shared/history.sqlite");
    }
    TResult History(const QStringList& arguments) {
        return Finish(StartHistory(FUrl, arguments, FScratch.path()));
    }
    QTemporaryDir FScratch;
    QString FUrl;
};

QString Id(int writer, int run) {
    return QString("00000000-0000-4000-%1-%2").arg(8000 + writer).arg(run, 12, 10, QChar('0'));
}

}  // namespace

// Each writer its own 200 runs, one transaction each, plus the same 50 runs
// that both end up writing: 450 runs, none lost, none twice.
TEST_P(HistoryCommand, TwoWritersAtOnceNeitherLoseNorDoubleARun) {
    QStringList folders[2];
    for (int run = 1; run <= 250; ++run)
        for (int writer = 0; writer < 2; ++writer) {
            runtest::TFolderRun folder;
            const bool shared = run > 200;
            folder.Name =
                shared ? QString("shared-%1").arg(run) : QString("w%1-%2").arg(writer).arg(run);
            folder.RunId = Id(shared ? 9 : writer, run);
            folder.Started = QString("2026-%1-%2T08:00:00+01:00")
                                 .arg(1 + run % 12, 2, 10, QChar('0'))
                                 .arg(1 + run % 28, 2, 10, QChar('0'));
            folder.AnalyzerId = QString("HG-%1").arg(run % 7);
            folders[writer] << runtest::WriteRunFolder(FScratch.filePath("runs"), folder);
        }
    // The schema is made by whichever writer comes first.
    QProcess* a = StartHistory(FUrl, QStringList{"import"} + folders[0], FScratch.path());
    QProcess* b = StartHistory(FUrl, QStringList{"import"} + folders[1], FScratch.path());
    const TResult first = Finish(a);
    const TResult second = Finish(b);
    EXPECT_EQ(first.Status, 0) << first.Err.toStdString();
    EXPECT_EQ(second.Status, 0) << second.Err.toStdString();
    EXPECT_EQ(first.Out.count("added ") + second.Out.count("added "), 450);

    const TResult list = History({"list", "--json"});
    ASSERT_EQ(list.Status, 0) << list.Err.toStdString();
    QSet<QString> ids;
    const QStringList lines = list.Out.split('\n', Qt::SkipEmptyParts);
    for (const QString& line : lines)
        ids.insert(QJsonDocument::fromJson(line.toUtf8()).object()["id"].toString());
    EXPECT_EQ(lines.size(), 450);
    EXPECT_EQ(ids.size(), 450);
    EXPECT_TRUE(ids.contains(Id(0, 1)) && ids.contains(Id(1, 200)) && ids.contains(Id(9, 250)));
}

TEST_P(HistoryCommand, ExitStatusesAndWhatTheySay) {
    runtest::TFolderRun run;
    run.Name = "one";
    run.RunId = Id(3, 1);
    const QString folder = runtest::WriteRunFolder(FScratch.filePath("runs"), run);
    QDir().mkpath(FScratch.filePath("runs/unfinished"));
    struct TCase {
        QStringList Arguments;
        int Status;
        const char* Says;
    };
    const std::vector<TCase> cases{
        {{"import", folder}, 0, "added "},
        {{"import", folder}, 0, "already in the history "},
        {{"import", FScratch.filePath("runs/unfinished")}, 1, "holds no finished run"},
        {{"show", Id(3, 1).left(8)}, 0, "procedure points"},
        {{"show", "ffffffff"}, 1, "no run 'ffffffff' in the history"},
        {{"chart", "--analyzer", "HG-1", "-o", FScratch.filePath("c.svg")},
         74,
         "must end in .pdf or .png"},
        {{"chart", "--analyzer", "HG-9", "-o", FScratch.filePath("c.png")},
         1,
         "no analyser 'HG-9'"},
        {{"sigma", "--analyzer", "HG-1", "--zero", "x"}, 64, "'x' is not a number"},
        {{"list", "--since", "yesterday"}, 64, "'yesterday' is not a date"},
        {{"export"}, 64, "export needs --csv"},
        {{"frobnicate"}, 64, "unknown command 'frobnicate'"},
    };
    for (const TCase& c : cases) {
        const TResult result = History(c.Arguments);
        EXPECT_EQ(result.Status, c.Status) << c.Arguments.join(' ').toStdString();
        EXPECT_TRUE((result.Out + result.Err).contains(c.Says))
            << c.Arguments.join(' ').toStdString() << ": "
            << (result.Out + result.Err).toStdString();
    }
    const TResult away =
        Finish(StartHistory("postgresql://vapcal@127.0.0.1:1/none", {"list"}, FScratch.path()));
    EXPECT_EQ(away.Status, 69) << away.Err.toStdString();
    EXPECT_TRUE(away.Err.contains("cannot be opened")) << away.Err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Databases, HistoryCommand, testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return std::string(info.param); });
