#include "modbus/client.h"

#include <memory>

#include "modbus/bits.h"
#include "modbus/errors.h"
#include "modbus/messages.h"

namespace regwire {

namespace {

// The tail of a register write: the quantity, its byte count, the values.
void WriteRegisterRun(TModbusBuffer& r, const TRegValues& values) {
    const auto count = static_cast<std::uint16_t>(values.size());
    r.WriteWord(count);
    r.WriteByte(static_cast<std::uint8_t>(2 * count));
    for (const std::uint16_t value : values)
        r.WriteWord(value);
}

// The count check comes first, so a request that fails both names the count.
void CheckRun(std::uint16_t start, std::uint16_t count, int limit, std::string_view countMessage,
              std::string_view startMessage) {
    if (count < 1 || count > limit)
        RaiseError(countMessage, limit);
    if (start + count - 1 > 0xFFFF)
        RaiseError(startMessage, start);
}

void CheckRegisterRun(std::uint16_t start, std::size_t count, int limit) {
    if (count < 1 || count > static_cast<std::size_t>(limit))
        RaiseError(msg::RegisterCountRange, limit);
    if (start + count - 1 > 0xFFFF)
        RaiseError(msg::StartingRegisterInvalid, start);
}

void CheckFileRecords(const TModbusFileRecordList& records, int requestBytesPerRecord,
                      bool valuesInRequest) {
    constexpr int MaxRecords = TModbusClient::MaxFileRecordBytes / 7;
    if (records.Count() < 1 || records.Count() > MaxRecords)
        RaiseError(msg::FileRecordCountRange, MaxRecords);
    // A read names the records and gets their values back; a write carries
    // them and gets itself back.
    int bytes = 0;
    for (int i = 0; i < records.Count(); ++i) {
        const int values = 2 * records.Items(i).RecordLength();
        bytes += valuesInRequest ? requestBytesPerRecord + values : 2 + values;
    }
    if (bytes > TModbusClient::MaxFileRecordBytes)
        RaiseError(msg::FileRecordRequestTooLong, bytes);
}

void WriteRecordHeader(TModbusBuffer& request, const TModbusFileRecord& record) {
    request.WriteByte(6);  // the reference type of every file record
    request.WriteWord(record.FileNumber());
    request.WriteWord(record.RecordNumber());
    request.WriteWord(static_cast<std::uint16_t>(record.RecordLength()));
}

}  // namespace

TModbusClient::TModbusClient(QObject* owner) : QObject(owner) {}

TModbusClient::~TModbusClient() {
    SetConnection(nullptr);
}

// --- Properties ---

void TModbusClient::SetConnection(TModbusConnection* value) {
    if (value == FConnection)
        return;
    if (FConnection)
        FConnection->UnregisterClient(this);
    FConnection = value;
    if (FConnection)
        FConnection->RegisterClient(this);
}

void TModbusClient::SetMaxConsecutiveTimeouts(std::int32_t value) {
    if (value < -1)
        value = -1;
    if (value == FMaxConsecutiveTimeouts)
        return;
    FMaxConsecutiveTimeouts = value;
    FConsecutiveTimeouts = 0;
}

void TModbusClient::SetServerAddress(std::uint8_t value) {
    if (value == FServerAddress)
        return;
    if (FConnection)
        FConnection->CancelTransactions(this);
    FServerAddress = value;
}

void TModbusClient::CheckConnection() const {
    if (!FConnection || !FConnection->Active() || FConnection->Loading())
        RaiseError(msg::NoActiveConnection);
}

// --- Request operations ---

// The requests made of the function code and two words (function codes 1 to
// 6 and 8): an address or start, and a value or count.
std::int32_t TModbusClient::QueueWordPair(std::int32_t UserData, std::uint8_t function,
                                          std::uint16_t first, std::uint16_t second) {
    auto t = NewRequest(UserData);
    TModbusBuffer& r = t->Request;
    r.WriteByte(function);
    r.WriteWord(first);
    r.WriteWord(second);
    return QueueRequest(std::move(t));
}

std::int32_t TModbusClient::ReadCoils(std::uint16_t StartBit, std::uint16_t BitCount,
                                      std::int32_t UserData) {
    CheckConnection();
    CheckRun(StartBit, BitCount, MaxReadBits, msg::CoilCountRange, msg::StartingCoilInvalid);
    return QueueWordPair(UserData, 1, StartBit, BitCount);
}

std::int32_t TModbusClient::ReadDiscreteInputs(std::uint16_t StartBit, std::uint16_t BitCount,
                                               std::int32_t UserData) {
    CheckConnection();
    CheckRun(StartBit, BitCount, MaxReadBits, msg::DiscreteInputCountRange,
             msg::StartingDiscreteInputInvalid);
    return QueueWordPair(UserData, 2, StartBit, BitCount);
}

std::int32_t TModbusClient::ReadHoldingRegisters(std::uint16_t StartReg, std::uint16_t RegCount,
                                                 std::int32_t UserData) {
    CheckConnection();
    CheckRegisterRun(StartReg, RegCount, MaxReadRegisters);
    return QueueWordPair(UserData, 3, StartReg, RegCount);
}

std::int32_t TModbusClient::ReadInputRegisters(std::uint16_t StartReg, std::uint16_t RegCount,
                                               std::int32_t UserData) {
    CheckConnection();
    CheckRegisterRun(StartReg, RegCount, MaxReadRegisters);
    return QueueWordPair(UserData, 4, StartReg, RegCount);
}

std::int32_t TModbusClient::WriteSingleCoil(std::uint16_t BitAddr, bool BitValue,
                                            std::int32_t UserData) {
    CheckConnection();
    return QueueWordPair(UserData, 5, BitAddr, BitValue ? 0xFF00 : 0x0000);
}

std::int32_t TModbusClient::WriteSingleRegister(std::uint16_t RegAddr, std::uint16_t RegValue,
                                                std::int32_t UserData) {
    CheckConnection();
    return QueueWordPair(UserData, 6, RegAddr, RegValue);
}

std::int32_t TModbusClient::ReadExceptionStatus(std::int32_t UserData) {
    CheckConnection();
    auto t = NewRequest(UserData);
    t->Request.WriteByte(7);
    return QueueRequest(std::move(t));
}

std::int32_t TModbusClient::Diagnostics(TDiagnosticAction Action, std::uint16_t Data,
                                        std::int32_t UserData) {
    CheckConnection();
    if (Action >= DiagnosticActionCount)
        RaiseError(msg::DiagnosticActionUnknown);
    if (Action == daRestartCommsOptionAndClearEventLog)
        Data = ClearEventLogData;
    return QueueWordPair(UserData, 8, DiagnosticSubFunctions[Action], Data);
}

std::int32_t TModbusClient::WriteMultipleCoils(std::uint16_t StartBit, const TBitValues& BitValues,
                                               std::int32_t UserData) {
    CheckConnection();
    if (BitValues.empty() || BitValues.size() > static_cast<std::size_t>(MaxWriteBits))
        RaiseError(msg::CoilCountRange, MaxWriteBits);
    const auto count = static_cast<std::uint16_t>(BitValues.size());
    CheckRun(StartBit, count, MaxWriteBits, msg::CoilCountRange, msg::StartingCoilInvalid);
    auto t = NewRequest(UserData);
    TModbusBuffer& r = t->Request;
    r.WriteByte(15);
    r.WriteWord(StartBit);
    r.WriteWord(count);
    r.WriteByte(static_cast<std::uint8_t>(BitByteCount(count)));
    WriteBits(BitValues, r);
    return QueueRequest(std::move(t));
}

std::int32_t TModbusClient::WriteMultipleRegisters(std::uint16_t StartReg,
                                                   const TRegValues& RegValues,
                                                   std::int32_t UserData) {
    CheckConnection();
    CheckRegisterRun(StartReg, RegValues.size(), MaxWriteRegisters);
    auto t = NewRequest(UserData);
    TModbusBuffer& r = t->Request;
    r.WriteByte(16);
    r.WriteWord(StartReg);
    WriteRegisterRun(r, RegValues);
    return QueueRequest(std::move(t));
}

std::int32_t TModbusClient::ReportServerIdentification(std::int32_t UserData) {
    CheckConnection();
    auto t = NewRequest(UserData);
    t->Request.WriteByte(17);
    return QueueRequest(std::move(t));
}

std::int32_t TModbusClient::ReadFileRecord(const TModbusFileRecordList& FileRecList,
                                           std::int32_t UserData) {
    CheckConnection();
    CheckFileRecords(FileRecList, 7, false);
    auto t = NewRequest(UserData);
    TModbusBuffer& r = t->Request;
    r.WriteByte(20);
    r.WriteByte(static_cast<std::uint8_t>(7 * FileRecList.Count()));
    for (int i = 0; i < FileRecList.Count(); ++i)
        WriteRecordHeader(r, FileRecList.Items(i));
    return QueueRequest(std::move(t));
}

std::int32_t TModbusClient::WriteFileRecord(const TModbusFileRecordList& FileRecList,
                                            std::int32_t UserData) {
    CheckConnection();
    CheckFileRecords(FileRecList, 7, true);
    auto t = NewRequest(UserData);
    TModbusBuffer& r = t->Request;
    r.WriteByte(21);
    int bytes = 0;
    for (int i = 0; i < FileRecList.Count(); ++i)
        bytes += 7 + 2 * FileRecList.Items(i).RecordLength();
    r.WriteByte(static_cast<std::uint8_t>(bytes));
    for (int i = 0; i < FileRecList.Count(); ++i) {
        const TModbusFileRecord& record = FileRecList.Items(i);
        WriteRecordHeader(r, record);
        for (const std::uint16_t value : record.RegValues())
            r.WriteWord(value);
    }
    return QueueRequest(std::move(t));
}

std::int32_t TModbusClient::WriteSingleRegisterMask(std::uint16_t RegAddr, std::uint16_t AndMask,
                                                    std::uint16_t OrMask, std::int32_t UserData) {
    CheckConnection();
    auto t = NewRequest(UserData);
    TModbusBuffer& r = t->Request;
    r.WriteByte(22);
    r.WriteWord(RegAddr);
    r.WriteWord(AndMask);
    r.WriteWord(OrMask);
    return QueueRequest(std::move(t));
}

std::int32_t TModbusClient::ReadWriteMultipleRegisters(std::uint16_t StartRegToRead,
                                                       std::uint16_t RegCountToRead,
                                                       std::uint16_t StartRegToWrite,
                                                       const TRegValues& RegValuesToWrite,
                                                       std::int32_t UserData) {
    CheckConnection();
    CheckRegisterRun(StartRegToRead, RegCountToRead, MaxReadRegisters);
    CheckRegisterRun(StartRegToWrite, RegValuesToWrite.size(), MaxReadWriteWriteRegisters);
    auto t = NewRequest(UserData);
    TModbusBuffer& r = t->Request;
    r.WriteByte(23);
    r.WriteWord(StartRegToRead);
    r.WriteWord(RegCountToRead);
    r.WriteWord(StartRegToWrite);
    WriteRegisterRun(r, RegValuesToWrite);
    return QueueRequest(std::move(t));
}

std::int32_t TModbusClient::CustomTransaction(std::uint8_t Command, const TByteString& Data,
                                              bool AnyServer, std::int32_t UserData) {
    CheckConnection();
    if (Command < 1 || Command > 0x7F)
        RaiseError(msg::CustomFunctionInvalid, Command);
    const int room =
        FConnection->MaxADUSize() - FConnection->AddressSize() - 1 - FConnection->ChecksumSize();
    if (Data.size() > static_cast<std::size_t>(room))
        RaiseError(msg::CustomDataTooLong, room);
    auto t = NewRequest(UserData, true, AnyServer);
    t->Request.WriteByte(Command);
    t->Request.WriteBytes(Data.data(), static_cast<int>(Data.size()));
    return QueueRequest(std::move(t));
}

// An identifier taken from the connection is used up even when a later step
// raises; the transaction is then freed and nothing is queued.
std::unique_ptr<TModbusTransaction> TModbusClient::NewRequest(std::int32_t UserData, bool custom,
                                                              bool anyServer) {
    std::unique_ptr<TModbusTransaction> transaction = FConnection->NewTransaction();
    transaction->Info.TransactionID = FConnection->NextTransactionID();
    transaction->Info.ServerAddress = FServerAddress;
    transaction->Info.UserData = UserData;
    transaction->Custom = custom;
    transaction->AnyServer = anyServer;
    transaction->MaxSends = FMaxSends;
    transaction->ReceiveTimeout = FReceiveTimeout;
    FConnection->WriteAddress(transaction->Request, this);
    return transaction;
}

std::int32_t TModbusClient::QueueRequest(std::unique_ptr<TModbusTransaction> transaction) {
    const std::int32_t id = transaction->Info.TransactionID;
    FConnection->AddChecksum(transaction->Request);
    FConnection->QueueTransaction(std::move(transaction), this);
    return id;
}

std::string TModbusClient::TranslateExceptionCode(std::uint8_t ExceptionCode) {
    std::string description = ExceptionCodeText(ExceptionCode);
    DoTranslateExceptionCode(ExceptionCode, description);
    return description;
}

// --- Completion ---

void TModbusClient::ProcessTransaction(TModbusTransaction& transaction) {
    CheckConnection();
    const std::uint8_t command = FConnection->Codec().GetFunctionCode(transaction.Request);
    if (transaction.Custom)
        CompleteCustomTransaction(transaction, command);
    else
        DecodeReply(transaction, command);
    DoTransactionProcessed(transaction.Info, command, transaction.Custom);
    CountFailures(transaction.Info);
}

// The values go to the handlers in arrays kept from one completion to the
// next. A completion that arrives while a handler still runs (one that waits
// in a nested event loop) decodes into arrays of its own, so the values the
// outer handler holds stay as they were.
void TModbusClient::DecodeReply(TModbusTransaction& t, std::uint8_t Command) {
    if (FDecoding) {
        TDecodedValues own;
        DecodeReply(t, Command, own);
        return;
    }
    FDecoding = true;
    try {
        DecodeReply(t, Command, FDecoded);
    } catch (...) {
        FDecoding = false;
        throw;
    }
    FDecoding = false;
}

void TModbusClient::DecodeReply(TModbusTransaction& t, std::uint8_t Command,
                                TDecodedValues& values) {
    const TReplyDecoder decoder(FConnection ? FConnection->Codec() : TFrameCodec());
    const TTransactionInfo& info = t.Info;
    switch (Command) {
        case 1: {
            TBitsAccess& a = values.Bits;
            decoder.BitsRead(t, a);
            DoCoilsRead(info, a.Start, a.Count, a.Values);
            return;
        }
        case 2: {
            TBitsAccess& a = values.Bits;
            decoder.BitsRead(t, a);
            DoDiscreteInputsRead(info, a.Start, a.Count, a.Values);
            return;
        }
        case 3: {
            TRegistersAccess& a = values.Registers.Read;
            decoder.RegistersRead(t, a);
            DoHoldingRegistersRead(info, a.Start, a.Count, a.Values);
            return;
        }
        case 4: {
            TRegistersAccess& a = values.Registers.Read;
            decoder.RegistersRead(t, a);
            DoInputRegistersRead(info, a.Start, a.Count, a.Values);
            return;
        }
        case 5: {
            const TSingleCoilAccess a = decoder.SingleCoilWrite(t);
            DoSingleCoilWrite(info, a.Address, a.Value);
            return;
        }
        case 6: {
            const TSingleRegisterAccess a = decoder.SingleRegisterWrite(t);
            DoSingleRegisterWrite(info, a.Address, a.Value);
            return;
        }
        case 7:
            decoder.ExceptionStatusRead(t, values.Status);
            DoExceptionStatusRead(info, values.Status);
            return;
        case 8: {
            const TDiagnosticsOutcome a = decoder.Diagnostics(t);
            DoDiagnostics(info, a.Action, a.Result);
            return;
        }
        case 15: {
            TBitsAccess& a = values.Bits;
            decoder.MultipleCoilsWrite(t, a);
            DoMultipleCoilsWrite(info, a.Start, a.Count, a.Values);
            return;
        }
        case 16: {
            TRegistersAccess& a = values.Registers.Written;
            decoder.MultipleRegistersWrite(t, a);
            DoMultipleRegistersWrite(info, a.Start, a.Count, a.Values);
            return;
        }
        case 17: {
            const TServerIdentification a = decoder.ServerIdentificationReport(t);
            DoServerIdentificationReport(info, a.Count, a.Data);
            return;
        }
        case 20: {
            TModbusFileRecordList records;
            decoder.FileRecordRead(t, records);
            DoFileRecordRead(info, records);
            return;
        }
        case 21: {
            TModbusFileRecordList records;
            decoder.FileRecordWrite(t, records);
            DoFileRecordWrite(info, records);
            return;
        }
        case 22: {
            const TRegisterMaskAccess a = decoder.SingleRegisterMaskWrite(t);
            DoSingleRegisterMaskWrite(info, a.Address, a.AndMask, a.OrMask);
            return;
        }
        case 23: {
            TRegistersReadWrite& a = values.Registers;
            decoder.MultipleRegistersReadWrite(t, a);
            DoMultipleRegistersReadWrite(info, a.Read.Start, a.Read.Count, a.Read.Values,
                                         a.Written.Start, a.Written.Count, a.Written.Values);
            return;
        }
        default:
            return;
    }
}

void TModbusClient::CompleteCustomTransaction(TModbusTransaction& t, std::uint8_t Command) {
    const TReplyDecoder decoder(FConnection ? FConnection->Codec() : TFrameCodec());
    const TCustomOutcome outcome = decoder.Custom(t);
    DoCustomTransactionComplete(t.Info, Command, outcome.RequestData, outcome.ResponseData);
}

// Every failed attempt counts, so a request sent three times without a reply
// adds three.
void TModbusClient::CountFailures(const TTransactionInfo& Info) {
    if (FMaxConsecutiveTimeouts < 0)
        return;
    if (Info.Status > tsWrongServer) {
        FConsecutiveTimeouts = 0;
        return;
    }
    FConsecutiveTimeouts += static_cast<std::uint32_t>(Info.Attempts);
    if (FConsecutiveTimeouts > static_cast<std::uint32_t>(FMaxConsecutiveTimeouts)) {
        FConsecutiveTimeouts = 0;
        DoConsecutiveTimeoutLimitExceed();
    }
}

// --- Event dispatchers ---

void TModbusClient::DoCoilsRead(const TTransactionInfo& Info, std::uint16_t StartBit,
                                std::uint16_t BitCount, const TBitValues& BitValues) {
    if (OnCoilsRead)
        OnCoilsRead(this, Info, StartBit, BitCount, BitValues);
}

void TModbusClient::DoConsecutiveTimeoutLimitExceed() {
    if (OnConsecutiveTimeoutLimitExceed)
        OnConsecutiveTimeoutLimitExceed(this);
}

void TModbusClient::DoCustomTransactionComplete(const TTransactionInfo& Info, std::uint8_t Command,
                                                const TByteString& RequestData,
                                                const TByteString& ResponseData) {
    if (OnCustomTransactionComplete)
        OnCustomTransactionComplete(this, Info, Command, RequestData, ResponseData);
}

void TModbusClient::DoDiagnostics(const TTransactionInfo& Info, TDiagnosticAction Action,
                                  std::uint16_t Result) {
    if (OnDiagnostics)
        OnDiagnostics(this, Info, Action, Result);
}

void TModbusClient::DoDiscreteInputsRead(const TTransactionInfo& Info, std::uint16_t StartBit,
                                         std::uint16_t BitCount, const TBitValues& BitValues) {
    if (OnDiscreteInputsRead)
        OnDiscreteInputsRead(this, Info, StartBit, BitCount, BitValues);
}

void TModbusClient::DoExceptionStatusRead(const TTransactionInfo& Info,
                                          const TExceptionStatusValues& StatusValues) {
    if (OnExceptionStatusRead)
        OnExceptionStatusRead(this, Info, StatusValues);
}

void TModbusClient::DoFileRecordRead(const TTransactionInfo& Info,
                                     TModbusFileRecordList& FileRecList) {
    if (OnFileRecordRead)
        OnFileRecordRead(this, Info, FileRecList);
}

void TModbusClient::DoFileRecordWrite(const TTransactionInfo& Info,
                                      TModbusFileRecordList& FileRecList) {
    if (OnFileRecordWrite)
        OnFileRecordWrite(this, Info, FileRecList);
}

void TModbusClient::DoHoldingRegistersRead(const TTransactionInfo& Info, std::uint16_t StartReg,
                                           std::uint16_t RegCount, const TRegValues& RegValues) {
    if (OnHoldingRegistersRead)
        OnHoldingRegistersRead(this, Info, StartReg, RegCount, RegValues);
}

void TModbusClient::DoInputRegistersRead(const TTransactionInfo& Info, std::uint16_t StartReg,
                                         std::uint16_t RegCount, const TRegValues& RegValues) {
    if (OnInputRegistersRead)
        OnInputRegistersRead(this, Info, StartReg, RegCount, RegValues);
}

void TModbusClient::DoMultipleCoilsWrite(const TTransactionInfo& Info, std::uint16_t StartBit,
                                         std::uint16_t BitCount, const TBitValues& BitValues) {
    if (OnMultipleCoilsWrite)
        OnMultipleCoilsWrite(this, Info, StartBit, BitCount, BitValues);
}

void TModbusClient::DoMultipleRegistersReadWrite(
    const TTransactionInfo& Info, std::uint16_t StartRegToRead, std::uint16_t RegCountToRead,
    const TRegValues& RegValuesToRead, std::uint16_t StartRegToWrite, std::uint16_t RegCountToWrite,
    const TRegValues& RegValuesToWrite) {
    if (OnMultipleRegistersReadWrite)
        OnMultipleRegistersReadWrite(this, Info, StartRegToRead, RegCountToRead, RegValuesToRead,
                                     StartRegToWrite, RegCountToWrite, RegValuesToWrite);
}

void TModbusClient::DoMultipleRegistersWrite(const TTransactionInfo& Info, std::uint16_t StartReg,
                                             std::uint16_t RegCount, const TRegValues& RegValues) {
    if (OnMultipleRegistersWrite)
        OnMultipleRegistersWrite(this, Info, StartReg, RegCount, RegValues);
}

void TModbusClient::DoServerIdentificationReport(const TTransactionInfo& Info, int Count,
                                                 const TServerIdentificationData& Data) {
    if (OnServerIdentificationReport)
        OnServerIdentificationReport(this, Info, Count, Data);
}

void TModbusClient::DoSingleCoilWrite(const TTransactionInfo& Info, std::uint16_t BitAddr,
                                      bool BitValue) {
    if (OnSingleCoilWrite)
        OnSingleCoilWrite(this, Info, BitAddr, BitValue);
}

void TModbusClient::DoSingleRegisterMaskWrite(const TTransactionInfo& Info, std::uint16_t RegAddr,
                                              std::uint16_t AndMask, std::uint16_t OrMask) {
    if (OnSingleRegisterMaskWrite)
        OnSingleRegisterMaskWrite(this, Info, RegAddr, AndMask, OrMask);
}

void TModbusClient::DoSingleRegisterWrite(const TTransactionInfo& Info, std::uint16_t RegAddr,
                                          std::uint16_t RegValue) {
    if (OnSingleRegisterWrite)
        OnSingleRegisterWrite(this, Info, RegAddr, RegValue);
}

void TModbusClient::DoTransactionProcessed(const TTransactionInfo& Info, std::uint8_t Command,
                                           bool Custom) {
    if (OnTransactionProcessed)
        OnTransactionProcessed(this, Info, Command, Custom);
}

void TModbusClient::DoTranslateExceptionCode(std::uint8_t ExceptionCode, std::string& Description) {
    if (OnTranslateExceptionCode)
        OnTranslateExceptionCode(this, ExceptionCode, Description);
}

}  // namespace regwire
