// Texts the panels show the operator, used verbatim.
#pragma once

namespace panels::msg {

inline constexpr char kValueBelowLimit[] = "Your entered Value is below the acceptable limit of ";
inline constexpr char kValueAboveLimit[] = "Your entered Value is above the acceptable limit of ";

}  // namespace panels::msg
