#include "sim/faults.h"

namespace sim {

bool TFaultRates::Valid() const {
    for (double rate : {NoReply, BadCrc, WrongAddress, Exception})
        if (!(rate >= 0 && rate <= 100))
            return false;
    return Total() <= 100;
}

const char* FaultName(TLineFault fault) {
    switch (fault) {
        case lfNone:
            return "none";
        case lfNoReply:
            return "no-reply";
        case lfBadCrc:
            return "bad-crc";
        case lfWrongAddress:
            return "wrong-address";
        case lfException:
            return "exception";
    }
    return "?";
}

TLineFault TLineFaults::Draw() {
    ++FDrawn;
    if (FRates.Total() <= 0)
        return lfNone;
    const double r = std::uniform_real_distribution<double>(0, 100)(FRandom);
    double bound = FRates.NoReply;
    if (r < bound)
        return lfNoReply;
    bound += FRates.BadCrc;
    if (r < bound)
        return lfBadCrc;
    bound += FRates.WrongAddress;
    if (r < bound)
        return lfWrongAddress;
    bound += FRates.Exception;
    if (r < bound)
        return lfException;
    return lfNone;
}

}  // namespace sim
