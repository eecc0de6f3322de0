// The texts of the plant's server that the operator, the plant's engineer or
// a log reader sees, verbatim. A text with %s takes the value named beside it
// (platform::FillText).
#pragma once

namespace dahs::msg {

// Settings and the command line.
inline constexpr const char* ListenInvalid =
    "DahsListen: \"%s\" is no address to listen on; give mbtcp://HOST:PORT";  // the value
inline constexpr const char* AllowInvalid =
    "DahsAllow: \"%s\" is no address; give addresses or ADDRESS/BITS, separated by commas";
inline constexpr const char* WordOrderInvalid =
    "DahsWordOrder: \"%s\" is neither high-first nor low-first";  // the value
inline constexpr const char* ListenFailed = "DAHS server: %s";    // the system's reason

// Why a command is refused (exception 3), for the log.
inline constexpr const char* WantedIncomplete =
    "the wanted concentration was not written whole since the last command";
inline constexpr const char* WantedNotPositive = "the wanted concentration is no positive number";
inline constexpr const char* PlanIncomplete = "no plan number was written since the last command";
inline constexpr const char* PlanZero = "plan 0 does not exist; plans count from 1";
inline constexpr const char* CommandUnknown = "no such command";
inline constexpr const char* PlanMissing = "no plan %s in %s";               // number, folder
inline constexpr const char* PlanAmbiguous = "more than one plan %s in %s";  // number, folder
inline constexpr const char* CommandNotTaken = "not taken";

// Log lines, each after the peer's address.
inline constexpr const char* CommandTakenLine = "command %s taken";          // the command
inline constexpr const char* CommandRefusedLine = "command %s refused: %s";  // command, reason
inline constexpr const char* WriteRefusedLine =
    "write refused: control is off (DahsControl=0); further refusals are only counted";

}  // namespace dahs::msg
