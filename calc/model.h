// The mercury-vapour concentration model of the Vapcal kit.
//
// Pure computations on extended-precision numbers: the saturated mercury
// concentration at the reservoir temperature, the reservoir flow at the
// saturator's pressure and temperature, the reservoir output, the diluted
// output at standard conditions (1 atm, 20 °C) and, backwards, the reservoir
// flow for a wanted output. Every step is evaluated in the order the kit's
// calibration sheet gives it, so the console reproduces the sheet to the last
// held digit. A division by zero, an overflow or an invalid operation raises
// the platform's floating-point error; no infinity or not-a-number leaves here.
//
// Units: temperatures in °C, the reservoir flow in ml/min, the dilution flow
// in l/min, pressures in inches of mercury (dp in inches of water),
// concentrations in ng/ml (saturated) and ng/l (outputs).
#pragma once

#include "platform/fperror.h"

#include <string>

namespace calc {

// Saturator conditions no kit can have: no absolute pressure in the
// saturator, a reference temperature at or below absolute zero. Raised by
// every step that would compute with them, with the input named in the
// message; a floating-point error, so whatever clears a result that cannot
// be computed clears these too.
class EImpossibleInput : public platform::EMathError {
  public:
    enum TInput { iiPbar, iiDp, iiRefTemp };
    EImpossibleInput(TInput input, const std::string& message)
        : platform::EMathError(message), Input(input) {}
    TInput Input;
};

// Raises EImpossibleInput for conditions no kit can have; every value a lab
// could have passes.
void CheckSaturatorConditions(long double pbar, long double dp, long double refTemp);

inline constexpr long double kZeroCelsius = 273.15L;      // K
inline constexpr long double kWaterPerMercury = 13.595L;  // in. H2O per in. Hg
inline constexpr long double kMlPerL = 1000.0L;

// The decimals each quantity is held with in its field; every later step
// reads the held value.
inline constexpr int kTempDecimals = 1;
inline constexpr int kFlowDecimals = 1;
inline constexpr int kDilutionFlowDecimals = 1;
inline constexpr int kConditionDecimals = 4;  // Pbar, dp, tref
inline constexpr int kSatFlowDecimals = 6;
inline constexpr int kOutputDecimals = 2;  // S, Cu, Cd, R

// Csat (ng/ml) of air saturated with mercury at `temp` °C, unrounded.
long double CalcSatConc(long double temp);

// d ln Csat / dt (per kelvin) at `temp` °C: the relative change of the
// unrounded Csat per degree, differentiated analytically from the
// vapour-pressure equation and the reservoir's correction.
long double CalcSatConcLogSlope(long double temp);

// How CalcSatConc works, in words a reader of a calibration report checks
// against the literature: the vapour-pressure equation with its
// coefficients, the ideal-gas step and the kit's saturation correction, in
// UTF-8 with the same numbers the model computes with.
std::string SatConcEquationText();

// The text the reservoir-output field shows for Csat: three significant
// digits in exponent form with the locale's separator (6.25E+01).
std::string SatConcText(long double satConc);

// The reservoir flow at the saturator's actual pressure and temperature
// (ml/min): `flow` is set on the controller at 29.95 in. Hg and `refTemp`.
long double CalcSatFlow(long double flow, long double pbar, long double dp, long double temp,
                        long double refTemp);

// The mercury mass rate leaving the reservoir (ng/min).
long double CalcReservoirOutput(long double satConc, long double satFlow);

// Output concentration (ng/l) computed from the controller's flow, without
// the pressure and temperature correction.
long double CalcUncorrectedOutput(long double satConc, long double flow, long double dilutionFlow);

// Output concentration (ng/l) at standard conditions from the reservoir output.
long double CalcDilutedOutput(long double reservoirOutput, long double flow,
                              long double dilutionFlow);

// Diluted over uncorrected output.
long double CalcRatio(long double dilutedOutput, long double uncorrectedOutput);

// Absolute pressure inside the saturator, in. Hg; none above 0 raises
// EImpossibleInput.
long double CalcActualPressure(long double pbar, long double dp);

// Reservoir temperature over reference temperature, both absolute; a
// reference at or below absolute zero raises EImpossibleInput.
long double CalcTempRatio(long double temp, long double refTemp);

// The reservoir flow (ml/min) that gives `dilutedOutput`, from the saturator
// pressure and temperature ratio already worked out. A negative result is a
// result, not an error: the caller checks it against the flow's bounds.
long double CalcFlowFromConditions(long double dilutedOutput, long double satConc,
                                   long double actualPressure, long double tempRatio,
                                   long double dilutionFlow);

// The diluted output (ng/l) that `flow` really delivers: the forward steps
// with Csat as its three-digit text and Qsat, S and Cd each held as their
// fields hold them, so the number a forward calculation would show.
long double CalcDeliveredOutput(long double flow, long double dilutionFlow, long double pbar,
                                long double dp, long double temp, long double refTemp);

// The delivered output less the wanted one (ng/l), and the same in percent
// of the wanted one; both outputs as held with two decimals.
long double CalcOutputDifference(long double delivered, long double wanted);
long double CalcOutputDifferencePercent(long double delivered, long double wanted);

// True when `delivered` is more than 1 % off `wanted` (both held with two
// decimals).
bool IsDeliveryOff(long double delivered, long double wanted);

// The reservoir flow (ml/min) that gives `dilutedOutput` with the unrounded
// `satConc`.
long double CalcFlowForOutput(long double dilutedOutput, long double satConc, long double pbar,
                              long double dp, long double temp, long double refTemp,
                              long double dilutionFlow);

}  // namespace calc
