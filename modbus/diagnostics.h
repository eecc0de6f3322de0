// The sub-functions of the diagnostics function (code 8) that a client can
// ask for, and the table that maps them to their codes on the wire.
#pragma once

#include <array>
#include <cstdint>

namespace regwire {

enum TDiagnosticAction : std::uint8_t {
    daReturnQueryData,
    daRestartCommsOption,
    daRestartCommsOptionAndClearEventLog,  // sub-function 1 with the data word 0xFF00
    daReturnDiagnosticRegister,
    daForceListenOnlyMode,
    daClearCountersAndDiagnosticRegister,
    daReturnBusMessageCount,
    daReturnBusCommErrorCount,
    daReturnBusExceptionErrorCount,
    daReturnServerMessageCount,
    daReturnServerNoReplyCount,
    daReturnServerNegativeAcknowledgeCount,
    daReturnServerBusyCount,
    daReturnBusCharacterOverrunCount,
    daClearOverrunCounterAndFlag,
};

inline constexpr int DiagnosticActionCount = 15;

// The sub-function code of each action, in the order of the enumeration.
inline constexpr std::array<std::uint16_t, DiagnosticActionCount> DiagnosticSubFunctions = {
    0, 1, 1, 2, 4, 10, 11, 12, 13, 14, 15, 16, 17, 18, 20};

// The data word that marks a restart that also clears the event log.
inline constexpr std::uint16_t ClearEventLogData = 0xFF00;

// The first action whose sub-function is code (so 1 is always
// daRestartCommsOption); a code outside the table raises "Diagnostic action
// was not recognized".
TDiagnosticAction FindDiagnosticAction(std::uint16_t code);

// Whether a normal reply to the action echoes the request's data word (the
// restarts and clears) rather than carrying a counter or register.
bool DiagnosticEchoesData(TDiagnosticAction action);

}  // namespace regwire
