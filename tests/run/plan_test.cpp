#include "run/plan.h"

#include <gtest/gtest.h>

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

class PlanCheck : public ::testing::TestWithParam<TPlanCase> {};

TEST_P(PlanCheck, AcceptsOrNamesThePointAndTheReason) {
    const TPlanCase& c = GetParam();
    const std::string json = std::string(c.Json).front() == '{' ? c.Json : Plan(c.Json);
    std::string refusal;
    try {
        run::TPlan plan = run::ParsePlan(QByteArray::fromStdString(json));
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
        TPlanCase{"not JSON", "{\"name\": ", true, "the plan is not JSON: unterminated object"}));

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
