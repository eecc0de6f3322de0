// Floating-point errors of the console's extended-precision arithmetic.
//
// The calculator works on long double and never lets an infinity or a
// not-a-number reach a field, a file or an integer cast: a division by zero,
// an overflow or an invalid operation raises one of these instead.
#pragma once

#include <stdexcept>

namespace platform {

class EMathError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class EZeroDivide : public EMathError {
  public:
    EZeroDivide();
};

class EOverflow : public EMathError {
  public:
    EOverflow();
};

class EInvalidOp : public EMathError {
  public:
    EInvalidOp();
};

// a / b; a zero divisor raises EZeroDivide (EInvalidOp for 0 / 0), a result
// too large for long double raises EOverflow.
long double Divide(long double a, long double b);

// Returns x when it is finite; an infinity raises EOverflow, a not-a-number
// EInvalidOp. Every result that came from a library function (ln, exp) or
// from a product passes through here.
long double Checked(long double x);

// ln x; x = 0 raises EZeroDivide, x < 0 or not-a-number EInvalidOp.
long double Ln(long double x);

// e^x; a result beyond long double raises EOverflow.
long double Exp(long double x);

// The integer nearest to x, ties away from zero, for a value that must fit
// the target: a non-finite x raises EInvalidOp, one outside [lo, hi]
// EOverflow. No non-finite value is ever cast to an integer.
long long RoundToInteger(long double x, long long lo, long long hi);

}  // namespace platform
