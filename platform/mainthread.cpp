#include "platform/mainthread.h"

#include <QCoreApplication>

// Qt's posted-event queue is guarded by Qt's own mutex, built on bare futex
// calls that the thread sanitizer cannot see. Under it, the hand-over of a
// message is declared explicitly: everything the poster wrote before posting
// happens before the receiver reads the message.
#if defined(__SANITIZE_THREAD__)
#define VAPCAL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VAPCAL_THREAD_SANITIZER 1
#endif
#endif

#ifdef VAPCAL_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace platform {

namespace {

void HandOver(void* message) {
#ifdef VAPCAL_THREAD_SANITIZER
    __tsan_release(message);
#else
    (void)message;
#endif
}

void TakeOver(void* message) {
#ifdef VAPCAL_THREAD_SANITIZER
    __tsan_acquire(message);
#else
    (void)message;
#endif
}

}  // namespace

QEvent::Type TPostedMessage::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

THiddenReceiver::THiddenReceiver(THandler handler) : FHandler(std::move(handler)) {}

void THiddenReceiver::PostMessage(TPostedMessage* message) {
    // Messages of one poster to one receiver at one priority are delivered
    // in posting order.
    HandOver(message);
    QCoreApplication::postEvent(this, message);
}

bool THiddenReceiver::event(QEvent* e) {
    TakeOver(e);
    if (e->type() != TPostedMessage::EventType())
        return QObject::event(e);
    if (FHandler)
        FHandler(static_cast<TPostedMessage&>(*e));
    return true;
}

}  // namespace platform
