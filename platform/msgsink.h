// The program's one way to show a message box.
//
// Every message the console shows (calculator errors, bounds messages, the
// error box of a failed workflow, information boxes) goes through the sink.
// The window layer installs a sink that opens a modal box; tests install one
// that records what was shown, so nothing blocks on a modal box.
#pragma once

#include <functional>
#include <string>

namespace platform {

enum class TMsgDlgType { mtError, mtWarning, mtInformation, mtConfirmation };

struct TMessage {
    TMsgDlgType Type;
    std::string Caption;
    std::string Text;
    // A question (AskYesNo): where the sink puts its answer, No until it
    // says yes. Null for a message; valid only while the sink runs.
    bool* Answer = nullptr;
};

using TMessageSink = std::function<void(const TMessage&)>;

// Shows a message through the current sink; without one, writes it to
// standard error. Returns when the message has been dismissed.
void ShowMessage(TMsgDlgType type, const std::string& caption, const std::string& text);

// The standard error box: caption "Error", error icon, one OK button.
void ShowError(const std::string& text);

// Asks a question with Yes and No through the current sink; true for Yes.
// Without a sink, or a sink that does not answer: No.
bool AskYesNo(const std::string& caption, const std::string& text);

// Replaces the sink and returns the previous one.
TMessageSink SetMessageSink(TMessageSink sink);

}  // namespace platform
