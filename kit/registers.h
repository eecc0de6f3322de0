// The kit's instruments on the Modbus line: the registers the console reads
// and writes on the two EL-FLOW mass-flow controllers and the CAL 3300
// temperature controller, and the conversions between their raw register
// values and the window's numbers and captions.
//
// Flow controllers count 32000 for 100 % of their capacity, an IEEE-754
// single held high half first in two registers; the temperature controller
// works in tenths of a degree Celsius. Register values are unsigned.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace kit {

// The window's three clients tell themselves apart in the shared read
// handler by their Tag.
enum TInstrumentTag { itReservoirFlow = 1, itDilutionFlow = 2, itTemperature = 3 };

// Mass-flow controller registers (holding registers, 0-based as on the wire).
inline constexpr std::uint16_t kRegMeasuredFlow = 32;
inline constexpr std::uint16_t kRegFlowSetPoint = 33;
inline constexpr std::uint16_t kRegControlMode = 34;  // written 400 before the set point is read
inline constexpr std::uint16_t kRegCapacityUnit = 47;
inline constexpr std::uint16_t kRegCapacity = 33128;  // and 33129: high half, low half
inline constexpr std::uint16_t kControlModeValue = 400;
inline constexpr std::uint16_t kFullScaleCounts = 32000;

// Temperature controller registers, in tenths of a degree.
inline constexpr std::uint16_t kRegMeasuredTemp = 28;
inline constexpr std::uint16_t kRegTempSetPoint = 127;
inline constexpr std::uint16_t kRegTempUpperLimit = 148;
inline constexpr std::uint16_t kRegTempLowerLimit = 150;
// The write handshake around a set-point write: 768 := 5 then 5376 := 0
// enter write mode, 768 := 6 then 5632 := 0 leave it.
inline constexpr std::uint16_t kRegWriteMode = 768;
inline constexpr std::uint16_t kRegEnterConfirm = 5376;
inline constexpr std::uint16_t kRegLeaveConfirm = 5632;
inline constexpr std::uint16_t kEnterWriteMode = 5;
inline constexpr std::uint16_t kLeaveWriteMode = 6;

// A text that is no IEEE-754 single in hexadecimal.
class EIEEEMath : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The single whose 32 bits the 8 hexadecimal digits give (high half first);
// any other length raises EIEEEMath "Invalid hex string for HexToSingle".
float HexToSingle(const std::string& text);

// The capacity held in the two capacity registers, through their hexadecimal
// text as the controllers document it.
float CapacityFromRegisters(std::uint16_t high, std::uint16_t low);

// The unit text of a capacity unit index 0..9, empty for any other index.
std::string UnitText(std::uint16_t index);

// The captions above the two flow panels once the controller's capacity and
// unit are known: "Reservoir Flow 20(mln min¹)" (no blank before the unit).
// The short form writes the capacity with at most 4 significant digits, for
// a caption box too narrow for the full one (0.100000001490116 becomes 0.1).
std::string ReservoirFlowCaption(float capacity, std::uint16_t unitIndex,
                                 bool shortCapacity = false);
std::string DilutionFlowCaption(float capacity, std::uint16_t unitIndex,
                                bool shortCapacity = false);

// A measured flow: raw / 32000 x capacity in single precision.
float FlowFromRaw(std::uint16_t raw, float capacity);

// x rounded to 2 decimals: x / 0.01 to the nearest integer (ties to even),
// times 0.01. A non-finite x stays non-finite.
long double RoundTo2Decimals(long double x);

// A set point read back: raw / 32000 x capacity, rounded to 2 decimals.
long double FlowSetPointFromRaw(std::uint16_t raw, float capacity);
// Tenths of a degree to degrees, rounded to 2 decimals.
long double TempSetPointFromRaw(std::uint16_t raw);
// A set-point limit: tenths of a degree to whole degrees, ties to even
// (605 gives 60, 615 gives 62).
int TempLimitFromRaw(std::uint16_t raw);

// A set point the instrument's register cannot hold (a flow above the
// controller's capacity or below 0, a temperature below 0 or above 6553.5).
class ESetPointRange : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The register value of a flow set point: flow x (32000 / capacity)
// truncated toward zero, the flow taken as the decimal value its field holds
// (0.7 ml/min at a capacity of 20 is 1120 counts, never 1119). Counts outside 0..32000 raise
// ESetPointRange, never wrap into another flow. A capacity of 0 raises EZeroDivide; a non-finite
// capacity or result raises EInvalidOp, so nothing is written.
std::uint16_t FlowSetPointToRaw(long double flow, float capacity);
// The whole counts below flow x 32000 / capacity for the flow's 18-digit
// decimal text and the capacity's exact value; none when they do not fit
// the arithmetic (a flow of more than 19 digits, a capacity not above 0).
std::optional<long long> ExactFlowCounts(long double flow, float capacity);
// The register value of a temperature set point: tenths of a degree, to the
// nearest integer with ties to even; outside 0..65535 raises ESetPointRange,
// non-finite raises EInvalidOp.
std::uint16_t TempSetPointToRaw(long double temp);

// How long Apply lets the queue drain before it writes: 100 ms for each
// transaction waiting, at most 1 s plus the milliseconds of the remainder.
int HaltPollingWaitMs(int pendingTransactions);

}  // namespace kit
