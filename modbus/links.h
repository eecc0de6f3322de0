// What a connection needs of the objects that use it: the clients that queue
// requests and, in server mode, the request handlers that answer them.
//
// TModbusClient derives from TModbusClientLink; the connection keeps the
// registered links, hands each finished transaction to the link of the
// client that queued it (on the main thread), and never owns a link.
// Likewise a server object derives from TModbusServerLink and is listed in
// the connection's Servers while it answers requests.
#pragma once

#include <cstdint>

#include "modbus/transaction.h"

namespace regwire {

class TModbusClientLink {
  public:
    // The client itself, as recorded in TModbusTransaction::Client when it
    // queues a transaction (a client returns this).
    virtual TModbusClient* LinkedClient() = 0;
    // The address the client talks to now. A finished transaction reaches the
    // client only when this still equals the transaction's
    // Info.ServerAddress, so a client that changed its address hears nothing
    // of its old requests.
    virtual std::uint8_t ServerAddress() const = 0;
    // Called on the main thread with each finished transaction of this client
    // while it is registered and the connection is active. The connection
    // frees the transaction afterwards; an exception that leaves it is shown
    // by the application's error display. A client unregisters before its
    // destruction begins, so it is never called on a half-destroyed client.
    virtual void ProcessTransaction(TModbusTransaction& transaction) = 0;

  protected:
    ~TModbusClientLink() = default;
};

class TModbusServerLink {
  public:
    // True when this server answers requests to address (never asked for 0:
    // a broadcast goes to every server).
    virtual bool AnswersAddress(std::uint8_t address) const = 0;
    // Called on the main thread while the transaction thread waits. Reads
    // the request in transaction.Request and leaves a complete reply frame
    // (address, protocol data unit, checksum) in transaction.Reply, or an
    // empty Reply for no answer.
    virtual void HandleRequest(TModbusTransaction& transaction) = 0;

  protected:
    ~TModbusServerLink() = default;
};

}  // namespace regwire
