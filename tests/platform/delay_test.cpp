#include "platform/delay.h"

#include <gtest/gtest.h>
#include <time.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>

namespace {

void EnsureApplication() {
    if (QCoreApplication::instance() != nullptr)
        return;
    static int argc = 1;
    static char name[] = "platform_tests";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives until the process ends
}

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

using Clock = std::chrono::steady_clock;

}  // namespace

TEST(Delay, RunsEventsWhileItWaitsForTheDeadline) {
    EnsureApplication();
    bool fired = false;
    QTimer::singleShot(20, [&] { fired = true; });
    const auto start = Clock::now();
    platform::Delay(150);
    EXPECT_TRUE(fired);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
}

TEST(Delay, SleepsRatherThanSpinsOnceTheApplicationIsQuitting) {
    EnsureApplication();
    QTimer::singleShot(10, [] { QCoreApplication::exit(0); });
    const double cpuBefore = ThreadCpuMs();
    const auto start = Clock::now();
    platform::Delay(400);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(400));
    // A spinning wait would use about the whole 400 ms.
    EXPECT_LT(ThreadCpuMs() - cpuBefore, 200.0);
}
