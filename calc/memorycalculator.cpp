#include "calc/memorycalculator.h"

#include "calc/model.h"

namespace calc {

namespace {

TMemoryFieldOptions Input(int decimals) {
    return {.DecimalPlaces = decimals, .TrimTrailingZeroes = true};
}

TMemoryFieldOptions BoundedInput(int decimals, long double lower, long double upper) {
    return {.DecimalPlaces = decimals,
            .TrimTrailingZeroes = true,
            .BoundsEnabled = true,
            .BoundLower = lower,
            .BoundUpper = upper};
}

TMemoryFieldOptions Result(int decimals, bool trim) {
    return {.DecimalPlaces = decimals, .TrimTrailingZeroes = trim, .ReadOnly = true};
}

}  // namespace

// Decimals, bounds and initial values as the window's form declares them;
// the start-up calculation replaces the results.
TMemoryCalculator::TMemoryCalculator()
    : edtTemp(Focus, BoundedInput(kTempDecimals, 30, 60), kDefaultTemp),
      edtFlow(Focus, BoundedInput(kFlowDecimals, 0, 20), kDefaultFlow),
      edtDilutionFlow(Focus, BoundedInput(kDilutionFlowDecimals, 0, 20), kDefaultDilutionFlow),
      edtPbar(Focus, Input(kConditionDecimals), kDefaultPbar),
      edtDp(Focus, Input(kConditionDecimals), kDefaultDp),
      edtRefTemp(Focus, Input(kConditionDecimals), kDefaultRefTemp),
      edtSatFlow(Focus, Result(kSatFlowDecimals, false), 6.4851L),
      edtSaturator(Focus, Result(kOutputDecimals, true), 405.4L),
      edtUncorrectedOput(Focus, Result(kOutputDecimals, true), 37.48L),
      edtRatio(Focus, Result(kOutputDecimals, true), 1.08L),
      edtDilutedOput(Focus, Result(kOutputDecimals, true), 40.51L),
      Calculator(CalculatorFields(), *this) {
    edtSatFlow.OnChange = [this] { Calculator.edtSatFlowChange(); };
    edtSaturator.OnChange = [this] { Calculator.edtSaturatorChange(); };
    edtDilutedOput.OnChange = [this] { Calculator.edtDilutedOputChange(); };
}

TCalculatorFields TMemoryCalculator::CalculatorFields() {
    return {edtTemp,    edtFlow,       edtDilutionFlow, edtPbar,      edtDp,
            edtRefTemp, edtSatConc,    edtSatFlow,      edtSaturator, edtUncorrectedOput,
            edtRatio,   edtDilutedOput};
}

void TMemoryCalculator::Start() {
    Calculator.UpdateReservoirConditions();
    Calculator.UpdateOutputs();
    btnApplyEnabled = false;
}

void TMemoryCalculator::SetAllowInput(bool checked) {
    if (checked == cbxAllowInput_)
        return;
    cbxAllowInput_ = checked;
    Calculator.cbxAllowInputClick();
}

std::vector<std::pair<std::string, const TCalcTextField*>> TMemoryCalculator::Fields() const {
    return {{"edtTemp", &edtTemp},
            {"edtFlow", &edtFlow},
            {"edtDilutionFlow", &edtDilutionFlow},
            {"edtPbar", &edtPbar},
            {"edtDp", &edtDp},
            {"edtRefTemp", &edtRefTemp},
            {"edtSatConc", &edtSatConc},
            {"edtSatFlow", &edtSatFlow},
            {"edtSaturator", &edtSaturator},
            {"edtUncorrectedOput", &edtUncorrectedOput},
            {"edtDilutedOput", &edtDilutedOput},
            {"edtRatio", &edtRatio}};
}

}  // namespace calc
