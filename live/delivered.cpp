#include "live/delivered.h"

#include "calc/model.h"

namespace live {

// The model's own chain with the calculator's rounding at every step, so the
// same inputs give exactly the number the window calculates.
long double DeliveredConcentration(long double temp, long double flow, long double dilutionFlow,
                                   long double pbar, long double dp, long double refTemp) {
    return calc::CalcDeliveredOutput(flow, dilutionFlow, pbar, dp, temp, refTemp);
}

}  // namespace live
