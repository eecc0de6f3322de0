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
        sink(TMessage{type, caption, text});
        return;
    }
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

void ShowError(const std::string& text) {
    ShowMessage(TMsgDlgType::mtError, "Error", text);
}

TMessageSink SetMessageSink(TMessageSink sink) {
    return std::exchange(Sink(), std::move(sink));
}

}  // namespace platform
