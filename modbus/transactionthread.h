// TTransactionThread: the worker of an active connection, the user of its
// serial port.
//
// Client mode: takes the queued transactions one at a time, sends each
// request, waits for and checks the reply, sends again after a failed attempt
// (up to MaxRetries sends), and posts the finished transaction to the main
// thread; a broadcast is freed here without an event. A synchronous
// connection's main thread may run a transaction the same way itself while
// the thread has nothing in hand (RunHere): the port lock keeps the two from
// ever using the port at once. Server mode: receives
// requests, has the connection's Servers answer them on the main thread, and
// sends the answers.
//
// The queue has its own lock, held only for one list operation at a time and
// never together with the connection's parameter lock. The thread sleeps on
// its wake event while the queue is empty and never polls. Destroying it
// returns only after the transaction in hand is finished; the transactions
// still queued are then freed without an event.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "modbus/transaction.h"
#include "platform/event.h"
#include "platform/ring.h"
#include "platform/serialdevice.h"
#include "platform/thread.h"

namespace regwire {

class TModbusConnection;

class TTransactionThread : public platform::TThread {
  public:
    // Starts the thread at the connection's ThreadPriority.
    explicit TTransactionThread(TModbusConnection& connection);
    ~TTransactionThread() override;

    // Main thread. Appends the transaction and wakes the thread.
    void AddTransaction(std::unique_ptr<TModbusTransaction> transaction);
    // Removes and returns the first waiting transaction; nullptr when none.
    std::unique_ptr<TModbusTransaction> TakeTransaction();
    // Frees the waiting transactions queued by client, or all of them for
    // nullptr; the one in hand is not affected.
    void RemoveTransactions(const TModbusClient* client);
    // Main thread: when nothing is queued and the port is free, runs the
    // transaction on this caller's thread, to its posted completion, and
    // returns true; otherwise leaves it to the caller and returns false.
    bool RunHere(std::unique_ptr<TModbusTransaction>& transaction);
    // Waiting transactions: all, or those for one server address.
    int QueuedCount() const;
    int QueuedCount(std::uint8_t serverAddress) const;

    // Main thread, while the thread runs: has the thread program the port
    // between two exchanges and waits for it (serving Synchronize calls).
    // Raises what the port raised.
    void ApplyLineSettings(const platform::TSerialLineSettings& settings);

  protected:
    void Execute() override;
    // Shows the error on the main thread (through Synchronize); the thread
    // then carries on.
    virtual void HandleException(std::exception_ptr error);

  private:
    void ClientLoop();
    void ServerLoop();
    void ProcessTransaction(std::unique_ptr<TModbusTransaction> transaction);
    void FirstUseOfPort();
    void Attempt(TModbusTransaction& transaction, int length);
    void ReplyStep(TModbusTransaction& transaction, int length, std::uint32_t& remaining);
    bool DecodeReply(const std::uint8_t* characters, int count, TModbusBuffer& frame);
    void JudgeReply(TModbusTransaction& transaction, bool wellFormed);
    void NotifyFrame(const std::uint8_t* characters, int count, bool sent);
    void DispatchRequest();
    void ServeLineSettings();
    void Pause(std::uint32_t ms);
    void MatchTimers(bool& exactNow);

    TModbusConnection& FConnection;
    platform::TEvent FWakeEvent{platform::TEvent::rmAuto};
    const int FFrameBufferSize;
    std::vector<std::uint8_t> FReceiveFrame;
    std::vector<std::uint8_t> FSendFrame;
    // Whether frame copies are wanted, fixed when the connection opened.
    const bool FNotifySend;
    const bool FNotifyReceive;
    // Held by whichever thread uses the port for a transaction.
    std::mutex FPortLock;
    bool FSilenceAwaited = false;
    // Whether this thread's timers are exact (see MatchTimers), and the
    // main thread's once it ran transactions here.
    bool FExactTimers = false;
    bool FCallerExactTimers = false;
    // The length of a normal reply to the transaction in hand, 0 when its
    // request does not tell.
    int FReplyLength = 0;
    // Server mode: the request being answered on the main thread.
    TModbusTransaction* FCurrentRequest = nullptr;

    mutable std::mutex FQueueLock;
    // A ring, so that queueing a transaction allocates nothing.
    platform::TRing<std::unique_ptr<TModbusTransaction>> FQueue{16};

    // A line-settings change waiting for the thread; its own small lock.
    std::mutex FSettingsLock;
    std::optional<platform::TSerialLineSettings> FPendingSettings;
    std::exception_ptr FSettingsError;
    bool FRunning = true;
    platform::TCompletion* FSettingsDone = nullptr;
};

}  // namespace regwire
