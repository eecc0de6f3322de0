// How sure the diluted output concentration is: its first-order uncertainty
// budget, row by row, with the combined standard uncertainty and the
// expanded uncertainty U at a coverage factor k.
//
// One budget for everything that shows or keeps a concentration with its
// uncertainty (the window, vapcal-calc, the record, calibration runs and
// their report): each asks CalcUncertaintyBudget for the model inputs as
// their fields hold them and adds its own rows (a run's stability) with
// TUncertaintyBudget::Add.
//
// The sensitivity coefficients are the analytic partial derivatives of the
// unrounded model Cd = Csat(t) · F · 29.95 · Tr / Pact / (F/1000 + D), with
// the unrounded Csat. The instruments' accuracies are half-widths of
// rectangular distributions (u = a/√3); the vapour-pressure equation's is a
// relative standard uncertainty (normal); the window's rounding of Csat to
// three significant digits is rectangular with half a unit of the third
// digit. Units are the model's (calc/model.h); every contribution and the
// combined and expanded uncertainties are in ng/l.
#pragma once

#include <string>
#include <vector>

namespace calc {

// What the lab knows of its instruments, as kept in the settings file's
// Uncertainty section. Every accuracy is >= 0; the coverage factor > 0.
struct TAccuracies {
    long double TempAccuracy = 0.2L;          // °C, half-width
    long double FlowReadingPercent = 0.5L;    // % of the flow's reading, half-width
    long double FlowFullScalePercent = 0.1L;  // % of the controller's capacity, half-width
    long double PbarAccuracy = 0.03L;         // in. Hg, half-width
    long double DpAccuracy = 0.05L;           // in. H2O, half-width
    long double RefTempAccuracy = 0.0L;       // °C, half-width
    long double SatConcPercent = 0.5L;        // relative standard uncertainty of Csat, %
    long double CoverageFactor = 2.0L;        // k
};

// One accuracy by its settings key, for whatever reads, writes or edits
// them all (the settings file, the Advanced page, vapcal-calc's options).
struct TAccuracyKey {
    const char* Key;  // "TempAccuracy", ...
    long double TAccuracies::*Member;
    const char* Unit;  // of the value as typed: "°C", "%", "in. Hg", ...; "" for k
};

inline constexpr const char* kUncertaintySection = "Uncertainty";

inline constexpr TAccuracyKey kAccuracyKeys[] = {
    {"TempAccuracy", &TAccuracies::TempAccuracy, "\u00B0C"},
    {"FlowReadingPercent", &TAccuracies::FlowReadingPercent, "%"},
    {"FlowFullScalePercent", &TAccuracies::FlowFullScalePercent, "%"},
    {"PbarAccuracy", &TAccuracies::PbarAccuracy, "in. Hg"},
    {"DpAccuracy", &TAccuracies::DpAccuracy, "in. H2O"},
    {"RefTempAccuracy", &TAccuracies::RefTempAccuracy, "\u00B0C"},
    {"SatConcPercent", &TAccuracies::SatConcPercent, "%"},
    {"CoverageFactor", &TAccuracies::CoverageFactor, ""},
};

// Whether `value` may stand under `key`: an accuracy >= 0, a coverage
// factor > 0, both finite. Empty when it may, otherwise the refusal naming
// the key ("TempAccuracy must not be negative").
std::string AccuracyError(const TAccuracyKey& key, long double value);
// The first refusal among all of `accuracies`; empty when all may stand.
std::string AccuraciesError(const TAccuracies& accuracies);

// The budget's quantities, in the order of its rows.
inline constexpr const char* kUncTemperature = "temperature";
inline constexpr const char* kUncReservoirFlow = "reservoirFlow";
inline constexpr const char* kUncDilutionFlow = "dilutionFlow";
inline constexpr const char* kUncPbar = "pbar";
inline constexpr const char* kUncDp = "dp";
inline constexpr const char* kUncRefTemp = "refTemp";
inline constexpr const char* kUncSatConcEquation = "satConcEquation";
inline constexpr const char* kUncSatConcRounding = "satConcRounding";
// The row a calibration run adds: the standard deviation of the delivered
// concentration over a dwell, in ng/l, taken whole (sensitivity 1).
inline constexpr const char* kUncStability = "stability";

// The model's inputs as their fields hold them.
struct TModelInputs {
    long double Temp = 0;          // °C
    long double Flow = 0;          // ml/min
    long double DilutionFlow = 0;  // l/min
    long double Pbar = 0;          // in. Hg
    long double Dp = 0;            // in. H2O
    long double RefTemp = 0;       // °C
};

// The flow controllers' capacities (the flow fields' upper bounds), on
// which the full-scale part of each flow's accuracy stands.
struct TFlowCapacities {
    long double Flow = 0;          // ml/min
    long double DilutionFlow = 0;  // l/min
};

struct TBudgetRow {
    std::string Quantity;             // kUncTemperature, ...
    std::string Unit;                 // of the standard uncertainty: "°C", "ng/ml", ...
    long double StandardUncertainty;  // u, in Unit
    long double Sensitivity;          // c = ∂Cd/∂x, ng/l per Unit
    long double Contribution;         // |c|·u, ng/l
};

struct TUncertaintyBudget {
    long double Value = 0;  // Cd of the unrounded model, ng/l
    std::vector<TBudgetRow> Rows;
    long double Combined = 0;        // u_c: root sum of squares of the contributions
    long double CoverageFactor = 2;  // k
    long double Expanded = 0;        // U = k · u_c

    // 100 · U / Value; raises the platform's division error for a zero value.
    long double ExpandedPercent() const;
    // Adds a row (its contribution is |c|·u, whatever the caller put there)
    // and recombines u_c and U.
    void Add(TBudgetRow row);
    // Adds a row whose standard uncertainty is already in ng/l (sensitivity
    // 1), as a run's stability is, and recombines.
    void AddWhole(const std::string& quantity, long double standardUncertainty);
    // The rows with the largest contributions first, at most `count`.
    std::vector<TBudgetRow> Largest(std::size_t count) const;
};

// The decimal place a value with the expanded uncertainty `expanded` is
// printed to: the one that leaves U two significant digits after the
// rounding (0.996 is 1.0, not 1.00), negative for tens and above; a U of
// zero keeps the two held decimals. Whatever prints such a value (this
// text, RoundedUncertainty, a run's report and its table) rounds with
// these two.
int UncertaintyDecimals(long double expanded);
// `value` rounded to `decimals` half away from zero on its decimal text
// (negative: to tens, hundreds, ...), with the operator's separator.
std::string RoundedText(long double value, int decimals);

// A concentration and its U as they are shown: U rounded to two
// significant digits, the value to the same decimal place (both half away
// from zero on their decimal text), k as the general number text, all with
// the operator's separator. A U of zero keeps the value's two held decimals.
struct TRoundedUncertainty {
    std::string Value;           // "40.05"
    std::string Expanded;        // "0.95"
    std::string CoverageFactor;  // "2"
};
TRoundedUncertainty RoundedUncertainty(long double value, long double expanded,
                                       long double coverageFactor);

// "40.05 ± 0.95 ng/l (k = 2)", rounded as RoundedUncertainty rounds.
std::string ValueWithUncertaintyText(long double value, long double expanded,
                                     long double coverageFactor);

// "Largest contributions (ng/l): temperature 0.35, satConcEquation 0.20,
// reservoirFlow 0.19": the `count` largest, each to two significant
// digits, for a hint beside a concentration with its U.
std::string LargestContributionsText(const TUncertaintyBudget& budget, std::size_t count = 3);

// The budget of Cd for `inputs`. Raises std::invalid_argument with
// AccuraciesError's text for accuracies that may not stand, and the
// platform's floating-point error where the model has no value (a zero total
// flow or pressure). A zero reservoir flow (a zero-gas point) has a budget:
// Cd is 0, but its flow row is not.
TUncertaintyBudget CalcUncertaintyBudget(const TModelInputs& inputs,
                                         const TFlowCapacities& capacities,
                                         const TAccuracies& accuracies = {});

}  // namespace calc
