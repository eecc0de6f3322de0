#include "platform/delay.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <thread>

namespace platform {

void Delay(int ms) {
    if (ms <= 0)
        return;
    if (QCoreApplication::instance() == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    // A nested loop that a single-shot timer ends: between events the thread
    // sleeps in the event dispatcher, and the timer wakes it at the deadline.
    const QDeadlineTimer deadline(ms, Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(static_cast<int>(deadline.remainingTime()));
        loop.exec();
    }
}

}  // namespace platform
