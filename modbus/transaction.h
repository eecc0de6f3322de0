// TModbusTransaction: one request and its reply on their way from a client,
// through the connection's queue and transaction thread, back to the client.
//
// A transaction belongs to one thread at a time: the thread that builds it
// until it is queued, the transaction thread while the exchange runs, and the
// main thread when the client decodes it. Nothing in it locks.
#pragma once

#include <cstdint>

#include "modbus/buffer.h"

namespace regwire {

class TModbusClient;

// Outcome of the exchange. tsNoReply, tsBadFrame and tsWrongServer are failed
// attempts: retried by the transaction thread, counted as time-outs by the
// client. Reply values are valid only with tsSuccess.
enum TTransactionStatus : std::uint8_t {
    tsNoReply,      // nothing arrived in time, or the request could not be sent
    tsBadFrame,     // too short, or wrong checksum
    tsWrongServer,  // answered by another server address
    tsBadReply,     // other function code, or content that failed the client's checks
    tsException,    // an exception reply
    tsSuccess,      // a normal reply that passed every check; every sent broadcast
};

// Identification and outcome of a transaction, handed to every completion
// event; valid only while the event runs.
struct TTransactionInfo {
    std::int32_t TransactionID = 0;  // the connection's counter when the request was built
    std::uint8_t ServerAddress = 0;  // 0 = broadcast
    std::int32_t UserData = 0;       // the caller's value, returned untouched
    std::int32_t Attempts = 0;       // times the request was sent
    TTransactionStatus Status = tsNoReply;
    std::uint8_t ExceptionCode = 0;     // tsException: the code when 1..8, else 0
    std::uint8_t RawExceptionCode = 0;  // tsException: the code byte as received
};

class TModbusTransaction {
  public:
    // Request and Reply get the same capacity: the largest frame of the
    // connection's transmission mode.
    explicit TModbusTransaction(int capacity) : Request(capacity), Reply(capacity) {}

    // Back to the state of a new transaction, for the next request; the
    // buffers keep their blocks.
    void Clear() {
        Request.Clear();
        Reply.Clear();
        Custom = false;
        Info = TTransactionInfo{};
        Client = nullptr;
        AnyServer = false;
        MaxSends = 0;
        ReceiveTimeout = 0;
    }

    TModbusBuffer Request;  // complete request frame, checksum included
    TModbusBuffer Reply;    // the reply as received, decoded to binary
    // Completes through OnCustomTransactionComplete, and waits for a reply
    // even to server address 0.
    bool Custom = false;
    TTransactionInfo Info;
    TModbusClient* Client = nullptr;  // the client that queued it; not owned
    // Accept a reply from any server address.
    bool AnyServer = false;
    // Sends at most while no valid reply comes; 0: the connection's
    // MaxRetries.
    std::uint32_t MaxSends = 0;
    // How long each send waits for its reply, ms; 0: the connection's
    // ReceiveTimeout.
    std::uint32_t ReceiveTimeout = 0;
};

}  // namespace regwire
