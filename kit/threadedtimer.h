// TThreadedTimer: a periodic tick on the main thread, timed by a worker
// thread of its own.
//
// The worker measures each interval with a timed wait on the wake event, so
// the timing does not depend on the main thread's event queue being idle;
// only the tick itself crosses to the main thread, and the worker blocks until
// the tick has run. Ticks therefore never queue up or overlap: the period is
// the interval plus the time the main thread needs to reach and run the
// handler. The console's polling timer (500 ms) is one of these.
//
// Threads: every property, the handler, construction and destruction belong
// to the main thread; the worker only waits, reads the interval and hands
// ticks over.
#pragma once

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/event.h"
#include "platform/thread.h"

namespace kit {

class TThreadedTimer;

using TThreadPriority = platform::TThreadPriority;
using enum platform::TThreadPriority;
using TTimerNotifyEvent = std::function<void(TThreadedTimer* Sender)>;
using TTimerErrorEvent = std::function<void(TThreadedTimer* Sender, const std::string& Why)>;

// The worker could not be made, parked or released.
class EThreadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The worker of one TThreadedTimer. It starts parked and runs its loop only
// between a Release and the next Park; the owner keeps the two balanced.
class TTimerThread final : public platform::TThread {
  public:
    TTimerThread(TThreadedTimer& owner, platform::TEvent& wake);
    ~TTimerThread() override;

    std::uint32_t Interval() const { return FInterval.load(); }
    void SetInterval(std::uint32_t value) { FInterval.store(value); }

    bool Parked() const;
    // Stops the loop at its next look at the gate; a tick that is due then is
    // dropped.
    void Park();
    // Lets the loop run again; the first release starts the thread.
    void Release();
    // Wakes a parked worker for good, so that it sees Terminated.
    void Finish();

  protected:
    void Execute() override;

  private:
    bool WaitWhileParked();
    void HandOverTick();

    TThreadedTimer& FOwner;
    platform::TEvent& FWake;
    std::atomic<std::uint32_t> FInterval{1000};
    mutable std::mutex FGateLock;
    std::condition_variable FGate;
    bool FParked = true;
    bool FStarted = false;
    bool FFinishing = false;
};

class TThreadedTimer : public QObject {
  public:
    explicit TThreadedTimer(QObject* owner = nullptr);
    // Ends the worker, serving a tick it is handing over meanwhile (the tick
    // itself is dropped: the owner may be half gone).
    ~TThreadedTimer() override;
    TThreadedTimer(const TThreadedTimer&) = delete;
    TThreadedTimer& operator=(const TThreadedTimer&) = delete;

    int Tag = 0;

    // --- Published properties, in the order of the stored form ---
    // Default false. Enabling starts a full interval from now.
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    // Milliseconds, default 1000; 0 means no ticks. A change restarts the
    // interval in progress.
    std::uint32_t Interval() const { return FThread->Interval(); }
    void SetInterval(std::uint32_t value);
    // Runs on the main thread at each tick while Enabled. A handler that
    // raises stops the timer: Enabled becomes false, OnTimerError hears why,
    // the error box shows it, and a later enabling starts the ticks again.
    TTimerNotifyEvent OnTimer;
    // Main thread, when the handler raised; the timer is disabled by then.
    // Enabling it from here starts the ticks once this event has returned.
    TTimerErrorEvent OnTimerError;
    // Default tpNormal; passed straight to the worker.
    TThreadPriority ThreadPriority() const { return FThread->Priority(); }
    void SetThreadPriority(TThreadPriority value) { FThread->SetPriority(value); }

  protected:
    virtual void DoTimer();

  private:
    friend class TTimerThread;
    // Main thread, handed over by the worker.
    void Tick();
    // Main thread, handed over by the worker whose handler raised; the
    // worker ends after it.
    void HandlerFailed(const std::string& why);
    // A fresh parked worker in place of one that ended, with its settings.
    void ReplaceEndedWorker();

    bool FEnabled = false;
    bool FWorkerEnded = false;
    bool FReportingFailure = false;
    bool FDestroying = false;
    // The wake event outlives the worker that waits on it.
    platform::TEvent FWake{platform::TEvent::rmAuto};
    std::unique_ptr<TTimerThread> FThread;
};

}  // namespace kit
