#include "calc/uncertainty.h"

#include "calc/messages.h"
#include "calc/model.h"
#include "platform/fperror.h"
#include "platform/numtext.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace calc {

using platform::Checked;
using platform::Divide;

namespace {

const long double kSqrt3 = std::sqrt(3.0L);

std::string Named(const char* format, const char* key) {
    std::string text = format;
    return text.replace(text.find("%s"), 2, key);
}

// Half a unit of the third significant digit of Csat as the window shows it
// (6.25E+01: 0.05 ng/ml); the shown text's exponent, so a Csat that rounds
// up to the next decade (9.996 to 1.00E+01) takes that decade's unit.
long double SatConcRoundingHalfWidth(long double satConc) {
    const std::string text = SatConcText(satConc);
    const int exponent = std::stoi(text.substr(text.find('E') + 1));
    return 0.5L * std::pow(10.0L, static_cast<long double>(exponent - 2));
}

// The half-width of a flow's accuracy: a part of its reading and a part of
// its controller's capacity.
long double FlowHalfWidth(long double flow, long double capacity, const TAccuracies& a) {
    return (a.FlowReadingPercent * std::fabs(flow) + a.FlowFullScalePercent * std::fabs(capacity)) /
           100;
}

// A sensitivity that is zero (every row but the flow's at a zero-gas point)
// is written as 0, not -0; TUncertaintyBudget::Add works out the
// contribution.
TBudgetRow Row(const char* quantity, const char* unit, long double u, long double c) {
    return {quantity, unit, u, c + 0.0L, 0};
}

}  // namespace

std::string AccuracyError(const TAccuracyKey& key, long double value) {
    const bool coverage = key.Member == &TAccuracies::CoverageFactor;
    if (coverage && !(value > 0 && std::isfinite(value)))
        return Named(kCoverageNotPositive, key.Key);
    if (!coverage && !(value >= 0 && std::isfinite(value)))
        return Named(kAccuracyNegative, key.Key);
    return {};
}

std::string AccuraciesError(const TAccuracies& accuracies) {
    for (const TAccuracyKey& key : kAccuracyKeys) {
        std::string error = AccuracyError(key, accuracies.*key.Member);
        if (!error.empty())
            return error;
    }
    return {};
}

long double TUncertaintyBudget::ExpandedPercent() const {
    return Divide(Checked(100 * Expanded), Value);
}

void TUncertaintyBudget::Add(TBudgetRow row) {
    row.Contribution = Checked(std::fabs(row.Sensitivity) * row.StandardUncertainty);
    Rows.push_back(std::move(row));
    long double sumOfSquares = 0;
    for (const TBudgetRow& r : Rows)
        sumOfSquares = Checked(sumOfSquares + r.Contribution * r.Contribution);
    Combined = std::sqrt(sumOfSquares);
    Expanded = Checked(CoverageFactor * Combined);
}

void TUncertaintyBudget::AddWhole(const std::string& quantity, long double standardUncertainty) {
    Add({quantity, "ng/l", standardUncertainty, 1, 0});
}

std::vector<TBudgetRow> TUncertaintyBudget::Largest(std::size_t count) const {
    std::vector<TBudgetRow> rows = Rows;
    std::stable_sort(rows.begin(), rows.end(), [](const TBudgetRow& a, const TBudgetRow& b) {
        return a.Contribution > b.Contribution;
    });
    rows.resize(std::min(count, rows.size()));
    return rows;
}

// `value` rounded to `decimals` (negative: to tens, hundreds, ...).
std::string RoundedText(long double value, int decimals) {
    if (decimals >= 0)
        return platform::FloatToStrFixed(value, decimals);
    const long double scale = std::pow(10.0L, static_cast<long double>(-decimals));
    const std::string whole = platform::FloatToStrFixed(value / scale, 0);
    return whole == "0" || whole == "-0" ? "0" : whole + std::string(-decimals, '0');
}

// The decimals that leave U with two significant digits, after the rounding
// (0.996 is 1.0, not 1.00).
int UncertaintyDecimals(long double expanded) {
    if (!(expanded > 0))
        return kOutputDecimals;
    int decimals = 1 - static_cast<int>(std::floor(std::log10(expanded)));
    decimals = std::min(decimals, 18);
    const long double rounded = platform::StrToFloat(RoundedText(expanded, decimals));
    if (decimals > -18 && rounded >= std::pow(10.0L, static_cast<long double>(2 - decimals)))
        --decimals;
    return decimals;
}

TRoundedUncertainty RoundedUncertainty(long double value, long double expanded,
                                       long double coverageFactor) {
    const int decimals = UncertaintyDecimals(expanded);
    return {RoundedText(value, decimals), RoundedText(expanded, decimals),
            platform::FloatToStrGeneral(coverageFactor)};
}

std::string ValueWithUncertaintyText(long double value, long double expanded,
                                     long double coverageFactor) {
    const TRoundedUncertainty r = RoundedUncertainty(value, expanded, coverageFactor);
    std::string text = kValueWithUncertainty;
    for (const std::string* part : {&r.Value, &r.Expanded, &r.CoverageFactor})
        text.replace(text.find("%s"), 2, *part);
    return text;
}

std::string LargestContributionsText(const TUncertaintyBudget& budget, std::size_t count) {
    std::string list;
    for (const TBudgetRow& row : budget.Largest(count)) {
        list += (list.empty() ? "" : ", ") + row.Quantity + " " +
                RoundedText(row.Contribution, UncertaintyDecimals(row.Contribution));
    }
    return Named(kLargestContributions, list.c_str());
}

// Cd = K · F / (F/1000 + D) with K = Csat · 29.95 · Tr / Pact, K taken from
// the model's own reservoir-flow correction of a unit flow so that the
// budget differentiates the very chain the calculator computes.
TUncertaintyBudget CalcUncertaintyBudget(const TModelInputs& in, const TFlowCapacities& capacities,
                                         const TAccuracies& a) {
    if (const std::string error = AccuraciesError(a); !error.empty())
        throw std::invalid_argument(error);

    const long double satConc = CalcSatConc(in.Temp);
    const long double k = Checked(
        satConc * CalcSatFlow(1, in.Pbar, in.Dp, in.Temp, in.RefTemp));  // ng/min per ml/min
    const long double total = Checked(in.Flow / kMlPerL + in.DilutionFlow);
    const long double totalSquared = Checked(total * total);
    const long double value = Divide(Checked(k * in.Flow), total);
    const long double pact = CalcActualPressure(in.Pbar, in.Dp);
    const long double perSatConc = Divide(Checked(Divide(k, satConc) * in.Flow), total);

    TUncertaintyBudget budget;
    budget.Value = value;
    budget.CoverageFactor = a.CoverageFactor;
    const long double tempSlope =
        Checked(CalcSatConcLogSlope(in.Temp) + Divide(1, in.Temp + kZeroCelsius));
    const TBudgetRow rows[] = {
        Row(kUncTemperature, "\u00B0C", a.TempAccuracy / kSqrt3, Checked(value * tempSlope)),
        Row(kUncReservoirFlow, "ml/min", FlowHalfWidth(in.Flow, capacities.Flow, a) / kSqrt3,
            Divide(Checked(k * in.DilutionFlow), totalSquared)),
        Row(kUncDilutionFlow, "l/min",
            FlowHalfWidth(in.DilutionFlow, capacities.DilutionFlow, a) / kSqrt3,
            -Divide(Checked(k * in.Flow), totalSquared)),
        Row(kUncPbar, "in. Hg", a.PbarAccuracy / kSqrt3, -Divide(value, pact)),
        Row(kUncDp, "in. H2O", a.DpAccuracy / kSqrt3,
            -Divide(value, Checked(pact * kWaterPerMercury))),
        Row(kUncRefTemp, "\u00B0C", a.RefTempAccuracy / kSqrt3,
            -Divide(value, in.RefTemp + kZeroCelsius)),
        Row(kUncSatConcEquation, "ng/ml", Checked(satConc * a.SatConcPercent / 100), perSatConc),
        Row(kUncSatConcRounding, "ng/ml", SatConcRoundingHalfWidth(satConc) / kSqrt3, perSatConc),
    };
    for (const TBudgetRow& row : rows)
        budget.Add(row);
    return budget;
}

}  // namespace calc
