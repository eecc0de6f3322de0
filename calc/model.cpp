#include "calc/model.h"

#include "calc/messages.h"

#include "platform/fperror.h"
#include "platform/numtext.h"

#include <cmath>

namespace calc {

using platform::Checked;
using platform::Divide;

namespace {

// Vapour-pressure equation of mercury: ln p (kPa) in T (K).
constexpr long double kLnPConstant = 27.25266L;
constexpr long double kLnPInverseT = -7861.972L;
constexpr long double kLnPLnT = -1.618139L;
constexpr long double kLnPTSquared = 7.057924e-7L;

constexpr long double kBoltzmann = 1.38e-16L;                      // erg/K
constexpr long double kMercuryAtomMass = 3.3306655685659823e-22L;  // g: 200.59 / 6.02252e23
// kPa to dyn/cm², then g/cm³ to ng/ml: applied one after the other.
constexpr long double kScaleKilo = 1000.0L;
constexpr long double kScaleNano = 1e10L;

// Empirical correction of the saturation in the kit's reservoir, linear in °C.
constexpr long double kCorrectionConstant = 1.05247440320196L;
constexpr long double kCorrectionSlope = -0.000446608366111497L;

constexpr long double kFlowRefPressure = 29.95L;  // in. Hg the flow controllers refer to
constexpr long double kLPerMl = 0.001L;

// The percentage of the wanted output by which a delivered one may differ
// unremarked.
constexpr long double kDeliveryTolerancePercent = 1;

long double Mul(long double a, long double b) {
    return Checked(a * b);
}

// The reference temperature in kelvin, which the flows' correction divides
// by.
long double AbsoluteRefTemp(long double refTemp) {
    const long double kelvin = Checked(refTemp + kZeroCelsius);
    if (!(kelvin > 0))
        throw EImpossibleInput(EImpossibleInput::iiRefTemp, kRefTempNotAboveAbsoluteZero);
    return kelvin;
}

long double Add(long double a, long double b) {
    return Checked(a + b);
}

}  // namespace

long double CalcSatConc(long double temp) {
    const long double t = Add(temp, kZeroCelsius);
    long double x = Mul(kLnPLnT, platform::Ln(t));
    x = Add(x, Divide(kLnPInverseT, t));
    x = Add(x, kLnPConstant);
    x = Add(x, Mul(Mul(kLnPTSquared, t), t));
    const long double p = platform::Exp(x);

    long double c = Divide(p, kBoltzmann);
    c = Divide(c, t);
    c = Mul(c, kMercuryAtomMass);
    c = Mul(c, kScaleKilo);
    c = Mul(c, kScaleNano);
    return Divide(c, Add(kCorrectionConstant, Mul(kCorrectionSlope, temp)));
}

// ln Csat = ln p(T) - ln T - ln(a + b·t) + const, with T = t + 273.15 and
// ln p = A + B/T + C ln T + D T².
long double CalcSatConcLogSlope(long double temp) {
    const long double t = Add(temp, kZeroCelsius);
    long double slope = -Divide(kLnPInverseT, Mul(t, t));
    slope = Add(slope, Divide(kLnPLnT, t));
    slope = Add(slope, Mul(2 * kLnPTSquared, t));
    slope = Add(slope, -Divide(1, t));
    return Add(slope,
               -Divide(kCorrectionSlope, Add(kCorrectionConstant, Mul(kCorrectionSlope, temp))));
}

std::string SatConcEquationText() {
    using platform::FloatToStrGeneral;
    const auto term = [](long double coefficient) {
        return (coefficient < 0 ? " \u2212 " : " + ") + FloatToStrGeneral(std::fabs(coefficient));
    };
    return "vapour pressure of mercury ln(p/kPa) = " + FloatToStrGeneral(kLnPConstant) +
           term(kLnPInverseT) + "/T" + term(kLnPLnT) + "\u00B7ln T" + term(kLnPTSquared) +
           "\u00B7T\u00B2 (T in K); saturated concentration Csat = p\u00B7m(Hg)/(k\u00B7T) "
           "with m(Hg) = 200.59 u and k = " +
           FloatToStrGeneral(kBoltzmann) + " erg/K, divided by the kit's saturation correction " +
           FloatToStrGeneral(kCorrectionConstant) + term(kCorrectionSlope) +
           "\u00B7t (t in \u00B0C)";
}

std::string SatConcText(long double satConc) {
    return platform::FloatToStrExp3(Checked(satConc));
}

long double CalcSatFlow(long double flow, long double pbar, long double dp, long double temp,
                        long double refTemp) {
    const long double a = Mul(flow, kFlowRefPressure);
    const long double b = CalcActualPressure(pbar, dp);
    long double q = Divide(a, b);
    q = Mul(q, Add(temp, kZeroCelsius));
    return Divide(q, AbsoluteRefTemp(refTemp));
}

long double CalcReservoirOutput(long double satConc, long double satFlow) {
    return Mul(satConc, satFlow);
}

long double CalcUncorrectedOutput(long double satConc, long double flow, long double dilutionFlow) {
    const long double total = Add(Divide(flow, kMlPerL), dilutionFlow);
    return Divide(Mul(satConc, flow), total);
}

long double CalcDilutedOutput(long double reservoirOutput, long double flow,
                              long double dilutionFlow) {
    const long double total = Add(Divide(flow, kMlPerL), dilutionFlow);
    return Divide(reservoirOutput, total);
}

long double CalcRatio(long double dilutedOutput, long double uncorrectedOutput) {
    return Divide(dilutedOutput, uncorrectedOutput);
}

long double CalcActualPressure(long double pbar, long double dp) {
    if (!(pbar > 0))
        throw EImpossibleInput(EImpossibleInput::iiPbar, kPbarNotPositive);
    const long double actual = Add(Divide(dp, kWaterPerMercury), pbar);
    if (!(actual > 0))
        throw EImpossibleInput(EImpossibleInput::iiDp, kSaturatorPressureNotPositive);
    return actual;
}

long double CalcTempRatio(long double temp, long double refTemp) {
    return Divide(Add(temp, kZeroCelsius), AbsoluteRefTemp(refTemp));
}

void CheckSaturatorConditions(long double pbar, long double dp, long double refTemp) {
    CalcActualPressure(pbar, dp);
    AbsoluteRefTemp(refTemp);
}

long double CalcFlowFromConditions(long double dilutedOutput, long double satConc,
                                   long double actualPressure, long double tempRatio,
                                   long double dilutionFlow) {
    const long double top = Mul(Mul(kFlowRefPressure, tempRatio), satConc);
    const long double q = Divide(top, Mul(dilutedOutput, actualPressure));
    return Divide(dilutionFlow, Add(q, -kLPerMl));
}

long double CalcDeliveredOutput(long double flow, long double dilutionFlow, long double pbar,
                                long double dp, long double temp, long double refTemp) {
    const long double satConc = platform::StrToFloat(SatConcText(CalcSatConc(temp)));
    const long double satFlow =
        platform::HeldValue(CalcSatFlow(flow, pbar, dp, temp, refTemp), kSatFlowDecimals);
    const long double output =
        platform::HeldValue(CalcReservoirOutput(satConc, satFlow), kOutputDecimals);
    return platform::HeldValue(CalcDilutedOutput(output, flow, dilutionFlow), kOutputDecimals);
}

namespace {

// An output as held, in whole hundredths: the difference of two of them is
// then exact, where subtracting their binary values would leave the error of
// each in a much smaller number (40.35 - 40 is not 0.35 in binary).
long double Hundredths(long double output) {
    return std::round(Mul(output, 100));
}

}  // namespace

long double CalcOutputDifference(long double delivered, long double wanted) {
    return (Hundredths(delivered) - Hundredths(wanted)) / 100;
}

long double CalcOutputDifferencePercent(long double delivered, long double wanted) {
    return Divide(Mul(Hundredths(delivered) - Hundredths(wanted), 100), Hundredths(wanted));
}

bool IsDeliveryOff(long double delivered, long double wanted) {
    return std::fabs(Hundredths(delivered) - Hundredths(wanted)) * 100 >
           kDeliveryTolerancePercent * std::fabs(Hundredths(wanted));
}

long double CalcFlowForOutput(long double dilutedOutput, long double satConc, long double pbar,
                              long double dp, long double temp, long double refTemp,
                              long double dilutionFlow) {
    const long double actualPressure = CalcActualPressure(pbar, dp);
    const long double tempRatio = CalcTempRatio(temp, refTemp);
    return CalcFlowFromConditions(dilutedOutput, satConc, actualPressure, tempRatio, dilutionFlow);
}

}  // namespace calc
