#include "platform/mainthread.h"

#include <QCoreApplication>

namespace platform {

QEvent::Type TPostedMessage::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

THiddenReceiver::THiddenReceiver(THandler handler) : FHandler(std::move(handler)) {}

void THiddenReceiver::PostMessage(TPostedMessage* message) {
    // Messages of one poster to one receiver at one priority are delivered
    // in posting order.
    QCoreApplication::postEvent(this, message);
}

bool THiddenReceiver::event(QEvent* e) {
    if (e->type() != TPostedMessage::EventType())
        return QObject::event(e);
    if (FHandler)
        FHandler(static_cast<TPostedMessage&>(*e));
    return true;
}

}  // namespace platform
