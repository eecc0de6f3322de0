// TModbusServer: the server side of the protocol, one server address on a
// connection in server mode.
//
// The connection's transaction thread receives each request and hands it to
// the main thread, where the connection gives it to the server object that
// answers its address (a broadcast to every one). The server object checks
// the request, asks its own overridable operations whether the addresses and
// values are acceptable and for the data, and leaves the reply frame, normal
// or exception, in the transaction's Reply. It serves read coils (1), read
// discrete inputs (2), read holding registers (3), read input registers (4),
// write single coil (5), write single register (6), write multiple coils
// (15) and write multiple registers (16); every other function code is
// answered with exception code 1.
//
// The data lives wherever a derived class keeps it. This base holds none:
// every address is invalid and every write refused as an illegal address.
// TMemoryModbusServer (memoryserver.h) keeps four plain tables.
#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>

#include "modbus/buffer.h"
#include "modbus/codec.h"
#include "modbus/connection.h"
#include "modbus/links.h"
#include "modbus/transaction.h"

namespace regwire {

// The answer of CheckCoilWrite and CheckHoldingRegisterWrite. A value other
// than the first two lets the write go ahead.
enum TWriteCheck : std::uint8_t {
    wcIllegalAddress,  // exception code 2
    wcIllegalValue,    // exception code 3
    wcAccept,
};

// Exception codes a server answers with.
enum TExceptionCode : std::uint8_t {
    ecIllegalFunction = 1,
    ecIllegalDataAddress = 2,
    ecIllegalDataValue = 3,
    ecServerDeviceFailure = 4,
};

class TModbusServer : public QObject, public TModbusServerLink {
  public:
    // What fits into one frame: bits of a read reply, bits and registers of
    // a write request, registers of a read reply.
    static constexpr int MaxReadBits = 2008;
    static constexpr int MaxReadRegisters = 125;
    static constexpr int MaxWriteBits = 1976;
    static constexpr int MaxWriteRegisters = 123;

    explicit TModbusServer(QObject* owner = nullptr);
    // Leaves the connection's Servers.
    ~TModbusServer() override;
    TModbusServer(const TModbusServer&) = delete;
    TModbusServer& operator=(const TModbusServer&) = delete;

    int Tag = 0;

    // The connection whose Servers list holds this server; not owned. Setting
    // it leaves the old connection's list and joins the new one's. When the
    // connection is destroyed first, the property becomes empty.
    TModbusConnection* Connection() const { return FConnection; }
    void SetConnection(TModbusConnection* value);

    // The address this server answers to, and the first byte of its replies.
    // Default 1.
    std::uint8_t ServerAddress() const { return FServerAddress; }
    void SetServerAddress(std::uint8_t value) { FServerAddress = value; }

    // The transaction being handled; nullptr outside the handling.
    TModbusTransaction* CurrentTransaction() const { return FCurrentTransaction; }

    bool AnswersAddress(std::uint8_t address) const override { return address == FServerAddress; }

    // Main thread, called by the connection. Raises "There is no active
    // connection" unless Connection is set and active; otherwise Answer with
    // the connection's frame layout.
    void HandleRequest(TModbusTransaction& transaction) override;

    // The request handling itself, for a request in the frame layout of
    // codec: on return Reply holds the reply frame, or stays empty for a
    // broadcast. Malformed and refused requests are answered with an
    // exception reply; only the validity and check operations and
    // AcceptsFunction may raise.
    void Answer(TModbusTransaction& transaction, const TFrameCodec& codec);

    // Replaces the buffer's contents with an exception reply: this server's
    // address, function | 0x80, the code and the checksum. Outside Answer the
    // checksum is the connection's ("There is no active connection" without
    // one).
    void ExceptionReply(TModbusBuffer& buffer, std::uint8_t function, std::uint8_t code);

  protected:
    // Whether this server serves the function code at all (true here for
    // the eight it knows).
    virtual bool AcceptsFunction(std::uint8_t function);
    virtual bool IsCoilValid(std::uint16_t address);
    virtual bool IsDiscreteInputValid(std::uint16_t address);
    virtual bool IsHoldingRegisterValid(std::uint16_t address);
    virtual bool IsInputRegisterValid(std::uint16_t address);
    virtual TWriteCheck CheckCoilWrite(std::uint16_t address, bool value);
    virtual TWriteCheck CheckHoldingRegisterWrite(std::uint16_t address, std::uint16_t value);
    // An exception from these four and from the two setters is answered with
    // exception code 4 (server device failure).
    virtual bool GetCoil(std::uint16_t address);
    virtual bool GetDiscreteInput(std::uint16_t address);
    virtual std::uint16_t GetHoldingRegister(std::uint16_t address);
    virtual std::uint16_t GetInputRegister(std::uint16_t address);
    virtual void SetCoil(std::uint16_t address, bool value);
    virtual void SetHoldingRegister(std::uint16_t address, std::uint16_t value);

  private:
    void CheckConnection() const;
    void ServeRead(std::uint8_t function);
    void ServeSingleCoilWrite();
    void ServeSingleRegisterWrite();
    void ServeMultipleCoilsWrite();
    void ServeMultipleRegistersWrite();
    bool IsValid(std::uint8_t function, std::uint16_t address);
    bool TakeWordPair(std::uint8_t function, std::uint16_t& first, std::uint16_t& second);
    bool TakeRun(std::uint8_t function, int maxCount, std::uint16_t& start, std::uint16_t& count);
    void ReplyWordPair(std::uint8_t function, std::uint16_t first, std::uint16_t second);
    void Refuse(std::uint8_t function, std::uint8_t code);
    bool RefuseWrite(std::uint8_t function, TWriteCheck check);
    bool BeginReply(std::uint8_t function);
    void EndReply();
    const TFrameCodec& Codec() const;

    QPointer<TModbusConnection> FConnection;
    std::uint8_t FServerAddress = 1;
    TModbusTransaction* FCurrentTransaction = nullptr;
    const TFrameCodec* FCodec = nullptr;
};

}  // namespace regwire
