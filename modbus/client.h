// TModbusClient: speaks to one Modbus server address over a shared
// connection.
//
// Each request operation builds one complete request frame, wraps it in a
// transaction and queues it on the connection; it returns the transaction's
// identifier at once and never waits for the line. The finished transaction
// comes back on the main thread (ProcessTransaction), where the client
// decodes the reply against its own request and raises one event for the
// function code, whatever the outcome (the handler tests Info.Status), then
// OnTransactionProcessed, and keeps a count of consecutive failed attempts
// that raises OnConsecutiveTimeoutLimitExceed when it passes
// MaxConsecutiveTimeouts. Everything an event receives lives only until the
// handler returns. A broadcast (ServerAddress 0) raises no event.
#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "modbus/connection.h"
#include "modbus/diagnostics.h"
#include "modbus/filerecord.h"
#include "modbus/links.h"
#include "modbus/replydecoder.h"
#include "modbus/transaction.h"
#include "modbus/values.h"

namespace regwire {

class TModbusClient;

using TModbusClientNotifyEvent = std::function<void(TModbusClient* Sender)>;
using TMultipleBitsAccessEvent =
    std::function<void(TModbusClient* Sender, const TTransactionInfo& Info, std::uint16_t StartBit,
                       std::uint16_t BitCount, const TBitValues& BitValues)>;
using TMultipleRegistersAccessEvent =
    std::function<void(TModbusClient* Sender, const TTransactionInfo& Info, std::uint16_t StartReg,
                       std::uint16_t RegCount, const TRegValues& RegValues)>;
using TMultipleRegistersReadWriteEvent = std::function<void(
    TModbusClient* Sender, const TTransactionInfo& Info, std::uint16_t StartRegToRead,
    std::uint16_t RegCountToRead, const TRegValues& RegValuesToRead, std::uint16_t StartRegToWrite,
    std::uint16_t RegCountToWrite, const TRegValues& RegValuesToWrite)>;
using TSingleCoilWriteEvent = std::function<void(
    TModbusClient* Sender, const TTransactionInfo& Info, std::uint16_t BitAddr, bool BitValue)>;
using TSingleRegisterWriteEvent =
    std::function<void(TModbusClient* Sender, const TTransactionInfo& Info, std::uint16_t RegAddr,
                       std::uint16_t RegValue)>;
using TSingleRegisterMaskWriteEvent =
    std::function<void(TModbusClient* Sender, const TTransactionInfo& Info, std::uint16_t RegAddr,
                       std::uint16_t AndMask, std::uint16_t OrMask)>;
using TExceptionStatusReadEvent =
    std::function<void(TModbusClient* Sender, const TTransactionInfo& Info,
                       const TExceptionStatusValues& StatusValues)>;
using TFileRecordAccessEvent = std::function<void(
    TModbusClient* Sender, const TTransactionInfo& Info, TModbusFileRecordList& FileRecList)>;
using TServerIdentificationReportEvent =
    std::function<void(TModbusClient* Sender, const TTransactionInfo& Info, int Count,
                       const TServerIdentificationData& Data)>;
using TDiagnosticsEvent = std::function<void(TModbusClient* Sender, const TTransactionInfo& Info,
                                             TDiagnosticAction Action, std::uint16_t Result)>;
using TCustomTransactionCompleteEvent =
    std::function<void(TModbusClient* Sender, const TTransactionInfo& Info, std::uint8_t Command,
                       const TByteString& RequestData, const TByteString& ResponseData)>;
using TTransactionProcessedEvent = std::function<void(
    TModbusClient* Sender, const TTransactionInfo& Info, std::uint8_t Command, bool Custom)>;
using TTranslateExceptionCodeEvent = std::function<void(
    TModbusClient* Sender, std::uint8_t ExceptionCode, std::string& Description)>;

class TModbusClient : public QObject, public TModbusClientLink {
  public:
    // Limits of the Modbus application protocol: what fits into one request
    // or one reply.
    static constexpr int MaxReadBits = 2000;
    static constexpr int MaxWriteBits = 1968;
    static constexpr int MaxReadRegisters = 125;
    static constexpr int MaxWriteRegisters = 123;
    static constexpr int MaxReadWriteWriteRegisters = 121;
    static constexpr int MaxFileRecordBytes = 0xF5;

    explicit TModbusClient(QObject* owner = nullptr);
    // Leaves the connection; transactions still under way are dropped when
    // they come back.
    ~TModbusClient() override;
    TModbusClient(const TModbusClient&) = delete;
    TModbusClient& operator=(const TModbusClient&) = delete;

    int Tag = 0;

    // --- Published properties ---
    // Not owned. Setting it unregisters from the old connection and registers
    // with the new one; it becomes empty by itself when the connection is
    // destroyed.
    TModbusConnection* Connection() const { return FConnection; }
    void SetConnection(TModbusConnection* value);
    // -1 (the default) switches the failure count off; lower values are
    // stored as -1. A change resets the count.
    std::int32_t MaxConsecutiveTimeouts() const { return FMaxConsecutiveTimeouts; }
    void SetMaxConsecutiveTimeouts(std::int32_t value);
    // 0..255, default 1; 0 makes every request a broadcast. A change cancels
    // this client's queued transactions without any event.
    std::uint8_t ServerAddress() const override { return FServerAddress; }
    void SetServerAddress(std::uint8_t value);
    // How often each request queued from now on is sent at most while no
    // valid reply comes back (no reply, a bad frame, another server); 0,
    // the default, leaves it to the connection's MaxRetries. A request
    // whose repetition does no harm (a register written with the same
    // value) may be given more sends than the connection's others.
    std::uint32_t MaxSends() const { return FMaxSends; }
    void SetMaxSends(std::uint32_t value) { FMaxSends = value; }
    // How long each send of a request queued from now on waits for its
    // reply, in ms; 0, the default, leaves it to the connection's
    // ReceiveTimeout. A server that may be away (a second instrument on a
    // shared line) is given less than the others, so that its silence does
    // not hold the line for a whole time-out.
    std::uint32_t ReceiveTimeout() const { return FReceiveTimeout; }
    void SetReceiveTimeout(std::uint32_t value) { FReceiveTimeout = value; }

    TMultipleBitsAccessEvent OnCoilsRead;
    TModbusClientNotifyEvent OnConsecutiveTimeoutLimitExceed;
    TCustomTransactionCompleteEvent OnCustomTransactionComplete;
    TDiagnosticsEvent OnDiagnostics;
    TMultipleBitsAccessEvent OnDiscreteInputsRead;
    TExceptionStatusReadEvent OnExceptionStatusRead;
    TFileRecordAccessEvent OnFileRecordRead;
    TFileRecordAccessEvent OnFileRecordWrite;
    TMultipleRegistersAccessEvent OnHoldingRegistersRead;
    TMultipleRegistersAccessEvent OnInputRegistersRead;
    TMultipleBitsAccessEvent OnMultipleCoilsWrite;
    TMultipleRegistersReadWriteEvent OnMultipleRegistersReadWrite;
    TMultipleRegistersAccessEvent OnMultipleRegistersWrite;
    TServerIdentificationReportEvent OnServerIdentificationReport;
    TSingleCoilWriteEvent OnSingleCoilWrite;
    TSingleRegisterMaskWriteEvent OnSingleRegisterMaskWrite;
    TSingleRegisterWriteEvent OnSingleRegisterWrite;
    TTransactionProcessedEvent OnTransactionProcessed;
    TTranslateExceptionCodeEvent OnTranslateExceptionCode;

    // Failed attempts since the last success, limit or change of the limit.
    std::uint32_t ConsecutiveTimeouts() const { return FConsecutiveTimeouts; }

    // Raises "There is no active connection" unless Connection is set,
    // active and not being loaded.
    void CheckConnection() const;

    // --- Request operations. Each checks the connection and its arguments
    // first (nothing is built when a check fails) and returns the
    // TransactionID. ---
    std::int32_t ReadCoils(std::uint16_t StartBit, std::uint16_t BitCount,
                           std::int32_t UserData = 0);  // 1
    std::int32_t ReadDiscreteInputs(std::uint16_t StartBit, std::uint16_t BitCount,
                                    std::int32_t UserData = 0);  // 2
    std::int32_t ReadHoldingRegisters(std::uint16_t StartReg, std::uint16_t RegCount,
                                      std::int32_t UserData = 0);  // 3
    std::int32_t ReadInputRegisters(std::uint16_t StartReg, std::uint16_t RegCount,
                                    std::int32_t UserData = 0);  // 4
    std::int32_t WriteSingleCoil(std::uint16_t BitAddr, bool BitValue,
                                 std::int32_t UserData = 0);  // 5
    std::int32_t WriteSingleRegister(std::uint16_t RegAddr, std::uint16_t RegValue,
                                     std::int32_t UserData = 0);  // 6
    std::int32_t ReadExceptionStatus(std::int32_t UserData = 0);  // 7
    // daRestartCommsOptionAndClearEventLog always sends the data word 0xFF00.
    std::int32_t Diagnostics(TDiagnosticAction Action, std::uint16_t Data,
                             std::int32_t UserData = 0);  // 8
    std::int32_t WriteMultipleCoils(std::uint16_t StartBit, const TBitValues& BitValues,
                                    std::int32_t UserData = 0);  // 15
    std::int32_t WriteMultipleRegisters(std::uint16_t StartReg, const TRegValues& RegValues,
                                        std::int32_t UserData = 0);      // 16
    std::int32_t ReportServerIdentification(std::int32_t UserData = 0);  // 17
    // Reads the file number, record number and record length of each record.
    std::int32_t ReadFileRecord(const TModbusFileRecordList& FileRecList,
                                std::int32_t UserData = 0);  // 20
    // Writes each record's values.
    std::int32_t WriteFileRecord(const TModbusFileRecordList& FileRecList,
                                 std::int32_t UserData = 0);  // 21
    std::int32_t WriteSingleRegisterMask(std::uint16_t RegAddr, std::uint16_t AndMask,
                                         std::uint16_t OrMask, std::int32_t UserData = 0);  // 22
    std::int32_t ReadWriteMultipleRegisters(std::uint16_t StartRegToRead,
                                            std::uint16_t RegCountToRead,
                                            std::uint16_t StartRegToWrite,
                                            const TRegValues& RegValuesToWrite,
                                            std::int32_t UserData = 0);  // 23
    // Any function code 1..127 with the caller's data; completes through
    // OnCustomTransactionComplete. With AnyServer a reply from any address is
    // taken, and a reply is awaited even for ServerAddress 0.
    std::int32_t CustomTransaction(std::uint8_t Command, const TByteString& Data,
                                   bool AnyServer = false, std::int32_t UserData = 0);

    // The standard text of a Modbus exception code, as OnTranslateExceptionCode
    // leaves it.
    std::string TranslateExceptionCode(std::uint8_t ExceptionCode);

    // --- For the connection (main thread) ---
    TModbusClient* LinkedClient() override { return this; }
    // Raises the events of one finished transaction; does not free it.
    void ProcessTransaction(TModbusTransaction& transaction) override;

    // Raises the event of the request's function code (none for a code it
    // does not know).
    void DecodeReply(TModbusTransaction& transaction, std::uint8_t Command);
    // Raises OnCustomTransactionComplete.
    void CompleteCustomTransaction(TModbusTransaction& transaction, std::uint8_t Command);

  protected:
    virtual void DoCoilsRead(const TTransactionInfo& Info, std::uint16_t StartBit,
                             std::uint16_t BitCount, const TBitValues& BitValues);
    virtual void DoConsecutiveTimeoutLimitExceed();
    virtual void DoCustomTransactionComplete(const TTransactionInfo& Info, std::uint8_t Command,
                                             const TByteString& RequestData,
                                             const TByteString& ResponseData);
    virtual void DoDiagnostics(const TTransactionInfo& Info, TDiagnosticAction Action,
                               std::uint16_t Result);
    virtual void DoDiscreteInputsRead(const TTransactionInfo& Info, std::uint16_t StartBit,
                                      std::uint16_t BitCount, const TBitValues& BitValues);
    virtual void DoExceptionStatusRead(const TTransactionInfo& Info,
                                       const TExceptionStatusValues& StatusValues);
    virtual void DoFileRecordRead(const TTransactionInfo& Info, TModbusFileRecordList& FileRecList);
    virtual void DoFileRecordWrite(const TTransactionInfo& Info,
                                   TModbusFileRecordList& FileRecList);
    virtual void DoHoldingRegistersRead(const TTransactionInfo& Info, std::uint16_t StartReg,
                                        std::uint16_t RegCount, const TRegValues& RegValues);
    virtual void DoInputRegistersRead(const TTransactionInfo& Info, std::uint16_t StartReg,
                                      std::uint16_t RegCount, const TRegValues& RegValues);
    virtual void DoMultipleCoilsWrite(const TTransactionInfo& Info, std::uint16_t StartBit,
                                      std::uint16_t BitCount, const TBitValues& BitValues);
    virtual void DoMultipleRegistersReadWrite(
        const TTransactionInfo& Info, std::uint16_t StartRegToRead, std::uint16_t RegCountToRead,
        const TRegValues& RegValuesToRead, std::uint16_t StartRegToWrite,
        std::uint16_t RegCountToWrite, const TRegValues& RegValuesToWrite);
    virtual void DoMultipleRegistersWrite(const TTransactionInfo& Info, std::uint16_t StartReg,
                                          std::uint16_t RegCount, const TRegValues& RegValues);
    virtual void DoServerIdentificationReport(const TTransactionInfo& Info, int Count,
                                              const TServerIdentificationData& Data);
    virtual void DoSingleCoilWrite(const TTransactionInfo& Info, std::uint16_t BitAddr,
                                   bool BitValue);
    virtual void DoSingleRegisterMaskWrite(const TTransactionInfo& Info, std::uint16_t RegAddr,
                                           std::uint16_t AndMask, std::uint16_t OrMask);
    virtual void DoSingleRegisterWrite(const TTransactionInfo& Info, std::uint16_t RegAddr,
                                       std::uint16_t RegValue);
    virtual void DoTransactionProcessed(const TTransactionInfo& Info, std::uint8_t Command,
                                        bool Custom);
    virtual void DoTranslateExceptionCode(std::uint8_t ExceptionCode, std::string& Description);

  private:
    std::int32_t QueueWordPair(std::int32_t UserData, std::uint8_t function, std::uint16_t first,
                               std::uint16_t second);
    // A request is built in two steps: NewRequest gives the transaction with
    // its identifier and the server address written, the operation appends
    // the function code and its fields, and QueueRequest adds the checksum
    // and queues it, returning the identifier.
    std::unique_ptr<TModbusTransaction> NewRequest(std::int32_t UserData, bool custom = false,
                                                   bool anyServer = false);
    std::int32_t QueueRequest(std::unique_ptr<TModbusTransaction> transaction);
    void CountFailures(const TTransactionInfo& Info);

    // The arrays of the value events, by the shape of the reply.
    struct TDecodedValues {
        TBitsAccess Bits;               // 1, 2, 15
        TRegistersReadWrite Registers;  // Read: 3, 4, 23; Written: 16, 23
        TExceptionStatusValues Status;  // 7
    };
    void DecodeReply(TModbusTransaction& transaction, std::uint8_t Command, TDecodedValues& values);

    QPointer<TModbusConnection> FConnection;
    std::int32_t FMaxConsecutiveTimeouts = -1;
    std::uint32_t FMaxSends = 0;
    std::uint32_t FReceiveTimeout = 0;
    std::uint8_t FServerAddress = 1;
    std::uint32_t FConsecutiveTimeouts = 0;
    TDecodedValues FDecoded;
    // While a value event of FDecoded runs.
    bool FDecoding = false;
};

}  // namespace regwire
