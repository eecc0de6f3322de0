// Posting a Qt event from a worker thread to an object on the main thread.
//
// Qt orders the hand-over with a lock inside its own library, which a thread
// checker cannot see; these two calls state the same order to it (and cost
// nothing in other builds), so that the event's delivery and deletion on the
// main thread are not taken for a race with its creation on the worker.
#pragma once

class QEvent;
class QObject;

namespace platform {

// Posts event (heap-allocated; Qt frees it after delivery) to receiver.
void PostHandOver(QObject* receiver, QEvent* event);
// The receiver's first step with an event posted by PostHandOver.
void AcceptHandOver(QEvent* event);

}  // namespace platform
