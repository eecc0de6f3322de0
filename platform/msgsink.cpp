#include "platform/msgsink.h"

#include <cstdio>
#include <utility>

namespace platform {

namespace {
TMessageSink& Sink() {
    static TMessageSink sink;
    return sink;
}
}  // namespace

void ShowMessage(TMsgDlgType type, const std::string& caption, const std::string& text) {
    const TMessageSink sink = Sink();
    if (sink) {
        sink(TMessage{type, caption, text, nullptr});
        return;
    }
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

void ShowError(const std::string& text) {
    ShowMessage(TMsgDlgType::mtError, "Error", text);
}

bool AskYesNo(const std::string& caption, const std::string& text) {
    bool yes = false;
    const TMessageSink sink = Sink();
    if (sink)
        sink(TMessage{TMsgDlgType::mtConfirmation, caption, text, &yes});
    else
        std::fprintf(stderr, "%s: %s (taken as No)\n", caption.c_str(), text.c_str());
    return yes;
}

TMessageSink SetMessageSink(TMessageSink sink) {
    return std::exchange(Sink(), std::move(sink));
}

}  // namespace platform
