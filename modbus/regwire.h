// Regwire: the console's Modbus serial library (RTU and ASCII on one serial
// line, master and server side).
//
// This is the library's chief header: it declares the serial connection
// (TModbusConnection), the client that builds requests for one server address
// and decodes the replies (TModbusClient), the server side with its in-memory
// tables, and the transaction types (TModbusTransaction, TTransactionInfo,
// TTransactionStatus). With them come the building blocks every user of the
// library meets: the error kinds and message texts, the byte buffer that
// holds one binary frame, the checksums, the bit packing of coil values, the
// file records, and the frame codec that turns frames into line characters
// and checks replies. The library depends on the platform folder, QtCore and
// the C++ standard library only, never on a widget header.
#pragma once

#include "modbus/bits.h"
#include "modbus/buffer.h"
#include "modbus/checksum.h"
#include "modbus/client.h"
#include "modbus/codec.h"
#include "modbus/connection.h"
#include "modbus/errors.h"
#include "modbus/filerecord.h"
#include "modbus/memoryserver.h"
#include "modbus/messages.h"
#include "modbus/server.h"
#include "modbus/transaction.h"
#include "modbus/values.h"
