#include "platform/mainthread.h"

#include <QEvent>
#include <array>
#include <chrono>
#include <cstddef>
#include <new>

#include "platform/qthandover.h"

namespace platform {

namespace {

QEvent::Type MessageWaitingType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// Storage of freed events, for the next posts. A handful covers every
// receiver of the program in steady traffic; a burst beyond it goes to the
// heap and back.
struct TSpareEvents {
    std::mutex Lock;
    std::array<void*, 16> Blocks{};
    std::size_t Count = 0;
};

// Never destroyed: Qt frees the events still posted when the application
// object goes, which may be after the program's other statics have gone.
TSpareEvents& Spares() {
    static auto* spares = new TSpareEvents;
    return *spares;
}

// Our only custom event: one more message waits. Created on the worker,
// freed by Qt on the main thread after delivery.
class TMessageWaiting final : public QEvent {
  public:
    TMessageWaiting() : QEvent(MessageWaitingType()) {}

    static void* operator new(std::size_t size) {
        TSpareEvents& spares = Spares();
        {
            std::lock_guard lock(spares.Lock);
            if (spares.Count > 0)
                return spares.Blocks[--spares.Count];
        }
        return ::operator new(size);
    }

    static void operator delete(void* block) {
        TSpareEvents& spares = Spares();
        {
            std::lock_guard lock(spares.Lock);
            if (spares.Count < spares.Blocks.size()) {
                spares.Blocks[spares.Count++] = block;
                return;
            }
        }
        ::operator delete(block);
    }
};

}  // namespace

THiddenReceiver::THiddenReceiver(THandler handler) : FHandler(std::move(handler)) {}

void THiddenReceiver::PostMessage(TPostedMessage message) {
    bool wake = false;
    {
        std::lock_guard lock(FLock);
        FQueue.PushBack(std::move(message));
        wake = FWaiting;
        if (!wake)
            AnnounceLocked();
    }
    if (wake)
        FArrived.notify_one();
}

// One Qt event for the messages that wait, unless one is on its way.
void THiddenReceiver::AnnounceLocked() {
    if (FAnnounced || FQueue.Empty())
        return;
    FAnnounced = true;
    PostHandOver(this, new TMessageWaiting);
}

void THiddenReceiver::customEvent(QEvent* e) {
    AcceptHandOver(e);
    TPostedMessage message;
    {
        std::lock_guard lock(FLock);
        FAnnounced = false;
        if (FQueue.Empty())
            return;
        message = FQueue.PopFront();
        AnnounceLocked();
    }
    if (FHandler)
        FHandler(message);
}

bool THiddenReceiver::HandleNext(std::uint32_t timeoutMs) {
    TPostedMessage message;
    {
        std::unique_lock lock(FLock);
        FWaiting = true;
        FArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return !FQueue.Empty(); });
        FWaiting = false;
        if (FQueue.Empty())
            return false;
        message = FQueue.PopFront();
        // What came behind it waits for the next call or the event loop.
        AnnounceLocked();
    }
    if (FHandler)
        FHandler(message);
    return true;
}

}  // namespace platform
