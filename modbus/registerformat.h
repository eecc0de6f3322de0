// How regwire shows the registers it read: each register as an unsigned,
// signed or hex word, or register pairs as 32-bit integers or IEEE floats in
// either word order (the flow controllers' capacity is a float, high word
// first).
#pragma once

#include <QJsonValue>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "modbus/values.h"

namespace regwire::tool {

enum class TRegisterFormat { Unsigned, Signed, Hex, Int32, Int32Swapped, Float, FloatSwapped };

// Whether the format joins two registers into one value.
bool TakesPairs(TRegisterFormat format);

// One value as shown: the offset of its first register among those read, its
// text, and its JSON value (null for a float that is not a number).
struct TShownValue {
    std::size_t Offset = 0;
    std::string Text;
    QJsonValue Json;
};

// The register pair of a 32-bit value in the word order of a pair format.
std::array<std::uint16_t, 2> PairRegisters(std::uint32_t bits, TRegisterFormat format);

// The values of registers in format. A register left over at the end of a
// pair format is shown as unsigned, not dropped.
std::vector<TShownValue> ShowRegisters(const TRegValues& registers, TRegisterFormat format);

// The format a name gives ("unsigned", "signed", "hex", "int32",
// "int32-swapped", "float", "float-swapped"); none for any other name.
std::optional<TRegisterFormat> RegisterFormatNamed(const std::string& name);
// The names above, comma-separated, for a refusal.
const char* RegisterFormatNames();
// The first value of `registers` in `format` as a number (a pair format
// takes the first two registers); NaN when there are too few registers.
double RegisterNumber(const TRegValues& registers, TRegisterFormat format);

}  // namespace regwire::tool
