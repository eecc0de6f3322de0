#include "session.h"

#include <poll.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>

#include "messages.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "modbus/errors.h"
#include "modbus/mbapdevice.h"
#include "modbus/memoryserver.h"
#include "modbus/messages.h"
#include "modbus/serialports.h"
#include "modbus/tcpserver.h"
#include "platform/filltext.h"
#include "platform/posixserialdevice.h"
#include "sharedtables.h"

namespace regwire::tool {

namespace {

using TClock = std::chrono::steady_clock;

// How often a server looks whether its serial port is still there.
constexpr std::chrono::milliseconds kServePortWatch{250};

// --- Interruption: SIGINT and SIGTERM quit the event loop ---

int InterruptPipe[2] = {-1, -1};
// Set on the main thread once an interruption has ended the event loop.
bool RunInterrupted = false;
// Set by the signal itself, for a master that waits for its completions
// outside the event loop.
volatile std::sig_atomic_t InterruptRaised = 0;
// The master's connection while open and synchronous: its transaction runs
// on the main thread, whose wait for the reply the signal cuts short.
std::atomic<TModbusConnection*> InterruptedConnection = nullptr;

void OnSignal(int) {
    InterruptRaised = 1;
    if (TModbusConnection* connection = InterruptedConnection.load())
        connection->CutShortWait();
    const char byte = 1;
    [[maybe_unused]] const auto n = write(InterruptPipe[1], &byte, 1);
}

// --- Text ---

std::string Hex(const std::uint8_t* data, std::size_t count, const char* separator) {
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += separator;
        std::snprintf(digits, sizeof digits, "%02X", data[i]);
        text += digits;
    }
    return text;
}

std::string Hex(const std::vector<std::uint8_t>& bytes, const char* separator = "") {
    return Hex(bytes.data(), bytes.size(), separator);
}

// As the summary and --json name each outcome.
const char* StatusName(TTransactionStatus status) {
    static const char* const names[] = {"no reply",  "bad frame", "wrong server",
                                        "bad reply", "exception", "success"};
    return status <= tsSuccess ? names[status] : "unknown";
}

const char* ActionName(TDiagnosticAction action) {
    static const char* const names[] = {"daReturnQueryData",
                                        "daRestartCommsOption",
                                        "daRestartCommsOptionAndClearEventLog",
                                        "daReturnDiagnosticRegister",
                                        "daForceListenOnlyMode",
                                        "daClearCountersAndDiagnosticRegister",
                                        "daReturnBusMessageCount",
                                        "daReturnBusCommErrorCount",
                                        "daReturnBusExceptionErrorCount",
                                        "daReturnServerMessageCount",
                                        "daReturnServerNoReplyCount",
                                        "daReturnServerNegativeAcknowledgeCount",
                                        "daReturnServerBusyCount",
                                        "daReturnBusCharacterOverrunCount",
                                        "daClearOverrunCounterAndFlag"};
    return action < DiagnosticActionCount ? names[action] : "daUnknown";
}

std::string Text(std::uint64_t value) {
    return std::to_string(value);
}

std::string FailureText(const TTransactionInfo& info, const std::string& exceptionText) {
    switch (info.Status) {
        case tsNoReply:
            return platform::FillText(msg::NoReply, {Text(info.ServerAddress)});
        case tsBadFrame:
            return std::string(msg::BadFrame);
        case tsWrongServer:
            return std::string(msg::WrongServer);
        case tsBadReply:
            return std::string(msg::BadReply);
        case tsException:
            return platform::FillText(msg::ExceptionReply,
                                      {Text(info.RawExceptionCode), exceptionText});
        default:
            return {};
    }
}

QString Json(const std::string& text) {
    return QString::fromStdString(text);
}

// --frames: each frame sent ("> ") and received ("< ") on standard error, in
// hex, as it is on the wire. The connection shows every frame as on a serial
// line; over Modbus TCP the bytes on the wire carry the MBAP header instead
// of the CRC, and only the device knows its transaction identifier. The
// device hands each of its frames over on the worker thread, and they are
// printed in their turn, as the connection shows the frame they stand for.
// The connection shows a frame to be sent just before the device writes it:
// the main thread waits that moment for it, as the worker needs nothing of
// the main thread between the two.
class TFramePrinter {
  public:
    explicit TFramePrinter(std::ostream& err) : FErr(err) {}

    // On the worker thread, when the port opens.
    void Tap(platform::TSerialDevice& device) {
        auto* mbap = dynamic_cast<TMbapDevice*>(&device);
        if (mbap == nullptr)
            return;
        FTapped = true;
        mbap->OnWireFrame = [this](const std::uint8_t* frame, std::size_t count, bool sent) {
            {
                const std::lock_guard lock(FLock);
                (sent ? FSent : FReceived).emplace_back(frame, frame + count);
            }
            FArrived.notify_all();
        };
    }

    void Sent(const TFrameData& data) {
        FErr << "> " << Hex(OnWire(data, FSent, kWriteWait), " ") << std::endl;
    }
    // A time-out delivers an empty frame: nothing was received.
    void Received(const TFrameData& data) {
        if (!data.empty())
            FErr << "< " << Hex(OnWire(data, FReceived, {}), " ") << std::endl;
    }

  private:
    using TFrames = std::deque<std::vector<std::uint8_t>>;

    // A frame the device refused to write never comes: the connection's
    // copy is shown instead.
    std::vector<std::uint8_t> OnWire(const TFrameData& data, TFrames& frames,
                                     std::chrono::milliseconds wait) {
        if (!FTapped)
            return data;
        std::unique_lock lock(FLock);
        if (!FArrived.wait_for(lock, wait, [&] { return !frames.empty(); }))
            return data;
        std::vector<std::uint8_t> frame = std::move(frames.front());
        frames.pop_front();
        return frame;
    }

    static constexpr std::chrono::milliseconds kWriteWait{2000};

    std::ostream& FErr;
    std::atomic<bool> FTapped = false;
    std::mutex FLock;
    std::condition_variable FArrived;
    TFrames FSent;
    TFrames FReceived;
};

// The port a run holds, watched from the main thread: why it could not be
// opened, and whether it has gone since (an adapter pulled, the far end of a
// pseudo-terminal closed). Only the worker reads and writes the port; a
// poll() for a hang-up with no wait takes nothing from it.
class TPortWatch {
  public:
    // Opens the port of connection through this watch, showing its frames
    // to frames if given; assign before Open.
    void Attach(TModbusConnection& connection, TFramePrinter* frames) {
        connection.DeviceFactory = [this, &connection, frames](const TSerialPort& port) {
            try {
                auto device = OpenPort(port, connection.ConnectionMode());
                if (frames != nullptr)
                    frames->Tap(*device);
                if (const auto* posix = dynamic_cast<platform::TPosixSerialDevice*>(device.get()))
                    FFd = posix->Handle();
                if (PortKindOf(port) != pkSerial)
                    FListenName = ListeningPortName(port, *device);
                return device;
            } catch (const platform::ESerialError& e) {
                FOpenError = e.Kind();
                FOpenText = e.what();
                throw;
            }
        };
    }

    // The network port a server listens on, with the TCP port it took;
    // empty on a serial line.
    const std::string& ListenName() const { return FListenName; }

    // The line that says why the port could not be opened; failure is what
    // the connection raised.
    std::string OpenFailure(const std::string& port, const std::exception& failure) const {
        if (FOpenError == platform::seAccessDenied && PortKindOf(port) == pkSerial)
            return platform::FillText(msg::PortAccessDenied, {port, platform::SAccessDeniedAdvice});
        // A gateway's own reason (refused, unknown host) says more than the
        // connection's; it begins with the port already.
        if (FOpenError && PortKindOf(port) != pkSerial)
            return FOpenText;
        return platform::FillText(msg::PortFailure, {port, failure.what()});
    }

    bool Gone() const {
        if (FFd < 0)
            return false;
        pollfd p{FFd, 0, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }

  private:
    int FFd = -1;
    std::string FListenName;
    std::optional<platform::TSerialErrorKind> FOpenError;
    std::string FOpenText;
};

// What one completed transaction has to say: text lines and JSON fields.
struct TOutcome {
    std::vector<std::string> Lines;
    QJsonObject Fields;

    void Bits(std::uint32_t start, const std::vector<bool>& values, bool print) {
        QJsonArray json;
        for (std::size_t i = 0; i < values.size(); ++i) {
            json.append(values[i] ? 1 : 0);
            if (print)
                Lines.push_back(Text(start + i) + ": " + (values[i] ? "1" : "0"));
        }
        Fields["start"] = static_cast<qint64>(start);
        Fields["values"] = json;
    }

    // Registers as the chosen format shows them; labels count from start.
    static QJsonArray Registers(const TRegValues& values, TRegisterFormat format,
                                const std::string& label, std::uint32_t start,
                                std::vector<std::string>* lines) {
        QJsonArray json;
        for (const TShownValue& shown : ShowRegisters(values, format)) {
            json.append(shown.Json);
            if (lines)
                lines->push_back(label + Text(start + shown.Offset) + ": " + shown.Text);
        }
        return json;
    }
};

// --- Master ---

class TMasterSession {
  public:
    TMasterSession(const TToolOptions& options, std::ostream& out, std::ostream& err)
        : FOptions(options), FOut(out), FErr(err) {}

    int Run() {
        if (!Open())
            return esPortFailure;
        Bind();
        QTimer::singleShot(0, [this] { Send(); });
        QCoreApplication::exec();
        // Closing waits for the transaction on the line to end, up to its
        // reply time-out and its retries: an interrupted run leaves it and
        // ends now.
        InterruptedConnection = nullptr;
        if (!RunInterrupted)
            FConnection.Close();
        if (FUsageFailed)
            return esUsage;
        // Only an interruption or a vanished port ends the loop before the
        // first completion.
        if (FRoundTrips.empty() && !FPortGone)
            FErr << "regwire: " << msg::Interrupted << std::endl;
        if (FOptions.Count != 1)
            PrintSummary();
        return ExitStatus();
    }

  private:
    bool Open() {
        FConnection.SetPort(FOptions.Port);
        FConnection.SetCustomBaudRate(FOptions.BaudRate);
        FConnection.SetParity(FOptions.Parity);
        FConnection.SetDataBits(FOptions.DataBits);
        FConnection.SetStopBits(FOptions.StopBits);
        FConnection.SetTransmissionMode(FOptions.Mode);
        FConnection.SetReceiveTimeout(FOptions.TimeoutMs);
        FConnection.SetMaxRetries(FOptions.Retries + 1);
        FConnection.SetEchoQueryBeforeReply(FOptions.Echo);
        FConnection.SetFlowControl(FOptions.Flow);
        FConnection.SetFrameTiming(FOptions.Timing);
        // Every reply is waited for before the next request goes out, so
        // the request runs within the call; printed frames, though, are to
        // show as they pass, which only the connection's thread can do.
        FConnection.SetSynchronous(!FOptions.Frames);
        FConnection.OnFrameSend = [this](TModbusConnection*, const TFrameData& data) {
            if (FOptions.Frames)
                FFrames.Sent(data);
            if (FOptions.Address == 0 && FOptions.Command != TToolCommand::Custom)
                QTimer::singleShot(FConnection.TurnaroundDelay(), [this] { BroadcastSent(); });
        };
        if (FOptions.Frames)
            FConnection.OnFrameReceive = [this](TModbusConnection*, const TFrameData& data) {
                FFrames.Received(data);
            };
        FPort.Attach(FConnection, FOptions.Frames ? &FFrames : nullptr);
        try {
            FConnection.Open();
        } catch (const std::exception& e) {
            FErr << "regwire: " << FPort.OpenFailure(FOptions.Port, e) << std::endl;
            return false;
        }
        FClient.SetConnection(&FConnection);
        FClient.SetServerAddress(FOptions.Address);
        if (FConnection.Synchronous())
            InterruptedConnection = &FConnection;
        return true;
    }

    // An address as the user numbers them.
    std::uint32_t Shown(std::uint32_t address) const { return address + FOptions.Base; }

    void Bind() {
        auto bits = [this](TModbusClient*, const TTransactionInfo&, std::uint16_t start,
                           std::uint16_t, const TBitValues& values) {
            FOutcome.Bits(Shown(start), values, IsRead());
        };
        auto registers = [this](TModbusClient*, const TTransactionInfo&, std::uint16_t start,
                                std::uint16_t, const TRegValues& values) {
            const bool read = IsRead();
            FOutcome.Fields["start"] = static_cast<qint64>(Shown(start));
            FOutcome.Fields["values"] =
                TOutcome::Registers(values, read ? FOptions.Format : TRegisterFormat::Unsigned, "",
                                    Shown(start), read ? &FOutcome.Lines : nullptr);
        };
        FClient.OnCoilsRead = bits;
        FClient.OnDiscreteInputsRead = bits;
        FClient.OnMultipleCoilsWrite = bits;
        FClient.OnHoldingRegistersRead = registers;
        FClient.OnInputRegistersRead = registers;
        FClient.OnMultipleRegistersWrite = registers;
        FClient.OnSingleCoilWrite = [this](TModbusClient*, const TTransactionInfo&,
                                           std::uint16_t address, bool value) {
            FOutcome.Bits(Shown(address), TBitValues{value}, false);
        };
        FClient.OnSingleRegisterWrite = [this](TModbusClient*, const TTransactionInfo&,
                                               std::uint16_t address, std::uint16_t value) {
            FOutcome.Fields["start"] = static_cast<qint64>(Shown(address));
            FOutcome.Fields["values"] = QJsonArray{value};
        };
        // The eight outputs are numbered 0 to 7 whatever the base: they are
        // bits of one byte, not addresses.
        FClient.OnExceptionStatusRead = [this](TModbusClient*, const TTransactionInfo&,
                                               const TExceptionStatusValues& values) {
            FOutcome.Bits(0, values, true);
        };
        FClient.OnDiagnostics = [this](TModbusClient*, const TTransactionInfo&,
                                       TDiagnosticAction action, std::uint16_t result) {
            FOutcome.Fields["action"] = ActionName(action);
            FOutcome.Fields["result"] = result;
            FOutcome.Lines.push_back(std::string(ActionName(action)) + ": " + Text(result));
        };
        FClient.OnServerIdentificationReport = [this](TModbusClient*, const TTransactionInfo&, int,
                                                      const TServerIdentificationData& data) {
            FOutcome.Fields["data"] = Json(Hex(data));
            FOutcome.Lines.push_back(Hex(data, " "));
        };
        auto records = [this](bool read) {
            return
                [this, read](TModbusClient*, const TTransactionInfo&, TModbusFileRecordList& list) {
                    QJsonArray json;
                    for (int i = 0; i < list.Count(); ++i) {
                        const TModbusFileRecord& r = list.Items(i);
                        const std::string label = Text(r.FileNumber()) + "/";
                        json.append(QJsonObject{
                            {"file", r.FileNumber()},
                            {"record", r.RecordNumber()},
                            {"values",
                             TOutcome::Registers(
                                 r.RegValues(), read ? FOptions.Format : TRegisterFormat::Unsigned,
                                 label, r.RecordNumber(), read ? &FOutcome.Lines : nullptr)}});
                    }
                    FOutcome.Fields["records"] = json;
                };
        };
        FClient.OnFileRecordRead = records(true);
        FClient.OnFileRecordWrite = records(false);
        FClient.OnSingleRegisterMaskWrite = [this](TModbusClient*, const TTransactionInfo&,
                                                   std::uint16_t address, std::uint16_t andMask,
                                                   std::uint16_t orMask) {
            FOutcome.Fields["start"] = static_cast<qint64>(Shown(address));
            FOutcome.Fields["and"] = andMask;
            FOutcome.Fields["or"] = orMask;
        };
        FClient.OnMultipleRegistersReadWrite =
            [this](TModbusClient*, const TTransactionInfo&, std::uint16_t readStart, std::uint16_t,
                   const TRegValues& read, std::uint16_t writeStart, std::uint16_t,
                   const TRegValues& written) {
                FOutcome.Fields["read"] =
                    QJsonObject{{"start", static_cast<qint64>(Shown(readStart))},
                                {"values", TOutcome::Registers(read, FOptions.Format, "",
                                                               Shown(readStart), &FOutcome.Lines)}};
                FOutcome.Fields["written"] = QJsonObject{
                    {"start", static_cast<qint64>(Shown(writeStart))},
                    {"values",
                     TOutcome::Registers(written, TRegisterFormat::Unsigned, "", 0, nullptr)}};
            };
        FClient.OnCustomTransactionComplete = [this](TModbusClient*, const TTransactionInfo&,
                                                     std::uint8_t, const TByteString&,
                                                     const TByteString& response) {
            FOutcome.Fields["response"] = Json(Hex(response));
            FOutcome.Lines.push_back(Hex(response, " "));
        };
        FClient.OnTransactionProcessed = [this](TModbusClient*, const TTransactionInfo& info,
                                                std::uint8_t command,
                                                bool) { Completed(info, command); };
    }

    // The line that confirms a write the server took (or, for a broadcast,
    // that went out); empty for a command that writes nothing.
    std::string Confirmation() const {
        using enum TToolCommand;
        const TToolOptions& o = FOptions;
        auto plural = [](std::size_t n) { return std::string(n == 1 ? "" : "s"); };
        switch (o.Command) {
            case WriteCoil:
                return platform::FillText(msg::WrittenCoils, {"1", "", Text(Shown(o.Start))});
            case WriteCoils:
                return platform::FillText(
                    msg::WrittenCoils,
                    {Text(o.Bits.size()), plural(o.Bits.size()), Text(Shown(o.Start))});
            case WriteRegister:
                return platform::FillText(msg::WrittenRegisters, {"1", "", Text(Shown(o.Start))});
            case WriteRegisters:
            case ReadWriteRegisters: {
                const std::uint32_t at = o.Command == WriteRegisters ? o.Start : o.WriteStart;
                return platform::FillText(
                    msg::WrittenRegisters,
                    {Text(o.Values.size()), plural(o.Values.size()), Text(Shown(at))});
            }
            case WriteFileRecord:
                return platform::FillText(
                    msg::WrittenFileRecord,
                    {Text(o.Values.size()), plural(o.Values.size()), Text(o.Records.front().File),
                     Text(o.Records.front().Record)});
            case MaskWriteRegister: {
                char andMask[8], orMask[8];
                std::snprintf(andMask, sizeof andMask, "0x%04X", o.Value);
                std::snprintf(orMask, sizeof orMask, "0x%04X", o.OrMask);
                return platform::FillText(msg::MaskWritten,
                                          {Text(Shown(o.Start)), andMask, orMask});
            }
            default:
                return {};
        }
    }

    bool IsRead() const {
        using enum TToolCommand;
        switch (FOptions.Command) {
            case ReadCoils:
            case ReadDiscreteInputs:
            case ReadHoldingRegisters:
            case ReadInputRegisters:
                return true;
            default:
                return false;
        }
    }

    // A request whose completion is sure to come (every one but a
    // broadcast's, which completes by a timer once sent) is waited for here:
    // the completion is taken as soon as the connection has it, without a
    // turn of the event loop, and a next request that is due at once goes
    // out from here too. The event loop runs between requests that wait
    // for their interval, and once an interruption was raised.
    void Send() {
        do {
            FSendAgain = false;
            SendOne();
            if (CompletionComes())
                AwaitCompletion();
        } while (FSendAgain && InterruptRaised == 0);
    }

    bool CompletionComes() const {
        return FOptions.Address != 0 || FOptions.Command == TToolCommand::Custom;
    }

    void AwaitCompletion() {
        // How often a wait looks whether it was interrupted.
        constexpr std::uint32_t kInterruptCheckMs = 50;
        const std::uint64_t before = FCompletions;
        while (FCompletions == before && !FUsageFailed && InterruptRaised == 0)
            FConnection.DeliverNext(kInterruptCheckMs);
    }

    void SendOne() {
        if (FIssued == 0)
            FFirstStart = TClock::now();
        ++FIssued;
        FOutcome = {};
        FSentAt = TClock::now();
        try {
            Request();
        } catch (const ERegwireError& e) {
            // The options were checked before the port was opened; the
            // library still has the last word on a request.
            FErr << "regwire: " << e.what() << "; " << msg::UsageHint << std::endl;
            FUsageFailed = true;
            QCoreApplication::quit();
        }
    }

    void Request() {
        using enum TToolCommand;
        const TToolOptions& o = FOptions;
        switch (o.Command) {
            case ReadCoils:
                FClient.ReadCoils(o.Start, o.Quantity);
                return;
            case ReadDiscreteInputs:
                FClient.ReadDiscreteInputs(o.Start, o.Quantity);
                return;
            case ReadHoldingRegisters:
                FClient.ReadHoldingRegisters(o.Start, o.Quantity);
                return;
            case ReadInputRegisters:
                FClient.ReadInputRegisters(o.Start, o.Quantity);
                return;
            case WriteCoil:
                FClient.WriteSingleCoil(o.Start, o.Value == 1);
                return;
            case WriteRegister:
                FClient.WriteSingleRegister(o.Start, o.Value);
                return;
            case ReadExceptionStatus:
                FClient.ReadExceptionStatus();
                return;
            case Diagnostics:
                FClient.Diagnostics(FindDiagnosticAction(o.SubFunction), o.Value);
                return;
            case WriteCoils:
                FClient.WriteMultipleCoils(o.Start, o.Bits);
                return;
            case WriteRegisters:
                FClient.WriteMultipleRegisters(o.Start, o.Values);
                return;
            case ReportServerId:
                FClient.ReportServerIdentification();
                return;
            case ReadFileRecord:
            case WriteFileRecord: {
                TModbusFileRecordList list;
                for (const TFileRecordRef& r : o.Records)
                    list.Add(r.File, r.Record, r.Length);
                if (o.Command == ReadFileRecord) {
                    FClient.ReadFileRecord(list);
                    return;
                }
                for (std::size_t j = 0; j < o.Values.size(); ++j)
                    list.Items(0).SetRegValue(static_cast<int>(j), o.Values[j]);
                FClient.WriteFileRecord(list);
                return;
            }
            case MaskWriteRegister:
                FClient.WriteSingleRegisterMask(o.Start, o.Value, o.OrMask);
                return;
            case ReadWriteRegisters:
                FClient.ReadWriteMultipleRegisters(o.Start, o.Quantity, o.WriteStart, o.Values);
                return;
            case Custom:
                FClient.CustomTransaction(o.Function, o.Data, o.Address == 0);
                return;
            case Serve:
                return;
        }
    }

    // A broadcast completes without a reply once it is sent and the
    // turnaround delay has passed.
    void BroadcastSent() {
        TTransactionInfo info;
        info.Status = tsSuccess;
        info.Attempts = 1;
        Completed(info, FunctionCode(FOptions));
    }

    void Completed(const TTransactionInfo& info, std::uint8_t command) {
        ++FCompletions;
        const auto rtt =
            std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - FSentAt).count();
        Record(info, rtt);
        const std::string exception =
            info.Status == tsException ? FClient.TranslateExceptionCode(info.RawExceptionCode) : "";
        if (FOptions.Json)
            PrintJson(info, command, rtt, exception);
        else if (info.Status == tsSuccess)
            PrintText();
        if (info.Status != tsSuccess)
            FErr << "regwire: " << FailureText(info, exception) << std::endl;
        // A port that has gone never answers again: say so once, rather than
        // one "no reply" per request until interrupted.
        if (FPort.Gone()) {
            FPortGone = true;
            FErr << "regwire: " << platform::FillText(msg::PortGone, {FOptions.Port}) << std::endl;
            QCoreApplication::quit();
            return;
        }
        ScheduleNext();
    }

    void PrintJson(const TTransactionInfo& info, std::uint8_t command, long long rtt,
                   const std::string& exception) {
        QJsonObject json{{"function", command},
                         {"status", StatusName(info.Status)},
                         {"attempts", static_cast<qint64>(info.Attempts)},
                         {"rttUs", static_cast<qint64>(rtt)}};
        if (FOptions.Address == 0)
            json["broadcast"] = true;
        if (info.Status == tsException) {
            json["exceptionCode"] = info.RawExceptionCode;
            json["exception"] = Json(exception);
        }
        if (info.Status == tsSuccess)
            for (auto field = FOutcome.Fields.begin(); field != FOutcome.Fields.end(); ++field)
                json.insert(field.key(), field.value());
        FOut << QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString() << std::endl;
    }

    void PrintText() {
        for (const std::string& line : FOutcome.Lines)
            FOut << line << "\n";
        std::string confirmation = Confirmation();
        if (!confirmation.empty() && FOptions.Address == 0)
            confirmation = platform::FillText(msg::ByBroadcast, {confirmation});
        if (!FOptions.Quiet && !confirmation.empty())
            FOut << confirmation << "\n";
        FOut.flush();
    }

    void Record(const TTransactionInfo& info, long long rttUs) {
        ++FStatusCounts[info.Status];
        FRetries += info.Attempts > 1 ? info.Attempts - 1 : 0;
        FRoundTrips.push_back(rttUs);
        if (info.Status != tsSuccess)
            FLastFailure = info.Status;
    }

    // Start to start: requests go out on a grid of intervals from the first,
    // so a slow reply does not push the later ones back. Slots that passed
    // while a transaction ran long (a dead line with its time-outs and
    // retries) are given up, not made up: one request goes out at once for
    // the current slot, then the grid goes on, with no burst of back-to-back
    // requests when the line answers again.
    void ScheduleNext() {
        if (FOptions.Count != 0 && FIssued >= FOptions.Count) {
            QCoreApplication::quit();
            return;
        }
        if (FOptions.IntervalMs == 0) {
            if (CompletionComes())
                FSendAgain = true;
            else
                QTimer::singleShot(0, [this] { Send(); });
            return;
        }
        const std::chrono::milliseconds period(FOptions.IntervalMs);
        const auto now = TClock::now();
        const std::int64_t current = (now - FFirstStart) / period;
        FSlot = std::max(FSlot + 1, current);
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(FFirstStart + period * FSlot - now);
        QTimer::singleShot(std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds(0)),
                           Qt::PreciseTimer, [this] { Send(); });
    }

    void PrintSummary() {
        std::uint64_t total = 0;
        for (const auto& [status, n] : FStatusCounts)
            total += n;
        FErr << platform::FillText(msg::SummaryTransactions, {Text(total)}) << "\n";
        for (const auto& [status, n] : FStatusCounts)
            FErr << platform::FillText(msg::SummaryStatus, {StatusName(status), Text(n)}) << "\n";
        FErr << platform::FillText(msg::SummaryRetries, {Text(FRetries)}) << "\n";
        if (!FRoundTrips.empty()) {
            std::vector<long long> sorted = FRoundTrips;
            std::sort(sorted.begin(), sorted.end());
            const std::size_t n = sorted.size();
            const double median = n % 2 == 1 ? static_cast<double>(sorted[n / 2])
                                             : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
            auto ms = [](double us) {
                char text[32];
                std::snprintf(text, sizeof text, "%.3f", us / 1000.0);
                return std::string(text);
            };
            FErr << platform::FillText(msg::SummaryRoundTrip,
                                       {ms(static_cast<double>(sorted.front())), ms(median),
                                        ms(static_cast<double>(sorted.back()))})
                 << "\n";
        }
        FErr.flush();
    }

    // Nothing completed (interrupted while the first request went
    // unanswered, or before it was sent) is no success: no reply.
    int ExitStatus() const {
        if (FPortGone)
            return esPortFailure;
        if (FRoundTrips.empty())
            return esNoReply;
        if (!FLastFailure)
            return esSuccess;
        if (*FLastFailure == tsException)
            return esException;
        if (*FLastFailure == tsBadReply)
            return esBadReply;
        return esNoReply;
    }

    const TToolOptions& FOptions;
    std::ostream& FOut;
    std::ostream& FErr;
    TModbusConnection FConnection;
    TModbusClient FClient;
    TOutcome FOutcome;
    std::uint32_t FIssued = 0;
    std::uint64_t FCompletions = 0;
    // Set by a completion whose next request is due at once.
    bool FSendAgain = false;
    std::int64_t FSlot = 0;  // the grid slot of the latest request
    TClock::time_point FFirstStart;
    TClock::time_point FSentAt;
    std::map<TTransactionStatus, std::uint64_t> FStatusCounts;
    std::uint64_t FRetries = 0;
    std::vector<long long> FRoundTrips;
    std::optional<TTransactionStatus> FLastFailure;
    bool FUsageFailed = false;
    TFramePrinter FFrames{FErr};
    TPortWatch FPort;
    bool FPortGone = false;
};

}  // namespace

void InstallInterruptHandlers() {
    if (pipe(InterruptPipe) != 0)
        return;
    auto* notifier =
        new QSocketNotifier(InterruptPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char byte;
        [[maybe_unused]] const auto n = read(InterruptPipe[0], &byte, 1);
        RunInterrupted = true;
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int RunMaster(const TToolOptions& options, std::ostream& out, std::ostream& err) {
    auto session = std::make_unique<TMasterSession>(options, out, err);
    const int status = session->Run();
    if (RunInterrupted) {
        // The session's connection would wait for the transaction on the
        // line; the system closes the port instead.
        out.flush();
        err.flush();
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

namespace {

// Over Modbus TCP up to eight masters are served at once, each answered on
// a thread of its own from one set of tables (as the plant's server does);
// the main thread only waits for the interruption.
int RunNetworkServer(const TToolOptions& options, std::ostream& err) {
    if (options.Mode != tmRTU) {
        err << "regwire: "
            << platform::FillText(msg::PortFailure,
                                  {options.Port, std::string(::regwire::msg::ModbusTcpNeedsRTU)})
            << std::endl;
        return esPortFailure;
    }
    platform::TTcpEndpoint endpoint;
    if (!NetworkEndpoint(options.Port, cmServer, endpoint)) {
        err << "regwire: " << options.Port << ": " << ::regwire::msg::NetworkAddressInvalid
            << std::endl;
        return esPortFailure;
    }
    TSharedTables tables(options.TableSize);
    const std::uint8_t address = options.Address;
    TModbusTcpServer::TOptions serving;
    serving.EveryUnit = false;
    // The server is this program's whole work: no lower priority for it.
    serving.Nice = 0;
    std::unique_ptr<TModbusTcpServer> server;
    try {
        server = std::make_unique<TModbusTcpServer>(
            endpoint, options.Port,
            [&tables, address](const std::string&) {
                auto peer = std::make_unique<TSharedTablesServer>(tables);
                peer->SetServerAddress(address);
                return peer;
            },
            serving);
    } catch (const std::exception& e) {
        err << "regwire: " << e.what() << std::endl;
        return esPortFailure;
    }
    // Lines of the peers' threads, one at a time.
    std::mutex lock;
    server->OnLog = [&err, &lock](const std::string& line) {
        const std::lock_guard hold(lock);
        err << "regwire: " << line << std::endl;
    };
    if (options.Frames)
        server->OnWireFrame = [&err, &lock](const std::uint8_t* frame, std::size_t count,
                                            bool sent) {
            const std::lock_guard hold(lock);
            err << (sent ? "> " : "< ") << Hex(frame, count, " ") << std::endl;
        };
    err << "regwire: "
        << platform::FillText(msg::Listening,
                              {ListeningPortName(options.Port, server->LocalPort())})
        << std::endl;
    server->Start();
    QCoreApplication::exec();
    server.reset();
    return esSuccess;
}

}  // namespace

// Discrete input i is on when i is odd, input register i holds i mod 65536;
// coils and holding registers start at 0.
int RunServer(const TToolOptions& options, std::ostream& err) {
    if (PortKindOf(options.Port) == pkModbusTcp)
        return RunNetworkServer(options, err);
    TModbusConnection connection;
    connection.SetPort(options.Port);
    connection.SetConnectionMode(cmServer);
    connection.SetCustomBaudRate(options.BaudRate);
    connection.SetParity(options.Parity);
    connection.SetDataBits(options.DataBits);
    connection.SetStopBits(options.StopBits);
    connection.SetTransmissionMode(options.Mode);
    connection.SetFlowControl(options.Flow);
    connection.SetEchoQueryBeforeReply(options.Echo);
    // Standard timing unless told otherwise: a request ends at its length and
    // the answer follows after the standard's rest, whatever the master keeps.
    connection.SetFrameTiming(options.Timing);
    TFramePrinter frames(err);
    if (options.Frames) {
        connection.OnFrameSend = [&frames](TModbusConnection*, const TFrameData& data) {
            frames.Sent(data);
        };
        connection.OnFrameReceive = [&frames](TModbusConnection*, const TFrameData& data) {
            frames.Received(data);
        };
    }
    TMemoryModbusServer server(options.TableSize);
    server.SetServerAddress(options.Address);
    for (int i = 0; i < options.TableSize; ++i) {
        server.PutDiscreteInput(i, i % 2 == 1);
        server.PutInputRegister(i, static_cast<std::uint16_t>(i % 65536));
    }
    server.SetConnection(&connection);
    TPortWatch port;
    port.Attach(connection, options.Frames ? &frames : nullptr);
    try {
        connection.Open();
    } catch (const std::exception& e) {
        err << "regwire: " << port.OpenFailure(options.Port, e) << std::endl;
        return esPortFailure;
    }
    // Port 0 leaves the choice to the system: the caller learns it here.
    if (!port.ListenName().empty())
        err << "regwire: " << platform::FillText(msg::Listening, {port.ListenName()}) << std::endl;
    // A serial port pulled from under the server ends it, as it ends a
    // master's run: no request can come through it any more, and waiting
    // in silence would look like a line with no master on it.
    bool gone = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!port.Gone())
            return;
        gone = true;
        watch.stop();
        err << "regwire: " << platform::FillText(msg::PortGone, {options.Port}) << std::endl;
        QCoreApplication::quit();
    });
    watch.start(kServePortWatch);
    QCoreApplication::exec();
    connection.Close();
    return gone ? esPortFailure : esSuccess;
}

}  // namespace regwire::tool
