// The value arrays that the Modbus clients hand to their events and that the
// server side fills: entry i belongs to bit or register number start + i.
#pragma once

#include <cstdint>
#include <vector>

namespace regwire {

using TBitValues = std::vector<bool>;                         // coils, discrete inputs
using TRegValues = std::vector<std::uint16_t>;                // registers, file record values
using TExceptionStatusValues = std::vector<bool>;             // the eight exception-status outputs
using TServerIdentificationData = std::vector<std::uint8_t>;  // report-server-identification data

}  // namespace regwire
