// The two ways regwire runs: as master (a command sent once or repeatedly,
// each completed transaction printed) and as server (answering requests from
// in-memory tables until interrupted). Both run the application's event loop:
// completions and requests arrive on the main thread.
#pragma once

#include <iosfwd>

#include "options.h"

namespace regwire::tool {

// Exit statuses. A master run that completed at least one transaction
// leaves with esSuccess when every completed transaction ended tsSuccess,
// else with the status of its last failure; a transaction cut short by an
// interruption counts for nothing. A run interrupted before any transaction
// completed has nothing to show for itself and leaves with esNoReply.
enum TExitStatus {
    esSuccess = 0,
    esException = 1,  // the last failure was an exception reply
    esNoReply = 2,    // no reply, bad frame or wrong server
    esBadReply = 3,
    esUsage = 64,
    esPortFailure = 74,  // the port could not be opened or set up, or went away mid-run
};

// Runs the command of options until it is done or Interrupt is called; the
// exit status.
int RunMaster(const TToolOptions& options, std::ostream& out, std::ostream& err);
int RunServer(const TToolOptions& options, std::ostream& err);

// Ends the running session at the next turn of the event loop
// (async-signal-safe when called from a signal handler through
// InstallInterruptHandlers).
void InstallInterruptHandlers();

}  // namespace regwire::tool
