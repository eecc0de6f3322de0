#include "run/plan.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <string>

#include "run/results.h"

namespace {

// Good plans give their points' flows; bad ones are refused with the point
// and the reason.
struct TPlanCase {
    const char* Name;
    const char* Json;
    bool Headless;
    const char* Refusal;  // empty: accepted
};

const char* const kBase = R"("name": "L", "temperature": 40, "dilution": 10, )";

std::string Plan(const std::string& rest) {
    return "{" + std::string(kBase) + rest + "}";
}

// Plans as large as a run may hold, and just beyond.
std::string Points(int count) {
    std::string points = R"("points": [{"flow": 0})";
    for (int i = 1; i < count; ++i)
        points += R"(, {"flow": 1})";
    return points + "]";
}
const std::string kThousandPoints = Points(1000);
const std::string kThousandAndOnePoints = Points(1001);
// A plan of one point padded with spaces to `size` bytes.
std::string Padded(std::size_t size) {
    std::string plan = Plan(R"("points": [{"flow": 1}])");
    return plan.insert(1, size - plan.size(), ' ');
}
const std::string kMiB = Padded(1024 * 1024);
const std::string kMiBAndOne = Padded(1024 * 1024 + 1);
// A plan "file" that is the system's endless device behind a symlink.
constexpr const char* kZeroLink = "symlink to /dev/zero";

class PlanCheck : public ::testing::TestWithParam<TPlanCase> {};

// Each plan is read from a file as every loader reads it.
TEST_P(PlanCheck, AcceptsOrNamesThePointAndTheReason) {
    const TPlanCase& c = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath("zero.json");
    if (std::string(c.Json) == kZeroLink) {
        ASSERT_TRUE(QFile::link("/dev/zero", path));
    } else {
        const std::string json = std::string(c.Json).front() == '{' ? c.Json : Plan(c.Json);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(json.data(), static_cast<qint64>(json.size()));
    }
    std::string refusal;
    try {
        run::TPlan plan = run::ParsePlan(run::ReadPlanFile(path));
        run::CheckPlan(plan, run::TKitLimits{}, c.Headless);
    } catch (const run::EPlanError& e) {
        refusal = e.what();
    }
    EXPECT_EQ(refusal, c.Refusal) << c.Name;
}

INSTANTIATE_TEST_SUITE_P(
    GoodAndBadPlans, PlanCheck,
    ::testing::Values(
        TPlanCase{"zero and three levels",
                  R"("points": [{"flow": 0}, {"wanted": 16}, {"wanted": 40}, {"wanted": 64}])",
                  true, ""},
        TPlanCase{"a point's own temperature, dilution, dwell and fractions of minutes",
                  R"("settlingMinutes": 0.25, "dwellMinutes": 0.5, "points": [{"flow": 3,
                     "temperature": 35.5, "dilution": 5, "dwellMinutes": 1.5}])",
                  true, ""},
        TPlanCase{"a manual analyser in the console's window",
                  R"("analyzer": {"source": "manual"}, "points": [{"flow": 1}])", false, ""},
        TPlanCase{"a flow above capacity", R"("points": [{"flow": 1}, {"flow": 25}])", true,
                  "point 2: reservoir flow 25 ml/min is above the controller's capacity 20 "
                  "ml/min"},
        TPlanCase{"a concentration the kit cannot reach", R"("points": [{"wanted": 500}])", true,
                  "point 1: 500 ng/l cannot be reached: it needs a reservoir flow of 75.5 ml/min "
                  "(0 to 20)"},
        TPlanCase{"a negative dwell", R"("points": [{"flow": 1, "dwellMinutes": -1}])", true,
                  "point 1: \"dwellMinutes\" -1 is outside 0 to 10080"},
        TPlanCase{"a manual analyser headless",
                  R"("analyzer": {"source": "manual"}, "points": [{"flow": 1}])", true,
                  "analyzer: a manual analyser needs the console's run window; vapcal-run "
                  "reads only \"none\" or \"modbus\""},
        TPlanCase{"the customer, the item and the lab's air at the start",
                  R"("customer": "Plant North", "environment": {"temperature": 21.5,
                     "humidity": 45}, "analyzer": {"source": "modbus", "address": 30, "item":
                     {"maker": "M", "model": "X-1", "serial": "4471", "tag": "CEMS-2"}},
                     "points": [{"flow": 1}])",
                  true, ""},
        TPlanCase{"a humidity above 100 %",
                  R"("environment": {"humidity": 120}, "points": [{"flow": 1}])", true,
                  "environment: \"humidity\" 120 is outside 0 to 100"},
        TPlanCase{"an unknown key of the item",
                  R"("analyzer": {"item": {"serail": "1"}}, "points": [{"flow": 1}])", true,
                  "analyzer.item: unknown key \"serail\""},
        TPlanCase{"an unknown key", R"("dwell": 5, "points": [{"flow": 1}])", true,
                  "unknown key \"dwell\""},
        TPlanCase{"an unknown key in a point", R"("points": [{"flow": 1}, {"flw": 2}])", true,
                  "point 2: unknown key \"flw\""},
        TPlanCase{"an unknown key of the analyser",
                  R"("analyzer": {"source": "modbus", "adress": 30}, "points": [{"flow": 1}])",
                  true, "analyzer: unknown key \"adress\""},
        TPlanCase{"both wanted and flow", R"("points": [{"flow": 1, "wanted": 5}])", true,
                  "point 1: give either \"wanted\" or \"flow\""},
        TPlanCase{"a temperature outside the controller's limits",
                  R"("points": [{"flow": 1, "temperature": 70}])", true,
                  "point 1: temperature 70 \u00B0C is outside the controller's set-point limits "
                  "30 to 60 \u00B0C"},
        TPlanCase{"a dilution flow above capacity", R"("points": [{"flow": 1, "dilution": 30}])",
                  true,
                  "point 1: dilution flow 30 l/min is above the controller's capacity 20 l/min"},
        TPlanCase{
            "a register format regwire does not know",
            R"("analyzer": {"source": "modbus", "format": "double"}, "points": [{"flow": 1}])",
            true,
            "analyzer: \"format\" takes unsigned, signed, hex, int32, int32-swapped, "
            "float, float-swapped, not \"double\""},
        TPlanCase{"a choice that is not one", R"("onNotStable": "wait", "points": [{"flow": 1}])",
                  true, "\"onNotStable\" takes \"skip\", \"stop\", not \"wait\""},
        TPlanCase{"a number that is text", R"("points": [{"flow": "2"}])", true,
                  "point 1: \"flow\" is not a number"},
        TPlanCase{"no points", R"("points": [])", true, "\"points\" holds no point"},
        TPlanCase{"a settling limit shorter than the settling time",
                  R"("settlingMinutes": 10, "points": [{"flow": 1, "settleMaxMinutes": 5}])", true,
                  "point 1: \"settleMaxMinutes\" 5 is shorter than \"settlingMinutes\" 10"},
        TPlanCase{"a point without a temperature", R"({"name": "L", "points": [{"flow": 1}]})",
                  true, "point 1: \"temperature\" is missing"},
        TPlanCase{"not JSON", "{\"name\": ", true, "the plan is not JSON: unterminated object"},
        TPlanCase{"a thousand points", kThousandPoints.c_str(), true, ""},
        TPlanCase{"a thousand and one points", kThousandAndOnePoints.c_str(), true,
                  "\"points\" holds 1001 points: at most 1000"},
        TPlanCase{"a file of 1 MiB", kMiB.c_str(), true, ""},
        TPlanCase{"a file over 1 MiB", kMiBAndOne.c_str(), true,
                  "1048577 bytes: a plan holds at most 1 MiB (1048576 bytes)"},
        TPlanCase{"not a regular file", kZeroLink, true, "not a regular file"},
        TPlanCase{"an analyser on the line at the reservoir-flow controller's address",
                  R"("analyzer": {"source": "modbus", "address": 10}, "points": [{"flow": 1}])",
                  true,
                  "analyzer: \"address\" 10 on the kit's line is one of the kit's own "
                  "instruments (10, 11 and 20)"},
        TPlanCase{"an analyser on the line at the temperature controller's address",
                  R"("analyzer": {"source": "modbus", "port": "line", "address": 20},
                     "points": [{"flow": 1}])",
                  true,
                  "analyzer: \"address\" 20 on the kit's line is one of the kit's own "
                  "instruments (10, 11 and 20)"},
        TPlanCase{"an analyser at 20 on a port of its own",
                  R"("analyzer": {"source": "modbus", "port": "/dev/ttyUSB1", "address": 20},
                     "points": [{"flow": 1}])",
                  true, ""},
        TPlanCase{"a dwell shorter than one poll",
                  R"("points": [{"flow": 1}, {"flow": 2, "dwellMinutes": 0.005}])", true,
                  "point 2: \"dwellMinutes\" 0.005 is shorter than one poll of the kit (0.5 s)"},
        TPlanCase{"no dwell", R"("dwellMinutes": 0, "points": [{"flow": 1}])", true,
                  "point 1: \"dwellMinutes\" 0 is shorter than one poll of the kit (0.5 s)"},
        TPlanCase{"an EPA linearity from its span alone",
                  R"("procedure": "epa-linearity", "span": 50, "analyzer": {"source": "modbus"})",
                  true, ""},
        TPlanCase{"a procedure without its span",
                  R"("procedure": "epa-linearity", "analyzer": {"source": "modbus"})", true,
                  "\"span\" is missing: epa-linearity needs it"},
        TPlanCase{"the EN test without its range",
                  R"("procedure": "en14181-linearity", "span": 50,
                     "analyzer": {"source": "modbus"})",
                  true, "\"span\" does not apply to en14181-linearity"},
        TPlanCase{"a low level above its band",
                  R"("procedure": "epa-linearity", "span": 50, "levels": {"low": 16},
                     "analyzer": {"source": "modbus"})",
                  true,
                  "level \"low\": 16 ng/l is 32.0 % of the span 50 ng/l, outside its band of 20 "
                  "to 30 %"},
        TPlanCase{"an EN level moved by more than 5 % of the range",
                  R"("procedure": "en14181-linearity", "range": 50, "levels": {"40": 25},
                     "analyzer": {"source": "modbus"})",
                  true,
                  "level \"40\": 25 ng/l is 50.0 % of the range 50 ng/l, outside its band of 35 "
                  "to 45 %"},
        TPlanCase{"a level the procedure does not have",
                  R"("procedure": "epa-calibration-error", "span": 50, "levels": {"low": 5},
                     "analyzer": {"source": "modbus"})",
                  true,
                  "level \"low\" is not one of epa-calibration-error's levels: zero, upscale"},
        TPlanCase{"the same level twice in a row",
                  R"("procedure": "epa-linearity", "span": 50, "analyzer": {"source": "modbus"},
                     "points": [{"level": "low"}, {"level": "low"}, {"level": "mid"},
                                {"level": "high"}, {"level": "mid"}, {"level": "high"},
                                {"level": "low"}, {"level": "mid"}, {"level": "high"}])",
                  true,
                  "point 2: level \"low\" twice in a row: epa-linearity never injects a level "
                  "twice in a row"},
        TPlanCase{"an upscale level given twice",
                  R"("procedure": "epa-calibration-error", "span": 50,
                     "analyzer": {"source": "modbus"},
                     "points": [{"level": "zero"}, {"level": "upscale"}, {"level": "upscale"}])",
                  true, "level \"upscale\" is injected 2 times: epa-calibration-error takes 1"},
        TPlanCase{"a given point's own concentration out of its level's band",
                  R"("procedure": "epa-calibration-error", "span": 50,
                     "analyzer": {"source": "modbus"},
                     "points": [{"level": "zero"}, {"level": "upscale", "wanted": 20}])",
                  true,
                  "point 2: level \"upscale\": 20 ng/l is 40.0 % of the span 50 ng/l, outside its "
                  "band of 50 to 100 %"},
        TPlanCase{"a point without its level under a procedure",
                  R"("procedure": "epa-calibration-error", "span": 50,
                     "analyzer": {"source": "modbus"}, "points": [{"wanted": 0}])",
                  true, "point 1: \"level\" is missing: epa-calibration-error needs it"},
        TPlanCase{"a procedure with nothing to judge",
                  R"("procedure": "epa-calibration-error", "span": 50)", true,
                  "epa-calibration-error judges the analyser's readings: the analyser's "
                  "\"source\" cannot be \"none\""},
        TPlanCase{"a point acceptance beside a procedure",
                  R"("procedure": "epa-calibration-error", "span": 50,
                     "acceptance": {"percent": 5}, "analyzer": {"source": "modbus"})",
                  true,
                  "\"acceptance\" does not apply: epa-calibration-error judges by its own rule"},
        TPlanCase{"an upscale level the kit cannot reach",
                  R"("procedure": "epa-calibration-error", "span": 600,
                     "analyzer": {"source": "modbus"})",
                  true,
                  "point 2: level \"upscale\": 330 ng/l cannot be reached: it needs a reservoir "
                  "flow of 49.7 ml/min (0 to 20)"}));

TEST(Plan, AWantedConcentrationIsHeldToATenthAndCarriesItsCalculatedValue) {
    run::TPlan plan = run::ParsePlan(R"({"name": "L", "temperature": 40, "dilution": 10,
        "points": [{"wanted": 16}, {"flow": 0}, {"wanted": 0}]})");
    run::CheckPlan(plan, run::TKitLimits{}, true);
    EXPECT_DOUBLE_EQ(plan.Points[0].ReservoirFlow, 2.4);
    EXPECT_DOUBLE_EQ(plan.Points[0].Calculated, 16.01);
    EXPECT_DOUBLE_EQ(plan.Points[1].Calculated, 0);
    EXPECT_DOUBLE_EQ(plan.Points[2].ReservoirFlow, 0);
}

struct TJudgeCase {
    double Analyzer;
    double Delivered;
    bool Pass;
    const char* DecidedBy;
};

TEST(Acceptance, TheLargerLimitDecides) {
    const run::TAcceptance acceptance{5, 0.5};
    for (const TJudgeCase& c :
         {TJudgeCase{42.0, 40.0, true, "percent"}, TJudgeCase{42.1, 40.0, false, "percent"},
          TJudgeCase{0.5, 0.0, true, "absolute"}, TJudgeCase{-0.6, 0.0, false, "absolute"},
          TJudgeCase{8.4, 8.0, true, "absolute"}}) {
        const run::TVerdict verdict = run::Judge(c.Analyzer, c.Delivered, acceptance);
        EXPECT_EQ(verdict.Pass, c.Pass) << c.Analyzer << " " << c.Delivered;
        EXPECT_STREQ(verdict.DecidedBy, c.DecidedBy) << c.Analyzer << " " << c.Delivered;
    }
}

TEST(Linearity, LeastSquaresOverThreeOrMorePoints) {
    EXPECT_FALSE(run::FitLinearity({{0, 0.1}, {10, 10.3}}));
    const auto fit = run::FitLinearity({{0, 1}, {10, 21}, {20, 41}, {30, 62}});
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->Slope, 2.03, 1e-12);
    EXPECT_NEAR(fit->Intercept, 0.8, 1e-12);
    EXPECT_NEAR(fit->MaxResidual, 0.4, 1e-12);
    EXPECT_GT(fit->R2, 0.999);
}

}  // namespace
