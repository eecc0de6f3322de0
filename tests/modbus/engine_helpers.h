// Shared helpers of the connection and transaction-thread tests: the main
// thread's application object, waiting with a deadline while the event loop
// runs, a recording client, and request and reply frames.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "modbus/connection.h"
#include "modbus/transaction.h"
#include "platform/msgsink.h"
#include "platform/scripteddevice.h"

namespace regwire::test {

// The application object lives on the thread that first asks for it: the
// test's main thread, which is then the connection's main thread.
inline QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "modbus_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until done() holds or ms have passed; done()'s value.
inline bool SpinUntil(const std::function<bool()>& done, int ms = 10000) {
    App();
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(
            QEventLoop::WaitForMoreEvents,
            static_cast<int>(std::min<qint64>(deadline.remainingTime(), 50)));
    }
    return true;
}

// Lets whatever is posted now reach its handler.
inline void Drain(int ms = 50) {
    SpinUntil([] { return false; }, ms);
}

// A client as the connection sees one: records every finished transaction.
class TRecordingClient : public TModbusClientLink {
  public:
    explicit TRecordingClient(std::uint8_t address) : Address(address) {}

    TModbusClient* LinkedClient() override { return reinterpret_cast<TModbusClient*>(this); }
    std::uint8_t ServerAddress() const override { return Address; }
    void ProcessTransaction(TModbusTransaction& transaction) override {
        Done.push_back(transaction.Info);
        const auto bytes = transaction.Reply.Bytes();
        Replies.emplace_back(bytes.begin(), bytes.end());
    }

    std::uint8_t Address;
    std::vector<TTransactionInfo> Done;
    std::vector<std::vector<std::uint8_t>> Replies;
};

// A request as a client builds one: address, function, two words, checksum.
inline std::unique_ptr<TModbusTransaction> Request(TModbusConnection& connection,
                                                   const TModbusClientLink* client,
                                                   std::uint8_t function, std::uint16_t first,
                                                   std::uint16_t second) {
    auto transaction = std::make_unique<TModbusTransaction>(connection.MaxADUSize());
    transaction->Info.TransactionID = connection.NextTransactionID();
    transaction->Info.ServerAddress = client != nullptr ? client->ServerAddress() : 0;
    connection.WriteAddress(transaction->Request, client);
    transaction->Request.WriteByte(function);
    transaction->Request.WriteWord(first);
    transaction->Request.WriteWord(second);
    connection.AddChecksum(transaction->Request);
    return transaction;
}

// A binary frame with its RTU CRC appended.
inline std::vector<std::uint8_t> Rtu(std::vector<std::uint8_t> bytes) {
    TModbusBuffer frame(256);
    frame.WriteBytes(bytes.data(), static_cast<int>(bytes.size()));
    frame.WriteRawWord(frame.CRC16());
    const auto all = frame.Bytes();
    return {all.begin(), all.end()};
}

// The ASCII line characters of a binary frame, LRC appended.
inline std::vector<std::uint8_t> Ascii(std::vector<std::uint8_t> bytes) {
    TModbusBuffer frame(255);
    frame.WriteBytes(bytes.data(), static_cast<int>(bytes.size()));
    frame.WriteByte(frame.LRC());
    std::vector<std::uint8_t> line(600);
    const int n = TFrameCodec(tmASCII).EncodeFrame(frame, line);
    line.resize(static_cast<std::size_t>(n));
    return line;
}

inline std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a,
                                        const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Records the messages the connection shows instead of opening a box.
class TRecordedMessages {
  public:
    TRecordedMessages()
        : FPrevious(platform::SetMessageSink(
              [this](const platform::TMessage& m) { Texts.push_back(m.Text); })) {}
    ~TRecordedMessages() { platform::SetMessageSink(FPrevious); }
    std::vector<std::string> Texts;

  private:
    platform::TMessageSink FPrevious;
};

// A connection on a scripted line; Device stays valid while it is open.
struct TScriptedLine {
    explicit TScriptedLine(TTransmissionMode mode = tmRTU, std::uint32_t startTick = 0)
        : StartTick(startTick) {
        App();
        Connection.SetTransmissionMode(mode);
        Connection.DeviceFactory = [this](const TSerialPort&) {
            auto device = std::make_unique<platform::TScriptedSerialDevice>(StartTick);
            Device = device.get();
            if (Hold)
                Device->HoldClock();
            return device;
        };
    }

    std::uint32_t StartTick;
    bool Hold = false;
    platform::TScriptedSerialDevice* Device = nullptr;
    TModbusConnection Connection;
};

// Held clock: lets the thread's first wait for silence pass.
inline void PassSilence(TScriptedLine& line) {
    line.Device->WaitUntilBlocked();
    line.Device->Advance(line.Connection.SilentMs());
}

// Held clock: waits until the thread has sent its nth write and sleeps in the
// wait for the reply.
inline bool WaitInReply(TScriptedLine& line, int writes) {
    while (line.Device->WriteAttempts() < writes)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return line.Device->WaitUntilBlocked();
}

// Held clock: moves the clock on whenever the thread waits on the line, and
// runs the event loop, until done() holds; done()'s value.
inline bool RunOut(TScriptedLine& line, const std::function<bool()>& done, int ms = 10000) {
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        if (line.Device->WaitUntilBlocked(std::chrono::milliseconds(10)))
            line.Device->Advance(100000);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Handles what was posted to the main thread until now: after a close, or
// behind a completion that was posted later, nothing more can be on its way.
inline void DeliverPosted() {
    QCoreApplication::sendPostedEvents();
}

}  // namespace regwire::test
