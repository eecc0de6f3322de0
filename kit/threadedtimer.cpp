#include "kit/threadedtimer.h"

#include <cstdio>
#include <exception>
#include <system_error>

#include <QMetaObject>

#include "kit/messages.h"
#include "platform/msgsink.h"

namespace kit {

namespace {

std::string Format(const char* pattern, const std::string& text, int code = 0) {
    char line[512];
    std::snprintf(line, sizeof line, pattern, text.c_str(), code);
    return line;
}

[[noreturn]] void RaiseThreadError(const std::system_error& e) {
    throw EThreadError(Format(kThreadError, e.code().message(), e.code().value()));
}

std::string TextOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return kUnknownTimerError;
    }
}

}  // namespace

// --- TTimerThread ---

TTimerThread::TTimerThread(TThreadedTimer& owner, platform::TEvent& wake)
    : FOwner(owner), FWake(wake) {}

TTimerThread::~TTimerThread() {
    Terminate();
    Finish();
    WaitFor();
}

bool TTimerThread::Parked() const {
    std::lock_guard lock(FGateLock);
    return FParked;
}

void TTimerThread::Park() {
    try {
        std::lock_guard lock(FGateLock);
        FParked = true;
    } catch (const std::system_error& e) {
        RaiseThreadError(e);
    }
}

void TTimerThread::Release() {
    bool start = false;
    try {
        {
            std::lock_guard lock(FGateLock);
            if (!FParked)
                return;
            FParked = false;
            start = !FStarted;
            FStarted = true;
        }
        FGate.notify_all();
    } catch (const std::system_error& e) {
        RaiseThreadError(e);
    }
    if (!start)
        return;
    try {
        Start();
    } catch (const std::system_error& e) {
        std::lock_guard lock(FGateLock);
        FParked = true;
        FStarted = false;
        throw EThreadError(Format(kThreadCreationError, e.code().message()));
    }
}

void TTimerThread::Finish() {
    {
        std::lock_guard lock(FGateLock);
        FFinishing = true;
    }
    FGate.notify_all();
}

// Sleeps while parked; false once the worker is to end.
bool TTimerThread::WaitWhileParked() {
    std::unique_lock lock(FGateLock);
    FGate.wait(lock, [this] { return !FParked || FFinishing; });
    return !Terminated();
}

void TTimerThread::Execute() {
    while (WaitWhileParked()) {
        // A signalled wake event is a restart (or the end), never a tick.
        if (FWake.WaitFor(Interval()))
            continue;
        if (Terminated())
            return;
        // Disabled while the interval ran: the tick is not due any more.
        if (Parked())
            continue;
        try {
            HandOverTick();
        } catch (...) {
            // The handler failed: this worker ends, the owner learns why and
            // may enable the timer again, which starts a fresh worker.
            const std::string text = TextOf(std::current_exception());
            try {
                platform::Synchronize([this, &text] { FOwner.HandlerFailed(text); });
            } catch (...) {
            }
            return;
        }
    }
}

void TTimerThread::HandOverTick() {
    platform::Synchronize([this] { FOwner.Tick(); });
}

// --- TThreadedTimer ---

TThreadedTimer::TThreadedTimer(QObject* owner)
    : QObject(owner), FThread(std::make_unique<TTimerThread>(*this, FWake)) {}

TThreadedTimer::~TThreadedTimer() {
    FDestroying = true;
    FThread->Terminate();
    FWake.SetEvent();
    // Wakes a parked worker too; one that never started has nothing to end.
    FThread->Finish();
    FThread->WaitFor();
    FThread.reset();
}

void TThreadedTimer::SetEnabled(bool value) {
    if (value == FEnabled)
        return;
    if (value && FWorkerEnded && FReportingFailure) {
        // The ended worker still waits in its hand-over, which is this very
        // call: the fresh worker starts once that hand-over has returned.
        QMetaObject::invokeMethod(
            this, [this] { SetEnabled(true); }, Qt::QueuedConnection);
        return;
    }
    if (value && FWorkerEnded)
        ReplaceEndedWorker();
    FEnabled = value;
    if (!value) {
        FThread->Park();
        return;
    }
    if (FThread->Interval() == 0)
        return;
    // Ends the wait in progress without a tick, so the first tick comes one
    // full interval from now.
    FWake.SetEvent();
    try {
        FThread->Release();
    } catch (...) {
        FEnabled = false;
        throw;
    }
}

void TThreadedTimer::SetInterval(std::uint32_t value) {
    if (value == FThread->Interval())
        return;
    const bool enabled = FEnabled;
    SetEnabled(false);
    FThread->SetInterval(value);
    SetEnabled(enabled);
}

void TThreadedTimer::Tick() {
    // A tick already on its way when the timer was disabled is dropped.
    if (!FEnabled || FDestroying)
        return;
    DoTimer();
}

// The error box is shown from the event loop, after the worker has left
// the hand-over: a box shown inside it would hold the worker, and a Refresh
// clicked while the box is open would wait for that worker for ever.
void TThreadedTimer::HandlerFailed(const std::string& why) {
    FEnabled = false;
    FWorkerEnded = true;
    FReportingFailure = true;
    try {
        if (OnTimerError)
            OnTimerError(this, why);
    } catch (...) {
        FReportingFailure = false;
        throw;
    }
    FReportingFailure = false;
    QMetaObject::invokeMethod(
        this, [why] { platform::ShowError(why); }, Qt::QueuedConnection);
}

void TThreadedTimer::ReplaceEndedWorker() {
    const std::uint32_t interval = FThread->Interval();
    const TThreadPriority priority = FThread->Priority();
    FThread->WaitFor();
    FThread = std::make_unique<TTimerThread>(*this, FWake);
    FThread->SetInterval(interval);
    FThread->SetPriority(priority);
    FWorkerEnded = false;
}

void TThreadedTimer::DoTimer() {
    if (OnTimer)
        OnTimer(this);
}

}  // namespace kit
