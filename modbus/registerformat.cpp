#include "registerformat.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace regwire::tool {

namespace {

TShownValue Unsigned(std::size_t offset, std::uint16_t value) {
    return {offset, std::to_string(value), QJsonValue(static_cast<int>(value))};
}

TShownValue Word(std::size_t offset, std::uint16_t value, TRegisterFormat format) {
    if (format == TRegisterFormat::Signed) {
        const auto signedValue = static_cast<std::int16_t>(value);
        return {offset, std::to_string(signedValue), QJsonValue(static_cast<int>(signedValue))};
    }
    if (format == TRegisterFormat::Hex) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%04X", value);
        return {offset, text, QJsonValue(text)};
    }
    return Unsigned(offset, value);
}

// The shortest text that reads back as the same float, so 0.1 shows as 0.1;
// its JSON number is that text's double, for the same reason.
TShownValue Float(std::size_t offset, float value) {
    if (!std::isfinite(value))
        return {offset, std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf"), QJsonValue()};
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    std::string shown(text, result.ptr);
    return {offset, shown, QJsonValue(std::strtod(shown.c_str(), nullptr))};
}

TShownValue Pair(std::size_t offset, std::uint16_t first, std::uint16_t second,
                 TRegisterFormat format) {
    const bool swapped =
        format == TRegisterFormat::Int32Swapped || format == TRegisterFormat::FloatSwapped;
    const std::uint32_t high = swapped ? second : first;
    const std::uint32_t low = swapped ? first : second;
    const std::uint32_t bits = high << 16 | low;
    if (format == TRegisterFormat::Float || format == TRegisterFormat::FloatSwapped)
        return Float(offset, std::bit_cast<float>(bits));
    const auto value = static_cast<std::int32_t>(bits);
    return {offset, std::to_string(value), QJsonValue(static_cast<qint64>(value))};
}

}  // namespace

std::array<std::uint16_t, 2> PairRegisters(std::uint32_t bits, TRegisterFormat format) {
    const auto high = static_cast<std::uint16_t>(bits >> 16);
    const auto low = static_cast<std::uint16_t>(bits & 0xFFFF);
    const bool swapped =
        format == TRegisterFormat::Int32Swapped || format == TRegisterFormat::FloatSwapped;
    return swapped ? std::array{low, high} : std::array{high, low};
}

bool TakesPairs(TRegisterFormat format) {
    return format == TRegisterFormat::Int32 || format == TRegisterFormat::Int32Swapped ||
           format == TRegisterFormat::Float || format == TRegisterFormat::FloatSwapped;
}

std::vector<TShownValue> ShowRegisters(const TRegValues& registers, TRegisterFormat format) {
    std::vector<TShownValue> shown;
    if (!TakesPairs(format)) {
        for (std::size_t i = 0; i < registers.size(); ++i)
            shown.push_back(Word(i, registers[i], format));
        return shown;
    }
    std::size_t i = 0;
    for (; i + 1 < registers.size(); i += 2)
        shown.push_back(Pair(i, registers[i], registers[i + 1], format));
    if (i < registers.size())
        shown.push_back(Unsigned(i, registers[i]));
    return shown;
}

namespace {

struct TFormatName {
    const char* Name;
    TRegisterFormat Format;
};

constexpr TFormatName kFormatNames[] = {
    {"unsigned", TRegisterFormat::Unsigned},
    {"signed", TRegisterFormat::Signed},
    {"hex", TRegisterFormat::Hex},
    {"int32", TRegisterFormat::Int32},
    {"int32-swapped", TRegisterFormat::Int32Swapped},
    {"float", TRegisterFormat::Float},
    {"float-swapped", TRegisterFormat::FloatSwapped},
};

}  // namespace

std::optional<TRegisterFormat> RegisterFormatNamed(const std::string& name) {
    for (const TFormatName& entry : kFormatNames)
        if (name == entry.Name)
            return entry.Format;
    return std::nullopt;
}

const char* RegisterFormatNames() {
    return "unsigned, signed, hex, int32, int32-swapped, float, float-swapped";
}

double RegisterNumber(const TRegValues& registers, TRegisterFormat format) {
    if (registers.size() < (TakesPairs(format) ? 2u : 1u))
        return std::nan("");
    const TRegValues first(registers.begin(), registers.begin() + (TakesPairs(format) ? 2 : 1));
    const QJsonValue value = ShowRegisters(first, format).front().Json;
    if (value.isDouble())
        return value.toDouble();
    if (format == TRegisterFormat::Hex)
        return first.front();
    return std::nan("");
}

}  // namespace regwire::tool
