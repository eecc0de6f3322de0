#include "platform/thread.h"

#include "platform/qthandover.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <deque>
#include <exception>

namespace platform {

namespace {

// A call a worker waits on.
struct TSyncRequest {
    const std::function<void()>* Fn;
    std::exception_ptr Error;
    bool Done = false;
};

// One queue of waiting calls for the whole program; the same condition wakes
// the workers whose call ran and the main thread when a call arrives or a
// worker ends.
struct TSyncState {
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<TSyncRequest*> Queue;
};

TSyncState& Sync() {
    static TSyncState state;
    return state;
}

// Lives on the main thread; each event it receives says that a worker waits
// in Synchronize.
class TSyncReceiver : public QObject {
  protected:
    void customEvent(QEvent* e) override {
        AcceptHandOver(e);
        CheckSynchronize();
    }
};

QObject* SyncReceiver() {
    static QObject* receiver = [] {
        auto* r = new TSyncReceiver;
        r->moveToThread(QCoreApplication::instance()->thread());
        return r;
    }();
    return receiver;
}

QEvent::Type SyncWaiting() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// Nice values for the priorities, a step of five apart around normal.
int NiceOf(TThreadPriority priority) {
    static constexpr int nice[] = {19, 10, 5, 0, -5, -10, -20};
    return nice[priority];
}

}  // namespace

bool IsMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || app->thread() == QThread::currentThread();
}

void Synchronize(const std::function<void()>& fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    TSyncState& sync = Sync();
    TSyncRequest request{&fn, nullptr, false};
    {
        std::lock_guard lock(sync.Lock);
        sync.Queue.push_back(&request);
    }
    sync.Changed.notify_all();
    // Wakes the main thread's event loop; a main thread waiting in WaitFor
    // was woken by the condition above and may have run the call already.
    PostHandOver(SyncReceiver(), new QEvent(SyncWaiting()));
    std::unique_lock lock(sync.Lock);
    sync.Changed.wait(lock, [&] { return request.Done; });
    if (request.Error)
        std::rethrow_exception(request.Error);
}

int CheckSynchronize() {
    TSyncState& sync = Sync();
    int ran = 0;
    for (;;) {
        TSyncRequest* request = nullptr;
        {
            std::lock_guard lock(sync.Lock);
            if (sync.Queue.empty())
                return ran;
            request = sync.Queue.front();
            sync.Queue.pop_front();
        }
        try {
            (*request->Fn)();
        } catch (...) {
            request->Error = std::current_exception();
        }
        {
            std::lock_guard lock(sync.Lock);
            request->Done = true;
        }
        sync.Changed.notify_all();
        ++ran;
    }
}

// Waits on the shared condition until done() holds, serving Synchronize
// calls when on the main thread.
static void WaitServing(const std::function<bool()>& done) {
    TSyncState& sync = Sync();
    const bool serve = IsMainThread();
    for (;;) {
        {
            std::unique_lock lock(sync.Lock);
            sync.Changed.wait(lock, [&] { return done() || (serve && !sync.Queue.empty()); });
            if (done())
                return;
        }
        CheckSynchronize();
    }
}

void TCompletion::Complete() {
    TSyncState& sync = Sync();
    {
        std::lock_guard lock(sync.Lock);
        FDone = true;
    }
    sync.Changed.notify_all();
}

void TCompletion::Wait() {
    WaitServing([this] { return FDone; });
}

bool TCompletion::Completed() const {
    std::lock_guard lock(Sync().Lock);
    return FDone;
}

void UseExactTimers(bool exact) {
    // 1 ns is the least slack the kernel takes; 0 sets its default again.
    prctl(PR_SET_TIMERSLACK, exact ? 1UL : 0UL, 0UL, 0UL, 0UL);
}

TThread::~TThread() {
    // Normally the derived destructor has ended the thread already.
    if (FThread.joinable()) {
        Terminate();
        WaitFor();
    }
}

void TThread::Start() {
    FThread = std::thread([this] { Run(); });
}

void TThread::Run() {
    FTid.store(static_cast<int>(gettid()));
    ApplyPriority();
    Execute();
    TSyncState& sync = Sync();
    {
        std::lock_guard lock(sync.Lock);
        FDone = true;
    }
    sync.Changed.notify_all();
}

void TThread::WaitFor() {
    if (!FThread.joinable())
        return;
    if (FThread.get_id() != std::this_thread::get_id())
        WaitServing([this] { return FDone; });
    FThread.join();
}

void TThread::SetPriority(TThreadPriority priority) {
    if (FPriority.exchange(priority) == priority)
        return;
    ApplyPriority();
}

void TThread::ApplyPriority() {
    const int tid = FTid.load();
    if (tid == 0)
        return;
    // A refused raise (EACCES without privilege) keeps the current priority.
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceOf(FPriority.load()));
}

std::chrono::nanoseconds TThread::CpuTime() const {
    if (!const_cast<std::thread&>(FThread).joinable())
        return std::chrono::nanoseconds(0);
    clockid_t clock;
    if (pthread_getcpuclockid(const_cast<std::thread&>(FThread).native_handle(), &clock) != 0)
        return std::chrono::nanoseconds(0);
    timespec ts{};
    clock_gettime(clock, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

}  // namespace platform
