// The concentration the kit delivers now: the calculator's model applied to
// the measured reservoir temperature and flows instead of the typed ones.
#pragma once

namespace live {

// Cd (ng/l) at standard conditions for the measured `temp` (°C), `flow`
// (ml/min) and `dilutionFlow` (l/min) and the saturator conditions. Every
// derived quantity is held at the precision the calculator holds it (Csat to
// three significant digits, the actual flow to 6 decimals, the reservoir
// output and Cd to 2), so readings equal to the typed values give exactly
// the calculated concentration and the two compare like with like. Raises
// the platform's floating-point error where the model does.
long double DeliveredConcentration(long double temp, long double flow, long double dilutionFlow,
                                   long double pbar, long double dp, long double refTemp);

}  // namespace live
