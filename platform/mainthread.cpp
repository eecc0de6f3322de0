#include "platform/mainthread.h"

#include <QCoreApplication>

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
    QCoreApplication::postEvent(this, new QEvent(MessageWaiting()));
}

bool THiddenReceiver::event(QEvent* e) {
    if (e->type() != MessageWaiting())
        return QObject::event(e);
    std::unique_ptr<TPostedMessage> message;
    {
        std::lock_guard lock(FLock);
        if (FQueue.empty())
            return true;
        message = std::move(FQueue.front());
        FQueue.pop_front();
    }
    if (FHandler)
        FHandler(*message);
    return true;
}

}  // namespace platform
