// TEvent: a signal one thread raises and another sleeps on, with timed waits.
//
// An auto-reset event lets exactly one wait through per SetEvent and clears
// itself (several sets before the wait leave one wake-up); a manual-reset
// event stays set until ResetEvent. Waiting sleeps on a condition variable,
// never polls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

class TEvent {
  public:
    enum TResetMode { rmAuto, rmManual };

    explicit TEvent(TResetMode mode, bool initiallySet = false)
        : FManual(mode == rmManual), FSet(initiallySet) {}
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void SetEvent() {
        {
            std::lock_guard lock(FLock);
            FSet = true;
        }
        if (FManual)
            FCond.notify_all();
        else
            FCond.notify_one();
    }

    void ResetEvent() {
        std::lock_guard lock(FLock);
        FSet = false;
    }

    // Sleeps until the event is set.
    void WaitFor() {
        std::unique_lock lock(FLock);
        FCond.wait(lock, [this] { return FSet; });
        Consume();
    }

    // Sleeps until the event is set or ms milliseconds have passed; true
    // when it was set.
    bool WaitFor(unsigned ms) {
        std::unique_lock lock(FLock);
        if (!FCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FSet; }))
            return false;
        Consume();
        return true;
    }

  private:
    void Consume() {
        if (!FManual)
            FSet = false;
    }

    std::mutex FLock;
    std::condition_variable FCond;
    const bool FManual;
    bool FSet;
};

}  // namespace platform
