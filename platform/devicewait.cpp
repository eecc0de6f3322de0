#include "platform/devicewait.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

namespace platform {

uint64_t MonotonicNs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

timespec TimeLeft(uint64_t deadlineNs) {
    const uint64_t now = MonotonicNs();
    const uint64_t left = now >= deadlineNs ? 0 : deadlineNs - now;
    return {static_cast<time_t>(left / 1000000000U), static_cast<long>(left % 1000000000U)};
}

TCutShortSignal::TCutShortSignal() : Fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TCutShortSignal::~TCutShortSignal() {
    if (Fd_ >= 0)
        close(Fd_);
}

void TCutShortSignal::Raise() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(Fd_, &one, sizeof one);
}

bool TCutShortSignal::Take() const {
    uint64_t count = 0;
    return read(Fd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

}  // namespace platform
