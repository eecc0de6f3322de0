// The command line of regwire: options, the command and its arguments.
//
// ParseCommandLine turns the words after the program name into TToolOptions
// or raises EUsageError with a message for standard error; the caller then
// prints UsageText and leaves with status 64. Numbers are decimal or
// 0x-prefixed hexadecimal, and every number is checked against the range of
// its field.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "modbus/codec.h"
#include "modbus/connection.h"
#include "modbus/diagnostics.h"
#include "modbus/replydecoder.h"
#include "modbus/values.h"

namespace regwire::tool {

extern const std::string_view UsageText;

class EUsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class TToolCommand {
    ReadCoils,             // 1
    ReadDiscreteInputs,    // 2
    ReadHoldingRegisters,  // 3
    ReadInputRegisters,    // 4
    WriteCoil,             // 5
    WriteRegister,         // 6
    ReadExceptionStatus,   // 7
    Diagnostics,           // 8
    WriteCoils,            // 15
    WriteRegisters,        // 16
    ReportServerId,        // 17
    ReadFileRecord,        // 20
    WriteFileRecord,       // 21
    MaskWriteRegister,     // 22
    ReadWriteRegisters,    // 23
    Custom,
    Serve,
};

struct TFileRecordRef {
    std::uint16_t File = 0;
    std::uint16_t Record = 0;
    std::uint16_t Length = 0;
};

struct TToolOptions {
    // The line.
    std::string Port;
    std::uint32_t BaudRate = 19200;
    TParityScheme Parity = psEven;
    TDataBits DataBits = db8;
    TStopBits StopBits = sb1;
    TTransmissionMode Mode = tmRTU;
    std::uint8_t Address = 1;
    std::uint32_t TimeoutMs = 1000;
    std::uint32_t Retries = 1;
    bool Echo = false;
    TFlowControl Flow = fcNone;
    bool Frames = false;
    // Repetition and output.
    std::uint32_t Count = 1;  // 0: until interrupted
    std::uint32_t IntervalMs = 1000;
    bool Json = false;

    TToolCommand Command = TToolCommand::ReadHoldingRegisters;
    // The command's arguments; each command uses the fields it names.
    std::uint16_t Start = 0;     // START, ADDRESS, READSTART
    std::uint16_t Quantity = 0;  // COUNT, READCOUNT
    std::uint16_t Value = 0;     // VALUE, 0|1, DATA, AND
    std::uint16_t OrMask = 0;
    std::uint16_t WriteStart = 0;
    std::uint16_t SubFunction = 0;
    std::uint8_t Function = 0;
    TBitValues Bits;
    TRegValues Values;
    std::vector<TFileRecordRef> Records;  // read-file-record; one for write-file-record
    TByteString Data;                     // custom
    int TableSize = 10000;                // serve --size
};

TToolOptions ParseCommandLine(const std::vector<std::string>& words);

// The function code a command sends (0 for serve).
std::uint8_t FunctionCode(const TToolOptions& options);

}  // namespace regwire::tool
