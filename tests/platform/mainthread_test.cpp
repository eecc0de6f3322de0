// The hand-over between worker threads and the main thread: Synchronize,
// waiting for a worker while serving it, the hidden receiver's order and
// ownership, the ring its messages wait in, and the events workers sleep on.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <atomic>
#include <stdexcept>
#include <vector>

#include "platform/event.h"
#include "platform/mainthread.h"
#include "platform/ring.h"
#include "platform/thread.h"

namespace platform {
namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "platform_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

class TBodyThread : public TThread {
  public:
    explicit TBodyThread(std::function<void()> body) : FBody(std::move(body)) {}
    ~TBodyThread() override {
        Terminate();
        WaitFor();
    }

  protected:
    void Execute() override { FBody(); }

  private:
    std::function<void()> FBody;
};

TEST(Synchronize, RunsOnTheMainThreadWhileTheMainThreadWaitsForTheWorker) {
    App();
    std::atomic<bool> ranOnMain{false};
    std::string error;
    {
        TBodyThread worker([&] {
            Synchronize([&] { ranOnMain = IsMainThread(); });
            try {
                Synchronize([] { throw std::runtime_error("shown on the main thread"); });
            } catch (const std::runtime_error& e) {
                error = e.what();
            }
        });
        worker.Start();
        // No event loop runs here: WaitFor itself serves the calls.
    }
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(error, "shown on the main thread");
}

TEST(Synchronize, IsServedFromTheEventLoop) {
    App();
    std::atomic<int> served{0};
    TBodyThread worker([&] {
        for (int i = 0; i < 3; ++i)
            Synchronize([&] { ++served; });
    });
    worker.Start();
    while (served < 3)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_EQ(served.load(), 3);
}

TEST(Synchronize, OnTheMainThreadRunsInPlace) {
    App();
    bool ran = false;
    Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
}

struct TCounted {
    explicit TCounted(int value, std::atomic<int>& alive) : Value(value), Alive(alive) { ++Alive; }
    ~TCounted() { --Alive; }
    int Value;
    std::atomic<int>& Alive;
};

TEST(HiddenReceiver, DeliversInPostingOrderAndFreesEveryPayload) {
    App();
    std::atomic<int> alive{0};
    std::vector<int> seen;
    THiddenReceiver receiver(
        [&](TPostedMessage& m) { seen.push_back(m.Payload<TCounted>().Value * 10 + m.Param); });
    TBodyThread worker([&] {
        for (int i = 0; i < 100; ++i)
            receiver.Post(1, i % 2, std::make_unique<TCounted>(i, alive));
    });
    worker.Start();
    while (seen.size() < 100)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(seen[static_cast<std::size_t>(i)], i * 10 + i % 2);
    EXPECT_EQ(alive.load(), 0);
}

// A caller that waits for its results takes them in order without the
// event loop; what it leaves is delivered by the event loop, in order, and
// a handler that runs a nested loop still receives the messages behind its
// own.
TEST(HiddenReceiver, AWaitingCallerAndTheEventLoopShareTheMessagesInOrder) {
    App();
    std::atomic<int> alive{0};
    std::vector<int> seen;
    THiddenReceiver receiver([&](TPostedMessage& m) {
        seen.push_back(m.Payload<TCounted>().Value);
        if (seen.back() == 60)
            while (seen.size() < 62)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    });
    EXPECT_FALSE(receiver.HandleNext(10));
    TBodyThread worker([&] {
        for (int i = 0; i < 100; ++i)
            receiver.Post(1, 0, std::make_unique<TCounted>(i, alive));
    });
    worker.Start();
    while (seen.size() < 50)
        ASSERT_TRUE(receiver.HandleNext(5000));
    while (seen.size() < 100)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(alive.load(), 0);
    EXPECT_FALSE(receiver.HandleNext(10));
}

TEST(HiddenReceiver, FreesWhatIsStillWaitingWhenDestroyed) {
    App();
    std::atomic<int> alive{0};
    {
        THiddenReceiver receiver([](TPostedMessage&) { FAIL() << "nothing is delivered"; });
        receiver.Post(1, 0, std::make_unique<TCounted>(1, alive));
        receiver.Post(1, 0, std::make_unique<TCounted>(2, alive));
        EXPECT_EQ(alive.load(), 2);
    }
    EXPECT_EQ(alive.load(), 0);
    QCoreApplication::processEvents();
}

// The receiver's and the transaction thread's queues: order holds when the
// items wrap round the block's end, when the block grows, and when some are
// taken out of the middle.
TEST(Ring, KeepsOrderAcrossWrapGrowthAndRemoval) {
    TRing<int> ring(4);
    for (int i = 0; i < 3; ++i)
        ring.PushBack(i);
    EXPECT_EQ(ring.PopFront(), 0);
    EXPECT_EQ(ring.PopFront(), 1);
    for (int i = 3; i < 10; ++i)  // wraps round, then grows
        ring.PushBack(i);
    std::vector<int> odd;
    ring.RemoveIf([](int i) { return i % 2 == 1; }, odd);
    EXPECT_EQ(odd, (std::vector<int>{3, 5, 7, 9}));
    ring.PushBack(10);
    std::vector<int> rest;
    while (!ring.Empty())
        rest.push_back(ring.PopFront());
    EXPECT_EQ(rest, (std::vector<int>{2, 4, 6, 8, 10}));
}

TEST(Event, AutoResetLetsOneWaitThroughPerSet) {
    TEvent event(TEvent::rmAuto);
    event.SetEvent();
    event.SetEvent();
    EXPECT_TRUE(event.WaitFor(0u));
    EXPECT_FALSE(event.WaitFor(10u));
}

TEST(Event, ManualResetStaysSetUntilReset) {
    TEvent event(TEvent::rmManual);
    event.SetEvent();
    EXPECT_TRUE(event.WaitFor(0u));
    EXPECT_TRUE(event.WaitFor(0u));
    event.ResetEvent();
    EXPECT_FALSE(event.WaitFor(10u));
}

TEST(Event, WakesAWaitingThread) {
    TEvent event(TEvent::rmAuto);
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        event.WaitFor();
        woke = true;
    });
    event.SetEvent();
    waiter.join();
    EXPECT_TRUE(woke);
}

}  // namespace
}  // namespace platform
