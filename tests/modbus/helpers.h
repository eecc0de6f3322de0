// Shared helpers of the Regwire tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "modbus/buffer.h"

namespace regwire::test {

// The message of the E that f raises; "no exception" when it raises none.
template <typename E, typename F>
std::string MessageOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "no exception";
}

inline void Fill(TModbusBuffer& buffer, std::initializer_list<std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes)
        buffer.WriteByte(b);
}

inline std::vector<std::uint8_t> Contents(const TModbusBuffer& buffer) {
    const auto bytes = buffer.Bytes();
    return {bytes.begin(), bytes.end()};
}

inline std::vector<std::uint8_t> Chars(const std::string& text) {
    return {text.begin(), text.end()};
}

}  // namespace regwire::test
