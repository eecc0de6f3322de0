// TEvent: a signal one thread raises and another sleeps on, with timed waits.
//
// An auto-reset event lets exactly one wait through per SetEvent and clears
// itself (several sets before the wait leave one wake-up); a manual-reset
// event stays set until ResetEvent. Waiting sleeps on a condition variable;
// only a wait that asks for it looks at the event for a bounded moment first
// (WaitFor with a spin).
#pragma once

#include <atomic>
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
            FSetSeen.store(true, std::memory_order_release);
        }
        if (FManual)
            FCond.notify_all();
        else
            FCond.notify_one();
    }

    void ResetEvent() {
        std::lock_guard lock(FLock);
        FSet = false;
        FSetSeen.store(false, std::memory_order_relaxed);
    }

    // Sleeps until the event is set.
    void WaitFor() {
        std::unique_lock lock(FLock);
        FCond.wait(lock, [this] { return FSet; });
        Consume();
    }

    // Looks for the event for up to `spin` before it sleeps until the event
    // is set: a thread that expects to be called again within microseconds
    // then goes on at once, without the wake-up of a sleeping core.
    void WaitFor(std::chrono::nanoseconds spin) {
        const auto until = std::chrono::steady_clock::now() + spin;
        while (!FSetSeen.load(std::memory_order_acquire) &&
               std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        WaitFor();
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
        if (!FManual) {
            FSet = false;
            FSetSeen.store(false, std::memory_order_relaxed);
        }
    }

    std::mutex FLock;
    std::condition_variable FCond;
    const bool FManual;
    bool FSet;
    // FSet as a spinning waiter may read it without the lock.
    std::atomic<bool> FSetSeen{FSet};
};

}  // namespace platform
