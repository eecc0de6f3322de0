#include "platform/stopsignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace platform {

namespace {

int StopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(StopPipe[1], &byte, 1);
}

}  // namespace

bool CatchStopSignals(std::function<void()> onStop) {
    if (pipe2(StopPipe, O_CLOEXEC) != 0)
        return false;
    auto* notifier =
        new QSocketNotifier(StopPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [onStop = std::move(onStop)] {
        char byte;
        [[maybe_unused]] const ssize_t n = read(StopPipe[0], &byte, 1);
        onStop();
    });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
}

}  // namespace platform
