// The calculator's message texts, shown to the operator verbatim.
#pragma once

namespace calc {

inline constexpr const char* kInvalidConcentration = "Invalid concentration value";
inline constexpr const char* kFlowBelowLimit =
    "The calculated Flow Value is below the acceptable limit of ";
inline constexpr const char* kFlowAboveLimit =
    "The calculated Flow Value is above the acceptable limit of ";
// Beside the diluted output after a back-calculation whose flow, held to
// its field's decimals, delivers more than 1 % off the wanted output: the
// held flow, then the output it delivers.
inline constexpr const char* kDeliveryHint = "Flow %s delivers %s ng/l";
// At start-up, for settings keys whose values could not be read: the keys.
inline constexpr const char* kUnreadableSettings =
    "These settings in Vapcal.ini could not be read and take their defaults: %s";
// Raised by a numeric field left with a value outside its bounds; followed by
// the bound in fixed notation with the field's decimals.
inline constexpr const char* kValueBelowLimit =
    "Your entered Value is below the acceptable limit of ";
inline constexpr const char* kValueAboveLimit =
    "Your entered Value is above the acceptable limit of ";

// Saturator conditions no kit can have, each naming its field.
inline constexpr const char* kPbarNotPositive =
    "Atmospheric pressure: the absolute pressure in the saturator must be above 0 in. Hg";
inline constexpr const char* kSaturatorPressureNotPositive =
    "dp: the absolute pressure in the saturator (atmospheric pressure + dp / 13.595) must be "
    "above 0 in. Hg";
inline constexpr const char* kRefTempNotAboveAbsoluteZero =
    "Reference temperature: must be above absolute zero (-273.15 \u00B0C)";
// A back-calculation without dilution: every reservoir flow gives the same
// output.
inline constexpr const char* kNoDilutionForWanted =
    "Dilution flow: a wanted output concentration needs a dilution flow above 0";

// An accuracy of the uncertainty budget that may not stand ("%s": its key).
inline constexpr const char* kAccuracyNegative = "%s must not be negative";
inline constexpr const char* kCoverageNotPositive = "%s must be more than 0";
inline constexpr const char* kAccuracyEmpty = "%s needs a value";
// A concentration with its expanded uncertainty: the value, U, k.
inline constexpr const char* kValueWithUncertainty = "%s \u00B1 %s ng/l (k = %s)";
// The hint beside a concentration with its uncertainty ("%s": the largest
// contributions, each its quantity and its |c|·u).
inline constexpr const char* kLargestContributions = "Largest contributions (ng/l): %s";

// An instrument past its calibration due date on the run's date: its role,
// model and serial, the due date. A warning: the lab decides.
inline constexpr const char* kInstrumentPastDue = "The %s (%s) is past its calibration due date %s";
// A date in [Instrument.*] that is not an ISO date: the key.
inline constexpr const char* kNotIsoDate = "%s must be a date as yyyy-mm-dd";

}  // namespace calc
