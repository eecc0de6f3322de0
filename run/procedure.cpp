#include "run/procedure.h"

#include <cmath>

namespace run {

namespace {

const TProcedureRule kRules[] = {
    {pkEpaLinearity,
     "epa-linearity",
     "EPA linearity check",
     "40 CFR 75 Appendix A: per level LE = |R\u0304 \u2212 A\u0304| / R\u0304 \u00D7 100; a level "
     "passes when LE \u2264 10.0 % or |R\u0304 \u2212 A\u0304| \u2264 0.8 \u00B5g/scm; the test "
     "passes when all three do.",
     "span",
     "% of reference",
     {{"low", 20, 30, 25}, {"mid", 50, 60, 55}, {"high", 80, 100, 90}},
     3,
     10.0,
     0.8},
    {pkEpaCalibrationError,
     "epa-calibration-error",
     "EPA calibration error test",
     "40 CFR 75 Appendix A: CE = |R \u2212 A| / span \u00D7 100; each level passes when "
     "CE \u2264 5.0 % of span or |R \u2212 A| \u2264 1.0 \u00B5g/scm.",
     "span",
     "% of span",
     {{"zero", 0, 20, 0}, {"upscale", 50, 100, 55}},
     1,
     5.0,
     1.0},
    {pkEn14181Linearity,
     "en14181-linearity",
     "EN 14181 linearity test",
     "EN 14181 functional test: a least-squares line Y = A + B\u00B7x of every injection's "
     "reading on its reference; per level the residual r = Y\u0304 \u2212 (A + B\u00B7x\u0304) "
     "passes when |r| is within the limit in % of the range.",
     "range",
     "% of range",
     {{"0", 0, 5, 0},
      {"20", 15, 25, 20},
      {"40", 35, 45, 40},
      {"60", 55, 65, 60},
      {"80", 75, 85, 80}},
     1,
     5.0,
     std::nullopt},
};

double Mean(const std::vector<double>& values) {
    double sum = 0;
    for (const double value : values)
        sum += value;
    return sum / static_cast<double>(values.size());
}

QJsonValue Maybe(const std::optional<double>& value) {
    return value && std::isfinite(*value) ? QJsonValue(*value) : QJsonValue();
}

// The EPA rules: the error in percent of `base` (the reference mean, or the
// span), the alternative in ng/l. "limit" decides unless only the
// alternative passed.
void JudgeByLimitOrAlternative(TLevelResult& level, double base) {
    const double difference = *level.Response - *level.Reference;
    level.Difference = difference;
    const bool limitPasses = base > 0 && std::fabs(difference) / base * 100 <= level.Limit;
    if (base > 0)
        level.Error = std::fabs(difference) / base * 100;
    const bool alternativePasses = level.Alternative && std::fabs(difference) <= *level.Alternative;
    level.Pass = limitPasses || alternativePasses;
    level.DecidedBy = !limitPasses && alternativePasses ? "alternative" : "limit";
}

}  // namespace

const TProcedureRule* ProcedureRule(TProcedureKind kind) {
    for (const TProcedureRule& rule : kRules)
        if (rule.Kind == kind)
            return &rule;
    return nullptr;
}

const TProcedureRule* ProcedureRuleNamed(const std::string& name) {
    for (const TProcedureRule& rule : kRules)
        if (name == rule.Name)
            return &rule;
    return nullptr;
}

const char* ProcedureName(TProcedureKind kind) {
    const TProcedureRule* rule = ProcedureRule(kind);
    return rule ? rule->Name : "points";
}

const char* AnalyzerBasisName(TAnalyzerBasis basis) {
    return basis == ab0C ? "0C" : "20C";
}

double BasisFactor(TAnalyzerBasis basis) {
    return basis == ab0C ? 293.15 / 273.15 : 1.0;
}

std::vector<TPlanLevel> DefaultLevels(TProcedureKind kind, double span) {
    std::vector<TPlanLevel> levels;
    if (const TProcedureRule* rule = ProcedureRule(kind))
        for (const TLevelRule& level : rule->Levels)
            levels.push_back({level.Name, level.DefaultPercent / 100 * span});
    return levels;
}

std::vector<TPlanLevel> InjectionOrder(const TProcedurePlan& procedure) {
    std::vector<TPlanLevel> order;
    const TProcedureRule* rule = ProcedureRule(procedure.Kind);
    for (int round = 0; rule && round < rule->Rounds; ++round)
        order.insert(order.end(), procedure.Levels.begin(), procedure.Levels.end());
    return order;
}

QJsonValue LevelJson(TProcedureKind kind, const std::string& level) {
    if (kind == pkEn14181Linearity)
        return std::stod(level);
    return QString::fromStdString(level);
}

TProcedureResult EvaluateProcedure(const TPlan& plan, const QJsonArray& points) {
    TProcedureResult result;
    result.Rule = ProcedureRule(plan.Procedure.Kind);
    if (!result.Rule)
        return result;
    const double factor = BasisFactor(plan.Analyzer.Basis);
    const bool en = plan.Procedure.Kind == pkEn14181Linearity;

    // Each level's injections in the plan's order, and every done
    // injection's (reference, response) for the EN line.
    std::vector<std::pair<double, double>> readings;
    for (const TPlanLevel& planLevel : plan.Procedure.Levels) {
        TLevelResult level;
        level.Level = planLevel.Name;
        level.Limit = en ? plan.Procedure.ResidualLimitPercent : result.Rule->LimitPercent;
        level.Alternative = result.Rule->Alternative;
        std::vector<double> references, responses;
        bool complete = true;
        for (std::size_t i = 0; i < plan.Points.size(); ++i) {
            if (plan.Points[i].Level != planLevel.Name)
                continue;
            level.Injections.push_back(static_cast<int>(i) + 1);
            const QJsonObject point =
                i < static_cast<std::size_t>(points.size()) ? points[i].toObject() : QJsonObject();
            if (point["status"].toString() != "done" || !point["delivered"].isObject() ||
                !point["analyzer"].isObject()) {
                complete = false;
                continue;
            }
            references.push_back(point["delivered"]["mean"].toDouble() * factor);
            responses.push_back(point["analyzer"]["mean"].toDouble());
            readings.emplace_back(references.back(), responses.back());
        }
        if (!references.empty()) {
            level.Reference = Mean(references);
            level.Response = Mean(responses);
        }
        level.DecidedBy = complete && !level.Injections.empty() ? "limit" : "incomplete";
        result.Levels.push_back(level);
    }

    if (en)
        result.Regression = FitLinearity(readings);
    const double span = plan.Procedure.Span;
    for (TLevelResult& level : result.Levels) {
        if (level.DecidedBy == "incomplete")
            continue;
        switch (plan.Procedure.Kind) {
            case pkEpaLinearity:
                JudgeByLimitOrAlternative(level, *level.Reference);
                break;
            case pkEpaCalibrationError:
                JudgeByLimitOrAlternative(level, span);
                break;
            case pkEn14181Linearity: {
                level.Difference = *level.Response - *level.Reference;
                if (!result.Regression || span <= 0) {
                    level.DecidedBy = "incomplete";
                    break;
                }
                const TLinearity& line = *result.Regression;
                const double residual =
                    *level.Response - (line.Intercept + line.Slope * *level.Reference);
                level.Error = residual / span * 100;
                level.Pass = std::fabs(*level.Error) <= level.Limit;
                break;
            }
            case pkPoints:
                break;
        }
    }
    result.Pass = !result.Levels.empty();
    for (const TLevelResult& level : result.Levels)
        result.Pass = result.Pass && level.Pass;
    return result;
}

QJsonValue ProcedureJson(const TPlan& plan, const QJsonArray& points) {
    const TProcedureResult result = EvaluateProcedure(plan, points);
    if (!result.Rule)
        return QJsonValue();
    QJsonArray levels;
    for (const TLevelResult& level : result.Levels) {
        QJsonArray injections;
        for (const int index : level.Injections)
            injections.append(index);
        levels.append(QJsonObject{
            {"level", LevelJson(plan.Procedure.Kind, level.Level)},
            {"injections", injections},
            {"reference", Maybe(level.Reference)},
            {"response", Maybe(level.Response)},
            {"error", Maybe(level.Error)},
            {"errorUnit", result.Rule->ErrorUnit},
            {"difference", Maybe(level.Difference)},
            {"limit", level.Limit},
            {"alternative", Maybe(level.Alternative)},
            {"decidedBy", QString::fromStdString(level.DecidedBy)},
            {"pass", level.Pass},
        });
    }
    QJsonValue regression;
    if (result.Regression)
        regression = QJsonObject{{"intercept", result.Regression->Intercept},
                                 {"slope", result.Regression->Slope},
                                 {"r2", result.Regression->R2}};
    QJsonObject json{
        {"name", result.Rule->Name}, {"basis", AnalyzerBasisName(plan.Analyzer.Basis)},
        {"levels", levels},          {"regression", regression},
        {"pass", result.Pass},
    };
    json[result.Rule->SpanKey] = plan.Procedure.Span;
    return json;
}

}  // namespace run
