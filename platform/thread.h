// TThread: the worker threads of the console (the Modbus transaction thread,
// the threaded timer), and the hand-over of a call to the main thread.
//
// A worker runs its Execute body on its own thread. The main thread owns the
// event loop and every window; a worker that needs the main thread (to show an
// error, to have a server request answered) calls Synchronize and blocks until
// the main thread has run the call. The main thread serves those calls from
// its event loop and also while it waits for a worker to end, so closing a
// connection whose worker is just handing over an error never deadlocks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace platform {

// Scheduling priority of a worker, lowest first.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Runs fn on the main thread and returns when it has run. An exception that
// leaves fn is raised again in the caller. Called on the main thread itself
// (or before an application object exists), fn simply runs in place.
void Synchronize(const std::function<void()>& fn);

// Lets the calling thread's timed waits end at their deadline, not up to
// 50 microseconds later as Linux groups timers by default (the rests
// between Modbus frames are counted in microseconds); false gives the
// default back.
void UseExactTimers(bool exact = true);

// Runs the calls that workers are waiting on; returns how many ran. Main
// thread only; the event loop calls it by itself.
int CheckSynchronize();

// True on the thread that created the application object (or, without one,
// on every thread: there is then no main thread to hand over to).
bool IsMainThread();

// A one-shot completion the main thread can wait on without starving the
// workers: while it waits it keeps serving their Synchronize calls.
class TCompletion {
  public:
    // Any thread.
    void Complete();
    // Returns once Complete has run; on the main thread it serves
    // Synchronize calls meanwhile.
    void Wait();
    bool Completed() const;

  private:
    bool FDone = false;
};

class TThread {
  public:
    TThread() = default;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // A derived class must end the thread in its own destructor (Terminate,
    // wake it, WaitFor): Execute belongs to the derived part.
    virtual ~TThread();

    // Starts Execute on a new thread, at the current Priority.
    void Start();
    // Asks Execute to return at its next look at Terminated.
    void Terminate() { FTerminated.store(true, std::memory_order_release); }
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    // Returns when Execute has returned. On the main thread it keeps serving
    // Synchronize calls meanwhile.
    void WaitFor();

    TThreadPriority Priority() const { return FPriority.load(); }
    // Takes effect at once on a running thread. A raise that the operating
    // system refuses (an unprivileged user asking for a higher priority)
    // leaves the thread where it was.
    void SetPriority(TThreadPriority priority);

    // CPU time the thread has used so far (zero when not running).
    std::chrono::nanoseconds CpuTime() const;

  protected:
    virtual void Execute() = 0;

  private:
    void Run();
    void ApplyPriority();

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<TThreadPriority> FPriority{tpNormal};
    std::atomic<int> FTid{0};
    std::mutex FDoneLock;
    std::condition_variable FDoneCond;
    bool FDone = false;
};

}  // namespace platform
