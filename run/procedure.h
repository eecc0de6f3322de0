// The QA procedures a plan may name, each judged by its own statistics over
// the levels of repeated injections rather than point by point:
//
//   epa-linearity          three levels (low, mid, high) of the span, each
//                          injected three times and never twice in a row;
//                          LE = |R - A| / R * 100 on the level means, passing
//                          at 10 % or by |R - A| <= 0.8 ng/l.
//   epa-calibration-error  a zero and an upscale level, each once;
//                          CE = |R - A| / span * 100, passing at 5 % of the
//                          span or by |R - A| <= 1.0 ng/l.
//   en14181-linearity      the zero and 20, 40, 60, 80 % of the range; a
//                          least-squares line of every injection's reading
//                          on its reference, and each level's residual
//                          r = Y - (A + B x) within residualLimitPercent % of
//                          the range.
//
// The engine still runs points; the procedure is one pure evaluation over
// the points' results, which results.json, vapcal-run, the run window and
// the report all ask.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <optional>
#include <string>
#include <vector>

#include "run/plan.h"
#include "run/results.h"

namespace run {

// A level's band in percent of the span or range, and its default.
struct TLevelRule {
    const char* Name;
    double LowPercent;
    double HighPercent;
    double DefaultPercent;
};

struct TProcedureRule {
    TProcedureKind Kind;
    const char* Name;       // the plan's word
    const char* Title;      // as the report names it
    const char* Rule;       // the rule it follows, in one sentence
    const char* SpanKey;    // "span" or "range"
    const char* ErrorUnit;  // "% of reference", "% of span", "% of range"
    std::vector<TLevelRule> Levels;
    // Injections of each level the made points hold, in rounds of every
    // level; the plan's own points must hold exactly this many of each
    // (at least one each for the EN test).
    int Rounds;
    double LimitPercent;                // the EN test's is the plan's residualLimitPercent
    std::optional<double> Alternative;  // ng/l
};

// The rule of a procedure; nullptr for pkPoints.
const TProcedureRule* ProcedureRule(TProcedureKind kind);
const TProcedureRule* ProcedureRuleNamed(const std::string& name);
const char* ProcedureName(TProcedureKind kind);
const char* AnalyzerBasisName(TAnalyzerBasis basis);
// 293.15 / 273.15 for 0 °C, else 1.
double BasisFactor(TAnalyzerBasis basis);

// The procedure's levels at their default share of `span` (span or range).
std::vector<TPlanLevel> DefaultLevels(TProcedureKind kind, double span);
// The injections of a procedure made from its levels: every level once per
// round, in the procedure's order, as many rounds as it takes.
std::vector<TPlanLevel> InjectionOrder(const TProcedurePlan& procedure);

// A level's result, on the analyser's basis.
struct TLevelResult {
    std::string Level;
    std::vector<int> Injections;      // 1-based point indices
    std::optional<double> Reference;  // mean of the done injections
    std::optional<double> Response;
    std::optional<double> Error;       // in the procedure's unit; EN signed
    std::optional<double> Difference;  // response - reference, ng/l
    double Limit = 0;
    std::optional<double> Alternative;
    std::string DecidedBy;  // "limit", "alternative", "incomplete"
    bool Pass = false;
};

struct TProcedureResult {
    const TProcedureRule* Rule = nullptr;
    std::vector<TLevelResult> Levels;
    std::optional<TLinearity> Regression;  // EN only
    bool Pass = false;
};

// Judges the points' results (as results.json holds them, in the plan's
// order) by the plan's procedure. An injection that is not "done" with both
// a delivered concentration and an analyser reading leaves its level
// incomplete, and an incomplete level fails the test.
TProcedureResult EvaluateProcedure(const TPlan& plan, const QJsonArray& points);

// results.json's "procedure": null under "points".
QJsonValue ProcedureJson(const TPlan& plan, const QJsonArray& points);

// A level's name as results.json gives it: the EN levels' nominal percent
// as a number, the others as their word.
QJsonValue LevelJson(TProcedureKind kind, const std::string& level);

}  // namespace run
