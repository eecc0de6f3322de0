// kit/: the Vapcal kit as a driven thing, without a window. One line to the
// kit (a serial port, or a gateway as tcp://HOST:PORT or mbtcp://HOST:PORT)
// with a client for each of its three instruments, the poll of their
// measured values, the decoding of every reply, the reads of the
// instruments' settings, and the set-point writes with the temperature
// controller's handshake and their confirmation. The console's window, the
// calibration runs and vapcal-run all drive the kit through TKit; nothing
// else talks to the instruments.
//
// How a program drives it (everything on the main thread; every callback
// runs there, from the event loop):
//
//     kit::TKit kit;
//     kit.OnRead = ...;       // each completed read of an instrument
//     kit.OnPoll = ...;       // each poll cycle, with the extra reads
//     kit.OnPortGone = ...;   // the adapter vanished; the kit waits for it
//     kit.OnPortBack = ...;   // it is back, set points read, polling again
//     kit.Open("/dev/ttyUSB0");   // raises what the port raised
//     kit.ReadSettings();         // capacities, limits, set points
//     kit.StartPolling();
//     const kit::TApplyResult r = kit.Apply(kit.Changes({40, 6, 10}));
//     for (const kit::TStepFailure& f : r.Failures) journal(kit::FailureText(f));
//
// A headless program feeds live::TKitMonitor from OnRead exactly as the
// window does: for a read with Measured set, Monitor.Completed(Instrument,
// Status == tsSuccess, Value, ...).
//
// Apply and Refresh wait for their replies in a nested event loop
// (platform::Delay): completions, the poll's ticks and the window's events
// go on meanwhile. Call them from the event loop (a button, a timer, a
// QTimer::singleShot(0) posted from a callback), never from inside a
// callback, which runs within the line's own completion. Threads: the main thread and the
// connection's worker, as the connection has them, and the poll timer's own worker that only times
// the ticks.
#pragma once

#include <QObject>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "calc/settings.h"
#include "live/sample.h"
#include "modbus/transaction.h"

class QTimer;

namespace regwire {
class TModbusClient;
class TModbusConnection;
}  // namespace regwire

namespace kit {

class TThreadedTimer;

// The line's speed: 9600 bit/s (a custom rate, as the kit's converters are
// set up), 8 data bits, even parity, one stop bit, RTU.
inline constexpr std::uint32_t kLineBitRate = 9600;
inline constexpr std::uint32_t kPollIntervalMs = 500;
// The instruments' server addresses on the line.
inline constexpr int kReservoirFlowServer = 10;
inline constexpr int kDilutionFlowServer = 11;
inline constexpr int kTemperatureServer = 20;
// A set point or handshake step is sent at most this often while no valid
// reply comes back; an exception reply is final at once. A poll's read is
// sent once: a lost one is a missed reading. The settings' reads (Refresh)
// are sent as often as the writes.
inline constexpr int kWriteSends = 3;
// How long a poll's extra read (an analyser sharing the line) waits for its
// reply: the kit's three reads and this fit inside one poll period at 9600
// bit/s, so a silent analyser never delays the kit's next reads. An
// analyser answers a two-register read in a few tens of milliseconds.
inline constexpr std::uint32_t kExtraReadTimeoutMs = 250;

// The set points of the kit: °C, ml/min, l/min.
struct TSetPoints {
    long double Temp = 0;
    long double Flow = 0;
    long double DilutionFlow = 0;
};

// The set points an Apply writes; those left empty are not touched.
struct TSetPointChange {
    std::optional<long double> Temp;
    std::optional<long double> Flow;
    std::optional<long double> DilutionFlow;
    bool Empty() const { return !Temp && !Flow && !DilutionFlow; }
};

// The steps of an Apply, in the order they go out.
enum TApplyStep {
    asReservoirFlow,
    asDilutionFlow,
    asEnterWriteMode,
    asEnterConfirm,
    asTempSetPoint,
    asLeaveWriteMode,
    asLeaveConfirm,
    asPort,  // the port is gone: nothing was sent
};

enum TWriteOutcome { woConfirmed, woRefused, woNotAnswered };

// One step that failed: how, and the set point it was for (as the operator
// typed it, and its register value).
struct TStepFailure {
    TApplyStep Step = asPort;
    TWriteOutcome Outcome = woNotAnswered;
    std::string SetPoint;
    std::uint16_t Raw = 0;
    std::string Port;  // asPort: the port that is gone
};

struct TApplyResult {
    // In the order they happened; empty when every step was confirmed.
    std::vector<TStepFailure> Failures;
    // Requests sent, resends included.
    int Sends = 0;
    bool Ok() const { return Failures.empty(); }
    // Every failure a step that no valid reply came back for (none refused,
    // the port not gone): the same Apply sent again may get through.
    bool OnlyUnanswered() const;
};

// The operator's text of a failed step, as the window shows it.
std::string FailureText(const TStepFailure& failure);

// A completed read of one of the three instruments, decoded. Valid only
// while the callback runs.
struct TReadDone {
    live::TInstrument Instrument = live::inReservoirFlow;
    std::uint16_t StartReg = 0;
    regwire::TTransactionStatus Status = regwire::tsNoReply;
    const std::vector<std::uint16_t>* Values = nullptr;
    // A read of the measured value: Value holds it (°C, ml/min or l/min)
    // when Status is tsSuccess.
    bool Measured = false;
    double Value = 0;
};

// A read of another server on the same line, made in every poll cycle (a
// gas analyser): function 3 (holding) or 4 (input registers).
struct TExtraRead {
    std::uint8_t Address = 1;
    std::uint8_t Function = 4;
    std::uint16_t Register = 0;
    std::uint16_t Count = 2;
};

struct TExtraReply {
    TExtraRead Read;
    bool Sent = false;  // false: its previous read was still waiting
    // false: the cycle was delivered before the read's outcome came.
    bool Completed = false;
    regwire::TTransactionStatus Status = regwire::tsNoReply;
    std::vector<std::uint16_t> Registers;  // tsSuccess only
};

// One poll cycle: every read sent at one tick, once all have completed (or
// the next tick came first).
struct TPollCycle {
    struct TMeasuredRead {
        bool Sent = false;  // false: its previous read was still waiting
        bool Completed = false;
        regwire::TTransactionStatus Status = regwire::tsNoReply;
        double Value = 0;
    };
    std::array<TMeasuredRead, live::kInstrumentCount> Readings;
    std::vector<TExtraReply> Extra;
};

class TKit : public QObject {
  public:
    explicit TKit(QObject* owner = nullptr);
    // The poll stops before the line closes.
    ~TKit() override;
    TKit(const TKit&) = delete;
    TKit& operator=(const TKit&) = delete;

    // The line and its three instruments (Tag 1 reservoir flow, server 10;
    // 2 dilution flow, server 11; 3 temperature, server 20), and the poll's
    // timer (kPollIntervalMs).
    regwire::TModbusConnection* Connection;
    regwire::TModbusClient* ReservoirFlow;
    regwire::TModbusClient* DilutionFlow;
    regwire::TModbusClient* Temperature;
    TThreadedTimer* PollTimer;

    // As read from the instruments (until then the defaults).
    float RFCapacity = 20.0f;
    float DFCapacity = 20.0f;
    std::optional<int> TempUpperLimit;
    std::optional<int> TempLowerLimit;
    // The set points last known to be in the instruments: as read back, or
    // as confirmed by a write. NaN when a write of it failed. Owners may set
    // them at start (the console from its settings file).
    long double LastFlowSP = calc::kDefaultFlow;
    long double LastDilutionFlowSP = calc::kDefaultDilutionFlow;
    long double LastTempSP = calc::kDefaultTemp;
    // Set by a confirmed handshake step of the temperature controller.
    bool WriteAcknowledged = false;

    // Sends of a set point or handshake step at most (1: never again).
    int WriteSends = kWriteSends;
    // The instruments' pace: a second between one flow controller's write
    // and the next instrument's, and half a second after each handshake
    // step, as the temperature controller expects. A simulated kit takes
    // any pace, and tests and benchmarks shorten them.
    int BetweenInstrumentsMs = 1000;
    int HandshakeStepMs = 500;

    // Where an adapter's lasting names are: a port that vanishes is found
    // again by the name here that pointed at it.
    std::string ByIdFolder = "/dev/serial/by-id";

    // --- Callbacks (main thread) ---
    std::function<void(const TReadDone& read)> OnRead;
    std::function<void(const TPollCycle& cycle)> OnPoll;
    // The poll's tick failed (its handler raised); the poll has stopped.
    std::function<void(const std::string& why)> OnPollStopped;
    // The port vanished: the poll stopped, the line closed; the kit looks
    // for the port again. `port` as it was open.
    std::function<void(const std::string& port)> OnPortGone;
    // The port is back (possibly under another device name, Port()): the
    // settings are being read back and the poll runs again.
    std::function<void(const std::string& port)> OnPortBack;

    // --- The line ---
    // Opens `port`, closing the one open first; opening the port already
    // open does nothing. A port that cannot be opened raises, and the
    // previous one is opened again (or the line stays closed). Gives up
    // waiting for a vanished port.
    void Open(const std::string& port);
    // Also gives up waiting for a vanished port.
    void Close();
    bool Active() const;
    const std::string& Port() const;
    // The port vanished and the kit waits for it to come back.
    bool PortGone() const { return !FGonePort.empty(); }
    const std::string& GonePort() const { return FGonePort; }

    // --- The poll ---
    // The first poll goes out at once, the next ones at the timer's pace.
    void StartPolling();
    void StopPolling();
    // The poll timer runs on an open line.
    bool Polling() const;
    // The poll's tick: a read of each measured value (and each extra read)
    // whose previous one is no longer waiting.
    void PollTick();
    // Reads made in every poll cycle besides the instruments'. Raises
    // std::invalid_argument for a function other than 3 or 4, or a count
    // outside 1..125; the reads in use stay.
    void SetExtraReads(const std::vector<TExtraRead>& reads);

    // --- Settings ---
    // Queues the reads of the capacities and units, the temperature limits,
    // the control mode and the set points (the reads after a port is
    // chosen); the replies come in with the poll.
    void ReadSettings();
    // The same requests, waiting meanwhile for their replies (Refresh):
    // each is sent up to WriteSends times while no valid reply comes, and
    // those still unanswered go out again, round after round, for as long
    // as `patienceMs` allows (0: one round). A refusal is final. True when
    // every request was answered.
    bool RefreshSettings(int patienceMs = 0);

    // --- Set points ---
    // The set points whose general text differs from the one last known
    // to be in the instrument.
    TSetPointChange Changes(const TSetPoints& wanted) const;
    // Stops the poll and gives the queued requests a bounded time to be
    // answered; what is still waiting then is dropped.
    void HaltPolling();
    // Writes the change with the poll held: each flow, a second between
    // instruments, then the temperature between the handshake's steps, each step
    // confirmed and sent again (up to kWriteSends) while no valid reply
    // comes. The poll runs again afterwards if it ran before. Raises
    // ESetPointRange or a floating-point error for a set point no register
    // can hold, before anything is sent.
    TApplyResult Apply(const TSetPointChange& change);
    // The writes alone, for a caller that holds the poll itself.
    TApplyResult WriteSetPoints(const TSetPointChange& change);

    // --- The clients' completions (public so that tests hand in replies
    // as the line would) ---
    void RegistersRead(regwire::TModbusClient* sender, const regwire::TTransactionInfo& info,
                       std::uint16_t startReg, const std::vector<std::uint16_t>& values);
    void RegisterWritten(regwire::TModbusClient* sender, const regwire::TTransactionInfo& info,
                         std::uint16_t reg);

  private:
    struct TConverted {
        std::optional<std::uint16_t> Flow, DilutionFlow, Temp;
    };
    TConverted Convert(const TSetPointChange& change) const;
    TWriteOutcome ConfirmedWrite(regwire::TModbusClient* client, std::uint16_t reg,
                                 std::uint16_t value, int pacingMs, TApplyResult& result);
    void WriteFlow(regwire::TModbusClient* client, TApplyStep step, long double flow,
                   std::uint16_t raw, TApplyResult& result);
    void WriteTemp(long double temp, std::uint16_t raw, TApplyResult& result);
    bool HandshakeStep(std::uint16_t reg, std::uint16_t value, TApplyStep step,
                       const std::string& shown, TApplyResult& result);
    int WriteAnswerLimitMs() const;

    void NoteAnswer(const regwire::TTransactionInfo& info);
    regwire::TModbusClient* SettingClient(int instrument) const;
    bool RefreshRound(std::vector<bool>& answered);
    void DecodeSetting(live::TInstrument instrument, std::uint16_t startReg,
                       const std::vector<std::uint16_t>& values);
    void ExtraRead(std::size_t index, const regwire::TTransactionInfo& info,
                   const std::vector<std::uint16_t>& values);
    void CycleCompleted(std::int32_t id);
    void DeliverCycle();
    void Forget();

    void OpenDevice(const std::string& port);
    bool DeviceGone() const;
    void CheckPort();
    void PortVanished();
    void LookForPort();
    std::string LastingName(const std::string& device) const;
    std::string Resolve() const;

    // Completions of the kit's writes, by transaction, until the step that
    // queued them takes them.
    struct TWriteDone {
        regwire::TTransactionStatus Status = regwire::tsNoReply;
        std::int32_t Attempts = 0;
    };
    std::map<std::int32_t, TWriteDone> FWrites;
    // The Refresh requests still out, and the outcomes of those answered.
    std::map<std::int32_t, std::optional<regwire::TTransactionStatus>> FRefreshing;
    std::vector<TExtraRead> FExtraReads;
    std::vector<regwire::TModbusClient*> FExtraClients;
    // Whether each extra read's last request is still out.
    std::vector<bool> FExtraOut;
    // The cycle in progress: its transactions, and where each one's
    // outcome goes (0..2 an instrument, 3.. an extra read).
    TPollCycle FCycle;
    std::map<std::int32_t, std::size_t> FCyclePending;
    bool FCycleOpen = false;

    // The open serial port's descriptor, watched for a hang-up; -1 for a
    // gateway or a closed line.
    int FFd = -1;
    // The last open failed on a port another program holds.
    bool FPortBusy = false;
    // The port that vanished, and the lasting name it had.
    std::string FGonePort;
    std::string FGoneName;
    std::string FLastingName;
    QTimer* FPortLook = nullptr;
};

}  // namespace kit
