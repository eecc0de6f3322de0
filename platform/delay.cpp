#include "platform/delay.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
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
    // Events are processed until the deadline; between them the thread sleeps
    // in the event dispatcher, and a single-shot timer wakes it at the
    // deadline. No QEventLoop::exec here: once the application has been told
    // to quit, every new nested loop returns at once, and a wait built on them
    // would spin until its deadline.
    const QDeadlineTimer deadline(ms, Qt::PreciseTimer);
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        if (!wake.isActive()) {
            wake.start(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

}  // namespace platform
