// The application shell's texts, shown to the operator verbatim.
#pragma once

namespace app {

// The threaded timer's worker could not be made ("%s": the system's text).
inline constexpr const char* kThreadCreationError = "Thread creation error: %s";
// Parking, releasing or waiting for the worker failed (text and code).
inline constexpr const char* kThreadError = "Thread Error: %s (%d)";
// A tick handler ended with something that is not an exception object.
inline constexpr const char* kUnknownTimerError = "Unknown error in the timer's handler";

// The port selection dialog.
inline constexpr const char* kSelectPortCaption = "Select Port";
inline constexpr const char* kSelectPortPrompt = "Please choose an RS-485 serial port";
inline constexpr const char* kOkCaption = "OK";
inline constexpr const char* kCancelCaption = "Cancel";

}  // namespace app
