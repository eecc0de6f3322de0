// TModbusConnection: one serial port of the Modbus library, with its line
// settings, its timing, its transaction thread and the clients that use it.
//
// The connection is created, configured, opened and closed on the main
// thread, and every one of its events runs there. While it is active its
// transaction thread is the user of the port: clients queue transactions,
// the thread sends them and collects the replies, and the results come back
// to the main thread through the connection's hidden receiver, frame copies
// before the completion of their transaction. (A synchronous connection's
// main thread may take the thread's place for a transaction, never at once
// with it; see SetSynchronous.)
//
// Timing parameters (MaxRetries, the four delays and time-outs, the echo
// option and the computed SilentMs) may change at any time: they sit behind a
// multi-reader, single-writer lock that the thread reads at each use. Line
// settings may change while active and are applied to the open port at once;
// the other settings need an inactive connection.
#pragma once

#include <QObject>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "modbus/codec.h"
#include "modbus/links.h"
#include "modbus/serialports.h"
#include "modbus/transaction.h"
#include "platform/mainthread.h"
#include "platform/rs485direction.h"
#include "platform/serialdevice.h"
#include "platform/thread.h"

namespace regwire {

class TTransactionThread;
class TAsciiFrame;

enum TBaudRate : std::uint8_t {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brCustom,
};
enum TDataBits : std::uint8_t { db7, db8 };
// fcRtsToggle: RTS raised only while sending (an RS-485 transmitter switched
// by RTS): by the driver in the kernel's RS-485 mode where it has one, else
// by the connection around each write.
enum TFlowControl : std::uint8_t { fcNone, fcRtsToggle, fcRtsCts, fcDtrDsr };
enum TParityScheme : std::uint8_t { psNone, psOdd, psEven };
enum TStopBits : std::uint8_t { sb1, sb2 };
// How a frame's end is found and how long the line rests between frames.
// ftGap: an RTU frame ends at a silent gap of SilentMs (at least 20 ms).
// ftStandard: an RTU frame ends as soon as the length its function code and
// byte count give has arrived with a good CRC (else at a gap of 3.5
// character times), and every send waits until the line has been quiet for
// 3.5 character times. ASCII frames end at CR LF in both.
enum TFrameTiming : std::uint8_t { ftGap, ftStandard };
using TThreadPriority = platform::TThreadPriority;
using enum platform::TThreadPriority;

// The speed of a named rate in bit/s; brCustom has none of its own (0).
std::uint32_t BaudRateSpeed(TBaudRate rate);

// A copy of one frame as sent or received, in line characters.
using TFrameData = std::vector<std::uint8_t>;
// A device path; a name without '/' is looked up under /dev.
using TSerialPort = std::string;
// How many times a request is sent at most, 1..4294967295.
using TMaxRetries = std::uint32_t;
// A descriptor of a port opened elsewhere (HookExistingPort).
using THookHandle = int;
inline constexpr THookHandle InvalidHookHandle = -1;
// A remaining time that never runs out (server mode only).
inline constexpr std::uint32_t INFINITE = platform::kWaitForever;

class TModbusConnection;
using TNotifyEvent = std::function<void(TModbusConnection* Sender)>;
using TFrameDataEvent = std::function<void(TModbusConnection* Sender, const TFrameData& Data)>;
using TGetHookedPortHandleEvent =
    std::function<void(TModbusConnection* Sender, THookHandle& HookHandle)>;
// Opens the device behind a port name; the default opens a real port or
// pseudo-terminal, or a network gateway (see serialports.h). Tests put a
// scripted line here.
using TSerialDeviceFactory =
    std::function<std::unique_ptr<platform::TSerialDevice>(const TSerialPort& Port)>;

class TModbusConnection : public QObject {
  public:
    // Messages of the hidden receiver.
    enum TConnectionMessage {
        WM_MODBUS_TRANSACTION = 1025,  // a finished transaction
        WM_MODBUS_FRAME = 1026,        // a frame copy; param 1 sent, 0 received
    };

    explicit TModbusConnection(QObject* owner = nullptr);
    ~TModbusConnection() override;
    TModbusConnection(const TModbusConnection&) = delete;
    TModbusConnection& operator=(const TModbusConnection&) = delete;

    int Tag = 0;

    // Reading from a stored form: between BeginLoading and Loaded, Active is
    // only remembered; Loaded applies it (an error there is shown, not
    // raised, so the rest of the form still loads).
    void BeginLoading();
    virtual void Loaded();
    bool Loading() const { return FLoading; }
    bool StreamedActive() const { return FStreamedActive; }

    // --- Published properties, in the order of the stored form ---
    bool Active() const { return FActive; }
    void SetActive(bool value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }

    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate value);
    TConnectionMode ConnectionMode() const { return FCodec.ConnectionMode(); }
    void SetConnectionMode(TConnectionMode value);
    std::uint32_t CustomBaudRate() const { return FCustomBaudRate; }
    // Also sets BaudRate to brCustom. 0 raises "Value must be between %d and
    // %d" (1, 4294967295) and changes nothing.
    void SetCustomBaudRate(std::uint32_t value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits value);
    bool DTREnabled() const { return FDTREnabled; }
    void SetDTREnabled(bool value);
    bool EchoQueryBeforeReply() const;
    void SetEchoQueryBeforeReply(bool value);
    // ftGap by default; may change at any time, taking effect at the next
    // frame.
    TFrameTiming FrameTiming() const;
    void SetFrameTiming(TFrameTiming value);
    TFlowControl FlowControl() const { return FFlowControl; }
    void SetFlowControl(TFlowControl value);
    bool HookExistingPort() const { return FHookExistingPort; }
    void SetHookExistingPort(bool value);
    // The Linux tty driver sizes its own queues (4096 bytes); these are kept
    // for stored forms and for ports that take a size.
    int InputBufferSize() const { return FInputBufferSize; }
    void SetInputBufferSize(int value);
    TMaxRetries MaxRetries() const;
    // 0 raises "Value must be between %d and %d" (1, 4294967295).
    void SetMaxRetries(TMaxRetries value);
    int OutputBufferSize() const { return FOutputBufferSize; }
    void SetOutputBufferSize(int value);
    TParityScheme Parity() const { return FParity; }
    void SetParity(TParityScheme value);
    const TSerialPort& Port() const { return FPort; }
    void SetPort(const TSerialPort& value);
    // A stored form records Port only when it differs from "COM1".
    bool PortStored() const { return FPort != "COM1"; }
    std::uint32_t ReceiveTimeout() const;
    void SetReceiveTimeout(std::uint32_t value);
    std::uint32_t RefetchDelay() const;
    void SetRefetchDelay(std::uint32_t value);
    bool RTSEnabled() const { return FRTSEnabled; }
    void SetRTSEnabled(bool value);
    std::uint32_t SendTimeout() const;
    void SetSendTimeout(std::uint32_t value);
    std::uint32_t SilentInterval() const { return FSilentInterval; }
    void SetSilentInterval(std::uint32_t value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits value);
    TThreadPriority ThreadPriority() const { return FThreadPriority; }
    void SetThreadPriority(TThreadPriority value);
    TTransmissionMode TransmissionMode() const { return FCodec.TransmissionMode(); }
    void SetTransmissionMode(TTransmissionMode value);
    std::uint32_t TurnaroundDelay() const;
    void SetTurnaroundDelay(std::uint32_t value);

    // The end-of-frame gap in milliseconds, at least 20 (see
    // UpdateSilentInterval).
    std::uint32_t SilentMs() const;
    // 3.5 character times of the line settings in microseconds (1750 above
    // 19200 bit/s): the quiet between frames in standard timing.
    std::uint32_t StandardQuietUs() const;
    // One character's time on the line in microseconds, start bit included.
    std::uint32_t CharacterUs() const;

    // --- Events (main thread). The frame events are looked at when the
    // connection opens: assign them before Open. ---
    TNotifyEvent OnAfterClose;
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnBeforeClose;
    TNotifyEvent OnBeforeOpen;
    TFrameDataEvent OnFrameReceive;
    TFrameDataEvent OnFrameSend;
    TGetHookedPortHandleEvent OnGetHookedPortHandle;
    // How Port is opened (not used with HookExistingPort).
    TSerialDeviceFactory DeviceFactory;

    // --- For clients (main thread) ---
    // Adds a client once; nullptr is ignored.
    void RegisterClient(TModbusClientLink* client);
    void UnregisterClient(TModbusClientLink* client);
    // The counter's value, then increments it; the first is 0.
    std::int32_t NextTransactionID();
    const TFrameCodec& Codec() const { return FCodec; }
    int MaxADUSize() const { return FCodec.MaxADUSize(); }
    int AddressSize() const { return FCodec.AddressSize(); }
    int ChecksumSize() const { return FCodec.ChecksumSize(); }
    void AddChecksum(TModbusBuffer& frame) const { FCodec.AddChecksum(frame); }
    // The first byte of a request: the client's ServerAddress, 0 without one.
    void WriteAddress(TModbusBuffer& request, const TModbusClientLink* client) const;
    // An empty transaction with room for the largest frame, for a new
    // request: one that came back from an earlier request when the
    // connection kept any, else a new one.
    std::unique_ptr<TModbusTransaction> NewTransaction();
    // Raises "Connection MUST be active..." when inactive (the transaction
    // is then freed); otherwise sets Client and hands the transaction to the
    // thread, which owns it from now on. On a synchronous connection, see
    // below, the transaction may be run within the call instead.
    void QueueTransaction(std::unique_ptr<TModbusTransaction> transaction,
                          TModbusClientLink* client);
    // Transactions still waiting (not the one on the line): all of them for
    // nullptr, else those for the client's current ServerAddress. 0 when
    // inactive.
    int PendingTransactions(const TModbusClientLink* client = nullptr) const;
    // Frees the waiting transactions of the client (all for nullptr) without
    // any event. Client mode only; nothing when inactive.
    void CancelTransactions(TModbusClientLink* client = nullptr);
    // Off by default. When on, a transaction queued on the main thread while
    // no other is waiting or on the line is sent, and its reply awaited and
    // checked, within QueueTransaction on the main thread itself; its frame
    // copies and completion are posted as always, so DeliverNext takes them
    // at once. For a caller that waits for every reply anyway (a command
    // line, a test) this spares two hand-overs between threads per
    // transaction. A window leaves it off: the call holds its thread for
    // the transaction's time-outs and retries.
    bool Synchronous() const { return FSynchronous; }
    void SetSynchronous(bool value) { FSynchronous = value; }
    // For a caller on the main thread that waits for its own transactions
    // (a command line, a test): delivers the thread's next message here, a
    // frame copy or a finished transaction with its event, waiting up to
    // timeoutMs for it, without a trip through the event loop. False when
    // none came in time. An error the thread hands over meanwhile is shown
    // once the wait ends, so keep timeoutMs short where that matters.
    bool DeliverNext(std::uint32_t timeoutMs);

    // --- For server objects (server mode) ---
    void RegisterServer(TModbusServerLink* server);
    void UnregisterServer(TModbusServerLink* server);
    const std::vector<TModbusServerLink*>& Servers() const { return FServers; }

    // --- Frame I/O: the transaction thread's only way to the port ---
    bool WaitForData(std::uint32_t timeoutMs);
    // What one frame read brought: Count characters of a frame (0 when
    // nothing usable arrived), or a run longer than the room, dropped
    // (TooLong) so that the next read starts at the next frame.
    struct TFrameRead {
        int Count = 0;
        bool TooLong = false;
    };
    // One frame into buffer (room characters) within remaining, which is
    // counted down. A broken run (a line error, more characters than room)
    // is dropped up to the next silent gap in RTU, or up to the next ':' in
    // ASCII. Characters that follow a complete ASCII frame are kept for the
    // next read, unless a receive purge drops them.
    // `expected` is the length the frame is known to have (a client's reply,
    // from its request), 0 when not known: it only spares wake-ups.
    TFrameRead ReadFrame(std::uint8_t* buffer, int room, std::uint32_t& remaining,
                         int expected = 0);
    bool WriteFrame(const std::uint8_t* data, int count, std::uint32_t timeoutMs);
    void Purge(bool receive, bool transmit);
    void WaitForSilence();
    // In standard timing, waits until the line has been quiet long enough
    // for the next frame (a send would wait for it all the same).
    void RestAfterFrame();
    bool GetInputCount(std::size_t& count);
    bool ReadPort(std::uint8_t* buffer, std::size_t count);
    void DeductElapsed(std::uint32_t start, std::uint32_t& remaining) const;
    // Ends a server-mode wait without limit (the stop signal), or a
    // client's wait for a reply, whose transaction then ends unanswered
    // without being sent again: how an interruption (SIGINT) reaches a
    // synchronous caller waiting within its call. Safe in a signal handler.
    void CutShortWait();
    // Client: whether CutShortWait was called since the last look.
    bool TakeCutShort() { return FCutShort.exchange(false); }

    // What the open port reaches: a serial line or a network gateway.
    TPortKind PortKind() const { return FPortKind; }

    // The running transaction thread, or nullptr while inactive.
    TTransactionThread* Thread() const { return FThread.get(); }
    // The hidden receiver, for the thread's posts.
    platform::THiddenReceiver& Receiver() { return *FReceiver; }

  protected:
    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoFrameReceive(const TFrameData& data);
    virtual void DoFrameSend(const TFrameData& data);
    virtual THookHandle DoGetHookedPortHandle();

  private:
    friend class TTransactionThread;  // the port is the thread's while active

    void CheckActive() const;
    void CheckInactive() const;
    bool Live() const { return FActive && !FLoading; }
    void OpenSequence();
    void CloseSequence();
    void OpenDevice();
    void UseKernelDirection();
    void UpdateDCB();
    void UpdateSilentInterval();
    void LineSettingChanged();
    std::uint32_t Speed() const;
    void HandleMessage(platform::TPostedMessage& message);
    void DeliverTransaction(TModbusTransaction& transaction);
    void KeepSpare(std::unique_ptr<TModbusTransaction> transaction);
    TModbusClientLink* FindClient(const TModbusClient* client) const;
    bool WaitInFrame(std::uint32_t timeoutMs, std::uint32_t& remaining);
    bool WaitForMore(std::uint64_t gapUs, std::uint32_t& remaining);
    std::uint64_t FrameGapUs() const;
    bool ClientDozes() const;
    bool DozeUntil(std::int64_t dueUs, std::uint32_t& remaining);
    void DozeUntilReplyDue(int expected, std::uint32_t& remaining);
    void NoteReplyEnd(int length, bool seenWhole);
    void DozeForMissing(const std::uint8_t* bytes, int count, int expected, std::uint64_t startUs,
                        std::uint32_t& remaining);
    int ExpectedLength(const std::uint8_t* bytes, int count) const;
    void NoteLineActivity();
    bool KeepsQuiet() const;
    bool WaitForQuiet();
    void ForgetStaleLineError();
    void DropToGap(std::uint64_t gapUs, std::uint32_t& remaining);
    TFrameRead ReadFrameRTU(std::uint8_t* buffer, int room, std::uint32_t& remaining, int expected);
    TFrameRead ReadFrameASCII(std::uint8_t* buffer, int room, std::uint32_t& remaining);
    bool ScanMoreASCII(TAsciiFrame& frame);
    bool TakeASCII(std::uint8_t* to, int space, int& taken);
    void KeepUnread(const std::uint8_t* characters, int count);

    TFrameCodec FCodec;
    bool FActive = false;
    bool FLoading = false;
    bool FDestroying = false;
    bool FStreamedActive = false;
    TBaudRate FBaudRate = br19200;
    std::uint32_t FCustomBaudRate = 19200;
    TDataBits FDataBits = db8;
    bool FDTREnabled = true;
    TFlowControl FFlowControl = fcNone;
    bool FHookExistingPort = false;
    int FInputBufferSize = 1024;
    int FOutputBufferSize = 1024;
    TParityScheme FParity = psEven;
    TSerialPort FPort = "COM1";
    bool FRTSEnabled = true;
    std::uint32_t FSilentInterval = 4;
    TStopBits FStopBits = sb1;
    TThreadPriority FThreadPriority = tpNormal;

    // Guarded by FLock: written by the main thread, read by the thread.
    mutable std::shared_mutex FLock;
    TMaxRetries FMaxRetries = 1;
    std::uint32_t FReceiveTimeout = 1000;
    std::uint32_t FRefetchDelay = 0;
    std::uint32_t FSendTimeout = 1000;
    std::uint32_t FTurnaroundDelay = 100;
    bool FEchoQueryBeforeReply = false;
    std::uint32_t FSilentMs = 20;
    TFrameTiming FFrameTiming = ftGap;
    std::uint32_t FStandardQuietUs = 2006;  // 19200 bit/s, 8E1
    std::uint32_t FCharacterUs = 572;

    std::atomic<bool> FSynchronous = false;
    std::atomic<bool> FCutShort = false;
    std::int32_t FTransactionCounter = 0;
    std::vector<TModbusClientLink*> FClients;
    std::vector<TModbusServerLink*> FServers;
    std::unique_ptr<platform::TSerialDevice> FDevice;
    // What the open port reaches: on a network gateway the line's timing is
    // the gateway's, and Modbus TCP hands over whole frames.
    TPortKind FPortKind = pkSerial;
    // Set while the driver switches the RS-485 transmitter (fcRtsToggle on a
    // port whose driver has the kernel's RS-485 mode).
    std::unique_ptr<platform::TRs485Direction> FKernelDirection;
    // Thread's: characters read with the end of an ASCII frame that belong
    // to the next one (a reply after its echo, ours after a foreign one).
    std::vector<std::uint8_t> FUnread;
    int FUnreadCount = 0;
    // Thread's: when a character was last heard or sent, in microseconds.
    std::uint64_t FLastLineUs = 0;
    // Thread's: the port's input was purged, or looked at after a write,
    // and nothing has been read since (ForgetStaleLineError).
    bool FInputJustSeen = false;
    // Thread's: the request last sent, for the time its reply is due: when
    // the port had taken it, how long its characters were still to be on
    // the wire then, and the server it went to. FReplyAwaited until the
    // first read after it.
    std::uint64_t FSentUs = 0;
    std::uint64_t FRequestOnWireUs = 0;
    std::uint8_t FSentAddress = 0;
    bool FReplyAwaited = false;
    bool FDozedForReply = false;
    std::uint64_t FWokeUs = 0;  // when that sleep ended
    // Thread's: per server address, how long after the wire's own time its
    // replies end (NoteReplyEnd), in microseconds; kTurnaroundUnknown until
    // one is seen.
    static constexpr std::int32_t kTurnaroundUnknown = INT32_MIN;
    std::array<std::int32_t, 256> FTurnaroundUs = [] {
        std::array<std::int32_t, 256> unknown{};
        unknown.fill(kTurnaroundUnknown);
        return unknown;
    }();
    // Delivered transactions, for the next requests (main thread): a steady
    // client reuses the same few, and a request allocates nothing.
    std::vector<std::unique_ptr<TModbusTransaction>> FSpares;
    std::unique_ptr<TTransactionThread> FThread;
    std::unique_ptr<platform::THiddenReceiver> FReceiver;
};

}  // namespace regwire
