#include "platform/mainthread.h"

#include "platform/qthandover.h"

namespace platform {

namespace {

QEvent::Type MessageWaiting() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

}  // namespace

THiddenReceiver::THiddenReceiver(THandler handler) : FHandler(std::move(handler)) {}

void THiddenReceiver::PostMessage(std::unique_ptr<TPostedMessage> message) {
    {
        std::lock_guard lock(FLock);
        FQueue.push_back(std::move(message));
    }
    PostHandOver(this, new QEvent(MessageWaiting()));
}

// Our only custom event: one more message waits.
void THiddenReceiver::customEvent(QEvent* e) {
    AcceptHandOver(e);
    std::unique_ptr<TPostedMessage> message;
    {
        std::lock_guard lock(FLock);
        if (FQueue.empty())
            return;
        message = std::move(FQueue.front());
        FQueue.pop_front();
    }
    if (FHandler)
        FHandler(*message);
}

}  // namespace platform
