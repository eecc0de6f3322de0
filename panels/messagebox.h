// The console's message boxes and cursors on screen.
//
// Every message of the program goes through the platform message sink; the
// sink installed here shows it as a modal box with the type's icon, the
// caption and one OK button. Tests install a recording sink instead.
#pragma once

#include <Qt>
#include <exception>

namespace panels {

// Makes modal message boxes the platform sink (the program does this once at
// start-up).
void InstallMessageBoxSink();

// The standard error box for an error that ended a workflow: its message,
// caption "Error", error icon.
void ShowException(const std::exception& error);

// Shows a cursor over the whole application while it lives: the busy cursor
// of a workflow, or the default cursor over a message box opened during one.
class TCursorOverride {
  public:
    explicit TCursorOverride(Qt::CursorShape shape);
    ~TCursorOverride();
    TCursorOverride(const TCursorOverride&) = delete;
    TCursorOverride& operator=(const TCursorOverride&) = delete;
};

}  // namespace panels
