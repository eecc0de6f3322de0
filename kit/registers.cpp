#include "kit/registers.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "kit/messages.h"
#include "platform/filltext.h"
#include "platform/fperror.h"
#include "platform/numtext.h"

namespace kit {

namespace {

// Before each superscript one stands a soft hyphen, the minus of the unit.
constexpr std::array<const char*, 10> kUnitTexts = {
    "(ln min\u00AD\u00B9)", "(mln h\u00AD\u00B9)",  "(mln min\u00AD\u00B9)",
    "(ln h\u00AD\u00B9)",   "(m3n h\u00AD\u00B9)",  "(mls min\u00AD\u00B9)",
    "(mls h\u00AD\u00B9)",  "(ls min\u00AD\u00B9)", "(ls h\u00AD\u00B9)",
    "(m3s h\u00AD\u00B9)",
};

constexpr char kReservoirFlowCaption[] = "Reservoir Flow ";
constexpr char kDilutionFlowCaption[] = "    Dilution Flow ";

// The integer part of a finite value that fits 64 bits; anything else is an
// invalid operation, as the instruments' registers take no such value.
long long TruncateChecked(long double x) {
    constexpr long double kLimit = 9223372036854775808.0L;  // 2^63
    if (!std::isfinite(x) || x >= kLimit || x < -kLimit)
        throw platform::EInvalidOp();
    return static_cast<long long>(x);
}

long long RoundHalfEvenChecked(long double x) {
    if (!std::isfinite(x))
        throw platform::EInvalidOp();
    return TruncateChecked(std::nearbyint(x));
}

// An unsigned whole number of 128 bits, for the set point's exact counts.
struct TWide {
    std::uint64_t High = 0;
    std::uint64_t Low = 0;
};

TWide Multiply(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32;
    const std::uint64_t b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
    const std::uint64_t low = a0 * b0;
    const std::uint64_t middle1 = a1 * b0 + (low >> 32);
    const std::uint64_t middle2 = a0 * b1 + (middle1 & 0xFFFFFFFFu);
    return {a1 * b1 + (middle1 >> 32) + (middle2 >> 32), (middle2 << 32) | (low & 0xFFFFFFFFu)};
}

// `value` x `factor`, none when it does not fit 128 bits.
std::optional<TWide> Multiply(const TWide& value, std::uint64_t factor) {
    const TWide low = Multiply(value.Low, factor);
    const TWide high = Multiply(value.High, factor);
    if (high.High != 0 || high.Low > ~low.High)
        return std::nullopt;
    return TWide{high.Low + low.High, low.Low};
}

std::optional<TWide> ShiftLeft(const TWide& value, int bits) {
    if (bits == 0)
        return value;
    if (bits >= 64 || (value.High >> (64 - bits)) != 0)
        return std::nullopt;
    return TWide{(value.High << bits) | (value.Low >> (64 - bits)), value.Low << bits};
}

bool NotAbove(const TWide& a, const TWide& b) {
    return a.High < b.High || (a.High == b.High && a.Low <= b.Low);
}

// The 18-digit decimal text of a flow as a whole number of 10^-decimals.
struct TDecimal {
    std::uint64_t Digits = 0;
    int Decimals = 0;
};

std::optional<TDecimal> HeldDecimal(long double flow) {
    std::string text = platform::FloatToStrFixed(flow, 18);
    const std::size_t separator = text.find_first_not_of("0123456789");
    if (separator != std::string::npos) {
        if (text.find_first_not_of("0123456789", separator + 1) != std::string::npos)
            return std::nullopt;  // a sign or an exponent
        while (text.back() == '0')
            text.pop_back();
    }
    TDecimal decimal;
    int significant = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == separator)
            continue;
        if (decimal.Digits == 0 && text[i] == '0' && i < separator)
            continue;
        if (++significant > 19)
            return std::nullopt;
        decimal.Digits = decimal.Digits * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (i > separator)
            ++decimal.Decimals;
    }
    return decimal;
}

}  // namespace

// floor(decimal x 32000 / capacity) in whole numbers: the capacity is
// c x 2^e exactly (c of 24 bits), the decimal D x 10^-d, so the counts are
// the largest k with k x c x 10^d x 2^max(e,0) <= D x 32000 x 2^max(-e,0).
// None for a flow or capacity beyond what 128 bits hold.
std::optional<long long> ExactFlowCounts(long double flow, float capacity) {
    const std::optional<TDecimal> decimal = HeldDecimal(flow);
    if (!decimal || capacity <= 0)
        return std::nullopt;
    int exponent = 0;
    const float fraction = std::frexp(capacity, &exponent);
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 24));
    exponent -= 24;
    std::uint64_t power = 1;
    for (int i = 0; i < decimal->Decimals; ++i)
        power *= 10;
    std::optional<TWide> numerator = Multiply(decimal->Digits, kFullScaleCounts);
    std::optional<TWide> denominator = Multiply(mantissa, power);
    if (exponent < 0)
        numerator = ShiftLeft(*numerator, -exponent);
    else
        denominator = ShiftLeft(*denominator, exponent);
    if (!numerator || !denominator)
        return std::nullopt;
    long long counts = 0;
    for (long long step = 1 << 15; step > 0; step >>= 1) {
        const std::optional<TWide> reach =
            Multiply(*denominator, static_cast<std::uint64_t>(counts + step));
        if (reach && NotAbove(*reach, *numerator))
            counts += step;
    }
    return counts;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::uint32_t HexNumber(const std::string& digits) {
    std::uint32_t value = 0;
    for (char c : digits) {
        const int digit = HexDigit(c);
        if (digit < 0)
            throw EIEEEMath(kInvalidHexString);
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

}  // namespace

float HexToSingle(const std::string& text) {
    if (text.size() != 8)
        throw EIEEEMath(kInvalidHexString);
    const std::uint32_t hi = HexNumber(text.substr(0, 4));
    const std::uint32_t lo = HexNumber(text.substr(4, 4));
    return std::bit_cast<float>(hi * 65536u + lo);
}

float CapacityFromRegisters(std::uint16_t high, std::uint16_t low) {
    char text[9];
    std::snprintf(text, sizeof text, "%04X%04X", high, low);
    return HexToSingle(text);
}

std::string UnitText(std::uint16_t index) {
    return index < kUnitTexts.size() ? kUnitTexts[index] : "";
}

// The capacity rounded as the instruments' display rounds (4 significant
// digits), written without the zeros that rounding leaves.
std::string CapacityText(float capacity, bool shortForm) {
    if (!shortForm || !std::isfinite(capacity))
        return platform::FloatToStrGeneral(capacity);
    return platform::FloatToStrGeneral(
        platform::StrToFloat(platform::FloatToDisplay(capacity, 18)));
}

std::string ReservoirFlowCaption(float capacity, std::uint16_t unitIndex, bool shortCapacity) {
    return kReservoirFlowCaption + CapacityText(capacity, shortCapacity) + UnitText(unitIndex);
}

std::string DilutionFlowCaption(float capacity, std::uint16_t unitIndex, bool shortCapacity) {
    return kDilutionFlowCaption + CapacityText(capacity, shortCapacity) + UnitText(unitIndex);
}

float FlowFromRaw(std::uint16_t raw, float capacity) {
    return static_cast<float>(raw) / static_cast<float>(kFullScaleCounts) * capacity;
}

long double RoundTo2Decimals(long double x) {
    return std::nearbyint(x / 0.01L) * 0.01L;
}

long double FlowSetPointFromRaw(std::uint16_t raw, float capacity) {
    return RoundTo2Decimals(static_cast<long double>(raw) / kFullScaleCounts * capacity);
}

long double TempSetPointFromRaw(std::uint16_t raw) {
    return RoundTo2Decimals(static_cast<long double>(raw) / 10);
}

int TempLimitFromRaw(std::uint16_t raw) {
    return static_cast<int>(std::nearbyint(static_cast<long double>(raw) / 10));
}

// The counts of a flow set point are worked out from the decimal value the
// field holds (its 18-digit text, as every field text is made), not from its
// binary value: 0.7 is held as 0.69999999999999999997, whose product with
// 1600 counts per ml/min truncates to 1119 where the operator typed 1120's
// flow. The quotient flow x 32000 / capacity is formed in whole numbers,
// with the capacity's exact binary value, and truncated toward zero.
std::uint16_t FlowSetPointToRaw(long double flow, float capacity) {
    if (!std::isfinite(capacity))
        throw platform::EInvalidOp();
    const long double countsPerUnit = platform::Divide(kFullScaleCounts, capacity);
    const long double product = flow * countsPerUnit;
    long long counts = TruncateChecked(product);
    if (std::isfinite(product) && product >= 0 && product <= kFullScaleCounts + 1)
        counts = ExactFlowCounts(flow, capacity).value_or(counts);
    if (counts < 0 || counts > kFullScaleCounts)
        throw ESetPointRange(platform::FillText(
            kFlowSetPointOutOfRange,
            {platform::FloatToStrGeneral(flow), platform::FloatToStrGeneral(capacity)}));
    return static_cast<std::uint16_t>(counts);
}

std::uint16_t TempSetPointToRaw(long double temp) {
    const long long tenths = RoundHalfEvenChecked(temp * 10);
    if (tenths < 0 || tenths > 0xFFFF)
        throw ESetPointRange(
            platform::FillText(kTempSetPointOutOfRange, {platform::FloatToStrGeneral(temp)}));
    return static_cast<std::uint16_t>(tenths);
}

int HaltPollingWaitMs(int pendingTransactions) {
    const int ms = pendingTransactions * 100;
    if (ms <= 0)
        return 0;
    const int seconds = ms / 1000 < 1 ? ms / 1000 : 1;
    return seconds * 1000 + ms % 1000;
}

}  // namespace kit
