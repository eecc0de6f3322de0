#include "platform/fperror.h"

#include <cmath>

namespace platform {

EZeroDivide::EZeroDivide() : EMathError("Floating point division by zero") {}
EOverflow::EOverflow() : EMathError("Floating point overflow") {}
EInvalidOp::EInvalidOp() : EMathError("Invalid floating point operation") {}

long double Checked(long double x) {
    if (std::isnan(x))
        throw EInvalidOp();
    if (std::isinf(x))
        throw EOverflow();
    return x;
}

long double Divide(long double a, long double b) {
    if (std::isnan(a) || std::isnan(b))
        throw EInvalidOp();
    if (b == 0.0L) {
        if (a == 0.0L)
            throw EInvalidOp();
        throw EZeroDivide();
    }
    return Checked(a / b);
}

long double Ln(long double x) {
    if (std::isnan(x) || x < 0.0L)
        throw EInvalidOp();
    if (x == 0.0L)
        throw EZeroDivide();
    return Checked(std::log(x));
}

long double Exp(long double x) {
    return Checked(std::exp(Checked(x)));
}

long long RoundToInteger(long double x, long long lo, long long hi) {
    if (!std::isfinite(x))
        throw EInvalidOp();
    const long double r = std::round(x);
    if (r < static_cast<long double>(lo) || r > static_cast<long double>(hi))
        throw EOverflow();
    return static_cast<long long>(r);
}

}  // namespace platform
