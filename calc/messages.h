// The calculator's message texts, shown to the operator verbatim.
#pragma once

namespace calc {

inline constexpr const char* kInvalidConcentration = "Invalid concentration value";
inline constexpr const char* kFlowBelowLimit =
    "The calculated Flow Value is below the acceptable limit of ";
inline constexpr const char* kFlowAboveLimit =
    "The calculated Flow Value is above the acceptable limit of ";
// Raised by a numeric field left with a value outside its bounds; followed by
// the bound in fixed notation with the field's decimals.
inline constexpr const char* kValueBelowLimit =
    "Your entered Value is below the acceptable limit of ";
inline constexpr const char* kValueAboveLimit =
    "Your entered Value is above the acceptable limit of ";

}  // namespace calc
