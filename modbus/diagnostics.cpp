#include "modbus/diagnostics.h"

#include "modbus/errors.h"
#include "modbus/messages.h"

namespace regwire {

TDiagnosticAction FindDiagnosticAction(std::uint16_t code) {
    for (int i = 0; i < DiagnosticActionCount; ++i) {
        if (DiagnosticSubFunctions[static_cast<std::size_t>(i)] == code)
            return static_cast<TDiagnosticAction>(i);
    }
    RaiseError(msg::DiagnosticActionUnknown);
}

bool DiagnosticEchoesData(TDiagnosticAction action) {
    switch (action) {
        case daReturnQueryData:
        case daRestartCommsOption:
        case daRestartCommsOptionAndClearEventLog:
        case daClearCountersAndDiagnosticRegister:
        case daClearOverrunCounterAndFlag:
            return true;
        default:
            return false;
    }
}

}  // namespace regwire
