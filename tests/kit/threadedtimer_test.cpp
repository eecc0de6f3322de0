// The threaded timer against a real main thread: ticks measured on the
// steady clock, with generous slack (these show behaviour, not speed).
#include "kit/threadedtimer.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/msgsink.h"

namespace {

using Clock = std::chrono::steady_clock;
using kit::TThreadedTimer;

// Scheduling slack on a busy machine: a tick may come this much early
// relative to a measurement started just after the enabling call.
constexpr auto kSlack = std::chrono::milliseconds(40);

long Ms(Clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

class ThreadedTimerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "kittimer_tests";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr)
            new QCoreApplication(argc, argv);
    }

    void SetUp() override {
        Previous = platform::SetMessageSink(
            [this](const platform::TMessage& m) { Messages.push_back(m.Text); });
    }
    void TearDown() override { platform::SetMessageSink(Previous); }

    // Runs the main thread's event loop for ms milliseconds.
    static void RunEvents(int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    }

    // Runs the event loop until done() holds or limitMs passed.
    static bool RunUntil(const std::function<bool()>& done, int limitMs = 5000) {
        const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
        while (!done() && Clock::now() < end)
            RunEvents(5);
        return done();
    }

    // Counts ticks and remembers when each began.
    void Record(TThreadedTimer& timer) {
        timer.OnTimer = [this](TThreadedTimer*) { Ticks.push_back(Clock::now()); };
    }

    std::vector<Clock::time_point> Ticks;
    std::vector<std::string> Messages;
    platform::TMessageSink Previous;
};

TEST_F(ThreadedTimerTest, StartsDisabledWithTheDefaults) {
    TThreadedTimer timer;
    EXPECT_FALSE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_EQ(timer.ThreadPriority(), kit::tpNormal);
    timer.SetThreadPriority(kit::tpLower);
    EXPECT_EQ(timer.ThreadPriority(), kit::tpLower);
}

TEST_F(ThreadedTimerTest, FirstTickComesOneIntervalAfterEnabling) {
    TThreadedTimer timer;
    timer.SetInterval(200);
    Record(timer);
    RunEvents(300);
    EXPECT_TRUE(Ticks.empty());

    const auto enabled = Clock::now();
    timer.SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return !Ticks.empty(); }));
    EXPECT_GE(Ticks[0] - enabled, std::chrono::milliseconds(200) - kSlack);
}

TEST_F(ThreadedTimerTest, ReenablingHalfWayStartsAFullInterval) {
    TThreadedTimer timer;
    timer.SetInterval(300);
    Record(timer);
    timer.SetEnabled(true);
    RunEvents(150);
    timer.SetEnabled(false);
    const auto reenabled = Clock::now();
    timer.SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return !Ticks.empty(); }));
    EXPECT_GE(Ticks[0] - reenabled, std::chrono::milliseconds(300) - kSlack);
}

TEST_F(ThreadedTimerTest, ChangingTheIntervalRestartsTheWait) {
    TThreadedTimer timer;
    timer.SetInterval(300);
    Record(timer);
    timer.SetEnabled(true);
    RunEvents(200);
    const auto changed = Clock::now();
    timer.SetInterval(500);
    ASSERT_TRUE(RunUntil([&] { return !Ticks.empty(); }));
    EXPECT_GE(Ticks[0] - changed, std::chrono::milliseconds(500) - kSlack);
}

TEST_F(ThreadedTimerTest, WritingTheSameIntervalDoesNotRestartTheWait) {
    TThreadedTimer timer;
    timer.SetInterval(1000);
    Record(timer);
    const auto enabled = Clock::now();
    timer.SetEnabled(true);
    RunEvents(500);
    timer.SetInterval(1000);
    ASSERT_TRUE(RunUntil([&] { return !Ticks.empty(); }));
    // A restart would put the tick at 1500 ms.
    EXPECT_LT(Ms(Ticks[0] - enabled), 1400);
}

TEST_F(ThreadedTimerTest, IntervalZeroTicksNeverUntilAPositiveIntervalIsSet) {
    TThreadedTimer timer;
    timer.SetInterval(0);
    Record(timer);
    timer.SetEnabled(true);
    EXPECT_TRUE(timer.Enabled());
    RunEvents(300);
    EXPECT_TRUE(Ticks.empty());

    timer.SetInterval(200);
    EXPECT_TRUE(timer.Enabled());
    ASSERT_TRUE(RunUntil([&] { return Ticks.size() >= 3; }));
    EXPECT_GE(Ticks[2] - Ticks[1], std::chrono::milliseconds(200) - kSlack);
}

// Enabling and disabling in any order leaves the worker parked exactly when
// the timer is off: a run of toggles ending enabled still ticks.
TEST_F(ThreadedTimerTest, ParkAndReleaseStayBalancedOverAnySequence) {
    TThreadedTimer timer;
    Record(timer);
    timer.SetEnabled(false);
    timer.SetInterval(0);
    timer.SetEnabled(true);
    timer.SetEnabled(false);
    timer.SetEnabled(true);
    timer.SetInterval(0);
    timer.SetInterval(50);
    timer.SetEnabled(false);
    timer.SetInterval(100);
    timer.SetEnabled(true);
    timer.SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return Ticks.size() >= 2; }));
    timer.SetEnabled(false);
    RunEvents(50);
    const size_t ticks = Ticks.size();
    RunEvents(300);
    EXPECT_EQ(Ticks.size(), ticks);
}

TEST_F(ThreadedTimerTest, TicksRunOnTheMainThread) {
    TThreadedTimer timer;
    timer.SetInterval(20);
    bool onMain = false;
    timer.OnTimer = [&](TThreadedTimer* sender) {
        onMain = QThread::currentThread() == QCoreApplication::instance()->thread();
        sender->SetEnabled(false);
        Ticks.push_back(Clock::now());
    };
    timer.SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return !Ticks.empty(); }));
    EXPECT_TRUE(onMain);
}

TEST_F(ThreadedTimerTest, ASlowHandlerGetsNoQueuedOrOverlappingTicks) {
    TThreadedTimer timer;
    timer.SetInterval(50);
    bool inHandler = false;
    bool overlapped = false;
    std::vector<Clock::time_point> ends;
    timer.OnTimer = [&](TThreadedTimer*) {
        overlapped = overlapped || inHandler;
        inHandler = true;
        Ticks.push_back(Clock::now());
        // Longer than the interval, with the event loop running meanwhile.
        RunEvents(150);
        ends.push_back(Clock::now());
        inHandler = false;
    };
    timer.SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return Ticks.size() >= 4; }));
    timer.SetEnabled(false);
    EXPECT_FALSE(overlapped);
    for (size_t i = 1; i < Ticks.size() && i <= ends.size(); ++i)
        EXPECT_GE(Ticks[i] - ends[i - 1], std::chrono::milliseconds(50) - kSlack) << i;
}

TEST_F(ThreadedTimerTest, DisablingInsideTheHandlerStopsFurtherTicks) {
    TThreadedTimer timer;
    timer.SetInterval(30);
    timer.OnTimer = [&](TThreadedTimer* sender) {
        Ticks.push_back(Clock::now());
        sender->SetEnabled(false);
    };
    timer.SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return !Ticks.empty(); }));
    RunEvents(300);
    EXPECT_EQ(Ticks.size(), 1u);
    EXPECT_FALSE(timer.Enabled());
}

TEST_F(ThreadedTimerTest, ATickOnItsWayWhenDisabledIsDropped) {
    TThreadedTimer timer;
    timer.SetInterval(10);
    Record(timer);
    timer.SetEnabled(true);
    // The main thread does not look at its events, so the worker ends up
    // blocked in the hand-over of a tick.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    timer.SetEnabled(false);
    RunEvents(100);
    EXPECT_TRUE(Ticks.empty());
}

TEST_F(ThreadedTimerTest, AFailingHandlerStopsTheTimerUntilItIsEnabledAgain) {
    auto* timer = new TThreadedTimer;
    timer->SetInterval(20);
    bool fail = true;
    std::vector<std::string> stops;
    timer->OnTimer = [&](TThreadedTimer*) {
        Ticks.push_back(Clock::now());
        if (fail)
            throw std::runtime_error("instrument table gone");
    };
    timer->OnTimerError = [&](TThreadedTimer* sender, const std::string& why) {
        EXPECT_FALSE(sender->Enabled());
        stops.push_back(why);
    };
    timer->SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return !Messages.empty(); }));
    RunEvents(200);
    EXPECT_EQ(Ticks.size(), 1u);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0], "instrument table gone");
    EXPECT_EQ(stops, std::vector<std::string>{"instrument table gone"});
    EXPECT_FALSE(timer->Enabled());

    // Enabled again, it ticks again with a fresh worker, as often as needed.
    fail = false;
    timer->SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return Ticks.size() >= 3; }));
    EXPECT_EQ(timer->Interval(), 20u);
    EXPECT_EQ(Messages.size(), 1u);

    // Enabled again from the error event itself: no deadlock on the worker
    // that is still reporting, and the ticks come back.
    fail = true;
    timer->OnTimerError = [&](TThreadedTimer* sender, const std::string&) {
        fail = false;
        sender->SetEnabled(true);
    };
    const size_t before = Ticks.size();
    ASSERT_TRUE(RunUntil([&] { return Ticks.size() >= before + 3; }));
    EXPECT_TRUE(timer->Enabled());
    delete timer;
}

struct TDestructionCase {
    const char* Name;
    std::function<void(TThreadedTimer&)> Prepare;
};

class ThreadedTimerDestructionTest : public ThreadedTimerTest,
                                     public ::testing::WithParamInterface<TDestructionCase> {};

TEST_P(ThreadedTimerDestructionTest, CompletesWithoutAnotherTick) {
    auto* timer = new TThreadedTimer;
    Record(*timer);
    GetParam().Prepare(*timer);
    const size_t ticks = Ticks.size();
    delete timer;
    EXPECT_EQ(Ticks.size(), ticks);
    RunEvents(50);
    EXPECT_EQ(Ticks.size(), ticks);
}

INSTANTIATE_TEST_SUITE_P(States, ThreadedTimerDestructionTest,
                         ::testing::Values(TDestructionCase{"NeverEnabled", [](TThreadedTimer&) {}},
                                           TDestructionCase{"EnabledWithIntervalZero",
                                                            [](TThreadedTimer& t) {
                                                                t.SetInterval(0);
                                                                t.SetEnabled(true);
                                                            }},
                                           TDestructionCase{"Running",
                                                            [](TThreadedTimer& t) {
                                                                t.SetInterval(30);
                                                                t.SetEnabled(true);
                                                                QEventLoop loop;
                                                                QTimer::singleShot(
                                                                    100, &loop, &QEventLoop::quit);
                                                                loop.exec();
                                                            }},
                                           TDestructionCase{"RunningWithALongInterval",
                                                            [](TThreadedTimer& t) {
                                                                t.SetInterval(60000);
                                                                t.SetEnabled(true);
                                                            }},
                                           TDestructionCase{"Disabled",
                                                            [](TThreadedTimer& t) {
                                                                t.SetInterval(30);
                                                                t.SetEnabled(true);
                                                                t.SetEnabled(false);
                                                            }},
                                           TDestructionCase{"BlockedInAHandOver",
                                                            [](TThreadedTimer& t) {
                                                                t.SetInterval(10);
                                                                t.SetEnabled(true);
                                                                std::this_thread::sleep_for(
                                                                    std::chrono::milliseconds(100));
                                                            }}),
                         [](const ::testing::TestParamInfo<TDestructionCase>& info) {
                             return info.param.Name;
                         });

}  // namespace
