#include "platform/fperror.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace platform;

namespace {

template <typename E, typename F>
std::string MessageOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "no exception";
}

}  // namespace

TEST(FloatingPointErrors, DivisionRaisesInsteadOfInfinity) {
    EXPECT_EQ(MessageOf<EZeroDivide>([] { Divide(1.0L, 0.0L); }),
              "Floating point division by zero");
    EXPECT_EQ(MessageOf<EInvalidOp>([] { Divide(0.0L, 0.0L); }),
              "Invalid floating point operation");
    const long double big = std::numeric_limits<long double>::max();
    EXPECT_EQ(MessageOf<EOverflow>([&] { Divide(big, 0.5L); }), "Floating point overflow");
    EXPECT_EQ(Divide(1.0L, 4.0L), 0.25L);
}

TEST(FloatingPointErrors, LogarithmAndExponentialCheckTheirDomain) {
    EXPECT_THROW(Ln(0.0L), EZeroDivide);
    EXPECT_THROW(Ln(-1.0L), EInvalidOp);
    EXPECT_THROW(Exp(20000.0L), EOverflow);
    EXPECT_NEAR(static_cast<double>(Ln(Exp(1.5L))), 1.5, 1e-15);
}

TEST(FloatingPointErrors, NonFiniteValuesNeverReachAnIntegerCast) {
    EXPECT_THROW(RoundToInteger(std::numeric_limits<long double>::quiet_NaN(), 0, 65535),
                 EInvalidOp);
    EXPECT_THROW(RoundToInteger(std::numeric_limits<long double>::infinity(), 0, 65535),
                 EInvalidOp);
    EXPECT_THROW(RoundToInteger(65535.5L, 0, 65535), EOverflow);
    EXPECT_EQ(RoundToInteger(15839.5L, 0, 65535), 15840);
    EXPECT_EQ(RoundToInteger(-2.5L, -10, 10), -3);
}
