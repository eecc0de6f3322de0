#include "calc/calculator.h"

#include "calc/messages.h"
#include "calc/model.h"
#include "platform/fperror.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"

namespace calc {

namespace {

// A guard: the calculator's automatic recalculation swallows its
// arithmetic and conversion errors; fields not yet written keep their values.
template <typename Steps>
void Guarded(Steps steps) {
    try {
        steps();
    } catch (const platform::EMathError&) {
    } catch (const platform::EConvertError&) {
    }
}

}  // namespace

std::string DefaultText(long double value) {
    return platform::FloatToStrGeneral(value);
}

TCalculator::TCalculator(const TCalculatorFields& fields, TCalculatorControls& controls)
    : f_(fields), controls_(controls) {}

// Csat as the reservoir-output field shows it: three significant digits.
long double TCalculator::SatConcShown() const {
    return platform::StrToFloat(f_.edtSatConc.Text());
}

void TCalculator::UpdateSatConc() {
    SatConc = CalcSatConc(f_.edtTemp.AsFloat());
}

void TCalculator::UpdateReservoirConditions() {
    Guarded([this] {
        UpdateSatConc();
        f_.edtSatConc.SetText(SatConcText(SatConc));
        // A changed text runs edtSatFlowChange and the rest of the chain.
        f_.edtSatFlow.SetAsFloat(CalcSatFlow(f_.edtFlow.AsFloat(), f_.edtPbar.AsFloat(),
                                             f_.edtDp.AsFloat(), f_.edtTemp.AsFloat(),
                                             f_.edtRefTemp.AsFloat()));
    });
}

void TCalculator::SetUncorrectedOutput() {
    f_.edtUncorrectedOput.SetAsFloat(
        CalcUncorrectedOutput(SatConcShown(), f_.edtFlow.AsFloat(), f_.edtDilutionFlow.AsFloat()));
}

void TCalculator::UpdateOutputs() {
    Guarded([this] { SetUncorrectedOutput(); });
    Guarded([this] {
        f_.edtDilutedOput.SetAsFloat(CalcDilutedOutput(
            f_.edtSaturator.AsFloat(), f_.edtFlow.AsFloat(), f_.edtDilutionFlow.AsFloat()));
    });
}

void TCalculator::RejectBackCalculation(const std::string& message) {
    platform::ShowError(message);
    f_.edtDilutedOput.SetFocus();
}

// CalcFlow from the wanted output; false (CalcFlow kept) when the wanted
// output or the dilution flow gives no flow at all.
bool TCalculator::TryCalcFlow(long double actualPressure, long double tempRatio) {
    try {
        const long double dilutionFlow = f_.edtDilutionFlow.AsFloat();
        const long double wanted = f_.edtDilutedOput.AsFloat();
        CalcFlow = CalcFlowFromConditions(wanted, SatConc, actualPressure, tempRatio, dilutionFlow);
        return true;
    } catch (const platform::EMathError&) {
        return false;
    } catch (const platform::EConvertError&) {
        return false;
    }
}

void TCalculator::BackCalculateFlow() {
    // Unguarded: a bad saturator condition is the operator's to see in the
    // application's error box.
    const long double actualPressure = CalcActualPressure(f_.edtPbar.AsFloat(), f_.edtDp.AsFloat());
    const long double tempRatio = CalcTempRatio(f_.edtTemp.AsFloat(), f_.edtRefTemp.AsFloat());

    if (!TryCalcFlow(actualPressure, tempRatio)) {
        RejectBackCalculation(kInvalidConcentration);
        return;
    }
    if (CalcFlow < f_.edtFlow.BoundLower()) {
        RejectBackCalculation(kFlowBelowLimit +
                              platform::FloatToStrGeneral(f_.edtFlow.BoundLower()));
        return;
    }
    if (CalcFlow > f_.edtFlow.BoundUpper()) {
        RejectBackCalculation(kFlowAboveLimit +
                              platform::FloatToStrGeneral(f_.edtFlow.BoundUpper()));
        return;
    }

    f_.edtFlow.SetAsFloat(CalcFlow);
    Guarded([this] { SetUncorrectedOutput(); });
    Guarded([this] {
        f_.edtRatio.SetAsFloat(
            CalcRatio(f_.edtDilutedOput.AsFloat(), f_.edtUncorrectedOput.AsFloat()));
        controls_.EnableApply();
    });
}

void TCalculator::edtExit() {
    UpdateReservoirConditions();
}

void TCalculator::edtKeyDown(int key) {
    if (key == vkReturn)
        UpdateReservoirConditions();
}

void TCalculator::edtDilutionFlowExit() {
    UpdateOutputs();
}

void TCalculator::edtDilutionFlowKeyDown(int key) {
    if (key != vkReturn)
        return;
    UpdateOutputs();
    try {
        controls_.FocusClose();
    } catch (...) {
        // The Close button may be unable to take the focus (hidden page,
        // disabled window); the calculation has already run.
    }
}

void TCalculator::edtSatFlowChange() {
    Guarded([this] {
        f_.edtSaturator.SetAsFloat(CalcReservoirOutput(SatConcShown(), f_.edtSatFlow.AsFloat()));
    });
}

void TCalculator::edtSaturatorChange() {
    UpdateOutputs();
}

void TCalculator::edtDilutedOputChange() {
    // While the operator types a wanted output, the ratio and Apply wait.
    if (f_.edtDilutedOput.Focused())
        return;
    Guarded([this] {
        f_.edtRatio.SetAsFloat(
            CalcRatio(f_.edtDilutedOput.AsFloat(), f_.edtUncorrectedOput.AsFloat()));
        controls_.EnableApply();
    });
}

void TCalculator::edtDilutedOputExit() {
    if (!controls_.AllowInputChecked())
        return;
    // An Enter has already run the back-calculation for this entry.
    if (!ConcEntered)
        BackCalculateFlow();
    ConcEntered = false;
}

void TCalculator::edtDilutedOputKeyDown(int key) {
    if (!controls_.AllowInputChecked() || key != vkReturn)
        return;
    ConcEntered = true;
    BackCalculateFlow();
}

void TCalculator::cbxAllowInputClick() {
    const bool checked = controls_.AllowInputChecked();
    f_.edtDilutedOput.SetReadOnly(!checked);
    f_.edtFlow.SetReadOnly(checked);
    if (checked)
        f_.edtDilutedOput.SetFocus();
}

void TCalculator::btnCalculateClick() {
    if (controls_.AllowInputChecked()) {
        BackCalculateFlow();
        return;
    }
    UpdateReservoirConditions();
    UpdateOutputs();
}

void TCalculator::btnDefaultClick() {
    f_.edtTemp.SetText(DefaultText(kDefaultTemp));
    f_.edtPbar.SetText(DefaultText(kDefaultPbar));
    f_.edtDp.SetText(DefaultText(kDefaultDp));
    f_.edtFlow.SetText(DefaultText(kDefaultFlow));
    f_.edtRefTemp.SetText(DefaultText(kDefaultRefTemp));
    f_.edtDilutionFlow.SetText(DefaultText(kDefaultDilutionFlow));
    UpdateReservoirConditions();
    UpdateOutputs();
}

}  // namespace calc
