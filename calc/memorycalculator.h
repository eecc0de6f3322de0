// The calculator's part of the main window, held in memory: the twelve
// fields with the window's decimals, trimming, bounds and initial values, the
// check box, Apply and Close, wired to a TCalculator exactly as the window
// wires its widgets. The command line computes through it, so its numbers
// are the window's numbers.
#pragma once

#include "calc/calculator.h"
#include "calc/memoryfield.h"

#include <string>
#include <utility>
#include <vector>

namespace calc {

class TMemoryCalculator : public TCalculatorControls {
  public:
    TMemoryCalculator();
    TMemoryCalculator(const TMemoryCalculator&) = delete;
    TMemoryCalculator& operator=(const TMemoryCalculator&) = delete;

    TMemoryFocus Focus;
    TMemoryField edtTemp;
    TMemoryField edtFlow;
    TMemoryField edtDilutionFlow;
    TMemoryField edtPbar;
    TMemoryField edtDp;
    TMemoryField edtRefTemp;
    TMemoryTextField edtSatConc;
    TMemoryField edtSatFlow;
    TMemoryField edtSaturator;
    TMemoryField edtUncorrectedOput;
    TMemoryField edtRatio;
    TMemoryField edtDilutedOput;

    bool btnApplyEnabled = false;
    TCalculator Calculator;

    // The window's start after its inputs were loaded: the forward
    // calculation once, then Apply disabled.
    void Start();

    // Checks or clears cbxAllowInput; a change of state runs its handler.
    void SetAllowInput(bool checked);
    bool CloseFocused() const { return Focus.Current == &btnClose_; }

    // The fields in the window's order, each with its name.
    std::vector<std::pair<std::string, const TCalcTextField*>> Fields() const;
    TCalculatorFields CalculatorFields();

    bool AllowInputChecked() const override { return cbxAllowInput_; }
    void EnableApply() override { btnApplyEnabled = true; }
    void FocusClose() override { Focus.Current = &btnClose_; }
    void ShowDeliveryHint(const std::string& hint) override { DeliveryHint = hint; }

    // The hint beside the diluted output, as the window would show it.
    std::string DeliveryHint;

  private:
    bool cbxAllowInput_ = false;
    char btnClose_ = 0;  // stands for the Close button as a focus target
};

}  // namespace calc
