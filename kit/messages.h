// The kit's texts, as the window shows them and a headless run journals
// them, verbatim.
#pragma once

namespace kit {

// The threaded timer's worker could not be made ("%s": the system's text).
inline constexpr const char* kThreadCreationError = "Thread creation error: %s";
// Parking, releasing or waiting for the worker failed (text and code).
inline constexpr const char* kThreadError = "Thread Error: %s (%d)";
// A tick handler ended with something that is not an exception object.
inline constexpr const char* kUnknownTimerError = "Unknown error in the timer's handler";

// Register decoding.
inline constexpr const char* kInvalidHexString = "Invalid hex string for HexToSingle";

// Set points no register of the instrument can hold.
inline constexpr const char* kFlowSetPointOutOfRange =
    "The flow set point %s lies outside the controller's range of 0 to %s";
inline constexpr const char* kTempSetPointOutOfRange =
    "The temperature set point %s lies outside the controller's register range";

// Set points that did not reach an instrument; the next Apply writes them
// again.
inline constexpr const char* kFlowSetPointLost =
    "The %s controller did not confirm its new set point; Apply writes it again";
// A step of the temperature set-point write that the controller refused
// (an exception reply) or did not answer; the set point is not taken as
// written, so the next Apply writes it again.
inline constexpr const char* kTempSetPointFailed =
    "The temperature controller %s the set point %s (register 127 := %s); the next Apply "
    "writes it again";
inline constexpr const char* kTempHandshakeFailed =
    "The temperature controller %s %s; the next Apply writes the set point %s again";
inline constexpr const char* kStepRefused = "refused";
inline constexpr const char* kStepNotAnswered = "did not answer";
inline constexpr const char* kStepEnterWriteMode =
    "the request to enter write mode (register 768 := 5)";
inline constexpr const char* kStepEnterConfirm =
    "the confirmation of write mode (register 5376 := 0)";
inline constexpr const char* kStepLeaveWriteMode =
    "the request to leave write mode (register 768 := 6)";
inline constexpr const char* kStepLeaveConfirm =
    "the confirmation of leaving write mode (register 5632 := 0)";
// Apply while the port is gone: nothing could be sent.
inline constexpr const char* kSetPointsNotSent =
    "Port %s is gone: the set points were not sent; Apply writes them again once it is back";

// A port that another program holds.
inline constexpr const char* kPortInUse = "Port %s is in use by another program";

// The line's own state, for the status line.
inline constexpr const char* kPortGone = "Port %s gone";
inline constexpr const char* kWaitingForPort = "waiting for it";

// Extra reads that no poll can make.
inline constexpr const char* kExtraReadFunction =
    "An extra read takes function 3 or 4, not %d (server %d, register %d)";
inline constexpr const char* kExtraReadCount =
    "An extra read takes 1 to 125 registers, not %d (server %d, register %d)";

}  // namespace kit
