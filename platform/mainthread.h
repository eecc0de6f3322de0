// THiddenReceiver: the main thread's mailbox for results of a worker thread.
//
// A worker posts a message (a kind, one integer, and a payload it hands
// over) and goes on at once; the main thread's event loop delivers the
// messages to the receiver's handler in the order they were posted. The
// message owns its payload: the handler may take it, and whatever is left is
// freed when the message is done, also when the receiver is destroyed with
// messages still waiting. The Modbus connection uses one receiver for its
// finished transactions and its frame copies.
//
// Once the receiver has run for a while, posting allocates nothing: the
// messages wait as values in a ring, and the Qt event that announces them
// reuses the storage of an earlier one.
//
// A caller on the main thread that waits for its own results (a command
// line, a test) may take them with HandleNext instead: the worker then wakes
// it directly, and no Qt event is posted, so a result costs no trip through
// the event loop.
#pragma once

#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/ring.h"

class QEvent;

namespace platform {

class TPostedMessage {
  public:
    TPostedMessage() = default;
    template <class T>
    TPostedMessage(int message, int param, std::unique_ptr<T> payload)
        : Message(message),
          Param(param),
          FPayload(payload.release()),
          FFree([](void* p) { delete static_cast<T*>(p); }) {}
    TPostedMessage(TPostedMessage&& other) noexcept { *this = std::move(other); }
    TPostedMessage& operator=(TPostedMessage&& other) noexcept {
        if (this != &other) {
            Free();
            Message = other.Message;
            Param = other.Param;
            FPayload = std::exchange(other.FPayload, nullptr);
            FFree = std::exchange(other.FFree, nullptr);
        }
        return *this;
    }
    ~TPostedMessage() { Free(); }

    int Message = 0;
    int Param = 0;

    // The payload, still the message's. T is the type it was posted with.
    template <class T>
    T& Payload() const {
        return *static_cast<T*>(FPayload);
    }
    // Takes the payload out of the message, to keep it beyond the handler.
    template <class T>
    std::unique_ptr<T> TakePayload() {
        FFree = nullptr;
        return std::unique_ptr<T>(static_cast<T*>(std::exchange(FPayload, nullptr)));
    }

  private:
    void Free() {
        if (FFree != nullptr)
            FFree(FPayload);
        FPayload = nullptr;
        FFree = nullptr;
    }

    void* FPayload = nullptr;
    void (*FFree)(void*) = nullptr;
};

class THiddenReceiver : public QObject {
  public:
    using THandler = std::function<void(TPostedMessage&)>;

    // Lives on the thread that creates it, which must be the main thread.
    explicit THiddenReceiver(THandler handler);

    // Thread-safe. Ownership of payload passes to the message.
    template <class T>
    void Post(int message, int param, std::unique_ptr<T> payload) {
        PostMessage(TPostedMessage(message, param, std::move(payload)));
    }

    // Main thread: handles the next message here, waiting up to timeoutMs
    // for one. False when none came in time.
    bool HandleNext(std::uint32_t timeoutMs);

  protected:
    void customEvent(QEvent* e) override;

  private:
    void PostMessage(TPostedMessage message);
    void AnnounceLocked();

    THandler FHandler;
    // The messages themselves travel through this queue under our own lock,
    // so the hand-over is visible to every thread checker; one Qt event is
    // on its way while messages wait and no one waits for them in
    // HandleNext, and each event hands over one message and announces the
    // next. A handler that runs a nested event loop so still receives the
    // messages posted meanwhile, in order.
    std::mutex FLock;
    std::condition_variable FArrived;
    TRing<TPostedMessage> FQueue{16};
    bool FAnnounced = false;
    bool FWaiting = false;
};

}  // namespace platform
