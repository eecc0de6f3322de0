// THiddenReceiver: the main thread's mailbox for results of a worker thread.
//
// A worker posts a message (a kind, one integer, and a payload it hands
// over) and goes on at once; the main thread's event loop delivers the
// messages to the receiver's handler in the order they were posted. The
// message owns its payload: the handler may take it, and whatever is left is
// freed when the message is done, also when the receiver is destroyed with
// messages still waiting. The Modbus connection uses one receiver for its
// finished transactions and its frame copies.
#pragma once

#include <QEvent>
#include <QObject>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace platform {

class TPostedMessage {
  public:
    TPostedMessage(int message, int param) : Message(message), Param(param) {}
    virtual ~TPostedMessage() = default;
    const int Message;
    const int Param;
};

// A message with a payload of type T, owned by the message.
template <class T>
class TPostedPayload : public TPostedMessage {
  public:
    TPostedPayload(int message, int param, std::unique_ptr<T> payload)
        : TPostedMessage(message, param), Payload(std::move(payload)) {}
    std::unique_ptr<T> Payload;
};

class THiddenReceiver : public QObject {
  public:
    using THandler = std::function<void(TPostedMessage&)>;

    // Lives on the thread that creates it, which must be the main thread.
    explicit THiddenReceiver(THandler handler);

    // Thread-safe. Ownership of payload passes to the message.
    template <class T>
    void Post(int message, int param, std::unique_ptr<T> payload) {
        PostMessage(std::make_unique<TPostedPayload<T>>(message, param, std::move(payload)));
    }

  protected:
    void customEvent(QEvent* e) override;

  private:
    void PostMessage(std::unique_ptr<TPostedMessage> message);

    THandler FHandler;
    // The messages themselves travel through this queue under our own lock,
    // so the hand-over is visible to every thread checker; each Qt event
    // only says that one more message waits. A handler that runs a nested
    // event loop still receives the messages posted meanwhile, in order.
    std::mutex FLock;
    std::deque<std::unique_ptr<TPostedMessage>> FQueue;
};

}  // namespace platform
