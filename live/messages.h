// The live view's texts, shown to the operator (and written to the record)
// verbatim.
#pragma once

namespace live {

// The concentration the kit delivers from its current readings ("%s": the
// number with two decimals).
inline constexpr const char* kDeliveredNow = "Delivered now %s ng/l";
// The same with its expanded uncertainty ("%s": 40.05 ± 0.95 ng/l (k = 2)).
inline constexpr const char* kDeliveredNowWithU = "Delivered now %s";
// Not every reading is current, or the readings give no concentration.
inline constexpr const char* kDeliveredCannotTell = "Delivered now: cannot tell";
// Followed by the names of the instruments whose readings are not current.
inline constexpr const char* kNotCurrent = " (no current %s)";

// The stability of the kit.
// What is still outside its tolerance ("%s": the names).
inline constexpr const char* kSettlingOff = "Settling: %s off";
// Everything in tolerance, not yet for the whole settling time.
inline constexpr const char* kSettlingWithin = "Settling: in tolerance for %d of %d min";
inline constexpr const char* kStableFor = "Stable for %d min";
inline constexpr const char* kStabilityCannotTell = "Stability: cannot tell";

// The quantities by name, in the texts above.
inline constexpr const char* kTemperatureName = "temperature";
inline constexpr const char* kReservoirFlowName = "reservoir flow";
inline constexpr const char* kDilutionFlowName = "dilution flow";
inline constexpr const char* kConcentrationName = "concentration";

// The record ("%s" in the header: the coverage factor of its last column).
inline constexpr const char* kRecordNotOpened = "Cannot record to %s: %s";
inline constexpr const char* kRecordStopped = "Recording to %s stopped: %s";
inline constexpr const char* kRecordHeader =
    "time,reservoir temperature (\u00B0C),reservoir flow (ml/min),dilution flow (l/min),"
    "temperature set point (\u00B0C),reservoir flow set point (ml/min),"
    "dilution flow set point (l/min),delivered concentration (ng/l),"
    "calculated concentration (ng/l),stability,"
    "expanded uncertainty of the delivered concentration k = %s (ng/l)";

}  // namespace live
