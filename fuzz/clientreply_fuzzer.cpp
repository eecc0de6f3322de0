// Client reply decoding: a valid request of each of the fifteen function
// codes (and a custom one), paired with any reply the line brings back, runs
// the whole way a request runs: built by TModbusClient, sent by the
// transaction thread on a scripted line, the reply read, decoded and judged
// there, and decoded against the request on the main thread. Whatever the
// reply, the client raises exactly one event for the request and one
// OnTransactionProcessed, reports the request's own addresses and counts,
// sizes every value array from the request, and shows no error.
//
// The input says the transmission mode, the function and its arguments,
// then how the reply is made: the request's address and function byte in
// front or not, the checksum appended or not, and the reply's bytes.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fuzzcheck.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "modbus/errors.h"
#include "platform/msgsink.h"
#include "platform/scripteddevice.h"

using namespace regwire;

namespace {

using TBytes = std::vector<std::uint8_t>;
constexpr std::uint8_t Server = 10;

struct TLine {
    explicit TLine(TTransmissionMode mode) {
        Connection.SetTransmissionMode(mode);
        Connection.DeviceFactory = [this](const TSerialPort&) {
            auto device = std::make_unique<platform::TScriptedSerialDevice>();
            Device = device.get();
            return device;
        };
        Connection.Open();
        Client.SetConnection(&Connection);
        Client.SetServerAddress(Server);
    }
    platform::TScriptedSerialDevice* Device = nullptr;
    TModbusConnection Connection;
    TModbusClient Client;
};

TLine* Lines[2];

// What the events reported for the one request in flight.
struct TOutcome {
    int FunctionEvents = 0;
    int Processed = 0;
    std::uint8_t Command = 0;
    TTransactionInfo Info;
};
TOutcome Outcome;

// What the request asked for, to hold the events to.
struct TAsked {
    std::uint8_t Function = 0;
    std::uint16_t Start = 0;
    std::uint16_t Count = 0;
    std::uint16_t Value = 0;
    TRegValues Written;
    std::uint16_t ReadStart = 0;
    std::uint16_t ReadCount = 0;
    TDiagnosticAction Action = daReturnQueryData;
    std::vector<std::pair<int, int>> Records;  // record number, length
    TBytes CustomData;
};
TAsked Asked;

void Report() {
    ++Outcome.FunctionEvents;
}

void CheckBits(const TTransactionInfo&, std::uint16_t start, std::uint16_t count,
               const TBitValues& values) {
    FUZZ_CHECK(start == Asked.Start && count == Asked.Count && values.size() == count);
    Report();
}

void CheckRegisters(const TTransactionInfo&, std::uint16_t start, std::uint16_t count,
                    const TRegValues& values) {
    FUZZ_CHECK(start == Asked.Start && count == Asked.Count && values.size() == count);
    if (Asked.Function == 16)
        FUZZ_CHECK(values == Asked.Written);
    Report();
}

void Wire(TModbusClient& c) {
    c.OnCoilsRead = [](TModbusClient*, const TTransactionInfo& i, std::uint16_t s, std::uint16_t n,
                       const TBitValues& v) { CheckBits(i, s, n, v); };
    c.OnDiscreteInputsRead = c.OnCoilsRead;
    c.OnMultipleCoilsWrite = c.OnCoilsRead;
    c.OnHoldingRegistersRead = [](TModbusClient*, const TTransactionInfo& i, std::uint16_t s,
                                  std::uint16_t n,
                                  const TRegValues& v) { CheckRegisters(i, s, n, v); };
    c.OnInputRegistersRead = c.OnHoldingRegistersRead;
    c.OnMultipleRegistersWrite = c.OnHoldingRegistersRead;
    c.OnSingleCoilWrite = [](TModbusClient*, const TTransactionInfo&, std::uint16_t a, bool v) {
        FUZZ_CHECK(a == Asked.Start && v == (Asked.Value == 0xFF00));
        Report();
    };
    c.OnSingleRegisterWrite = [](TModbusClient*, const TTransactionInfo&, std::uint16_t a,
                                 std::uint16_t v) {
        FUZZ_CHECK(a == Asked.Start && v == Asked.Value);
        Report();
    };
    c.OnExceptionStatusRead = [](TModbusClient*, const TTransactionInfo&,
                                 const TExceptionStatusValues& v) {
        FUZZ_CHECK(v.size() == 8);
        Report();
    };
    c.OnDiagnostics = [](TModbusClient*, const TTransactionInfo& i, TDiagnosticAction a,
                         std::uint16_t r) {
        // A restart with the data word 0xFF00 is the one that clears the
        // event log, whichever action the caller named: the wire is the same.
        const bool clearsLog = Asked.Action == daRestartCommsOption && Asked.Value == 0xFF00;
        FUZZ_CHECK(a == (clearsLog ? daRestartCommsOptionAndClearEventLog : Asked.Action));
        if (i.Status != tsSuccess || DiagnosticEchoesData(a))
            FUZZ_CHECK(r == 0);
        Report();
    };
    c.OnServerIdentificationReport = [](TModbusClient*, const TTransactionInfo& i, int n,
                                        const TServerIdentificationData& d) {
        if (i.Status != tsSuccess)
            FUZZ_CHECK(n == 0 && d.empty());
        FUZZ_CHECK(n >= 0);
        Report();
    };
    const auto records = [](TModbusClient*, const TTransactionInfo&, TModbusFileRecordList& l) {
        FUZZ_CHECK(l.Count() == static_cast<int>(Asked.Records.size()));
        for (int k = 0; k < l.Count(); ++k) {
            FUZZ_CHECK(l.Items(k).RecordNumber() == Asked.Records[k].first);
            FUZZ_CHECK(l.Items(k).RecordLength() == Asked.Records[k].second);
        }
        Report();
    };
    c.OnFileRecordRead = records;
    c.OnFileRecordWrite = records;
    c.OnSingleRegisterMaskWrite = [](TModbusClient*, const TTransactionInfo&, std::uint16_t a,
                                     std::uint16_t andMask, std::uint16_t orMask) {
        FUZZ_CHECK(a == Asked.Start && andMask == Asked.Value && orMask == Asked.Count);
        Report();
    };
    c.OnMultipleRegistersReadWrite = [](TModbusClient*, const TTransactionInfo&, std::uint16_t rs,
                                        std::uint16_t rn, const TRegValues& rv, std::uint16_t ws,
                                        std::uint16_t wn, const TRegValues& wv) {
        FUZZ_CHECK(rs == Asked.ReadStart && rn == Asked.ReadCount && rv.size() == rn);
        FUZZ_CHECK(ws == Asked.Start && wn == Asked.Written.size() && wv == Asked.Written);
        Report();
    };
    c.OnCustomTransactionComplete = [](TModbusClient*, const TTransactionInfo& i, std::uint8_t cmd,
                                       const TByteString& request, const TByteString& response) {
        FUZZ_CHECK(cmd == Asked.Function && request == Asked.CustomData);
        if (i.Status != tsSuccess)
            FUZZ_CHECK(response.empty());
        Report();
    };
    c.OnTransactionProcessed = [](TModbusClient*, const TTransactionInfo& i, std::uint8_t cmd,
                                  bool) {
        ++Outcome.Processed;
        Outcome.Command = cmd;
        Outcome.Info = i;
    };
}

std::uint16_t CountUpTo(fuzz::TInput& in, int limit) {
    return static_cast<std::uint16_t>(1 + in.Word() % limit);
}

// A start that keeps the run inside the 65536 addresses.
std::uint16_t StartFor(fuzz::TInput& in, int count) {
    return static_cast<std::uint16_t>(in.Word() % (0x10000 - count + 1));
}

TRegValues Registers(fuzz::TInput& in, int count) {
    TRegValues values(static_cast<std::size_t>(count));
    for (auto& v : values)
        v = in.Word();
    return values;
}

using TSend = std::function<void(TModbusClient&)>;

// Reads the request's function and arguments into Asked; returns how to send
// it.
TSend Ask(fuzz::TInput& in) {
    Asked = TAsked{};
    const std::uint8_t functions[] = {1, 2, 3, 4, 5, 6, 7, 8, 15, 16, 17, 20, 21, 22, 23, 0x41};
    Asked.Function = functions[in.Byte() % std::size(functions)];
    const TAsked& a = Asked;
    switch (a.Function) {
        case 1:
        case 2:
            Asked.Count = CountUpTo(in, TModbusClient::MaxReadBits);
            Asked.Start = StartFor(in, a.Count);
            return [](TModbusClient& c) {
                a.Function == 1 ? c.ReadCoils(a.Start, a.Count)
                                : c.ReadDiscreteInputs(a.Start, a.Count);
            };
        case 3:
        case 4:
            Asked.Count = CountUpTo(in, TModbusClient::MaxReadRegisters);
            Asked.Start = StartFor(in, a.Count);
            return [](TModbusClient& c) {
                a.Function == 3 ? c.ReadHoldingRegisters(a.Start, a.Count)
                                : c.ReadInputRegisters(a.Start, a.Count);
            };
        case 5:
            Asked.Start = in.Word();
            Asked.Value = in.Flag() ? 0xFF00 : 0;
            return [](TModbusClient& c) { c.WriteSingleCoil(a.Start, a.Value == 0xFF00); };
        case 6:
            Asked.Start = in.Word();
            Asked.Value = in.Word();
            return [](TModbusClient& c) { c.WriteSingleRegister(a.Start, a.Value); };
        case 7:
            return [](TModbusClient& c) { c.ReadExceptionStatus(); };
        case 8:
            Asked.Action = static_cast<TDiagnosticAction>(in.Byte() % DiagnosticActionCount);
            Asked.Value = in.Word();
            return [](TModbusClient& c) { c.Diagnostics(a.Action, a.Value); };
        case 15: {
            Asked.Count = CountUpTo(in, TModbusClient::MaxWriteBits);
            Asked.Start = StartFor(in, a.Count);
            auto bits = std::make_shared<TBitValues>(a.Count);
            for (std::size_t i = 0; i < bits->size(); ++i)
                (*bits)[i] = ((in.Byte() >> (i % 8)) & 1U) != 0;
            return [bits](TModbusClient& c) { c.WriteMultipleCoils(a.Start, *bits); };
        }
        case 16:
            Asked.Count = CountUpTo(in, TModbusClient::MaxWriteRegisters);
            Asked.Start = StartFor(in, a.Count);
            Asked.Written = Registers(in, a.Count);
            return [](TModbusClient& c) { c.WriteMultipleRegisters(a.Start, a.Written); };
        case 17:
            return [](TModbusClient& c) { c.ReportServerIdentification(); };
        case 20:
        case 21: {
            // Records that fit one request of the function.
            auto list = std::make_shared<TModbusFileRecordList>();
            int bytes = 0;
            const int wanted = 1 + in.Byte() % 5;
            for (int k = 0; k < wanted; ++k) {
                const int length = in.Byte() % 16;
                const int cost = a.Function == 20 ? 2 + 2 * length : 7 + 2 * length;
                if (k > 0 && bytes + cost > TModbusClient::MaxFileRecordBytes)
                    break;
                bytes += cost;
                const int number = in.Word() % (10000 - length + (length == 0 ? 0 : 1));
                TModbusFileRecord& r =
                    list->Add(in.Word(), static_cast<std::uint16_t>(number), length);
                for (int v = 0; v < length; ++v)
                    r.SetRegValue(v, in.Word());
                Asked.Records.emplace_back(number, length);
            }
            return [list](TModbusClient& c) {
                a.Function == 20 ? c.ReadFileRecord(*list) : c.WriteFileRecord(*list);
            };
        }
        case 22:
            Asked.Start = in.Word();
            Asked.Value = in.Word();  // AND mask
            Asked.Count = in.Word();  // OR mask
            return [](TModbusClient& c) { c.WriteSingleRegisterMask(a.Start, a.Value, a.Count); };
        case 23: {
            Asked.ReadCount = CountUpTo(in, TModbusClient::MaxReadRegisters);
            Asked.ReadStart = StartFor(in, a.ReadCount);
            const int writeCount = CountUpTo(in, TModbusClient::MaxReadWriteWriteRegisters);
            Asked.Start = StartFor(in, writeCount);
            Asked.Written = Registers(in, writeCount);
            return [](TModbusClient& c) {
                c.ReadWriteMultipleRegisters(a.ReadStart, a.ReadCount, a.Start, a.Written);
            };
        }
        default: {
            // At most what fits between the function code and the checksum.
            const auto data = in.Bytes(in.Byte() % 253U);
            Asked.CustomData.assign(data.begin(), data.end());
            return [](TModbusClient& c) { c.CustomTransaction(a.Function, a.CustomData); };
        }
    }
}

// The reply as line characters.
std::vector<platform::TScriptedChunk> Answer(const TFrameCodec& codec, fuzz::TInput& in) {
    const std::uint8_t how = in.Byte();
    TModbusBuffer frame(codec.MaxADUSize() + 8);
    if ((how & 1U) == 0) {
        frame.WriteByte(Server);
        frame.WriteByte((how & 2U) == 0 ? Asked.Function : Asked.Function | 0x80U);
    }
    const int room = frame.Capacity() - frame.Position() - codec.ChecksumSize();
    const auto body = in.Bytes(static_cast<std::size_t>(room));
    frame.WriteBytes(body.data(), static_cast<int>(body.size()));
    if ((how & 4U) == 0)
        codec.AddChecksum(frame);
    TBytes line(static_cast<std::size_t>(2 * frame.Capacity() + 3));
    int n = frame.Size();
    if (codec.TransmissionMode() == tmRTU)
        std::copy_n(frame.Memory(), n, line.begin());
    else
        n = codec.EncodeFrame(frame, line);
    line.resize(static_cast<std::size_t>(n));
    // Mostly in time; from 1000 ms on, after the receive time-out.
    return {platform::TScriptedChunk{line, (how >> 3) * 40U, false}};
}

bool SpinUntilProcessed() {
    const QDeadlineTimer deadline(20000);
    while (Outcome.Processed == 0) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    // Anything else posted for the same transaction arrives now.
    QCoreApplication::processEvents();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static int argc = 1;
    static char name[] = "client_reply";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    // A valid request never shows an error, whatever its reply.
    platform::SetMessageSink([](const platform::TMessage& m) {
        std::fprintf(stderr, "shown: %s\n", m.Text.c_str());
        std::abort();
    });
    Lines[0] = new TLine(tmRTU);
    Lines[1] = new TLine(tmASCII);
    Wire(Lines[0]->Client);
    Wire(Lines[1]->Client);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    TLine& line = *Lines[in.Flag() ? 1 : 0];
    Outcome = TOutcome{};
    // A late answer of the previous input has come and gone.
    line.Device->Advance(1U << 20);
    const TSend send = Ask(in);
    // The answer waits for the request: it arrives after the next write.
    line.Device->QueueAnswer(Answer(line.Connection.Codec(), in));
    send(line.Client);
    FUZZ_CHECK(SpinUntilProcessed());
    // Exactly one event for the request and one OnTransactionProcessed,
    // whatever came back.
    FUZZ_CHECK(Outcome.FunctionEvents == 1 && Outcome.Processed == 1);
    FUZZ_CHECK(Outcome.Command == Asked.Function);
    FUZZ_CHECK(Outcome.Info.Attempts == 1);
    FUZZ_CHECK(line.Connection.PendingTransactions() == 0);
    return 0;
}
