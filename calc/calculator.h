// The concentration calculator of the main window: its state, its four
// operations and the handlers by which the window's fields drive one another.
//
// calc/ holds the kit's concentration model (model.h), this calculator, the
// settings file (settings.h) and an in-memory window (memorycalculator.h) for
// the command line and the tests.
//
// How the window binds to it
// --------------------------
// TfrmVapcalCalc owns one TCalculator. It adapts each numeric edit field to
// TCalcField (AsFloat read and write, Text, bounds, ReadOnly, focus) and the
// reservoir-output field to TCalcTextField, passes them in TCalculatorFields,
// and implements TCalculatorControls for the check box, Apply and Close. Then
// it forwards each field event to the handler of the same name:
//
//   edtTemp, edtFlow, edtPbar, edtDp, edtRefTemp   OnExit    -> edtExit()
//                                                  OnKeyDown -> edtKeyDown(key)
//   edtDilutionFlow     OnExit -> edtDilutionFlowExit(), OnKeyDown -> edtDilutionFlowKeyDown(key)
//   edtSatFlow          OnChange -> edtSatFlowChange()
//   edtSaturator        OnChange -> edtSaturatorChange()
//   edtDilutedOput      OnChange -> edtDilutedOputChange(), OnExit -> edtDilutedOputExit(),
//                       OnKeyDown -> edtDilutedOputKeyDown(key)
//   cbxAllowInput       OnClick (every change of its state) -> cbxAllowInputClick()
//   btnCalculate        OnClick -> btnCalculateClick()   (Apply runs it too)
//   btnDefault          OnClick -> btnDefaultClick()
//
// Key codes are the window's virtual key codes: Enter is vkReturn (13),
// whether it came from the main or the keypad Return key. The change handlers
// must be raised synchronously from inside the field's value or text write,
// because the operations rely on the chain edtSatFlow -> edtSaturator ->
// edtDilutedOput running within one write. A recalculation does not stop at
// a result whose text happens to stay the same: what follows from it also
// reads other fields, so it runs on. Errors of the forward operations show
// no message: every result that could not be computed is cleared, and so is
// everything computed from it, so no field keeps a number of other inputs.
// BackCalculateFlow shows its three messages through platform::ShowError and
// lets the errors of its first step propagate to the application's error
// box, as every workflow error does.
#pragma once

#include "calc/calcfield.h"

#include <functional>
#include <string>

namespace calc {

inline constexpr int vkReturn = 13;

// The inputs' defaults, restored by Default and used for missing settings.
inline constexpr long double kDefaultTemp = 40.0L;
inline constexpr long double kDefaultPbar = 29.96L;
inline constexpr long double kDefaultDp = 0.0L;
inline constexpr long double kDefaultFlow = 6.0L;
inline constexpr long double kDefaultRefTemp = 20.0L;
inline constexpr long double kDefaultDilutionFlow = 10.0L;

// A default as the fields take it: the general number text with the locale's
// separator ("29.96", or "29,96" under a comma locale).
std::string DefaultText(long double value);

struct TCalculatorFields {
    // Inputs.
    TCalcField& edtTemp;
    TCalcField& edtFlow;
    TCalcField& edtDilutionFlow;
    TCalcField& edtPbar;
    TCalcField& edtDp;
    TCalcField& edtRefTemp;
    // Results; edtDilutedOput is also the wanted output in manual-input mode.
    TCalcTextField& edtSatConc;
    TCalcField& edtSatFlow;
    TCalcField& edtSaturator;
    TCalcField& edtUncorrectedOput;
    TCalcField& edtRatio;
    TCalcField& edtDilutedOput;
};

// The window's controls the calculator consults or changes besides its fields.
class TCalculatorControls {
  public:
    virtual ~TCalculatorControls() = default;
    // cbxAllowInput.Checked: manual-input mode.
    virtual bool AllowInputChecked() const = 0;
    // btnApply.Enabled := true.
    virtual void EnableApply() = 0;
    // Move the input focus to btnClose; may raise, the caller ignores it.
    virtual void FocusClose() = 0;
    // The hint beside edtDilutedOput: what the back-calculated flow, held
    // to its field's decimals, really delivers when that is more than 1 %
    // off the wanted output; empty to hide it.
    virtual void ShowDeliveryHint(const std::string& hint) = 0;
};

class TCalculator {
  public:
    TCalculator(const TCalculatorFields& fields, TCalculatorControls& controls);

    // Window state.
    long double SatConc = 0;      // unrounded Csat of the last UpdateSatConc
    long double CalcFlow = 0;     // last back-calculated flow, kept when rejected
    bool ConcEntered = false;     // Enter seen in edtDilutedOput, until it is left
    bool AllowConcInput = false;  // settings value, given to the check box on show
    // The last back-calculation was refused with a message: no flow of it
    // may be applied.
    bool BackCalculationRejected = false;

    // Raised for every result a recalculation could not compute (the field
    // is cleared), with the error that stopped it; results cleared only
    // because a result they follow from was cleared raise nothing.
    std::function<void(const TCalcTextField& field, const std::string& message)> OnStepFailed;

    // Operations.
    void UpdateSatConc();
    void UpdateReservoirConditions();
    void UpdateOutputs();
    void BackCalculateFlow();

    // Handlers.
    void edtExit();
    void edtKeyDown(int key);
    void edtDilutionFlowExit();
    void edtDilutionFlowKeyDown(int key);
    void edtSatFlowChange();
    void edtSaturatorChange();
    void edtDilutedOputChange();
    void edtDilutedOputExit();
    void edtDilutedOputKeyDown(int key);
    void cbxAllowInputClick();
    void btnCalculateClick();
    void btnDefaultClick();

  private:
    using TFollow = void (TCalculator::*)();
    template <typename Compute>
    void Derive(TCalcField& result, Compute compute, TFollow follow = nullptr);
    void StepFailed(const TCalcTextField& result, const std::string& message);
    void SetSatConcText();
    void ClearSatConc(const std::string& message);
    long double SatConcShown() const;
    void SetUncorrectedOutput();
    bool SetRatio();
    void FollowUnchangedOutput();
    void ShowDelivery();
    bool DilutionFlowPositive() const;
    bool TryCalcFlow(long double actualPressure, long double tempRatio);
    void RejectBackCalculation(const std::string& message);

    TCalculatorFields f_;
    TCalculatorControls& controls_;
};

}  // namespace calc
