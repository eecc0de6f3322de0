#include "session.h"

#include <unistd.h>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>

#include "modbus/client.h"
#include "modbus/connection.h"
#include "modbus/errors.h"
#include "modbus/memoryserver.h"

namespace regwire::tool {

namespace {

using TClock = std::chrono::steady_clock;

// --- Interruption: SIGINT and SIGTERM quit the event loop ---

int InterruptPipe[2] = {-1, -1};

void OnSignal(int) {
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

const char* StatusName(TTransactionStatus status) {
    static const char* const names[] = {"tsNoReply",  "tsBadFrame",  "tsWrongServer",
                                        "tsBadReply", "tsException", "tsSuccess"};
    return status <= tsSuccess ? names[status] : "tsUnknown";
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

std::string FailureText(const TTransactionInfo& info, const std::string& exceptionText) {
    switch (info.Status) {
        case tsNoReply:
            return "no reply from server " + std::to_string(info.ServerAddress);
        case tsBadFrame:
            return "bad frame (too short or wrong checksum)";
        case tsWrongServer:
            return "the reply came from another server";
        case tsBadReply:
            return "bad reply: it does not match the request";
        case tsException:
            return "exception " + std::to_string(info.RawExceptionCode) + ": " + exceptionText;
        default:
            return {};
    }
}

template <typename Values>
std::string JsonList(const Values& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            text += ",";
        text += std::to_string(static_cast<unsigned>(values[i]));
    }
    return text + "]";
}

// What one completed transaction has to say: text lines and JSON fields.
struct TOutcome {
    std::vector<std::string> Lines;
    std::string Json;  // fields after the common ones, each starting with ','

    template <typename List>
    void Values(std::uint32_t start, const List& values, bool print) {
        Json += ",\"start\":" + std::to_string(start) + ",\"values\":" + JsonList(values);
        if (print)
            for (std::size_t i = 0; i < values.size(); ++i)
                Lines.push_back(std::to_string(start + i) + ": " +
                                std::to_string(static_cast<unsigned>(values[i])));
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
        FConnection.Close();
        if (FOptions.Count != 1)
            PrintSummary();
        return FUsageFailed ? esUsage : ExitStatus();
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
        FConnection.SetMaxRetries(FOptions.Retries);
        FConnection.SetEchoQueryBeforeReply(FOptions.Echo);
        FConnection.SetFlowControl(FOptions.Flow);
        FConnection.OnFrameSend = [this](TModbusConnection*, const TFrameData& data) {
            if (FOptions.Frames)
                FErr << "> " << Hex(data, " ") << std::endl;
            if (FOptions.Address == 0 && FOptions.Command != TToolCommand::Custom)
                QTimer::singleShot(FConnection.TurnaroundDelay(), [this] { BroadcastSent(); });
        };
        if (FOptions.Frames)
            FConnection.OnFrameReceive = [this](TModbusConnection*, const TFrameData& data) {
                FErr << "< " << Hex(data, " ") << std::endl;
            };
        try {
            FConnection.Open();
        } catch (const std::exception& e) {
            FErr << "regwire: " << FOptions.Port << ": " << e.what() << std::endl;
            return false;
        }
        FClient.SetConnection(&FConnection);
        FClient.SetServerAddress(FOptions.Address);
        return true;
    }

    void Bind() {
        auto bits = [this](TModbusClient*, const TTransactionInfo&, std::uint16_t start,
                           std::uint16_t,
                           const TBitValues& values) { FOutcome.Values(start, values, IsRead()); };
        auto registers = [this](TModbusClient*, const TTransactionInfo&, std::uint16_t start,
                                std::uint16_t, const TRegValues& values) {
            FOutcome.Values(start, values, IsRead());
        };
        FClient.OnCoilsRead = bits;
        FClient.OnDiscreteInputsRead = bits;
        FClient.OnMultipleCoilsWrite = bits;
        FClient.OnHoldingRegistersRead = registers;
        FClient.OnInputRegistersRead = registers;
        FClient.OnMultipleRegistersWrite = registers;
        FClient.OnSingleCoilWrite = [this](TModbusClient*, const TTransactionInfo&,
                                           std::uint16_t address, bool value) {
            FOutcome.Values(address, TBitValues{value}, false);
        };
        FClient.OnSingleRegisterWrite = [this](TModbusClient*, const TTransactionInfo&,
                                               std::uint16_t address, std::uint16_t value) {
            FOutcome.Values(address, TRegValues{value}, false);
        };
        FClient.OnExceptionStatusRead = [this](TModbusClient*, const TTransactionInfo&,
                                               const TExceptionStatusValues& values) {
            FOutcome.Values(0, values, true);
        };
        FClient.OnDiagnostics = [this](TModbusClient*, const TTransactionInfo&,
                                       TDiagnosticAction action, std::uint16_t result) {
            FOutcome.Json += ",\"action\":\"" + std::string(ActionName(action)) +
                             "\",\"result\":" + std::to_string(result);
            FOutcome.Lines.push_back(std::string(ActionName(action)) + ": " +
                                     std::to_string(result));
        };
        FClient.OnServerIdentificationReport = [this](TModbusClient*, const TTransactionInfo&, int,
                                                      const TServerIdentificationData& data) {
            FOutcome.Json += ",\"data\":\"" + Hex(data) + "\"";
            FOutcome.Lines.push_back(Hex(data, " "));
        };
        auto records = [this](bool print) {
            return [this, print](TModbusClient*, const TTransactionInfo&,
                                 TModbusFileRecordList& list) {
                FOutcome.Json += ",\"records\":[";
                for (int i = 0; i < list.Count(); ++i) {
                    const TModbusFileRecord& r = list.Items(i);
                    FOutcome.Json += std::string(i > 0 ? "," : "") +
                                     "{\"file\":" + std::to_string(r.FileNumber()) +
                                     ",\"record\":" + std::to_string(r.RecordNumber()) +
                                     ",\"values\":" + JsonList(r.RegValues()) + "}";
                    if (print)
                        for (int j = 0; j < r.RecordLength(); ++j)
                            FOutcome.Lines.push_back(std::to_string(r.FileNumber()) + "/" +
                                                     std::to_string(r.RecordNumber() + j) + ": " +
                                                     std::to_string(r.RegValue(j)));
                }
                FOutcome.Json += "]";
            };
        };
        FClient.OnFileRecordRead = records(true);
        FClient.OnFileRecordWrite = records(false);
        FClient.OnSingleRegisterMaskWrite = [this](TModbusClient*, const TTransactionInfo&,
                                                   std::uint16_t address, std::uint16_t andMask,
                                                   std::uint16_t orMask) {
            FOutcome.Json += ",\"start\":" + std::to_string(address) +
                             ",\"and\":" + std::to_string(andMask) +
                             ",\"or\":" + std::to_string(orMask);
        };
        FClient.OnMultipleRegistersReadWrite =
            [this](TModbusClient*, const TTransactionInfo&, std::uint16_t readStart, std::uint16_t,
                   const TRegValues& read, std::uint16_t writeStart, std::uint16_t,
                   const TRegValues& written) {
                FOutcome.Json += ",\"read\":{\"start\":" + std::to_string(readStart) +
                                 ",\"values\":" + JsonList(read) +
                                 "},\"written\":{\"start\":" + std::to_string(writeStart) +
                                 ",\"values\":" + JsonList(written) + "}";
                for (std::size_t i = 0; i < read.size(); ++i)
                    FOutcome.Lines.push_back(std::to_string(readStart + i) + ": " +
                                             std::to_string(read[i]));
            };
        FClient.OnCustomTransactionComplete = [this](TModbusClient*, const TTransactionInfo&,
                                                     std::uint8_t, const TByteString&,
                                                     const TByteString& response) {
            FOutcome.Json += ",\"response\":\"" + Hex(response) + "\"";
            FOutcome.Lines.push_back(Hex(response, " "));
        };
        FClient.OnTransactionProcessed = [this](TModbusClient*, const TTransactionInfo& info,
                                                std::uint8_t command,
                                                bool) { Completed(info, command); };
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

    void Send() {
        if (FIssued == 0)
            FFirstStart = TClock::now();
        ++FIssued;
        FOutcome = {};
        FSentAt = TClock::now();
        try {
            Request();
        } catch (const ERegwireError& e) {
            FErr << "regwire: " << e.what() << "\n\n" << UsageText;
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
        const auto rtt =
            std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - FSentAt).count();
        Record(info, rtt);
        const std::string exception =
            info.Status == tsException ? FClient.TranslateExceptionCode(info.RawExceptionCode) : "";
        if (FOptions.Json) {
            FOut << "{\"function\":" << unsigned(command) << ",\"status\":\""
                 << StatusName(info.Status) << "\",\"attempts\":" << info.Attempts
                 << ",\"rttUs\":" << rtt;
            if (info.Status == tsException)
                FOut << ",\"exceptionCode\":" << unsigned(info.RawExceptionCode)
                     << ",\"exception\":\"" << exception << "\"";
            if (info.Status == tsSuccess)
                FOut << FOutcome.Json;
            FOut << "}" << std::endl;
        } else if (info.Status == tsSuccess) {
            for (const std::string& line : FOutcome.Lines)
                FOut << line << "\n";
            FOut.flush();
        }
        if (info.Status != tsSuccess)
            FErr << "regwire: " << FailureText(info, exception) << std::endl;
        ScheduleNext();
    }

    void Record(const TTransactionInfo& info, long long rttUs) {
        ++FStatusCounts[info.Status];
        FRetries += info.Attempts > 1 ? info.Attempts - 1 : 0;
        FRoundTrips.push_back(rttUs);
        if (info.Status != tsSuccess)
            FLastFailure = info.Status;
    }

    // Start to start: request k is due k intervals after the first, so a slow
    // reply does not push the later ones back.
    void ScheduleNext() {
        if (FOptions.Count != 0 && FIssued >= FOptions.Count) {
            QCoreApplication::quit();
            return;
        }
        if (FOptions.IntervalMs == 0) {
            QTimer::singleShot(0, [this] { Send(); });
            return;
        }
        const auto due = FFirstStart + std::chrono::milliseconds(FOptions.IntervalMs) * FIssued;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - TClock::now());
        QTimer::singleShot(std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds(0)),
                           Qt::PreciseTimer, [this] { Send(); });
    }

    void PrintSummary() {
        std::uint64_t total = 0;
        for (const auto& [status, n] : FStatusCounts)
            total += n;
        FErr << "transactions: " << total << "\n";
        for (const auto& [status, n] : FStatusCounts)
            FErr << StatusName(status) << ": " << n << "\n";
        FErr << "retries: " << FRetries << "\n";
        if (!FRoundTrips.empty()) {
            std::vector<long long> sorted = FRoundTrips;
            std::sort(sorted.begin(), sorted.end());
            const std::size_t n = sorted.size();
            const double median = n % 2 == 1 ? static_cast<double>(sorted[n / 2])
                                             : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
            char text[128];
            std::snprintf(text, sizeof text, "round trip: min %.3f ms, median %.3f ms, max %.3f ms",
                          static_cast<double>(sorted.front()) / 1000.0, median / 1000.0,
                          static_cast<double>(sorted.back()) / 1000.0);
            FErr << text << "\n";
        }
        FErr.flush();
    }

    int ExitStatus() const {
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
    TClock::time_point FFirstStart;
    TClock::time_point FSentAt;
    std::map<TTransactionStatus, std::uint64_t> FStatusCounts;
    std::uint64_t FRetries = 0;
    std::vector<long long> FRoundTrips;
    std::optional<TTransactionStatus> FLastFailure;
    bool FUsageFailed = false;
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
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int RunMaster(const TToolOptions& options, std::ostream& out, std::ostream& err) {
    TMasterSession session(options, out, err);
    return session.Run();
}

// Discrete input i is on when i is odd, input register i holds i mod 65536;
// coils and holding registers start at 0.
int RunServer(const TToolOptions& options, std::ostream& err) {
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
    if (options.Frames) {
        connection.OnFrameSend = [&err](TModbusConnection*, const TFrameData& data) {
            err << "> " << Hex(data, " ") << std::endl;
        };
        connection.OnFrameReceive = [&err](TModbusConnection*, const TFrameData& data) {
            if (!data.empty())
                err << "< " << Hex(data, " ") << std::endl;
        };
    }
    TMemoryModbusServer server(options.TableSize);
    server.SetServerAddress(options.Address);
    for (int i = 0; i < options.TableSize; ++i) {
        server.PutDiscreteInput(i, i % 2 == 1);
        server.PutInputRegister(i, static_cast<std::uint16_t>(i % 65536));
    }
    server.SetConnection(&connection);
    try {
        connection.Open();
    } catch (const std::exception& e) {
        err << "regwire: " << options.Port << ": " << e.what() << std::endl;
        return esPortFailure;
    }
    QCoreApplication::exec();
    connection.Close();
    return esSuccess;
}

}  // namespace regwire::tool
