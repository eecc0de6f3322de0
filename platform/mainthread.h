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
#include <functional>
#include <memory>

namespace platform {

class TPostedMessage : public QEvent {
  public:
    TPostedMessage(int message, int param) : QEvent(EventType()), Message(message), Param(param) {}
    const int Message;
    const int Param;

    // The Qt event type shared by every posted message.
    static QEvent::Type EventType();
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
        PostMessage(new TPostedPayload<T>(message, param, std::move(payload)));
    }

  protected:
    bool event(QEvent* e) override;

  private:
    void PostMessage(TPostedMessage* message);

    THandler FHandler;
};

}  // namespace platform
