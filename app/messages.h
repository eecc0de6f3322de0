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
inline constexpr const char* kNetworkPortPrompt = "or a network gateway:";
inline constexpr const char* kNetworkPortHint = "tcp://HOST:PORT (RTU) or mbtcp://HOST:PORT";
inline constexpr const char* kNetworkPortInvalid =
    "'%s' is not a network gateway: type tcp://HOST:PORT for RTU frames over TCP or "
    "mbtcp://HOST:PORT for Modbus TCP, or leave the field empty for the serial port";

// Register decoding.
inline constexpr const char* kInvalidHexString = "Invalid hex string for HexToSingle";

// The About box.
inline constexpr const char* kAboutCaption = "Information";
inline constexpr const char* kAboutText =
    "With thanks to the research institute whose calculations\n"
    "and background information on mercury vapour\n"
    "are the foundation of this calculator.";

// Set points that did not reach an instrument; the next Apply writes them
// again.
inline constexpr const char* kFlowSetPointLost =
    "The %s controller did not confirm its new set point; Apply writes it again";
inline constexpr const char* kReservoirFlowName = "reservoir flow";
inline constexpr const char* kDilutionFlowName = "dilution flow";
inline constexpr const char* kTempSetPointNotWritten =
    "The temperature controller did not enter write mode; its set point was not written";

// Button hints.
inline constexpr const char* kHintComPort = "Select/Change COM port";
inline constexpr const char* kHintRefresh = "Refresh";

// vapcal --simulate.
inline constexpr const char* kSimNotFound =
    "The simulated kit (vapcal-sim) was not found beside %s";
inline constexpr const char* kSimNotStarted = "The simulated kit could not be started: %s";
inline constexpr const char* kSimNoPort = "The simulated kit named no port: %s";

}  // namespace app
