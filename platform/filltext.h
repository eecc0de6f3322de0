// Message texts with their blanks filled in: every message table of the
// console marks each place a name, a port or a number goes with "%s".
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace platform {

// `pattern` with each "%s" replaced, in order, by the next of `values`. A
// value is put in as it is, never read as a pattern itself (a plan named
// "50%s" stays so); a "%s" without a value left is kept, a value without a
// "%s" left is dropped.
std::string FillText(std::string_view pattern, std::initializer_list<std::string> values);

}  // namespace platform
