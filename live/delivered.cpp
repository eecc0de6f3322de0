#include "live/delivered.h"

#include "calc/memoryfield.h"
#include "calc/model.h"
#include "platform/numtext.h"

namespace live {

namespace {

// A value as a field with `decimals` decimals holds it.
long double Held(long double value, int decimals) {
    return calc::ParseFieldText(calc::FieldText(value, decimals, false));
}

}  // namespace

long double DeliveredConcentration(long double temp, long double flow, long double dilutionFlow,
                                   long double pbar, long double dp, long double refTemp) {
    const long double satConc = platform::StrToFloat(calc::SatConcText(calc::CalcSatConc(temp)));
    const long double satFlow = Held(calc::CalcSatFlow(flow, pbar, dp, temp, refTemp), 6);
    const long double output = Held(calc::CalcReservoirOutput(satConc, satFlow), 2);
    return Held(calc::CalcDilutedOutput(output, flow, dilutionFlow), 2);
}

}  // namespace live
