#include "kit/registers.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdio>

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

std::uint16_t FlowSetPointToRaw(long double flow, float capacity) {
    if (!std::isfinite(capacity))
        throw platform::EInvalidOp();
    const long double countsPerUnit = platform::Divide(kFullScaleCounts, capacity);
    const long long counts = TruncateChecked(flow * countsPerUnit);
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
