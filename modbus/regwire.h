// Regwire: the console's Modbus serial library (RTU and ASCII on one serial
// line, master and server side).
//
// This is the library's chief header. It brings in the building blocks every
// user of the library meets: the error kinds and message texts, the byte
// buffer that holds one binary frame, the checksums, the bit packing of coil
// values, the transaction record with its status and value arrays, the file
// records, and the frame codec that turns frames into line characters and
// checks replies. The library depends on the platform folder and the C++
// standard library only, never on a widget header.
#pragma once

#include "modbus/bits.h"
#include "modbus/buffer.h"
#include "modbus/checksum.h"
#include "modbus/codec.h"
#include "modbus/errors.h"
#include "modbus/filerecord.h"
#include "modbus/messages.h"
#include "modbus/transaction.h"
#include "modbus/values.h"
