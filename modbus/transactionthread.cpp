#include "modbus/transactionthread.h"

#include <span>
#include <string>
#include <thread>

#include "modbus/connection.h"
#include "modbus/errors.h"
#include "modbus/framelength.h"
#include "modbus/messages.h"
#include "platform/msgsink.h"

namespace regwire {

TTransactionThread::TTransactionThread(TModbusConnection& connection)
    : FConnection(connection),
      FFrameBufferSize(connection.Codec().FrameBufferSize()),
      FReceiveFrame(static_cast<std::size_t>(FFrameBufferSize)),
      FSendFrame(static_cast<std::size_t>(FFrameBufferSize)),
      FNotifySend(static_cast<bool>(connection.OnFrameSend)),
      FNotifyReceive(static_cast<bool>(connection.OnFrameReceive)) {
    SetPriority(connection.ThreadPriority());
    Start();
}

TTransactionThread::~TTransactionThread() {
    Terminate();
    // A client waits for work; a server waits for a request without limit.
    if (FConnection.ConnectionMode() == cmClient)
        FWakeEvent.SetEvent();
    else
        FConnection.CutShortWait();
    std::this_thread::yield();
    WaitFor();
    RemoveTransactions(nullptr);
    if (FCallerExactTimers)
        platform::UseExactTimers(false);
}

// --- Queue (main thread) ---

void TTransactionThread::AddTransaction(std::unique_ptr<TModbusTransaction> transaction) {
    {
        std::lock_guard lock(FQueueLock);
        FQueue.PushBack(std::move(transaction));
    }
    FWakeEvent.SetEvent();
}

std::unique_ptr<TModbusTransaction> TTransactionThread::TakeTransaction() {
    std::lock_guard lock(FQueueLock);
    if (FQueue.Empty())
        return nullptr;
    return FQueue.PopFront();
}

void TTransactionThread::RemoveTransactions(const TModbusClient* client) {
    std::vector<std::unique_ptr<TModbusTransaction>> removed;
    {
        std::lock_guard lock(FQueueLock);
        FQueue.RemoveIf(
            [client](const std::unique_ptr<TModbusTransaction>& transaction) {
                return client == nullptr || transaction->Client == client;
            },
            removed);
    }
    // Freed outside the lock.
}

bool TTransactionThread::RunHere(std::unique_ptr<TModbusTransaction>& transaction) {
    std::unique_lock port(FPortLock, std::try_to_lock);
    if (!port.owns_lock() || QueuedCount() != 0)
        return false;
    FirstUseOfPort();
    MatchTimers(FCallerExactTimers);
    // The rest before the next request is taken as it is sent: the caller
    // has its reply meanwhile, and its next request is ready by then.
    ProcessTransaction(std::move(transaction));
    return true;
}

int TTransactionThread::QueuedCount() const {
    std::lock_guard lock(FQueueLock);
    return static_cast<int>(FQueue.Size());
}

int TTransactionThread::QueuedCount(std::uint8_t serverAddress) const {
    std::lock_guard lock(FQueueLock);
    int count = 0;
    for (std::size_t i = 0; i < FQueue.Size(); ++i)
        if (FQueue[i]->Info.ServerAddress == serverAddress)
            ++count;
    return count;
}

// --- Line settings of a live port ---

void TTransactionThread::ApplyLineSettings(const platform::TSerialLineSettings& settings) {
    platform::TCompletion done;
    {
        std::lock_guard lock(FSettingsLock);
        if (!FRunning) {
            // The thread has ended: the port is the main thread's again.
            FConnection.FDevice->ApplySettings(settings);
            return;
        }
        FPendingSettings = settings;
        FSettingsError = nullptr;
        FSettingsDone = &done;
    }
    if (FConnection.ConnectionMode() == cmClient)
        FWakeEvent.SetEvent();
    else
        FConnection.CutShortWait();
    done.Wait();
    std::exception_ptr error;
    {
        std::lock_guard lock(FSettingsLock);
        error = FSettingsError;
    }
    if (error)
        std::rethrow_exception(error);
}

void TTransactionThread::ServeLineSettings() {
    platform::TSerialLineSettings settings;
    platform::TCompletion* done = nullptr;
    {
        std::lock_guard lock(FSettingsLock);
        if (!FPendingSettings)
            return;
        settings = *FPendingSettings;
        FPendingSettings.reset();
        done = FSettingsDone;
    }
    std::exception_ptr error;
    try {
        FConnection.FDevice->ApplySettings(settings);
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard lock(FSettingsLock);
        FSettingsError = error;
    }
    done->Complete();
}

// --- The thread ---

void TTransactionThread::Execute() {
    try {
        if (FConnection.ConnectionMode() == cmClient)
            ClientLoop();
        else
            ServerLoop();
    } catch (...) {
        HandleException(std::current_exception());
    }
    {
        std::lock_guard lock(FSettingsLock);
        FRunning = false;
    }
    ServeLineSettings();
}

// Port lock held: before the first transaction the line must fall silent.
void TTransactionThread::FirstUseOfPort() {
    if (!FSilenceAwaited) {
        FConnection.WaitForSilence();
        FSilenceAwaited = true;
    }
}

void TTransactionThread::ClientLoop() {
    // A synchronous connection's first transaction, run by its caller,
    // waits for the silence itself rather than behind the thread.
    if (!FConnection.Synchronous()) {
        std::lock_guard port(FPortLock);
        FirstUseOfPort();
    }
    // The thread sleeps until a request comes: looking for one a moment
    // first would cost each transaction more processor time than the
    // wake-up it spares, and on one processor it would hold back the very
    // caller that is to queue it.
    while (!Terminated()) {
        FWakeEvent.WaitFor();
        // Terminated is looked at only between transactions: the one in
        // hand is always finished.
        while (!Terminated()) {
            std::lock_guard port(FPortLock);
            ServeLineSettings();
            std::unique_ptr<TModbusTransaction> transaction = TakeTransaction();
            if (!transaction)
                break;
            FirstUseOfPort();
            MatchTimers(FExactTimers);
            ProcessTransaction(std::move(transaction));
            // The next request may not go out before the line has rested;
            // resting first, the thread usually finds it waiting then, and
            // need not be woken for it.
            FConnection.RestAfterFrame();
        }
    }
}

// Exact timers cost wake-ups that cannot be grouped with others': only the
// standard's rests on a serial line need them.
void TTransactionThread::MatchTimers(bool& exactNow) {
    const bool exact = FConnection.KeepsQuiet();
    if (exact != exactNow) {
        platform::UseExactTimers(exact);
        exactNow = exact;
    }
}

void TTransactionThread::ProcessTransaction(std::unique_ptr<TModbusTransaction> transaction) {
    try {
        TModbusTransaction& t = *transaction;
        t.Info.Attempts = 0;
        // Encoded once: every attempt sends the same characters.
        const int length = FConnection.Codec().EncodeFrame(t.Request, FSendFrame);
        FReplyLength = FConnection.TransmissionMode() == tmRTU
                           ? std::max(RtuReplyLengthFor(FSendFrame.data(), length), 0)
                           : 0;
        // A cut-short wait ends the transaction as it stands.
        do {
            Attempt(t, length);
        } while (t.Info.Status <= tsWrongServer &&
                 static_cast<std::uint32_t>(t.Info.Attempts) <
                     (t.MaxSends != 0 ? t.MaxSends : FConnection.MaxRetries()) &&
                 !FConnection.TakeCutShort());
        // A broadcast has no reply to report.
        if (t.Info.ServerAddress != 0 || t.Custom)
            FConnection.Receiver().Post(TModbusConnection::WM_MODBUS_TRANSACTION, 0,
                                        std::move(transaction));
    } catch (...) {
        transaction.reset();
        HandleException(std::current_exception());
    }
}

void TTransactionThread::Attempt(TModbusTransaction& t, int length) {
    // A line-settings change waits at most for the attempt in hand, not for
    // the whole transaction and its retries; it applies from this send on.
    ServeLineSettings();
    t.Info.Status = tsNoReply;
    ++t.Info.Attempts;
    NotifyFrame(FSendFrame.data(), length, true);
    // Nothing left from earlier traffic may pass for the reply.
    FConnection.Purge(true, true);
    if (!FConnection.WriteFrame(FSendFrame.data(), length, FConnection.SendTimeout())) {
        // A request that could not be sent (a stuck transmitter, a vanished
        // port) still takes its receive time-out, so the retries keep their
        // pace and a pulled adapter never makes the thread spin.
        Pause(FConnection.ReceiveTimeout());
    } else if (FConnection.Codec().ExpectsReply(t.Request)) {
        // A reply from a foreign address does not end the wait: listen on,
        // without sending again, for the rest of the same time-out.
        std::uint32_t remaining =
            t.ReceiveTimeout != 0 ? t.ReceiveTimeout : FConnection.ReceiveTimeout();
        do {
            ReplyStep(t, length, remaining);
        } while (t.Info.Status == tsWrongServer && remaining > 0);
        // A reply cut in two (a device that paused inside it for longer
        // than the frame gap) still has its tail on the way: the next send
        // waits until the line has been silent for a gap, or that tail runs
        // into the next reply and spoils it as well.
        if (t.Info.Status == tsBadFrame && FConnection.TransmissionMode() == tmRTU &&
            FConnection.PortKind() == pkSerial) {
            std::uint32_t quiet = FConnection.ReceiveTimeout();
            FConnection.DropToGap(FConnection.FrameGapUs(), quiet);
        }
    } else {
        // No server answers a broadcast or a switch to listen-only: such a
        // request has done its work once it is sent.
        Pause(FConnection.TurnaroundDelay());
        t.Info.Status = tsSuccess;
    }
    const std::uint32_t refetch = FConnection.RefetchDelay();
    if (refetch != 0)
        Pause(refetch);
}

// A pause on the port's own clock. What arrives meanwhile is late or stray
// and is dropped, as the next attempt's purge would drop it.
void TTransactionThread::Pause(std::uint32_t ms) {
    std::uint32_t remaining = ms;
    while (remaining > 0) {
        const std::uint32_t start = FConnection.FDevice->Tick();
        if (FConnection.WaitForData(remaining))
            FConnection.Purge(true, false);
        FConnection.DeductElapsed(start, remaining);
    }
}

void TTransactionThread::ReplyStep(TModbusTransaction& t, int length, std::uint32_t& remaining) {
    std::uint8_t* received = FReceiveFrame.data();
    const TModbusConnection::TFrameRead read =
        FConnection.ReadFrame(received, FFrameBufferSize, remaining, FReplyLength);
    const int n = read.Count;
    // A reply longer than any frame is a bad frame, not a silent server.
    bool wellFormed = DecodeReply(received, n, t.Reply) && !read.TooLong;
    if (wellFormed && FConnection.EchoQueryBeforeReply() &&
        FConnection.Codec().IsEcho(t.Request, t.Reply)) {
        if (t.Reply.Size() == t.Request.Size()) {
            // Only our own request came back so far: the reply follows.
            const TModbusConnection::TFrameRead reply =
                FConnection.ReadFrame(received, FFrameBufferSize, remaining, FReplyLength);
            NotifyFrame(received, reply.Count, false);
            wellFormed = DecodeReply(received, reply.Count, t.Reply) && !reply.TooLong;
        } else {
            // Echo and reply ran together into one frame: cut the echo off.
            NotifyFrame(received + length, n - length, false);
            t.Reply.SetPosition(t.Request.Size());
            t.Reply.DiscardConsumed();
        }
    } else {
        NotifyFrame(received, n, false);
    }
    JudgeReply(t, wellFormed);
}

// A character run that is no frame at all (line noise such as ':' CR LF in
// ASCII) is a bad frame like any other, not an error of the program.
bool TTransactionThread::DecodeReply(const std::uint8_t* characters, int count,
                                     TModbusBuffer& frame) {
    try {
        FConnection.Codec().DecodeFrame(
            std::span<const std::uint8_t>(characters, static_cast<std::size_t>(count)), frame);
        return true;
    } catch (const EAssertionFailed&) {
        frame.SetSize(0);
        return false;
    }
}

void TTransactionThread::JudgeReply(TModbusTransaction& t, bool wellFormed) {
    const TFrameCodec& codec = FConnection.Codec();
    if (!wellFormed)
        t.Info.Status = tsBadFrame;
    else if (t.Reply.Size() < 1)
        t.Info.Status = tsNoReply;
    else if (!codec.IsValidFrame(t.Reply))
        t.Info.Status = tsBadFrame;
    else if (!codec.SameServer(t.Request, t.Reply, t.AnyServer))
        t.Info.Status = tsWrongServer;
    else if (!codec.SameFunction(t.Request, t.Reply))
        t.Info.Status = tsBadReply;
    else if (codec.IsExceptionReply(t.Reply)) {
        t.Info.Status = tsException;
        codec.StoreExceptionCode(t.Reply, t.Info);
    } else
        t.Info.Status = tsSuccess;
}

void TTransactionThread::NotifyFrame(const std::uint8_t* characters, int count, bool sent) {
    // A received copy is posted even when the read brought nothing.
    if (sent ? (count <= 0 || !FNotifySend) : !FNotifyReceive)
        return;
    auto copy = std::make_unique<TFrameData>(characters, characters + (count > 0 ? count : 0));
    FConnection.Receiver().Post(TModbusConnection::WM_MODBUS_FRAME, sent ? 1 : 0, std::move(copy));
}

void TTransactionThread::HandleException(std::exception_ptr error) {
    std::string text;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
        text = std::string(msg::InternalError);
    }
    try {
        platform::Synchronize([&text] { platform::ShowError(text); });
    } catch (...) {
        // The error display failed itself; the thread carries on regardless.
    }
}

// --- Server mode ---

void TTransactionThread::ServerLoop() {
    const TFrameCodec& codec = FConnection.Codec();
    TModbusTransaction transaction(codec.MaxADUSize());
    FConnection.WaitForSilence();
    while (!Terminated()) {
        try {
            ServeLineSettings();
            MatchTimers(FExactTimers);
            std::uint32_t remaining = INFINITE;
            std::uint8_t* received = FReceiveFrame.data();
            const int n = FConnection.ReadFrame(received, FFrameBufferSize, remaining).Count;
            NotifyFrame(received, n, false);
            if (!DecodeReply(received, n, transaction.Request) ||
                !codec.IsValidFrame(transaction.Request) || Terminated())
                continue;
            transaction.Info.ServerAddress = codec.GetFrameAddress(transaction.Request);
            transaction.Reply.SetSize(0);
            FCurrentRequest = &transaction;
            platform::Synchronize([this] { DispatchRequest(); });
            FCurrentRequest = nullptr;
            // A broadcast request is never answered.
            if (transaction.Info.ServerAddress == 0 || transaction.Reply.Size() == 0)
                continue;
            const int m = codec.EncodeFrame(transaction.Reply, FSendFrame);
            NotifyFrame(FSendFrame.data(), m, true);
            FConnection.Purge(true, true);
            FConnection.WriteFrame(FSendFrame.data(), m, FConnection.SendTimeout());
        } catch (...) {
            FCurrentRequest = nullptr;
            HandleException(std::current_exception());
        }
    }
}

// Main thread: the first server that answers the address handles the
// request; a broadcast goes to every server in turn.
void TTransactionThread::DispatchRequest() {
    TModbusTransaction& transaction = *FCurrentRequest;
    const std::uint8_t address = transaction.Info.ServerAddress;
    for (TModbusServerLink* server : FConnection.Servers()) {
        if (address == 0) {
            server->HandleRequest(transaction);
        } else if (server->AnswersAddress(address)) {
            server->HandleRequest(transaction);
            return;
        }
    }
}

}  // namespace regwire
