// TModbusConnection: defaults, the rules for changing settings, opening and
// closing, the character timing, and the hand-back of finished transactions.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <fcntl.h>

#include "engine_helpers.h"
#include "helpers.h"
#include "modbus/errors.h"
#include "modbus/transactionthread.h"

namespace regwire::test {
namespace {

const std::string kMustNotBeActive =
    "Connection must NOT be active for the requested action to be performed";
const std::string kMustBeActive =
    "Connection MUST be active for the requested action to be performed";
const std::string kValueRange = "Value must be between 1 and 4294967295";

TEST(ConnectionDefaults, AreThoseOfAFreshComponent) {
    App();
    TModbusConnection c;
    EXPECT_FALSE(c.Active());
    EXPECT_EQ(c.BaudRate(), br19200);
    EXPECT_EQ(c.ConnectionMode(), cmClient);
    EXPECT_EQ(c.CustomBaudRate(), 19200u);
    EXPECT_EQ(c.DataBits(), db8);
    EXPECT_TRUE(c.DTREnabled());
    EXPECT_FALSE(c.EchoQueryBeforeReply());
    EXPECT_EQ(c.FlowControl(), fcNone);
    EXPECT_EQ(c.FrameTiming(), ftGap);
    EXPECT_FALSE(c.HookExistingPort());
    EXPECT_EQ(c.InputBufferSize(), 1024);
    EXPECT_EQ(c.MaxRetries(), 1u);
    EXPECT_EQ(c.OutputBufferSize(), 1024);
    EXPECT_EQ(c.Parity(), psEven);
    EXPECT_EQ(c.Port(), "COM1");
    EXPECT_FALSE(c.PortStored());
    EXPECT_EQ(c.ReceiveTimeout(), 1000u);
    EXPECT_EQ(c.RefetchDelay(), 0u);
    EXPECT_TRUE(c.RTSEnabled());
    EXPECT_EQ(c.SendTimeout(), 1000u);
    EXPECT_EQ(c.SilentInterval(), 4u);
    EXPECT_EQ(c.StopBits(), sb1);
    EXPECT_EQ(c.ThreadPriority(), tpNormal);
    EXPECT_EQ(c.TransmissionMode(), tmRTU);
    EXPECT_EQ(c.TurnaroundDelay(), 100u);
    EXPECT_EQ(c.PendingTransactions(), 0);
}

TEST(ConnectionSettings, CustomBaudRateSelectsTheCustomRate) {
    App();
    TModbusConnection c;
    c.SetBaudRate(br9600);
    c.SetCustomBaudRate(9600);
    EXPECT_EQ(c.BaudRate(), brCustom);
    EXPECT_EQ(c.CustomBaudRate(), 9600u);
}

TEST(ConnectionSettings, ZeroIsRefusedForCustomBaudRateAndMaxRetries) {
    App();
    TModbusConnection c;
    c.SetBaudRate(br9600);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { c.SetCustomBaudRate(0); }), kValueRange);
    EXPECT_EQ(c.CustomBaudRate(), 19200u);
    EXPECT_EQ(c.BaudRate(), br9600);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { c.SetMaxRetries(0); }), kValueRange);
    EXPECT_EQ(c.MaxRetries(), 1u);
}

TEST(ConnectionSettings, TransactionIDsCountFromZero) {
    App();
    TModbusConnection c;
    EXPECT_EQ(c.NextTransactionID(), 0);
    EXPECT_EQ(c.NextTransactionID(), 1);
    EXPECT_EQ(c.NextTransactionID(), 2);
}

TEST(ConnectionSettings, QueueingOnAnInactiveConnectionRaisesAndFreesTheTransaction) {
    App();
    TModbusConnection c;
    TRecordingClient client(10);
    EXPECT_EQ(MessageOf<ERegwireError>(
                  [&] { c.QueueTransaction(Request(c, &client, 3, 0, 1), &client); }),
              kMustBeActive);
    c.CancelTransactions(nullptr);  // nothing to do, no error
    EXPECT_EQ(c.PendingTransactions(&client), 0);
}

// --- Opening and closing ---

struct TEventLog {
    void Attach(TModbusConnection& c) {
        c.OnBeforeOpen = [this](TModbusConnection* s) {
            Log.push_back(s->Active() ? "BO+" : "BO");
        };
        c.OnAfterOpen = [this](TModbusConnection* s) { Log.push_back(s->Active() ? "AO+" : "AO"); };
        c.OnBeforeClose = [this](TModbusConnection* s) {
            Log.push_back(s->Active() ? "BC+" : "BC");
        };
        c.OnAfterClose = [this](TModbusConnection* s) {
            Log.push_back(s->Active() ? "AC+" : "AC");
        };
    }
    std::vector<std::string> Log;
};

TEST(ConnectionOpen, RaisesItsEventsAroundOpeningAndClosing) {
    TScriptedLine line;
    TEventLog events;
    events.Attach(line.Connection);
    line.Connection.Open();
    ASSERT_TRUE(line.Connection.Active());
    ASSERT_NE(line.Connection.Thread(), nullptr);
    line.Connection.Close();
    EXPECT_FALSE(line.Connection.Active());
    EXPECT_EQ(line.Connection.Thread(), nullptr);
    EXPECT_EQ(events.Log, (std::vector<std::string>{"BO", "AO+", "BC+", "AC"}));
}

TEST(ConnectionOpen, AMissingPortRaisesAndLeavesEverythingClosed) {
    App();
    TModbusConnection c;
    TEventLog events;
    events.Attach(c);
    c.SetPort("/dev/vapcal-no-such-port");
    EXPECT_EQ(MessageOf<ERegwireError>([&] { c.Open(); }), "Could not open serial port");
    EXPECT_FALSE(c.Active());
    EXPECT_EQ(c.Thread(), nullptr);
    EXPECT_EQ(events.Log, (std::vector<std::string>{"BO"}));
}

TEST(ConnectionOpen, HookingWithoutAHandlerRaises) {
    App();
    TModbusConnection c;
    c.SetHookExistingPort(true);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { c.Open(); }), "Could not open serial port");
    EXPECT_FALSE(c.Active());
}

TEST(ConnectionOpen, AHookedPortIsUsedAndLeftOpen) {
    App();
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    TModbusConnection c;
    c.SetHookExistingPort(true);
    c.OnGetHookedPortHandle = [&](TModbusConnection*, THookHandle& handle) {
        EXPECT_EQ(handle, InvalidHookHandle);
        handle = slave;
    };
    c.Open();
    EXPECT_TRUE(c.Active());
    c.Close();
    EXPECT_NE(fcntl(slave, F_GETFD), -1) << "the hooked descriptor must stay open";
    close(slave);
    close(master);
}

TEST(ConnectionOpen, ASettingRefusedOnOpenClosesAgain) {
    TScriptedLine line;
    line.Connection.DeviceFactory = [&](const TSerialPort&) {
        auto device = std::make_unique<platform::TScriptedSerialDevice>();
        device->SetRefuseSettings(true);
        return device;
    };
    EXPECT_EQ(MessageOf<ERegwireError>([&] { line.Connection.Open(); }),
              "Failed to update device control block");
    EXPECT_FALSE(line.Connection.Active());
    EXPECT_EQ(line.Connection.Thread(), nullptr);
}

TEST(ConnectionOpen, ActiveFromAStoredFormWaitsForLoaded) {
    TScriptedLine line;
    line.Connection.BeginLoading();
    line.Connection.SetActive(true);
    EXPECT_FALSE(line.Connection.Active());
    EXPECT_TRUE(line.Connection.StreamedActive());
    line.Connection.Loaded();
    EXPECT_TRUE(line.Connection.Active());
}

TEST(ConnectionOpen, AFailedOpenInLoadedIsShownNotRaised) {
    App();
    TRecordedMessages messages;
    TModbusConnection c;
    c.SetPort("/dev/vapcal-no-such-port");
    c.BeginLoading();
    c.SetActive(true);
    EXPECT_NO_THROW(c.Loaded());
    EXPECT_FALSE(c.Active());
    EXPECT_EQ(messages.Texts, (std::vector<std::string>{"Could not open serial port"}));
}

// --- Settings of an active connection ---

TEST(ConnectionActive, SettingsThatNeedAClosedPortRaiseAndKeepTheirValue) {
    TScriptedLine line;
    TModbusConnection& c = line.Connection;
    c.Open();
    const std::vector<std::pair<const char*, std::function<void()>>> changes = {
        {"Port", [&] { c.SetPort("ttyUSB0"); }},
        {"TransmissionMode", [&] { c.SetTransmissionMode(tmASCII); }},
        {"ConnectionMode", [&] { c.SetConnectionMode(cmServer); }},
        {"FlowControl", [&] { c.SetFlowControl(fcRtsToggle); }},
        {"DTREnabled", [&] { c.SetDTREnabled(false); }},
        {"RTSEnabled", [&] { c.SetRTSEnabled(false); }},
        {"HookExistingPort", [&] { c.SetHookExistingPort(true); }},
        {"InputBufferSize", [&] { c.SetInputBufferSize(4096); }},
        {"OutputBufferSize", [&] { c.SetOutputBufferSize(4096); }},
    };
    for (const auto& [name, change] : changes)
        EXPECT_EQ(MessageOf<ERegwireError>(change), kMustNotBeActive) << name;
    EXPECT_EQ(c.Port(), "COM1");
    EXPECT_EQ(c.TransmissionMode(), tmRTU);
    EXPECT_EQ(c.ConnectionMode(), cmClient);
    EXPECT_EQ(c.FlowControl(), fcNone);
    EXPECT_TRUE(c.DTREnabled());
    EXPECT_TRUE(c.RTSEnabled());
    EXPECT_FALSE(c.HookExistingPort());
    EXPECT_EQ(c.InputBufferSize(), 1024);
    c.SetPort("COM1");  // the same value is no change
}

TEST(ConnectionActive, LineSettingsReprogramTheOpenPort) {
    TScriptedLine line;
    TModbusConnection& c = line.Connection;
    c.Open();
    const int applied = line.Device->SettingsApplied();
    c.SetBaudRate(br9600);
    EXPECT_EQ(line.Device->Settings().BitRate, 9600u);
    c.SetCustomBaudRate(1200);
    c.SetParity(psNone);
    c.SetStopBits(sb2);
    c.SetDataBits(db7);
    const platform::TSerialLineSettings s = line.Device->Settings();
    EXPECT_EQ(line.Device->SettingsApplied(), applied + 5);
    EXPECT_EQ(s.BitRate, 1200u);
    EXPECT_EQ(s.Parity, platform::spNone);
    EXPECT_EQ(s.StopBits, platform::ssTwo);
    EXPECT_EQ(s.DataBits, 7);
    // 7 data + 2 stop bits, 4 characters at 1200 bit/s: 30 ms.
    EXPECT_EQ(c.SilentMs(), 30u);
}

TEST(ConnectionActive, ARefusedLiveChangeRaisesKeepsTheValueAndThePort) {
    TScriptedLine line;
    TModbusConnection& c = line.Connection;
    c.Open();
    line.Device->SetRefuseSettings(true);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { c.SetBaudRate(br9600); }),
              "Failed to update device control block");
    EXPECT_EQ(c.BaudRate(), br9600);
    EXPECT_TRUE(c.Active());
}

TEST(ConnectionActive, FlowControlDecidesTheModemLines) {
    struct TCase {
        TFlowControl Flow;
        platform::TSerialHandshake Handshake;
        bool Rts, Dtr;
    };
    for (const TCase& k : {TCase{fcNone, platform::shNone, true, true},
                           TCase{fcRtsToggle, platform::shNone, false, true},
                           TCase{fcRtsCts, platform::shRtsCts, false, true},
                           TCase{fcDtrDsr, platform::shDtrDsr, true, false}}) {
        TScriptedLine line;
        line.Connection.SetFlowControl(k.Flow);
        line.Connection.Open();
        const platform::TSerialLineSettings s = line.Device->Settings();
        EXPECT_EQ(s.Handshake, k.Handshake) << int(k.Flow);
        EXPECT_EQ(s.RtsOn, k.Rts) << int(k.Flow);
        EXPECT_EQ(s.DtrOn, k.Dtr) << int(k.Flow);
    }
}

// The end-of-frame gap: character times in RTU, milliseconds in ASCII, never
// below 20 ms.
TEST(ConnectionTiming, SilentMsFollowsSpeedFormatAndMode) {
    struct TCase {
        TTransmissionMode Mode;
        TBaudRate Rate;
        TParityScheme Parity;
        std::uint32_t Interval;
        std::uint32_t Expected;
    };
    for (const TCase& k :
         {TCase{tmRTU, br110, psEven, 4, 364}, TCase{tmRTU, br1200, psEven, 4, 34},
          TCase{tmRTU, br2400, psEven, 4, 20}, TCase{tmRTU, br9600, psEven, 4, 20},
          TCase{tmRTU, br256000, psEven, 4, 20}, TCase{tmRTU, br1200, psNone, 4, 30},
          TCase{tmRTU, br300, psEven, 1, 34}, TCase{tmASCII, br110, psEven, 4, 20},
          TCase{tmASCII, br9600, psEven, 19, 20}, TCase{tmASCII, br9600, psEven, 50, 50}}) {
        TScriptedLine line(k.Mode);
        line.Connection.SetBaudRate(k.Rate);
        line.Connection.SetParity(k.Parity);
        line.Connection.SetSilentInterval(k.Interval);
        line.Connection.Open();
        EXPECT_EQ(line.Connection.SilentMs(), k.Expected)
            << int(k.Mode) << " " << BaudRateSpeed(k.Rate) << " " << k.Interval;
    }
}

// 3.5 characters of start, data, parity and stop bits; a fixed 1.75 ms above
// 19200 bit/s.
TEST(ConnectionTiming, StandardQuietIsThreeAndAHalfCharacters) {
    struct TCase {
        TBaudRate Rate;
        TParityScheme Parity;
        std::uint32_t ExpectedUs;
    };
    for (const TCase& k : {TCase{br9600, psEven, 4011}, TCase{br9600, psNone, 3646},
                           TCase{br19200, psEven, 2006}, TCase{br38400, psEven, 1750},
                           TCase{br115200, psEven, 1750}, TCase{br1200, psEven, 32084}}) {
        TScriptedLine line;
        line.Connection.SetBaudRate(k.Rate);
        line.Connection.SetParity(k.Parity);
        line.Connection.Open();
        EXPECT_EQ(line.Connection.StandardQuietUs(), k.ExpectedUs) << BaudRateSpeed(k.Rate);
    }
}

TEST(ConnectionTiming, SilentIntervalIsRecomputedWhileActive) {
    TScriptedLine line;
    line.Connection.SetBaudRate(br1200);
    line.Connection.Open();
    line.Connection.SetSilentInterval(8);
    EXPECT_EQ(line.Connection.SilentMs(), 67u);  // 80000 / 1200, rounded up
}

TEST(ConnectionTiming, ElapsedTimeIsDeductedAcrossAWrapOfTheTick) {
    TScriptedLine line(tmRTU, 0xFFFFFFF0u);
    line.Connection.Open();
    // The thread's first wait for silence moves the line's clock by 20 ms,
    // past the wrap.
    ASSERT_TRUE(SpinUntil([&] { return line.Device->Tick() == 4u; }));
    std::uint32_t remaining = 100;
    line.Connection.DeductElapsed(0xFFFFFFF0u, remaining);
    EXPECT_EQ(remaining, 80u);
    remaining = 10;
    line.Connection.DeductElapsed(0xFFFFFFF0u, remaining);
    EXPECT_EQ(remaining, 0u);
}

// --- Clients ---

TEST(ConnectionClients, RegisteringTwiceOrNothingChangesNothing) {
    TScriptedLine line;
    TRecordingClient client(10);
    line.Connection.RegisterClient(&client);
    line.Connection.RegisterClient(&client);
    line.Connection.RegisterClient(nullptr);
    line.Connection.Open();
    line.Device->QueueAnswer({{Rtu({10, 3, 2, 0, 42})}});
    line.Connection.QueueTransaction(Request(line.Connection, &client, 3, 32, 1), &client);
    // A second registration would hear the same completion at once.
    ASSERT_TRUE(SpinUntil([&] { return client.Done.size() == 1; }));
    DeliverPosted();
    EXPECT_EQ(client.Done.size(), 1u) << "one registration, one completion";
}

TEST(ConnectionClients, AClientThatChangedItsAddressHearsNothing) {
    TScriptedLine line;
    line.Hold = true;
    TRecordingClient client(10), other(20);
    line.Connection.RegisterClient(&client);
    line.Connection.RegisterClient(&other);
    line.Connection.Open();
    PassSilence(line);
    line.Connection.QueueTransaction(Request(line.Connection, &client, 3, 32, 1), &client);
    ASSERT_TRUE(WaitInReply(line, 1));
    client.Address = 11;
    line.Device->Advance(1000);
    // Completions arrive in order: once the other client's is in, the first
    // transaction has been handled.
    line.Connection.QueueTransaction(Request(line.Connection, &other, 3, 32, 1), &other);
    ASSERT_TRUE(RunOut(line, [&] { return other.Done.size() == 1; }));
    EXPECT_TRUE(client.Done.empty());
}

TEST(ConnectionClients, AnUnregisteredClientHearsNothing) {
    TScriptedLine line;
    TRecordingClient client(10), other(20);
    line.Connection.RegisterClient(&client);
    line.Connection.RegisterClient(&other);
    line.Connection.Open();
    line.Device->QueueAnswer({{Rtu({10, 3, 2, 0, 42})}});
    line.Device->QueueAnswer({{Rtu({20, 3, 2, 0, 42})}});
    line.Connection.QueueTransaction(Request(line.Connection, &client, 3, 32, 1), &client);
    line.Connection.UnregisterClient(&client);
    // Completions arrive in order: once the other client's is in, the first
    // transaction has been handled.
    line.Connection.QueueTransaction(Request(line.Connection, &other, 3, 32, 1), &other);
    ASSERT_TRUE(SpinUntil([&] { return other.Done.size() == 1; }));
    EXPECT_TRUE(client.Done.empty());
}

TEST(ConnectionClients, PendingTransactionsCountsByServerAddress) {
    TScriptedLine line;
    line.Hold = true;
    TRecordingClient a(10), b(11);
    line.Connection.RegisterClient(&a);
    line.Connection.RegisterClient(&b);
    line.Connection.Open();
    // Held in its wait for silence, the thread takes nothing yet.
    for (TRecordingClient* client : {&a, &b, &b})
        line.Connection.QueueTransaction(Request(line.Connection, client, 3, 0, 1), client);
    EXPECT_EQ(line.Connection.PendingTransactions(), 3);
    EXPECT_EQ(line.Connection.PendingTransactions(&a), 1);
    EXPECT_EQ(line.Connection.PendingTransactions(&b), 2);
    line.Connection.CancelTransactions(&b);
    EXPECT_EQ(line.Connection.PendingTransactions(), 1);
    EXPECT_EQ(line.Connection.PendingTransactions(&a), 1);
    ASSERT_TRUE(RunOut(line, [&] { return a.Done.size() == 1; }));
    EXPECT_TRUE(b.Done.empty());
}

TEST(ConnectionFrames, CopiesOfSentAndReceivedFramesArriveBeforeTheCompletion) {
    TScriptedLine line;
    TRecordingClient client(10);
    std::vector<std::string> log;
    line.Connection.OnFrameSend = [&](TModbusConnection*, const TFrameData& d) {
        log.push_back("sent " + std::to_string(d.size()));
    };
    line.Connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData& d) {
        log.push_back("received " + std::to_string(d.size()));
    };
    line.Connection.RegisterClient(&client);
    line.Connection.SetMaxRetries(2);
    line.Connection.Open();
    line.Device->QueueAnswer({});  // the first attempt stays unanswered
    line.Device->QueueAnswer({{Rtu({10, 3, 2, 0, 42})}});
    line.Connection.QueueTransaction(Request(line.Connection, &client, 3, 32, 1), &client);
    ASSERT_TRUE(SpinUntil([&] { return client.Done.size() == 1; }));
    EXPECT_EQ(log, (std::vector<std::string>{"sent 8", "received 0", "sent 8", "received 7"}));
}

}  // namespace
}  // namespace regwire::test
