#include "calc/model.h"
#include "calc/uncertainty.h"
#include "platform/fperror.h"
#include "platform/numtext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace calc;

namespace {

// A value as a field with `decimals` holds it.
std::string Held(long double value, int decimals) {
    return platform::FloatToStrFixed(value, decimals);
}

struct TForwardCase {
    long double Temp, Flow, Dilution, Pbar, Dp, RefTemp;
    const char* SatConcText;
    const char* SatFlow;
    const char* Saturator;
    const char* Uncorrected;
    const char* Diluted;
    const char* Ratio;
};

// Each step reads the previous results as the window holds them.
TEST(ConcentrationModel, ForwardExamplesMatchTheCalibrationSheet) {
    const TForwardCase cases[] = {
        {40, 6, 10, 29.96L, 0, 20, "6.25E+01", "6.407207", "400.45", "37.48", "40.02", "1.07"},
        {30, 2, 5, 29.96L, 0, 20, "2.95E+01", "2.067534", "60.99", "11.80", "12.19", "1.03"},
        {60, 20, 20, 29.96L, 0, 20, "2.44E+02", "22.721392", "5544.02", "243.76", "276.92", "1.14"},
        {40, 6, 10, 29.92L, 10, 25, "6.25E+01", "6.156819", "384.80", "37.48", "38.46", "1.03"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.SatFlow);
        const std::string text = SatConcText(CalcSatConc(c.Temp));
        EXPECT_EQ(text, c.SatConcText);
        const long double shown = platform::StrToFloat(text);
        const long double qsat =
            platform::StrToFloat(Held(CalcSatFlow(c.Flow, c.Pbar, c.Dp, c.Temp, c.RefTemp), 6));
        EXPECT_EQ(Held(qsat, 6), c.SatFlow);
        const long double s = platform::StrToFloat(Held(CalcReservoirOutput(shown, qsat), 2));
        EXPECT_EQ(Held(s, 2), c.Saturator);
        const long double cu =
            platform::StrToFloat(Held(CalcUncorrectedOutput(shown, c.Flow, c.Dilution), 2));
        EXPECT_EQ(Held(cu, 2), c.Uncorrected);
        const long double cd =
            platform::StrToFloat(Held(CalcDilutedOutput(s, c.Flow, c.Dilution), 2));
        EXPECT_EQ(Held(cd, 2), c.Diluted);
        EXPECT_EQ(Held(CalcRatio(cd, cu), 2), c.Ratio);
    }
}

TEST(ConcentrationModel, SaturatedConcentrationAtTheReservoirTemperatures) {
    EXPECT_NEAR(static_cast<double>(CalcSatConc(40)), 62.510151, 5e-7);
    EXPECT_NEAR(static_cast<double>(CalcSatConc(20)), 13.1723, 5e-5);
    EXPECT_NEAR(static_cast<double>(CalcSatConc(60)), 244.258, 5e-4);
    EXPECT_EQ(SatConcText(CalcSatConc(20)), "1.32E+01");
}

TEST(ConcentrationModel, SaturatedConcentrationTextUsesTheLocaleSeparator) {
    platform::FormatSettings().DecimalSeparator = ',';
    const std::string text = SatConcText(CalcSatConc(40));
    platform::FormatSettings().DecimalSeparator = '.';
    EXPECT_EQ(text, "6,25E+01");
}

TEST(ConcentrationModel, BackCalculationInvertsTheForwardSteps) {
    const long double csat = CalcSatConc(40);
    const struct {
        long double Wanted, Flow;
    } cases[] = {{40.02L, 5.99887L}, {10, 1.49829L}, {100, 15.00317L}, {1, 0.14981L}};
    for (const auto& c : cases) {
        EXPECT_NEAR(static_cast<double>(CalcFlowForOutput(c.Wanted, csat, 29.96L, 0, 40, 20, 10)),
                    static_cast<double>(c.Flow), 5e-6)
            << static_cast<double>(c.Wanted);
    }
    EXPECT_EQ(Held(CalcFlowForOutput(40.02L, csat, 29.96L, 0, 40, 20, 10), 1), "6.0");
}

TEST(ConcentrationModel, WantedOutputBeyondTheSaturatedStreamGivesNoPositiveFlow) {
    const long double csat = CalcSatConc(40);
    const long double limit = 1000 * 29.95L * CalcTempRatio(40, 20) * csat / 29.96L;
    EXPECT_NEAR(static_cast<double>(limit), 66752.58, 5e-3);
    EXPECT_LT(CalcFlowForOutput(limit * 1.01L, csat, 29.96L, 0, 40, 20, 10), 0);
    EXPECT_LT(CalcFlowForOutput(100000, csat, 29.96L, 0, 40, 20, 10), 0);
}

// Outputs held with two decimals differ by whole hundredths: 40.35 against
// 40 is 0.35, a tie of 0.875 % that shows 0.88, and exactly 1 % is not off.
TEST(ConcentrationModel, DeliveredAgainstWantedOutputIsCountedInHundredths) {
    const struct {
        long double Delivered, Wanted;
        const char* Difference;
        const char* Percent;
        bool Off;
    } cases[] = {
        {40.35L, 40, "0.35", "0.88", false},    {0.67L, 1, "-0.33", "-33.00", true},
        {101, 100, "1.00", "1.00", false},      {98.99L, 100, "-1.01", "-1.01", true},
        {99.96L, 100, "-0.04", "-0.04", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<double>(c.Delivered));
        EXPECT_EQ(Held(CalcOutputDifference(c.Delivered, c.Wanted), 2), c.Difference);
        EXPECT_EQ(Held(CalcOutputDifferencePercent(c.Delivered, c.Wanted), 2), c.Percent);
        EXPECT_EQ(IsDeliveryOff(c.Delivered, c.Wanted), c.Off);
    }
    EXPECT_EQ(Held(CalcDeliveredOutput(0.1L, 10, 29.96L, 0, 40, 20), 2), "0.67");
}

TEST(ConcentrationModel, ZeroDivisorsRaiseInsteadOfInfinities) {
    const long double csat = CalcSatConc(40);
    EXPECT_THROW(CalcUncorrectedOutput(62.5L, 6, -0.006L), platform::EZeroDivide);
    EXPECT_THROW(CalcDilutedOutput(400.45L, 6, -0.006L), platform::EZeroDivide);
    EXPECT_THROW(CalcRatio(40.02L, 0), platform::EZeroDivide);
    EXPECT_THROW(CalcFlowForOutput(0, csat, 29.96L, 0, 40, 20, 10), platform::EZeroDivide);
}

// No absolute pressure in the saturator, or a reference temperature at or
// below absolute zero, is no kit's: refused with the input named, also
// where the arithmetic would have gone on to a number.
TEST(ConcentrationModel, ImpossibleSaturatorConditionsAreRefusedByName) {
    const struct {
        long double Pbar, Dp, RefTemp;
        EImpossibleInput::TInput Input;
        const char* Message;
    } cases[] = {
        {-1, 0, 20, EImpossibleInput::iiPbar,
         "Atmospheric pressure: the absolute pressure in the saturator must be above 0 in. Hg"},
        {0, 10, 20, EImpossibleInput::iiPbar,
         "Atmospheric pressure: the absolute pressure in the saturator must be above 0 in. Hg"},
        {29.96L, -1e6L, 20, EImpossibleInput::iiDp,
         "dp: the absolute pressure in the saturator (atmospheric pressure + dp / 13.595) must be "
         "above 0 in. Hg"},
        {1, -13.595L, 20, EImpossibleInput::iiDp, nullptr},
        {29.96L, 0, -273.15L, EImpossibleInput::iiRefTemp,
         "Reference temperature: must be above absolute zero (-273.15 \u00B0C)"},
        {29.96L, 0, -500, EImpossibleInput::iiRefTemp, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<double>(c.Pbar));
        try {
            CheckSaturatorConditions(c.Pbar, c.Dp, c.RefTemp);
            ADD_FAILURE() << "accepted";
        } catch (const EImpossibleInput& e) {
            EXPECT_EQ(e.Input, c.Input);
            if (c.Message) {
                EXPECT_STREQ(e.what(), c.Message);
            }
        }
        EXPECT_THROW(CalcSatFlow(6, c.Pbar, c.Dp, 40, c.RefTemp), EImpossibleInput);
    }
    EXPECT_THROW(CalcTempRatio(40, -273.15L), EImpossibleInput);
    // What a lab could have: a low barometer, a saturator below it, a cold reference.
    EXPECT_NO_THROW(CheckSaturatorConditions(20, -100, -40));
    EXPECT_NO_THROW(CheckSaturatorConditions(35, 50, 500));
}

TEST(ConcentrationModel, ImpossibleTemperaturesRaiseInvalidOperation) {
    EXPECT_THROW(CalcSatConc(-300), platform::EInvalidOp);
    EXPECT_THROW(CalcSatConc(-273.15L), platform::EZeroDivide);
}

}  // namespace

namespace uncertainty {

const TFlowCapacities kCapacities{20, 20};

// Cd of the unrounded model, with Csat as the vapour-pressure equation
// gives it times (1 + relative), plus what its rounding adds.
long double ModelOutput(const TModelInputs& in, long double relative = 0, long double added = 0) {
    const long double satConc = CalcSatConc(in.Temp) * (1 + relative) + added;
    const long double satFlow = CalcSatFlow(in.Flow, in.Pbar, in.Dp, in.Temp, in.RefTemp);
    return CalcDilutedOutput(CalcReservoirOutput(satConc, satFlow), in.Flow, in.DilutionFlow);
}

// The partial derivative of the model in one input, by central difference.
long double NumericSensitivity(TModelInputs in, long double TModelInputs::*input) {
    const long double h = 1e-5L * std::max(1.0L, std::fabs(in.*input));
    TModelInputs up = in, down = in;
    up.*input += h;
    down.*input -= h;
    return (ModelOutput(up) - ModelOutput(down)) / (2 * h);
}

TEST(UncertaintyBudget, TheDesignExampleHasItsRowsInOrderAndUOfAboutOneNanogram) {
    const TModelInputs in{40, 6, 10, 29.96L, 0, 20};
    const TUncertaintyBudget b = CalcUncertaintyBudget(in, kCapacities);
    const char* const names[] = {"temperature", "reservoirFlow",   "dilutionFlow",   "pbar", "dp",
                                 "refTemp",     "satConcEquation", "satConcRounding"};
    ASSERT_EQ(b.Rows.size(), std::size(names));
    for (std::size_t i = 0; i < b.Rows.size(); ++i)
        EXPECT_EQ(b.Rows[i].Quantity, names[i]);
    EXPECT_NEAR(b.Value, 40.0275338L, 1e-6);
    EXPECT_NEAR(b.Rows[0].Contribution, 0.350712L, 1e-6);
    EXPECT_NEAR(b.Rows[7].StandardUncertainty, 0.05L / std::sqrt(3.0L), 1e-12);
    EXPECT_NEAR(b.Combined, 0.4765719L, 1e-6);
    EXPECT_EQ(b.CoverageFactor, 2);
    EXPECT_NEAR(b.Expanded, 0.9531437L, 1e-6);
    EXPECT_NEAR(b.ExpandedPercent(), 2.38122L, 1e-5);
    const std::vector<TBudgetRow> largest = b.Largest(3);
    ASSERT_EQ(largest.size(), 3u);
    EXPECT_EQ(largest[0].Quantity, "temperature");
    EXPECT_EQ(largest[1].Quantity, "satConcEquation");
    EXPECT_EQ(largest[2].Quantity, "reservoirFlow");
}

// Analytic sensitivities against the model's own chain, to 7 significant
// digits, at the design example, a zero-gas point and an odd saturator.
TEST(UncertaintyBudget, SensitivitiesAreThoseOfTheUnroundedModel) {
    const TModelInputs points[] = {
        {40, 6, 10, 29.96L, 0, 20}, {30, 0, 5, 29.96L, 0, 20}, {55.5L, 17.3L, 2.5L, 28.1L, 12, 25}};
    long double TModelInputs::*const inputs[] = {
        &TModelInputs::Temp, &TModelInputs::Flow, &TModelInputs::DilutionFlow,
        &TModelInputs::Pbar, &TModelInputs::Dp,   &TModelInputs::RefTemp};
    for (const TModelInputs& in : points) {
        SCOPED_TRACE(static_cast<double>(in.Temp));
        const TUncertaintyBudget b = CalcUncertaintyBudget(in, kCapacities);
        for (std::size_t i = 0; i < std::size(inputs); ++i) {
            const long double numeric = NumericSensitivity(in, inputs[i]);
            EXPECT_NEAR(b.Rows[i].Sensitivity, numeric, 1e-7L * std::fabs(numeric) + 1e-12L)
                << b.Rows[i].Quantity;
        }
        const long double perSatConc = ModelOutput(in) / CalcSatConc(in.Temp);
        EXPECT_NEAR(b.Rows[6].Sensitivity, perSatConc, 1e-9L * perSatConc + 1e-15L);
    }
}

TEST(UncertaintyBudget, AZeroGasPointHasAFlowRowAndNothingElse) {
    const TUncertaintyBudget b = CalcUncertaintyBudget({40, 0, 10, 29.96L, 0, 20}, kCapacities);
    EXPECT_EQ(b.Value, 0);
    EXPECT_NEAR(b.Rows[1].Contribution, 6.675258L * 0.02L / std::sqrt(3.0L), 1e-6);
    EXPECT_EQ(b.Combined, b.Rows[1].Contribution);
    for (const TBudgetRow& row : b.Rows)
        EXPECT_FALSE(std::signbit(row.Sensitivity)) << row.Quantity;
}

TEST(UncertaintyBudget, AWholeRowIsAddedAndRecombined) {
    TUncertaintyBudget b = CalcUncertaintyBudget({40, 6, 10, 29.96L, 0, 20}, kCapacities);
    const long double before = b.Combined;
    b.AddWhole(kUncStability, 0.3L);
    EXPECT_EQ(b.Rows.back().Quantity, "stability");
    EXPECT_EQ(b.Rows.back().Contribution, 0.3L);
    EXPECT_NEAR(b.Combined, std::sqrt(before * before + 0.09L), 1e-15);
    EXPECT_NEAR(b.Expanded, 2 * b.Combined, 1e-15);
}

TEST(UncertaintyBudget, AccuraciesThatMayNotStandAreRefusedByKey) {
    TAccuracies a;
    a.DpAccuracy = -0.01L;
    EXPECT_EQ(AccuraciesError(a), "DpAccuracy must not be negative");
    a = {};
    a.CoverageFactor = 0;
    EXPECT_EQ(AccuraciesError(a), "CoverageFactor must be more than 0");
    EXPECT_THROW(CalcUncertaintyBudget({40, 6, 10, 29.96L, 0, 20}, kCapacities, a),
                 std::invalid_argument);
    a = {};
    a.RefTempAccuracy = 0;
    EXPECT_EQ(AccuraciesError(a), "");
}

TEST(UncertaintyBudget, TheValueIsShownToTheDecimalOfUsTwoSignificantDigits) {
    EXPECT_EQ(ValueWithUncertaintyText(40.05L, 0.9531L, 2), "40.05 \u00B1 0.95 ng/l (k = 2)");
    EXPECT_EQ(ValueWithUncertaintyText(40.05L, 1.234L, 2), "40.1 \u00B1 1.2 ng/l (k = 2)");
    EXPECT_EQ(ValueWithUncertaintyText(40.02L, 0.996L, 2.5L), "40.0 \u00B1 1.0 ng/l (k = 2.5)");
    EXPECT_EQ(ValueWithUncertaintyText(276.92L, 12.5L, 2), "277 \u00B1 13 ng/l (k = 2)");
    EXPECT_EQ(ValueWithUncertaintyText(1234.5L, 123, 2), "1230 \u00B1 120 ng/l (k = 2)");
    EXPECT_EQ(ValueWithUncertaintyText(0, 0.15L, 2), "0.00 \u00B1 0.15 ng/l (k = 2)");
    EXPECT_EQ(ValueWithUncertaintyText(40.02L, 0, 2), "40.02 \u00B1 0.00 ng/l (k = 2)");
    platform::FormatSettings().DecimalSeparator = ',';
    EXPECT_EQ(ValueWithUncertaintyText(40.05L, 0.9531L, 2), "40,05 \u00B1 0,95 ng/l (k = 2)");
    platform::FormatSettings().DecimalSeparator = '.';
}

// GUM Supplement 1: the inputs drawn from their own distributions
// (rectangular half-widths, the equation's relative uncertainty normal, the
// rounding of Csat rectangular) through the model; the draws' standard
// deviation times k.
long double MonteCarloExpanded(const TModelInputs& in, const TAccuracies& a, int draws) {
    std::mt19937_64 random(20261207);
    const auto rectangular = [&random](long double halfWidth) {
        return std::uniform_real_distribution<double>(-1, 1)(random) * halfWidth;
    };
    std::normal_distribution<double> equation(0, static_cast<double>(a.SatConcPercent / 100));
    const auto flowHalfWidth = [&a](long double flow, long double capacity) {
        return (a.FlowReadingPercent * flow + a.FlowFullScalePercent * capacity) / 100;
    };
    const long double roundingHalfWidth =
        0.5L * std::pow(10.0L, std::floor(std::log10(CalcSatConc(in.Temp))) - 2);
    long double sum = 0, sumOfSquares = 0;
    for (int i = 0; i < draws; ++i) {
        TModelInputs x = in;
        x.Temp += rectangular(a.TempAccuracy);
        x.Flow += rectangular(flowHalfWidth(in.Flow, kCapacities.Flow));
        x.DilutionFlow += rectangular(flowHalfWidth(in.DilutionFlow, kCapacities.DilutionFlow));
        x.Pbar += rectangular(a.PbarAccuracy);
        x.Dp += rectangular(a.DpAccuracy);
        x.RefTemp += rectangular(a.RefTempAccuracy);
        const long double cd = ModelOutput(x, equation(random), rectangular(roundingHalfWidth));
        sum += cd;
        sumOfSquares += cd * cd;
    }
    const long double mean = sum / draws;
    return a.CoverageFactor * std::sqrt((sumOfSquares - draws * mean * mean) / (draws - 1));
}

// The budget's U against the draws, within 3 %.
bool AgreesWithTheDraws(const TModelInputs& in, const TAccuracies& budgetAccuracies) {
    const long double budget = CalcUncertaintyBudget(in, kCapacities, budgetAccuracies).Expanded;
    const long double drawn = MonteCarloExpanded(in, TAccuracies{}, 100000);
    return std::fabs(budget / drawn - 1) < 0.03L;
}

// The planted fault: each rectangular half-width taken as if it were the
// standard uncertainty (u = a instead of a/√3).
TAccuracies HalfWidthsAsStandardUncertainties() {
    const long double root3 = std::sqrt(3.0L);
    TAccuracies a;
    for (long double TAccuracies::*m :
         {&TAccuracies::TempAccuracy, &TAccuracies::FlowReadingPercent,
          &TAccuracies::FlowFullScalePercent, &TAccuracies::PbarAccuracy, &TAccuracies::DpAccuracy,
          &TAccuracies::RefTempAccuracy})
        a.*m *= root3;
    return a;
}

TEST(UncertaintyBudget, AgreesWithAMonteCarloPropagationAndCatchesAPlantedFault) {
    const TModelInputs points[] = {
        {30, 2, 5, 29.96L, 0, 20}, {45, 10, 15, 29.5L, 5, 20}, {60, 20, 20, 30.1L, 0, 22}};
    for (const TModelInputs& in : points) {
        SCOPED_TRACE(static_cast<double>(in.Temp));
        EXPECT_TRUE(AgreesWithTheDraws(in, TAccuracies{}));
        EXPECT_FALSE(AgreesWithTheDraws(in, HalfWidthsAsStandardUncertainties()));
    }
}

}  // namespace uncertainty
