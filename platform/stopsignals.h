// SIGINT and SIGTERM handed to the main thread's event loop.
//
// The signal handler only writes a byte to a pipe; `onStop` runs from the
// event loop when the byte arrives, where a program may end calmly (close
// its windows, stop a run, leave its loop). Each further signal runs it
// again.
#pragma once

#include <functional>

namespace platform {

// Needs the QCoreApplication; false (and the signals left as they were)
// when no pipe can be made.
bool CatchStopSignals(std::function<void()> onStop);

}  // namespace platform
