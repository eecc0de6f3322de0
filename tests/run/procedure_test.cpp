#include "run/procedure.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <cmath>
#include <string>
#include <vector>

namespace {

run::TPlan Checked(const std::string& json) {
    run::TPlan plan = run::ParsePlan(QByteArray::fromStdString(json));
    run::CheckPlan(plan, run::TKitLimits{}, true);
    return plan;
}

// A done point as results.json holds it: the delivered mean (at 20 °C) and
// the analyser's mean.
QJsonObject Done(double delivered, double analyzer) {
    return {{"status", "done"},
            {"delivered", QJsonObject{{"mean", delivered}}},
            {"analyzer", QJsonObject{{"mean", analyzer}}}};
}

QJsonObject Level(const QJsonValue& procedure, int index) {
    return procedure["levels"].toArray()[index].toObject();
}

TEST(Procedure, TheEpaLinearityIsMadeOfThreeRoundsOfItsLevelsOnTheAnalyzersBasis) {
    const run::TPlan plan = Checked(R"({"name": "Q", "temperature": 40, "dilution": 10,
        "procedure": "epa-linearity", "span": 40, "analyzer": {"source": "modbus", "basis": "0C"}})");
    ASSERT_EQ(plan.Points.size(), 9u);
    const char* const order[] = {"low", "mid", "high"};
    for (std::size_t i = 0; i < 9; ++i)
        EXPECT_EQ(plan.Points[i].Level, order[i % 3]) << i;
    // 25 % of 40 ng/l at 0 °C is the same gas as 10 / (293.15 / 273.15) at 20 °C.
    EXPECT_NEAR(*plan.Points[0].Wanted, 10 * 273.15 / 293.15, 1e-12);
    EXPECT_NEAR(*plan.Points[2].Wanted, 36 * 273.15 / 293.15, 1e-12);
}

// Each level's mean, LE and which criterion decided, recomputed here from
// the injections.
TEST(Procedure, EpaLinearityJudgesLevelMeansByTenPercentOrTheAlternative) {
    const run::TPlan plan = Checked(R"({"name": "Q", "temperature": 40, "dilution": 10,
        "procedure": "epa-linearity", "span": 5, "analyzer": {"source": "modbus"}})");
    // low 1.25, mid 2.75, high 4.5; the analyser 0.7 high at low and mid,
    // 20 % high at high.
    QJsonArray points;
    const double refs[] = {1.2, 2.8, 4.4, 1.3, 2.7, 4.5, 1.25, 2.75, 4.6};
    for (int i = 0; i < 9; ++i)
        points.append(Done(refs[i], i % 3 == 2 ? refs[i] * 1.2 : refs[i] + 0.7));
    const QJsonValue procedure = run::ProcedureJson(plan, points);
    EXPECT_EQ(procedure["name"].toString(), "epa-linearity");
    EXPECT_EQ(procedure["span"].toDouble(), 5);
    EXPECT_TRUE(procedure["regression"].isNull());

    const QJsonObject low = Level(procedure, 0);
    EXPECT_EQ(low["level"].toString(), "low");
    EXPECT_EQ(low["injections"].toArray(), (QJsonArray{1, 4, 7}));
    EXPECT_NEAR(low["reference"].toDouble(), 1.25, 1e-12);
    EXPECT_NEAR(low["response"].toDouble(), 1.95, 1e-12);
    EXPECT_NEAR(low["error"].toDouble(), 0.7 / 1.25 * 100, 1e-9);
    EXPECT_EQ(low["errorUnit"].toString(), "% of reference");
    EXPECT_NEAR(low["difference"].toDouble(), 0.7, 1e-12);
    EXPECT_EQ(low["limit"].toDouble(), 10);
    EXPECT_EQ(low["alternative"].toDouble(), 0.8);
    EXPECT_EQ(low["decidedBy"].toString(), "alternative");
    EXPECT_TRUE(low["pass"].toBool());
    // 0.9 ng/l, 20 %: fails both, and the limit is named.
    const QJsonObject high = Level(procedure, 2);
    EXPECT_NEAR(high["error"].toDouble(), 20, 1e-9);
    EXPECT_NEAR(high["difference"].toDouble(), 0.9, 1e-12);
    EXPECT_EQ(high["decidedBy"].toString(), "limit");
    EXPECT_FALSE(high["pass"].toBool());
    EXPECT_FALSE(procedure["pass"].toBool());
}

TEST(Procedure, AnInjectionWithoutAReadingLeavesItsLevelIncompleteAndTheTestFailed) {
    const run::TPlan plan = Checked(R"({"name": "Q", "temperature": 40, "dilution": 10,
        "procedure": "epa-calibration-error", "span": 50, "analyzer": {"source": "modbus"}})");
    for (const char* status : {"skipped", "not stable", "no analyzer reading", "stopped"}) {
        const QJsonArray points{Done(0, 0.2), QJsonObject{{"status", status}}};
        const QJsonValue procedure = run::ProcedureJson(plan, points);
        const QJsonObject upscale = Level(procedure, 1);
        EXPECT_EQ(upscale["decidedBy"].toString(), "incomplete") << status;
        EXPECT_FALSE(upscale["pass"].toBool()) << status;
        EXPECT_TRUE(upscale["reference"].isNull()) << status;
        EXPECT_FALSE(procedure["pass"].toBool()) << status;
        EXPECT_TRUE(Level(procedure, 0)["pass"].toBool()) << status;
    }
}

TEST(Procedure, CalibrationErrorIsInPercentOfTheSpan) {
    const run::TPlan plan = Checked(R"({"name": "Q", "temperature": 40, "dilution": 10,
        "procedure": "epa-calibration-error", "span": 50, "analyzer": {"source": "modbus"}})");
    // 4 % and 1.6 ng/l passes by the limit; 6 % and 3 ng/l fails both.
    const QJsonValue procedure = run::ProcedureJson(plan, {Done(0, 2), Done(27.4, 30.4)});
    EXPECT_NEAR(Level(procedure, 0)["error"].toDouble(), 4, 1e-9);
    EXPECT_EQ(Level(procedure, 0)["errorUnit"].toString(), "% of span");
    EXPECT_TRUE(Level(procedure, 0)["pass"].toBool());
    EXPECT_NEAR(Level(procedure, 1)["error"].toDouble(), 6, 1e-9);
    EXPECT_EQ(Level(procedure, 1)["decidedBy"].toString(), "limit");
    EXPECT_FALSE(Level(procedure, 1)["pass"].toBool());
    EXPECT_FALSE(procedure["pass"].toBool());
}

// A response bent by Q x^2 leaves residuals the line cannot take up: for
// levels 0, 10, 20, 30, 40 they are 200 Q, -100 Q, -200 Q, -100 Q, 200 Q.
TEST(Procedure, En14181ResidualsAreTakenFromTheLineOfEveryInjection) {
    const run::TPlan plan = Checked(R"({"name": "Q", "temperature": 40, "dilution": 10,
        "procedure": "en14181-linearity", "range": 50, "residualLimitPercent": 4,
        "analyzer": {"source": "modbus"}})");
    const double q = 0.0099;
    QJsonArray points;
    for (const double x : {0.0, 10.0, 20.0, 30.0, 40.0})
        points.append(Done(x, 1.5 + 1.02 * x + q * x * x));
    const QJsonValue procedure = run::ProcedureJson(plan, points);
    EXPECT_EQ(procedure["range"].toDouble(), 50);
    EXPECT_NEAR(procedure["regression"]["slope"].toDouble(), 1.02 + 40 * q, 1e-9);
    EXPECT_NEAR(procedure["regression"]["intercept"].toDouble(), 1.5 - 200 * q, 1e-9);
    const double residuals[] = {200 * q, -100 * q, -200 * q, -100 * q, 200 * q};
    for (int i = 0; i < 5; ++i) {
        const QJsonObject level = Level(procedure, i);
        EXPECT_EQ(level["level"].toDouble(), 20 * i);
        EXPECT_NEAR(level["error"].toDouble(), residuals[i] / 50 * 100, 1e-9) << i;
        EXPECT_EQ(level["errorUnit"].toString(), "% of range");
        EXPECT_EQ(level["limit"].toDouble(), 4);
        EXPECT_TRUE(level["alternative"].isNull());
    }
    // 1.98 ng/l is 3.96 % of 50; one more ng/l at the top level is not.
    EXPECT_TRUE(procedure["pass"].toBool());
    points[4] = Done(40, 1.5 + 1.02 * 40 + q * 1600 + 1);
    EXPECT_FALSE(run::ProcedureJson(plan, points)["pass"].toBool());
}

TEST(Procedure, TheReferenceStandsOnTheAnalyzersBasis) {
    const run::TPlan plan = Checked(R"({"name": "Q", "temperature": 40, "dilution": 10,
        "procedure": "epa-calibration-error", "span": 50, "analyzer": {"source": "modbus",
        "basis": "0C"}})");
    const QJsonValue procedure = run::ProcedureJson(plan, {Done(0, 0), Done(25, 26.83)});
    EXPECT_EQ(procedure["basis"].toString(), "0C");
    EXPECT_NEAR(Level(procedure, 1)["reference"].toDouble(), 25 * 293.15 / 273.15, 1e-9);
    EXPECT_TRUE(procedure["pass"].toBool());
}

}  // namespace
