// Before any Qt header: the scripted device names a parameter like a Qt macro.
#include "platform/scripteddevice.h"
// clang-format off
#include "modbus/client.h"
// clang-format on

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include "helpers.h"
#include "modbus/errors.h"

using namespace regwire;
using namespace regwire::test;

namespace {

using TBytes = std::vector<std::uint8_t>;

QCoreApplication& ClientApp() {
    static int argc = 1;
    static char name[] = "modbus_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

bool SpinUntil(const std::function<bool()>& done, int ms = 10000) {
    ClientApp();
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

TBytes WithCRC(TBytes bytes) {
    TModbusBuffer frame(256);
    frame.WriteBytes(bytes.data(), static_cast<int>(bytes.size()));
    frame.WriteRawWord(frame.CRC16());
    return Contents(frame);
}

// A client on an open RTU connection over a scripted line (whose clock runs
// free, so an unanswered request ends at once), recording its events.
struct TClientLine {
    TClientLine() {
        ClientApp();
        Connection.DeviceFactory = [this](const TSerialPort&) {
            auto device = std::make_unique<platform::TScriptedSerialDevice>();
            Device = device.get();
            return device;
        };
        Client.SetConnection(&Connection);
        Client.SetServerAddress(10);
        Client.OnTransactionProcessed = [this](TModbusClient*, const TTransactionInfo& info,
                                               std::uint8_t, bool) { Done.push_back(info); };
        Client.OnConsecutiveTimeoutLimitExceed = [this](TModbusClient*) { ++LimitEvents; };
        Connection.Open();
    }
    // Queues the answer to the next request, sends it and waits for its end.
    TTransactionInfo Exchange(const std::function<void()>& request, const TBytes& answer) {
        Device->QueueAnswer(answer.empty() ? std::vector<platform::TScriptedChunk>{}
                                           : std::vector<platform::TScriptedChunk>{{answer}});
        const std::size_t before = Done.size();
        request();
        EXPECT_TRUE(SpinUntil([&] { return Done.size() > before; }));
        return Done.empty() ? TTransactionInfo{} : Done.back();
    }
    TBytes LastWrite() const {
        const auto writes = Device->Writes();
        return writes.empty() ? TBytes{} : writes.back();
    }

    TModbusConnection Connection;
    TModbusClient Client;
    platform::TScriptedSerialDevice* Device = nullptr;
    std::vector<TTransactionInfo> Done;
    int LimitEvents = 0;
};

}  // namespace

TEST(ModbusClient, Defaults) {
    TModbusClient client;
    EXPECT_EQ(client.ServerAddress(), 1);
    EXPECT_EQ(client.MaxConsecutiveTimeouts(), -1);
    EXPECT_EQ(client.Connection(), nullptr);
    client.SetMaxConsecutiveTimeouts(-5);
    EXPECT_EQ(client.MaxConsecutiveTimeouts(), -1);
}

TEST(ModbusClient, RequestsNeedAnActiveConnection) {
    TModbusClient client;
    EXPECT_EQ(MessageOf<ERegwireError>([&] { client.ReadHoldingRegisters(0, 1); }),
              "There is no active connection");
    TModbusConnection closed;
    client.SetConnection(&closed);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { client.WriteSingleRegister(0, 1); }),
              "There is no active connection");
}

TEST(ModbusClient, ArgumentChecksNameTheLimitOrTheStart) {
    TClientLine line;
    TModbusClient& c = line.Client;
    struct Case {
        std::function<void()> request;
        std::string message;
    };
    const Case cases[] = {
        {[&] { c.ReadHoldingRegisters(0, 125); }, "no exception"},
        {[&] { c.ReadHoldingRegisters(0, 126); }, "Register count must be between 1 and 125"},
        {[&] { c.ReadHoldingRegisters(0, 0); }, "Register count must be between 1 and 125"},
        {[&] { c.ReadHoldingRegisters(65535, 1); }, "no exception"},
        {[&] { c.ReadHoldingRegisters(65535, 2); }, "Starting register index is invalid (65535)"},
        {[&] { c.ReadHoldingRegisters(65500, 100); }, "Starting register index is invalid (65500)"},
        {[&] { c.ReadHoldingRegisters(65500, 200); }, "Register count must be between 1 and 125"},
        {[&] { c.ReadCoils(0, 2000); }, "no exception"},
        {[&] { c.ReadCoils(0, 2001); }, "Coil count must be between 1 and 2000"},
        {[&] { c.ReadDiscreteInputs(65000, 1000); },
         "Starting discrete input index is invalid (65000)"},
        {[&] { c.WriteMultipleCoils(0, TBitValues(1969)); },
         "Coil count must be between 1 and 1968"},
        {[&] { c.WriteMultipleRegisters(0, TRegValues(124)); },
         "Register count must be between 1 and 123"},
        {[&] { c.ReadWriteMultipleRegisters(0, 1, 0, TRegValues(122)); },
         "Register count must be between 1 and 121"},
        {[&] { c.CustomTransaction(0x80, {}); }, "Function code is invalid (128)"},
        {[&] { c.CustomTransaction(0x41, TBytes(253)); },
         "Custom request data must not exceed 252 bytes"},
        {[&] { c.ReadFileRecord(TModbusFileRecordList()); },
         "File record count must be between 1 and 35"},
    };
    for (const Case& k : cases)
        EXPECT_EQ(MessageOf<ERegwireError>(k.request), k.message);
}

TEST(ModbusClient, RequestFramesAndConsecutiveIdentifiers) {
    TClientLine line;
    TModbusClient& c = line.Client;
    TModbusFileRecordList records;
    records.Add(4, 1, 2).SetRegValue(1, 0x0102);
    struct Case {
        std::function<std::int32_t()> request;
        TBytes frame;
    };
    const Case cases[] = {
        {[&] { return c.ReadHoldingRegisters(32, 1); }, {0x0A, 0x03, 0x00, 0x20, 0x00, 0x01}},
        {[&] { return c.WriteSingleCoil(3, true); }, {0x0A, 0x05, 0x00, 0x03, 0xFF, 0x00}},
        {[&] { return c.ReadExceptionStatus(); }, {0x0A, 0x07}},
        {[&] { return c.Diagnostics(daRestartCommsOptionAndClearEventLog, 0); },
         {0x0A, 0x08, 0x00, 0x01, 0xFF, 0x00}},
        {[&] {
             return c.WriteMultipleCoils(0x13, {1, 0, 1, 1, 0, 0, 1, 1, 1, 0});
         },
         {0x0A, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}},
        {[&] {
             return c.WriteMultipleRegisters(1, {0x000A, 0x0102});
         },
         {0x0A, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}},
        {[&] { return c.ReadFileRecord(records); },
         {0x0A, 0x14, 0x07, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02}},
        {[&] { return c.WriteFileRecord(records); },
         {0x0A, 0x15, 0x0B, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02, 0, 0, 0x01, 0x02}},
        {[&] { return c.WriteSingleRegisterMask(4, 0xF2, 0x25); },
         {0x0A, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25}},
        {[&] { return c.ReadWriteMultipleRegisters(3, 6, 14, {0x00FF}); },
         {0x0A, 0x17, 0x00, 0x03, 0x00, 0x06, 0x00, 0x0E, 0x00, 0x01, 0x02, 0x00, 0xFF}},
        {[&] {
             return c.CustomTransaction(0x41, {1, 2});
         },
         {0x0A, 0x41, 1, 2}},
    };
    std::int32_t expectedID = 0;
    for (const Case& k : cases) {
        std::int32_t id = -1;
        line.Exchange([&] { id = k.request(); }, {});
        EXPECT_EQ(id, expectedID++);
        EXPECT_EQ(line.LastWrite(), WithCRC(k.frame));
    }
    EXPECT_EQ(line.LastWrite().size(), 6U);
}

TEST(ModbusClient, CompletionRaisesTheFunctionEventThenProcessed) {
    TClientLine line;
    std::vector<std::string> order;
    TRegValues values;
    line.Client.OnHoldingRegistersRead = [&](TModbusClient* sender, const TTransactionInfo& info,
                                             std::uint16_t start, std::uint16_t count,
                                             const TRegValues& v) {
        EXPECT_EQ(sender, &line.Client);
        EXPECT_EQ(info.Status, tsSuccess);
        EXPECT_EQ(start, 32);
        EXPECT_EQ(count, 1);
        values = v;
        order.push_back("read");
    };
    line.Client.OnTransactionProcessed = [&](TModbusClient*, const TTransactionInfo&,
                                             std::uint8_t command, bool custom) {
        EXPECT_EQ(command, 3);
        EXPECT_FALSE(custom);
        order.push_back("processed");
    };
    line.Device->QueueAnswer({{WithCRC({0x0A, 0x03, 0x02, 0x25, 0x80})}});
    line.Client.ReadHoldingRegisters(32, 1);
    ASSERT_TRUE(SpinUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"read", "processed"}));
    EXPECT_EQ(values, TRegValues{0x2580});
}

// A synchronous connection's request is on the line and answered when the
// call returns; its frame copies and completion then wait for the caller,
// who takes them in order without the event loop.
TEST(ModbusClient, ASynchronousConnectionAnswersWithinTheCall) {
    TClientLine line;
    std::vector<std::string> order;
    line.Connection.Close();
    line.Connection.OnFrameSend = [&](TModbusConnection*, const TFrameData&) {
        order.push_back("sent");
    };
    line.Connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData&) {
        order.push_back("received");
    };
    line.Connection.SetSynchronous(true);
    line.Connection.Open();
    line.Client.OnTransactionProcessed = [&](TModbusClient*, const TTransactionInfo& info,
                                             std::uint8_t, bool) {
        order.push_back(info.Status == tsSuccess ? "done" : "failed");
    };
    for (const std::uint8_t high : {0x11, 0x22}) {
        line.Device->QueueAnswer({{WithCRC({0x0A, 0x03, 0x02, high, 0x00})}});
        order.clear();
        line.Client.ReadHoldingRegisters(0, 1);
        EXPECT_TRUE(order.empty());
        EXPECT_EQ(line.Connection.PendingTransactions(), 0);
        while (line.Connection.DeliverNext(0)) {
        }
        EXPECT_EQ(order, (std::vector<std::string>{"sent", "received", "done"}));
    }
    EXPECT_EQ(line.Device->Writes().size(), 2u);
}

// The client hands its events arrays it keeps for the next completion; one
// that arrives while a handler waits in a nested event loop (a message box)
// must not change the values that handler holds.
TEST(ModbusClient, AHandlerThatWaitsKeepsItsValuesWhileTheNextCompletionArrives) {
    TClientLine line;
    std::vector<std::uint16_t> seen;
    line.Client.OnHoldingRegistersRead = [&](TModbusClient*, const TTransactionInfo&, std::uint16_t,
                                             std::uint16_t, const TRegValues& v) {
        seen.push_back(v[0]);
        if (seen.size() == 1) {
            line.Client.ReadHoldingRegisters(0, 1);
            EXPECT_TRUE(SpinUntil([&] { return seen.size() == 2; }));
            seen.push_back(v[0]);
        }
    };
    line.Device->QueueAnswer({{WithCRC({0x0A, 0x03, 0x02, 0x11, 0x11})}});
    line.Device->QueueAnswer({{WithCRC({0x0A, 0x03, 0x02, 0x22, 0x22})}});
    line.Client.ReadHoldingRegisters(0, 1);
    ASSERT_TRUE(SpinUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<std::uint16_t>{0x1111, 0x2222, 0x1111}));
}

TEST(ModbusClient, ConsecutiveFailuresCountAttemptsAndResetOnAnyAnswer) {
    TClientLine line;
    TModbusClient& c = line.Client;
    c.SetMaxConsecutiveTimeouts(1);
    auto read = [&] { c.ReadHoldingRegisters(0, 1); };
    line.Exchange(read, {});
    EXPECT_EQ(c.ConsecutiveTimeouts(), 1U);
    EXPECT_EQ(line.LimitEvents, 0);
    line.Exchange(read, {});
    EXPECT_EQ(line.LimitEvents, 1);
    EXPECT_EQ(c.ConsecutiveTimeouts(), 0U);

    line.Exchange(read, {});
    const TTransactionInfo info = line.Exchange(read, WithCRC({0x0A, 0x83, 0x02}));
    EXPECT_EQ(info.Status, tsException);
    EXPECT_EQ(info.ExceptionCode, 2);
    EXPECT_EQ(c.ConsecutiveTimeouts(), 0U);
    EXPECT_EQ(line.LimitEvents, 1);

    line.Connection.SetMaxRetries(3);
    c.SetMaxConsecutiveTimeouts(2);
    line.Exchange(read, {});
    EXPECT_EQ(line.LimitEvents, 2);  // three attempts pass the limit of two at once
}

// A client's MaxSends outweighs the connection's MaxRetries for the
// requests it queues from then on; 0 gives the connection's back.
TEST(ModbusClient, MaxSendsSendsItsRequestsAgainWhileNoValidReplyComes) {
    TClientLine line;
    TModbusClient& c = line.Client;
    c.SetMaxSends(3);
    EXPECT_EQ(line.Exchange([&] { c.WriteSingleRegister(33, 9600); }, {}).Attempts, 3);
    const TTransactionInfo refused =
        line.Exchange([&] { c.WriteSingleRegister(33, 9600); }, WithCRC({0x0A, 0x86, 0x06}));
    EXPECT_EQ(refused.Status, tsException);
    EXPECT_EQ(refused.Attempts, 1);
    c.SetMaxSends(0);
    EXPECT_EQ(line.Exchange([&] { c.ReadHoldingRegisters(32, 1); }, {}).Attempts, 1);
}

TEST(ModbusClient, ExceptionReplyStillRaisesTheFunctionEventWithEmptyValues) {
    TClientLine line;
    TRegValues values{1};
    TTransactionStatus status = tsSuccess;
    line.Client.OnInputRegistersRead = [&](TModbusClient*, const TTransactionInfo& info,
                                           std::uint16_t, std::uint16_t, const TRegValues& v) {
        status = info.Status;
        values = v;
    };
    line.Exchange([&] { line.Client.ReadInputRegisters(0, 2); }, WithCRC({0x0A, 0x84, 0x03}));
    EXPECT_EQ(status, tsException);
    EXPECT_EQ(values, TRegValues(2, 0));
    EXPECT_EQ(line.Client.TranslateExceptionCode(3), "Illegal data value");
    line.Client.OnTranslateExceptionCode = [](TModbusClient*, std::uint8_t code,
                                              std::string& text) {
        if (code == 3)
            text = "Wert ungültig";
    };
    EXPECT_EQ(line.Client.TranslateExceptionCode(3), "Wert ungültig");
}

TEST(ModbusClient, BroadcastRaisesNoEvent) {
    TClientLine line;
    line.Connection.SetTurnaroundDelay(0);
    line.Client.SetServerAddress(0);
    line.Client.SetMaxConsecutiveTimeouts(0);
    line.Client.WriteSingleRegister(1, 2);
    ASSERT_TRUE(SpinUntil([&] { return line.Device->Writes().size() == 1; }));
    EXPECT_EQ(line.LastWrite(), WithCRC({0x00, 0x06, 0x00, 0x01, 0x00, 0x02}));
    // Completions arrive in order: a read's completion comes after anything
    // the broadcast raised.
    line.Client.SetServerAddress(10);
    line.Exchange([&] { line.Client.ReadHoldingRegisters(0, 1); }, {});
    EXPECT_EQ(line.Done.size(), 1u);
}

// No server answers a custom broadcast or a switch to listen-only: both
// complete with success once sent, without a reply to check.
TEST(ModbusClient, RequestsNoServerAnswersSucceedOnceSent) {
    TClientLine line;
    line.Connection.SetTurnaroundDelay(0);
    line.Connection.SetMaxRetries(3);
    TTransactionStatus custom = tsNoReply;
    TByteString response{1};
    line.Client.OnCustomTransactionComplete = [&](TModbusClient*, const TTransactionInfo& info,
                                                  std::uint8_t, const TByteString&,
                                                  const TByteString& r) {
        custom = info.Status;
        response = r;
    };
    TTransactionStatus diagnostics = tsNoReply;
    line.Client.OnDiagnostics = [&](TModbusClient*, const TTransactionInfo& info,
                                    TDiagnosticAction action, std::uint16_t) {
        EXPECT_EQ(action, daForceListenOnlyMode);
        diagnostics = info.Status;
    };
    line.Client.SetServerAddress(0);
    line.Exchange([&] { line.Client.CustomTransaction(0x41, TByteString{1, 2}); }, {});
    EXPECT_EQ(custom, tsSuccess);
    EXPECT_TRUE(response.empty());
    line.Client.SetServerAddress(10);
    line.Exchange([&] { line.Client.Diagnostics(daForceListenOnlyMode, 0); }, {});
    EXPECT_EQ(diagnostics, tsSuccess);
    EXPECT_EQ(line.Device->Writes().size(), 2u) << "each sent once";
    EXPECT_EQ(line.Client.ConsecutiveTimeouts(), 0u);
}

TEST(ModbusClient, ChangedServerAddressSilencesTheOldRequests) {
    TClientLine line;
    line.Device->HoldClock();
    line.Client.ReadHoldingRegisters(0, 1);
    line.Client.ReadHoldingRegisters(1, 1);
    ASSERT_TRUE(line.Device->WaitUntilBlocked());
    line.Client.SetServerAddress(11);
    EXPECT_EQ(line.Connection.PendingTransactions(), 0);
    line.Device->Advance(5000);
    SpinUntil([] { return false; }, 100);
    EXPECT_TRUE(line.Done.empty());
}

TEST(ModbusClient, ForgetsADestroyedConnection) {
    TModbusClient client;
    {
        TModbusConnection connection;
        client.SetConnection(&connection);
        EXPECT_EQ(client.Connection(), &connection);
    }
    EXPECT_EQ(client.Connection(), nullptr);
}
