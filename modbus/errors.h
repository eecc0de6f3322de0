// The error kinds of the Modbus library (Regwire).
//
// ERegwireError is the library's own error: every failure of a buffer, a
// frame, a file record or (later) a connection or client is raised as one,
// with a text from messages.h. Two kinds stay apart so that a caller can tell
// them from a library error: EAssertionFailed, raised when the frame decoder
// meets a malformed ASCII character run, and EListError, the index error of a
// general-purpose list.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace regwire {

class ERegwireError : public std::runtime_error {
  public:
    // A fixed message.
    explicit ERegwireError(std::string_view message);
    // A message whose %d placeholders are filled, in order, with the values.
    ERegwireError(std::string_view format, std::initializer_list<long long> values);
    // A message with one %d placeholder.
    ERegwireError(std::string_view format, long long value);
};

class EAssertionFailed : public std::logic_error {
  public:
    explicit EAssertionFailed(std::string_view message);
};

class EListError : public std::out_of_range {
  public:
    EListError(std::string_view format, long long value);
};

// Replaces each "%d" of the format, left to right, with the next value in
// decimal; placeholders beyond the values are left as they are.
std::string FormatMessage(std::string_view format, std::initializer_list<long long> values);

// The three ways the library raises its error.
[[noreturn]] void RaiseError(std::string_view message);
[[noreturn]] void RaiseError(std::string_view format, long long value);
[[noreturn]] void RaiseInternalError();

}  // namespace regwire
