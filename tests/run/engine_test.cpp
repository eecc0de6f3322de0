#include "run/engine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTimeZone>
#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "run/messages.h"

namespace {

// A clock the test moves by hand.
class TScriptedClock : public run::TRunClock {
  public:
    qint64 Ms() const override { return FMs; }
    QDateTime Local() const override {
        return QDateTime(QDate(2026, 12, 7), QTime(14, 0), QTimeZone(3600)).addMSecs(FMs);
    }
    qint64 FMs = 0;
};

// A kit that confirms every Apply at once (or refuses the one asked), and
// holds what it was given.
class TScriptedKit : public run::TRunKit {
  public:
    void Apply(const run::TSetPoints& setPoints,
               std::function<void(const run::TApplyResult&)> done) override {
        Applied.push_back(setPoints);
        done(Refuse ? run::TApplyResult{false, "reservoir flow set point (33 := 3840) refused"}
                    : run::TApplyResult{});
    }
    std::vector<run::TSetPoints> Applied;
    bool Refuse = false;
};

constexpr const char* kFourPoints = R"({"name": "Four", "temperature": 40, "dilution": 10,
    "settlingMinutes": 1, "settleMaxMinutes": 5, "dwellMinutes": 2,
    "acceptance": {"percent": 5, "absolute": 0.5},
    "analyzer": {"source": "modbus", "address": 30},
    "points": [{"flow": 0}, {"wanted": 16}, {"wanted": 40}, {"wanted": 64}]})";

class RunEngine : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(FDir.isValid()); }

    void Begin(const char* planJson = kFourPoints, bool resume = false) {
        FPlan = run::ParsePlan(planJson);
        run::CheckPlan(FPlan, run::TKitLimits{}, true);
        FFolder.reset();
        FFolder = std::make_unique<run::TRunFolder>(
            resume ? run::TRunFolder::Open(Folder(), 2)
                   : run::TRunFolder::Create(Folder(), FPlan.Json, 2));
        FSetup.Port = FPort;
        FSetup.Console = "0.1";
        FEngine = std::make_unique<run::TRunEngine>(FPlan, FSetup, FKit, FClock, *FFolder);
        FEngine->OnFinished = [this] { ++FFinished; };
        if (resume)
            FEngine->Resume();
        else
            FEngine->Start();
    }

    QString Folder() const { return FDir.path() + "/run"; }

    // A complete poll now: the kit at its set points, or off them (the flow
    // 1 ml/min high, the delivered concentration 20 % high).
    live::TLiveSample AtTargets(bool onTarget) const {
        const live::TKitTargets t = FEngine->Targets();
        live::TLiveSample s;
        s.Ms = FClock.FMs;
        s.When = FClock.Local();
        s.Targets = t;
        s.Temp = t.TempSP;
        s.Flow = onTarget ? t.FlowSP : t.FlowSP + 1;
        s.DilutionFlow = t.DilutionFlowSP;
        s.Delivered = onTarget ? t.Calculated : t.Calculated * 1.2;
        return s;
    }

    // One complete poll each 500 ms for `ms`, the kit at its set points and
    // the analyser reading gain times the delivered concentration.
    void Poll(qint64 ms, double gain = 1.02, bool onTarget = true) {
        for (const qint64 end = FClock.FMs + ms; FClock.FMs < end && FEngine->Running();) {
            FClock.FMs += 500;
            const live::TLiveSample s = AtTargets(onTarget);
            FEngine->AnalyzerAnswered(!FAnalyzerSilent);
            FEngine->Sample(
                s, FAnalyzerSilent ? std::nullopt : std::optional<double>(gain * s.Delivered));
        }
    }

    // Polls on a scripted line that loses `noReply` of the reads and
    // spoils `badCrc` of the replies, each drawn afresh: a lost read holds
    // the line for its 1 s time-out, so the next poll waits for it. A poll
    // whose three reads all came back is a sample, any other a lapse with
    // the age of the oldest reading.
    void LossyPoll(qint64 ms, double noReply, double badCrc, std::mt19937& random) {
        std::uniform_real_distribution<double> draw(0, 1);
        qint64 lastGood[3] = {FClock.FMs, FClock.FMs, FClock.FMs};
        for (const qint64 end = FClock.FMs + ms; FClock.FMs < end && FEngine->Running();) {
            int lost = 0;
            bool complete = true;
            for (qint64& good : lastGood) {
                const double d = draw(random);
                lost += d < noReply ? 1 : 0;
                if (d < noReply + badCrc)
                    complete = false;
                else
                    good = FClock.FMs + 100;
            }
            FClock.FMs += std::max<qint64>(500, 100 + 1000 * lost);
            if (!complete) {
                FEngine->Lapse(FClock.FMs - *std::min_element(lastGood, lastGood + 3));
                FEngine->Tick();
                continue;
            }
            const live::TLiveSample s = AtTargets(true);
            FEngine->Sample(s, s.Delivered);
        }
    }

    QStringList RecordLines() const {
        QFile file(Folder() + "/record.csv");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split("\r\n")
                                              : QStringList();
    }

    QByteArray Journal() const {
        QFile file(Folder() + "/journal.jsonl");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QByteArray ResultsBytes() const {
        QFile file(Folder() + "/results.json");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QByteArray Rebuilt() const {
        return QJsonDocument(run::ResultsFromJournal(Folder())).toJson(QJsonDocument::Indented);
    }

    QJsonObject Results() const {
        QFile file(Folder() + "/results.json");
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    }

    QStringList Events() const {
        QStringList events;
        for (const QByteArray& line : Journal().split('\n'))
            if (!line.isEmpty())
                events << QJsonDocument::fromJson(line).object()["event"].toString();
        return events;
    }

    QTemporaryDir FDir;
    TScriptedClock FClock;
    TScriptedKit FKit;
    run::TPlan FPlan;
    run::TRunSetup FSetup;
    std::string FPort = "/dev/ttyUSB0";
    std::unique_ptr<run::TRunFolder> FFolder;
    std::unique_ptr<run::TRunEngine> FEngine;
    int FFinished = 0;
    bool FAnalyzerSilent = false;
};

TEST_F(RunEngine, AWholePlanRunsOnAScriptedClockAndPasses) {
    Begin();
    Poll(60 * 60000);
    ASSERT_EQ(FEngine->State(), run::rsDone);
    EXPECT_EQ(FEngine->ExitStatus(), 0);
    EXPECT_EQ(FFinished, 1);
    ASSERT_EQ(FKit.Applied.size(), 4u);
    EXPECT_DOUBLE_EQ(FKit.Applied[1].ReservoirFlow, 2.4);
    const QJsonObject results = Results();
    EXPECT_TRUE(results["pass"].toBool());
    const QJsonArray points = results["points"].toArray();
    ASSERT_EQ(points.size(), 4);
    const QJsonObject second = points[1].toObject();
    EXPECT_EQ(second["status"].toString(), "done");
    // Stable after its minute in tolerance, then a two-minute dwell of
    // 500 ms polls.
    EXPECT_DOUBLE_EQ(second["stableAfterSeconds"].toDouble(), 60.5);
    EXPECT_EQ(second["samples"].toInt(), 240);
    EXPECT_DOUBLE_EQ(second["delivered"]["mean"].toDouble(), 16.01);
    // The budget at the dwell's mean readings, the dwell's spread last.
    const QJsonArray budget = second["budget"].toArray();
    ASSERT_FALSE(budget.isEmpty());
    EXPECT_EQ(budget.last()["quantity"].toString(), "stability");
    EXPECT_EQ(budget.last()["standardUncertainty"].toDouble(), 0);
    EXPECT_GT(second["delivered"]["expanded"].toDouble(), 0);
    EXPECT_EQ(second["delivered"]["coverageFactor"].toDouble(), 2);
    EXPECT_EQ(results["conditions"]["uncertainty"]["CoverageFactor"].toDouble(), 2);
    EXPECT_NEAR(second["errorPercent"].toDouble(), 2, 1e-9);
    EXPECT_EQ(second["decidedBy"].toString(), "percent");
    EXPECT_EQ(points[0]["decidedBy"].toString(), "absolute");
    EXPECT_NEAR(results["linearity"]["slope"].toDouble(), 1.02, 1e-12);
    EXPECT_EQ(Events().first(), "started");
    EXPECT_EQ(Events().last(), "finished");
    EXPECT_EQ(Events().count("dwellDone"), 4);
}

TEST_F(RunEngine, AnAnalyserOffByMoreThanTheAcceptanceFailsTheRun) {
    Begin();
    Poll(60 * 60000, 1.10);
    ASSERT_EQ(FEngine->State(), run::rsDone);
    EXPECT_EQ(FEngine->ExitStatus(), 1);
    EXPECT_FALSE(Results()["pass"].toBool());
    EXPECT_TRUE(Results()["points"][0]["pass"].toBool());  // zero: within 0.5 ng/l
    EXPECT_FALSE(Results()["points"][1]["pass"].toBool());
}

TEST_F(RunEngine, APointThatDoesNotSettleIsSkippedOrStopsTheRun) {
    Begin();
    Poll(6 * 60000, 1.02, false);
    EXPECT_EQ(FEngine->PointIndex(), 2);
    EXPECT_TRUE(Events().contains("notStable"));
    Poll(60 * 60000);
    EXPECT_EQ(FEngine->ExitStatus(), 1);
    EXPECT_EQ(Results()["points"][0]["status"].toString(), "not stable");

    FDir.remove();
    ASSERT_TRUE(QDir().mkpath(FDir.path()));
    QByteArray plan(kFourPoints);
    plan.replace("\"settlingMinutes\"", "\"onNotStable\": \"stop\", \"settlingMinutes\"");
    FKit.Applied.clear();
    Begin(plan.constData());
    Poll(6 * 60000, 1.02, false);
    EXPECT_EQ(FEngine->State(), run::rsStopped);
    EXPECT_EQ(FEngine->ExitStatus(), 2);
    EXPECT_EQ(FEngine->StopReason(), "point 1 did not settle within 5 min");
    EXPECT_EQ(Results()["points"][1]["status"].toString(), "stopped");
}

TEST_F(RunEngine, TheKitSilentLongerThanTheGiveUpStopsTheRunWithItsJournalWhole) {
    Begin();
    Poll(30000);
    FClock.FMs += 121000;
    FEngine->Tick();
    EXPECT_EQ(FEngine->ExitStatus(), 2);
    EXPECT_EQ(FEngine->StopReason(), "the kit has not answered for 120 s");
    EXPECT_EQ(Events().last(), "stopped");
    EXPECT_TRUE(Journal().endsWith('\n'));
}

TEST_F(RunEngine, AFailedApplyNamesItsStepAndStops) {
    FKit.Refuse = true;
    Begin();
    EXPECT_EQ(FEngine->ExitStatus(), 2);
    EXPECT_EQ(FEngine->StopReason(),
              "point 1: the set points were not written: reservoir flow set point (33 := 3840) "
              "refused");
}

TEST_F(RunEngine, PauseSettlesThePointAgainAndSkipMarksIt) {
    Begin();
    Poll(50000);
    FEngine->Pause();
    EXPECT_EQ(FEngine->StatusText(), "Run: point 1 of 4, paused (settling starts again on Resume)");
    Poll(60000);
    EXPECT_EQ(FEngine->State(), run::rsSettling);
    FEngine->Continue();
    // The settling still needed, and the longest the point may still take.
    EXPECT_EQ(FEngine->StatusText(), "Run: point 1 of 4, settling 1:00 (at most 5:00)");
    Poll(30000);
    EXPECT_EQ(FEngine->State(), run::rsSettling);
    EXPECT_EQ(FEngine->StatusText(), "Run: point 1 of 4, settling 0:31 (at most 4:30)");
    FEngine->Skip();
    EXPECT_EQ(FEngine->PointIndex(), 2);
    EXPECT_EQ(FEngine->Results()[0]->value("status").toString(), "skipped");
    EXPECT_EQ(Events().mid(0, 6),
              QStringList({"started", "applied", "paused", "resumed", "skipped", "applied"}));
}

TEST_F(RunEngine, AVanishedPortPausesTheRunAndItsReturnSettlesThePointAgain) {
    Begin();
    Poll(90000);
    ASSERT_EQ(FEngine->State(), run::rsDwelling);
    FEngine->KitLost("/dev/ttyUSB0");
    EXPECT_TRUE(FEngine->Paused());
    FClock.FMs += 60000;
    FEngine->Tick();
    FEngine->KitBack();
    EXPECT_EQ(FEngine->State(), run::rsSettling);
    EXPECT_EQ(Events().mid(Events().size() - 2), QStringList({"portLost", "portBack"}));

    FEngine->KitLost("/dev/ttyUSB0");
    FClock.FMs += 121000;
    FEngine->Tick();
    EXPECT_EQ(FEngine->ExitStatus(), 2);
    EXPECT_EQ(FEngine->StopReason(), "the kit has not answered for 120 s");
}

TEST_F(RunEngine, EndZeroLeavesTheReservoirFlowAtZero) {
    QByteArray plan(kFourPoints);
    plan.replace("\"points\"", "\"end\": \"zero\", \"points\"");
    Begin(plan.constData());
    Poll(60 * 60000);
    ASSERT_EQ(FKit.Applied.size(), 5u);
    EXPECT_EQ(FKit.Applied.back().ReservoirFlow, 0);
    EXPECT_EQ(FKit.Applied.back().DilutionFlow, 10);
}

// In the console's window a manual analyser's mean is typed at the end of
// each dwell, which starts only after the analyser's own delay.
TEST_F(RunEngine, AManualAnalyserIsAskedAfterTheDelayAndTheDwell) {
    FPlan = run::ParsePlan(R"({"name": "Manual", "temperature": 40, "dilution": 10,
        "settlingMinutes": 1, "dwellMinutes": 2, "acceptance": {"percent": 5},
        "analyzer": {"source": "manual", "delaySeconds": 30}, "points": [{"wanted": 40}]})");
    run::CheckPlan(FPlan, run::TKitLimits{}, false);
    FFolder = std::make_unique<run::TRunFolder>(run::TRunFolder::Create(Folder(), FPlan.Json, 2));
    FEngine = std::make_unique<run::TRunEngine>(FPlan, FSetup, FKit, FClock, *FFolder);
    int wanted = 0;
    FEngine->OnAnalyzerWanted = [&wanted](int index) { wanted = index; };
    FEngine->Start();
    Poll(61000);
    EXPECT_EQ(FEngine->State(), run::rsDelay);
    Poll(30000);
    EXPECT_EQ(FEngine->State(), run::rsDwelling);
    Poll(10 * 60000);
    EXPECT_EQ(wanted, 1);
    ASSERT_EQ(FEngine->State(), run::rsDwelling);
    FEngine->EnterAnalyzerReading(41.5);
    ASSERT_EQ(FEngine->State(), run::rsDone);
    const QJsonObject point = Results()["points"][0].toObject();
    EXPECT_EQ(point["analyzer"]["mean"].toDouble(), 41.5);
    EXPECT_EQ(point["analyzer"]["samples"].toInt(), 1);
    EXPECT_EQ(point["samples"].toInt(), 240);
    EXPECT_TRUE(point["pass"].toBool());
    EXPECT_EQ(Results()["analyzerSource"].toString(), "manual");

    // A reading left empty: the point is not judged, and the run fails.
    FDir.remove();
    ASSERT_TRUE(QDir().mkpath(FDir.path()));
    FFolder = std::make_unique<run::TRunFolder>(run::TRunFolder::Create(Folder(), FPlan.Json, 2));
    FEngine = std::make_unique<run::TRunEngine>(FPlan, FSetup, FKit, FClock, *FFolder);
    FEngine->Start();
    Poll(13 * 60000);
    FEngine->EnterAnalyzerReading(std::nan(""));
    ASSERT_EQ(FEngine->State(), run::rsDone);
    EXPECT_EQ(Results()["points"][0]["status"].toString(), "no analyzer reading");
    EXPECT_TRUE(Results()["points"][0]["pass"].isNull());
    EXPECT_EQ(FEngine->ExitStatus(), 1);
}

// An analyser that does not answer: named once in the journal and the
// status, again when it answers; a dwell read without it is no result, and
// the run fails rather than passing on the kit alone.
TEST_F(RunEngine, ASilentAnalyserIsNamedAndItsPointsHaveNoAnalyserReading) {
    FSetup.GiveUpAfterMs = 0;
    Begin();
    std::vector<std::string> news;
    FEngine->OnAnalyzerNews = [&news](const std::string& message) { news.push_back(message); };
    FAnalyzerSilent = true;
    Poll(2000);
    EXPECT_EQ(FEngine->StatusText(),
              "Run: point 1 of 4, settling 0:59 (at most 4:58); analyser 30 on the line does "
              "not answer");
    Poll(60000);
    FAnalyzerSilent = false;
    Poll(20000);
    ASSERT_EQ(FEngine->State(), run::rsDwelling);
    FAnalyzerSilent = true;
    Poll(60 * 60000);
    ASSERT_EQ(FEngine->State(), run::rsDone);
    EXPECT_EQ(FEngine->ExitStatus(), 1);
    const QJsonObject results = Results();
    EXPECT_FALSE(results["pass"].toBool());
    for (const QJsonValue& point : results["points"].toArray()) {
        EXPECT_EQ(point["status"].toString(), "no analyzer reading");
        EXPECT_TRUE(point["analyzer"].isNull());
        EXPECT_TRUE(point["pass"].isNull());
        EXPECT_TRUE(point["delivered"].isObject());
    }
    EXPECT_EQ(news, std::vector<std::string>({"analyser 30 on the line does not answer",
                                              "analyser 30 on the line answers again",
                                              "analyser 30 on the line does not answer"}));
    EXPECT_EQ(Events().count("analyzerSilent"), 2);
    EXPECT_EQ(Events().count("analyzerAnswers"), 1);
}

TEST_F(RunEngine, AnAnalyserSilentLongerThanTheGiveUpStopsTheRunNamingIt) {
    FSetup.GiveUpAfterMs = 120000;
    FAnalyzerSilent = true;
    Begin();
    Poll(60 * 60000);
    ASSERT_EQ(FEngine->State(), run::rsStopped);
    EXPECT_EQ(FEngine->ExitStatus(), 2);
    EXPECT_EQ(FEngine->StopReason(), "analyser 30 on the line has not answered for 120 s");
}

// A dwell without a single complete poll has nothing to average: it begins
// again, and the point is done from the dwell that had its polls.
TEST_F(RunEngine, ADwellWithoutACompletePollBeginsAgain) {
    FSetup.GiveUpAfterMs = 0;
    Begin();
    Poll(60500);
    ASSERT_EQ(FEngine->State(), run::rsDwelling);
    for (int i = 0; i < 250; ++i) {
        FClock.FMs += 500;
        FEngine->Lapse(1000);
        FEngine->Tick();
    }
    EXPECT_EQ(FEngine->State(), run::rsDwelling);
    EXPECT_EQ(Events().count("dwellStarted"), 2);
    Poll(2 * 60000);
    ASSERT_TRUE(FEngine->Results()[0].has_value());
    EXPECT_EQ(FEngine->Results()[0]->value("status").toString(), "done");
    EXPECT_EQ(FEngine->Results()[0]->value("attempt").toInt(), 2);
    EXPECT_GT(FEngine->Results()[0]->value("samples").toInt(), 0);
}

// A gap in the readings shorter than the hold keeps the settling clock; a
// longer one starts it again, as a reading out of tolerance does.
TEST_F(RunEngine, AShortGapInTheReadingsHoldsTheSettlingClockALongOneStartsItAgain) {
    const struct {
        qint64 GapMs;
        double StableAfterSeconds;
    } cases[] = {{0, 60.5}, {9500, 60.5}, {10500, 111}};
    for (const auto& c : cases) {
        FDir.remove();
        ASSERT_TRUE(QDir().mkpath(FDir.path()));
        FClock.FMs = 0;
        Begin();
        Poll(40000);
        FClock.FMs += c.GapMs;
        FEngine->Lapse(c.GapMs + 500);
        Poll(80000);
        double stableAfter = 0;
        for (const QByteArray& line : Journal().split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event["event"].toString() == "stable")
                stableAfter = event["stableAfterSeconds"].toDouble();
        }
        EXPECT_DOUBLE_EQ(stableAfter, c.StableAfterSeconds) << c.GapMs;
    }
}

// A ten-minute settling on a line that loses 15 % of the reads and spoils
// 5 % of the replies: half the polls are incomplete, none for long.
TEST_F(RunEngine, ATenMinuteSettlingCompletesOnALossyLine) {
    QByteArray plan(kFourPoints);
    plan.replace("\"settlingMinutes\": 1, \"settleMaxMinutes\": 5",
                 "\"settlingMinutes\": 10, \"settleMaxMinutes\": 30");
    Begin(plan.constData());
    std::mt19937 random(30);
    LossyPoll(30 * 60000, 0.15, 0.05, random);
    ASSERT_TRUE(FEngine->Results()[0].has_value());
    const QJsonObject first = *FEngine->Results()[0];
    EXPECT_EQ(first["status"].toString(), "done");
    const double seconds = first["stableAfterSeconds"].toDouble();
    EXPECT_LT(seconds, 11 * 60);
    RecordProperty("stableAfterSeconds", QString::number(seconds).toStdString());
}

// What interrupted the run goes into results.json in the order it happened,
// with who asked and on which port; the record's rows of a dwell that was
// cut carry an earlier attempt than those that count.
TEST_F(RunEngine, InterruptionsAreListedInTheResultsAndACutDwellIsToldApartInTheRecord) {
    Begin();
    Poll(90000);
    ASSERT_EQ(FEngine->State(), run::rsDwelling);
    FEngine->Pause();
    FClock.FMs += 80000;
    FEngine->Continue();
    Poll(5 * 60000);
    ASSERT_EQ(FEngine->PointIndex(), 2);
    FEngine->KitLost("/dev/ttyUSB0");
    FEngine->KitBack("/dev/ttyUSB1");
    FEngine->Skip("plant 127.0.0.1");
    Poll(6 * 60000, 1.02, false);
    FEngine->Stop(run::kStopAsked);
    const QJsonArray interruptions = Results()["interruptions"].toArray();
    QStringList kinds, by;
    for (const QJsonValue& i : interruptions) {
        kinds << i["kind"].toString();
        by << i["by"].toString();
    }
    EXPECT_EQ(kinds,
              QStringList({"paused", "resumed", "portLost", "portBack", "skipped", "notStable"}));
    EXPECT_EQ(by, QStringList({"operator", "operator", "run", "run", "plant 127.0.0.1", "run"}));
    EXPECT_EQ(interruptions[1]["port"].toString(), "/dev/ttyUSB0");
    EXPECT_EQ(interruptions[3]["port"].toString(), "/dev/ttyUSB1");
    EXPECT_EQ(interruptions[0]["point"].toInt(), 1);
    EXPECT_EQ(interruptions[5]["point"].toInt(), 3);
    EXPECT_TRUE(interruptions[0]["port"].isNull());
    EXPECT_EQ(interruptions[0]["time"].toString(), "2026-12-07T14:01:30.000+01:00");

    const QJsonObject first = Results()["points"][0].toObject();
    EXPECT_EQ(first["attempt"].toInt(), 2);
    int counted = 0, cut = 0;
    for (const QString& line : RecordLines()) {
        const QStringList cells = line.split(',');
        if (cells.size() < 3 || cells[cells.size() - 3] != "1")
            continue;
        counted += cells.last() == "2" ? 1 : 0;
        cut += cells.last() == "1" ? 1 : 0;
    }
    EXPECT_EQ(counted, first["samples"].toInt());
    EXPECT_EQ(cut, 59);
    EXPECT_TRUE(RecordLines()[0].endsWith(",point,analyser reading (ng/l),attempt"));
}

// The journal is the run's truth: a run killed mid-point resumes with its
// finished points exactly as the journal holds them and the interrupted
// point applied and settled again.
TEST_F(RunEngine, AResumedRunKeepsItsFinishedPointsExactly) {
    Begin();
    Poll(7 * 60000);
    ASSERT_EQ(FEngine->PointIndex(), 3);
    const std::vector<std::optional<QJsonObject>> before = FEngine->Results();
    FEngine.reset();
    const QByteArray journal = Journal();

    FKit.Applied.clear();
    Begin(kFourPoints, true);
    EXPECT_TRUE(Journal().startsWith(journal));
    ASSERT_EQ(FKit.Applied.size(), 1u);
    EXPECT_DOUBLE_EQ(FKit.Applied[0].ReservoirFlow, 6.0);
    EXPECT_EQ(FEngine->PointIndex(), 3);
    Poll(60 * 60000, 1.5);
    ASSERT_EQ(FEngine->State(), run::rsDone);
    const QJsonArray points = Results()["points"].toArray();
    EXPECT_EQ(points[0].toObject(), *before[0]);
    EXPECT_EQ(points[1].toObject(), *before[1]);
    EXPECT_FALSE(points[2]["pass"].toBool());
}

// A power cut in the middle of a journal line: the resumed run drops the
// torn line and appends whole ones after the last whole line, each still
// carrying the hash of the line before it; a changed character breaks the
// chain at the line after it.
TEST_F(RunEngine, AResumedRunCutsOffALineTornByAPowerCutAndKeepsTheChain) {
    Begin();
    Poll(4 * 60000);
    FEngine.reset();
    const QByteArray whole = Journal();
    {
        QFile journal(Folder() + "/journal.jsonl");
        ASSERT_TRUE(journal.open(QIODevice::Append));
        journal.write(R"({"event":"stable","po)");
    }
    Begin(kFourPoints, true);
    Poll(60 * 60000);
    EXPECT_TRUE(Journal().startsWith(whole));
    EXPECT_EQ(FEngine->State(), run::rsDone);
    EXPECT_NO_THROW(FFolder->ReadJournal());

    const QByteArray plan = FFolder->PlanBytes();
    const run::TJournalChain chain = run::CheckJournalChain(plan, Journal());
    EXPECT_EQ(chain.State, run::TJournalChain::jcWhole) << chain.Line;
    const QByteArray first = Journal().left(Journal().indexOf('\n'));
    EXPECT_TRUE(first.contains(run::Sha256Hex(plan)));
    EXPECT_EQ(chain.LastHash, run::Sha256Hex(Journal().chopped(1).split('\n').last()));
    QByteArray edited = Journal();
    const qsizetype third = edited.indexOf('\n', edited.indexOf('\n') + 1) + 1;
    edited[edited.indexOf("\"time\"", third) + 10] = 'x';
    const run::TJournalChain broken = run::CheckJournalChain(plan, edited);
    EXPECT_EQ(broken.State, run::TJournalChain::jcBroken);
    EXPECT_EQ(broken.Line, 4);
}

// A disk that refuses the record (here: a file size limit the record has
// reached, the journal not yet) stops the record with its last whole line,
// once and said; the run goes on, its journal being its truth.
TEST_F(RunEngine, ARecordTheDiskRefusesStopsWithItsLastWholeLineAndTheRunGoesOn) {
    Begin();
    std::vector<std::string> said;
    FEngine->OnRecordingStopped = [&said](const std::string& message) { said.push_back(message); };
    // Long enough that the record outgrows the journal, whose started line
    // holds the lab and its instruments.
    Poll(30000);
    const QString record = Folder() + "/record.csv";
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(QFileInfo(record).size() + 40);
    setrlimit(RLIMIT_FSIZE, &tight);
    Poll(4 * 60000);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("record.csv"), std::string::npos);
    QFile file(record);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().endsWith("\r\n"));
    EXPECT_TRUE(Events().contains("dwellDone"));
    EXPECT_TRUE(FEngine->Running());
}

// A disk that refuses the journal (here: a file size limit the journal is
// already at) stops the run before anything is written to the kit.
TEST_F(RunEngine, AJournalThatCannotBeWrittenStopsTheRun) {
    FPlan = run::ParsePlan(kFourPoints);
    run::CheckPlan(FPlan, run::TKitLimits{}, true);
    FFolder = std::make_unique<run::TRunFolder>(run::TRunFolder::Create(Folder(), FPlan.Json, 2));
    FEngine = std::make_unique<run::TRunEngine>(FPlan, FSetup, FKit, FClock, *FFolder);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = 1;
    setrlimit(RLIMIT_FSIZE, &tight);
    FEngine->Start();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(FEngine->State(), run::rsStopped);
    EXPECT_EQ(FEngine->ExitStatus(), 2);
    EXPECT_NE(FEngine->StopReason().find("the journal cannot be written"), std::string::npos);
    EXPECT_TRUE(FKit.Applied.empty());
}

// results.json is made from the journal, so the folder alone makes it again
// byte for byte, however the run ended: done, or stopped in a dwell after a
// resume on another port.
TEST_F(RunEngine, TheFolderAloneMakesResultsJsonAgainByteForByte) {
    Begin();
    Poll(60 * 60000);
    ASSERT_EQ(FEngine->State(), run::rsDone);
    EXPECT_EQ(Rebuilt(), ResultsBytes());

    FEngine.reset();
    FFolder.reset();
    ASSERT_TRUE(QDir(Folder()).removeRecursively());
    Begin();
    Poll(7 * 60000);
    FEngine.reset();
    FPort = "/dev/ttyUSB1";
    Begin(kFourPoints, true);
    Poll(90000);
    ASSERT_EQ(FEngine->State(), run::rsDwelling);
    FEngine->Stop(run::kStopAsked);
    const QJsonObject results = Results();
    EXPECT_EQ(results["port"].toString(), "/dev/ttyUSB1");
    EXPECT_EQ(results["points"][2]["status"].toString(), "stopped");
    EXPECT_DOUBLE_EQ(results["points"][2]["stableAfterSeconds"].toDouble(), 60.5);
    EXPECT_FALSE(results["finished"].isNull());
    EXPECT_EQ(Rebuilt(), ResultsBytes());
}

// A power cut after results.json was written and before "finished" reached
// the journal, or a results.json lost since: a resume journals the end once
// and results.json is what the uninterrupted end wrote.
TEST_F(RunEngine, ARunCutBetweenItsResultsAndItsEndIsFinishedByAResume) {
    Begin();
    Poll(60 * 60000);
    ASSERT_EQ(FEngine->State(), run::rsDone);
    const QByteArray uninterrupted = ResultsBytes();
    FEngine.reset();
    FFolder.reset();
    QByteArray journal = Journal();
    ASSERT_TRUE(journal.endsWith("\n"));
    journal.chop(1);
    ASSERT_TRUE(journal.mid(journal.lastIndexOf('\n')).contains("\"finished\""));
    journal.truncate(journal.lastIndexOf('\n') + 1);
    {
        QFile file(Folder() + "/journal.jsonl");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(journal);
    }
    FKit.Applied.clear();
    FFinished = 0;
    Begin(kFourPoints, true);
    EXPECT_EQ(FEngine->State(), run::rsDone);
    EXPECT_EQ(FFinished, 1);
    EXPECT_TRUE(FKit.Applied.empty());
    EXPECT_EQ(Events().mid(Events().size() - 2), QStringList({"resumed", "finished"}));
    EXPECT_EQ(ResultsBytes(), uninterrupted);

    // Ended now: a resume is refused and the folder is left alone.
    ASSERT_TRUE(QFile::remove(Folder() + "/results.json"));
    const QByteArray ended = Journal();
    FEngine.reset();
    FFolder.reset();
    EXPECT_THROW(Begin(kFourPoints, true), run::ERunFolderError);
    EXPECT_TRUE(FFolder->Finished());
    EXPECT_FALSE(FFolder->HasResults());
    EXPECT_EQ(Journal(), ended);
    EXPECT_EQ(Rebuilt(), uninterrupted);
}

// One run in a folder at a time: while a run holds it, a second taker (to
// resume or to start anew) is told who holds it, and nothing is written;
// once the run is over the folder is free.
TEST_F(RunEngine, AFolderInUseIsRefusedNamingItsProcess) {
    Begin();
    Poll(30000);
    const QByteArray journal = Journal();
    const std::string inUse =
        Folder().toStdString() + " is in use by process " + std::to_string(getpid());
    for (const bool resume : {true, false}) {
        try {
            if (resume)
                run::TRunFolder::Open(Folder(), 2);
            else
                run::TRunFolder::Create(Folder(), FPlan.Json, 2);
            ADD_FAILURE() << "taken twice";
        } catch (const run::ERunFolderError& e) {
            EXPECT_EQ(e.what(), inUse);
        }
    }
    EXPECT_EQ(Journal(), journal);
    FEngine.reset();
    FFolder->Close();
    EXPECT_NO_THROW(run::TRunFolder::Open(Folder(), 2));
}

// A folder cut before its run's start was journalled (an empty journal)
// holds nothing done: a new run takes it, and a resume starts it.
TEST_F(RunEngine, AFolderCutBeforeItsStartIsTakenAgainOrStarted) {
    ASSERT_TRUE(QDir().mkpath(Folder()));
    for (const char* name : {"/plan.json", "/journal.jsonl"}) {
        QFile file(Folder() + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        if (QString(name) == "/plan.json")
            file.write(kFourPoints);
    }
    Begin(kFourPoints, true);
    EXPECT_EQ(Events().first(), "started");
    EXPECT_EQ(FKit.Applied.size(), 1u);
    FEngine.reset();
    FFolder.reset();

    {
        QFile file(Folder() + "/journal.jsonl");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    }
    Begin();
    Poll(60 * 60000);
    EXPECT_EQ(FEngine->State(), run::rsDone);
    EXPECT_EQ(Events().count("started"), 1);
    FEngine.reset();
    FFolder.reset();
    try {
        Begin();
        ADD_FAILURE() << "a started run taken again";
    } catch (const run::ERunFolderError& e) {
        EXPECT_NE(std::string(e.what()).find("it holds a run already"), std::string::npos);
    }
    ASSERT_TRUE(QFile::remove(Folder() + "/plan.json"));
    try {
        run::TRunFolder::Open(Folder(), 2);
        ADD_FAILURE() << "a folder without a plan opened";
    } catch (const run::ERunFolderError& e) {
        EXPECT_EQ(e.what(), Folder().toStdString() + " holds no run (no plan.json)");
    }
}

}  // namespace
