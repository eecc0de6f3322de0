#include "calc/calculator.h"

#include "calc/messages.h"
#include "calc/model.h"
#include "platform/fperror.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"

#include <cmath>
#include <limits>

namespace calc {

namespace {

// A result read by a later step was not computed: the later one is not
// either. Carries no message of its own; the first failure was reported.
struct ENotComputed {};

// A result field's value as a later step reads it.
long double Computed(const TCalcField& result) {
    if (result.Text().empty())
        throw ENotComputed{};
    return result.AsFloat();
}

std::string Replace(std::string text, const std::string& first, const std::string& second) {
    text.replace(text.find("%s"), 2, first);
    text.replace(text.find("%s"), 2, second);
    return text;
}

}  // namespace

std::string DefaultText(long double value) {
    return platform::FloatToStrGeneral(value);
}

TCalculator::TCalculator(const TCalculatorFields& fields, TCalculatorControls& controls)
    : f_(fields), controls_(controls) {}

// Writes a computed result, or clears it when it cannot be computed; then
// makes sure what follows from it runs. A changed text runs `follow` through
// the field's change handler; an unchanged one (the same text, or still
// cleared) runs it here, because `follow` reads other fields as well.
template <typename Compute>
void TCalculator::Derive(TCalcField& result, Compute compute, TFollow follow) {
    const std::string before = result.Text();
    try {
        result.SetAsFloat(compute());
    } catch (const platform::EMathError& e) {
        result.Clear();
        StepFailed(result, e.what());
    } catch (const platform::EConvertError& e) {
        result.Clear();
        StepFailed(result, e.what());
    } catch (const ENotComputed&) {
        result.Clear();
    }
    if (follow && result.Text() == before)
        (this->*follow)();
}

void TCalculator::StepFailed(const TCalcTextField& result, const std::string& message) {
    if (OnStepFailed)
        OnStepFailed(result, message);
}

// Csat as the reservoir-output field shows it: three significant digits.
long double TCalculator::SatConcShown() const {
    if (f_.edtSatConc.Text().empty())
        throw ENotComputed{};
    return platform::StrToFloat(f_.edtSatConc.Text());
}

void TCalculator::UpdateSatConc() {
    SatConc = CalcSatConc(f_.edtTemp.AsFloat());
}

// A Csat that cannot be computed leaves no Csat of another temperature for
// the back-calculation either.
void TCalculator::SetSatConcText() {
    try {
        UpdateSatConc();
        f_.edtSatConc.SetText(SatConcText(SatConc));
    } catch (const platform::EMathError& e) {
        ClearSatConc(e.what());
    } catch (const platform::EConvertError& e) {
        ClearSatConc(e.what());
    }
}

void TCalculator::ClearSatConc(const std::string& message) {
    SatConc = std::numeric_limits<long double>::quiet_NaN();
    f_.edtSatConc.SetText("");
    StepFailed(f_.edtSatConc, message);
}

void TCalculator::UpdateReservoirConditions() {
    SetSatConcText();
    Derive(
        f_.edtSatFlow,
        [this] {
            return CalcSatFlow(f_.edtFlow.AsFloat(), f_.edtPbar.AsFloat(), f_.edtDp.AsFloat(),
                               f_.edtTemp.AsFloat(), f_.edtRefTemp.AsFloat());
        },
        &TCalculator::edtSatFlowChange);
}

void TCalculator::SetUncorrectedOutput() {
    Derive(f_.edtUncorrectedOput, [this] {
        return CalcUncorrectedOutput(SatConcShown(), f_.edtFlow.AsFloat(),
                                     f_.edtDilutionFlow.AsFloat());
    });
}

// The ratio of the two outputs as held; true when the outputs stand. At the
// zero gas (both outputs held as 0.00) there is no ratio to show: the field
// stays empty, which is no failure and keeps Apply open. A wanted output
// over an uncorrected 0.00 still fails: that flow delivers nothing.
bool TCalculator::SetRatio() {
    if (!f_.edtUncorrectedOput.Text().empty() && !f_.edtDilutedOput.Text().empty() &&
        f_.edtUncorrectedOput.AsFloat() == 0 && f_.edtDilutedOput.AsFloat() == 0) {
        f_.edtRatio.Clear();
        return true;
    }
    Derive(f_.edtRatio, [this] {
        return CalcRatio(Computed(f_.edtDilutedOput), Computed(f_.edtUncorrectedOput));
    });
    return !f_.edtRatio.Text().empty();
}

// Cd kept its text, but Cu may be new: the ratio follows, and Apply stays as
// it was, since the output the operator sees did not change.
void TCalculator::FollowUnchangedOutput() {
    if (!f_.edtDilutedOput.Focused())
        SetRatio();
}

void TCalculator::UpdateOutputs() {
    SetUncorrectedOutput();
    // Cd's handler, or for an unchanged Cd the step after it, brings the
    // ratio up to date with the new Cu as well.
    Derive(
        f_.edtDilutedOput,
        [this] {
            return CalcDilutedOutput(Computed(f_.edtSaturator), f_.edtFlow.AsFloat(),
                                     f_.edtDilutionFlow.AsFloat());
        },
        &TCalculator::FollowUnchangedOutput);
    controls_.ShowDeliveryHint("");
}

void TCalculator::RejectBackCalculation(const std::string& message) {
    BackCalculationRejected = true;
    platform::ShowError(message);
    f_.edtDilutedOput.SetFocus();
}

// Without dilution every flow gives the same output: there is no flow to
// compute. An unreadable dilution flow is TryCalcFlow's to refuse.
bool TCalculator::DilutionFlowPositive() const {
    try {
        return !(f_.edtDilutionFlow.AsFloat() <= 0);
    } catch (const platform::EConvertError&) {
        return true;
    }
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

// The flow is held to its field's decimals, so the kit delivers what the
// forward steps give for the held flow; more than 1 % off the wanted output
// is worth a word beside it.
void TCalculator::ShowDelivery() {
    std::string hint;
    try {
        const long double wanted = f_.edtDilutedOput.AsFloat();
        const long double flow = f_.edtFlow.AsFloat();
        const long double delivered =
            CalcDeliveredOutput(flow, f_.edtDilutionFlow.AsFloat(), f_.edtPbar.AsFloat(),
                                f_.edtDp.AsFloat(), f_.edtTemp.AsFloat(), f_.edtRefTemp.AsFloat());
        if (IsDeliveryOff(delivered, wanted)) {
            hint = Replace(kDeliveryHint, f_.edtFlow.Text(),
                           platform::FieldText(delivered, kOutputDecimals, true));
        }
    } catch (const platform::EMathError&) {
    } catch (const platform::EConvertError&) {
    }
    controls_.ShowDeliveryHint(hint);
}

void TCalculator::BackCalculateFlow() {
    BackCalculationRejected = false;
    // Unguarded: a bad saturator condition is the operator's to see in the
    // application's error box, and so is a reservoir temperature whose Csat
    // the last forward run could not compute.
    if (std::isnan(SatConc))
        UpdateSatConc();
    const long double actualPressure = CalcActualPressure(f_.edtPbar.AsFloat(), f_.edtDp.AsFloat());
    const long double tempRatio = CalcTempRatio(f_.edtTemp.AsFloat(), f_.edtRefTemp.AsFloat());

    if (!DilutionFlowPositive()) {
        RejectBackCalculation(kNoDilutionForWanted);
        return;
    }
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
    SetUncorrectedOutput();
    if (SetRatio())
        controls_.EnableApply();
    ShowDelivery();
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
    Derive(
        f_.edtSaturator,
        [this] { return CalcReservoirOutput(SatConcShown(), Computed(f_.edtSatFlow)); },
        &TCalculator::edtSaturatorChange);
}

void TCalculator::edtSaturatorChange() {
    UpdateOutputs();
}

void TCalculator::edtDilutedOputChange() {
    // While the operator types a wanted output, the ratio and Apply wait.
    if (f_.edtDilutedOput.Focused())
        return;
    if (SetRatio())
        controls_.EnableApply();
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
