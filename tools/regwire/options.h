// The command line of regwire: options, the command and its arguments.
//
// ParseCommandLine turns the words after the program name into TToolOptions
// or raises EUsageError with a one-line message naming the mistake; the
// caller prints it with a pointer to --help and leaves with status 64. Every
// argument is checked here, before any port is opened: each number against
// the range of its field, each run of addresses against the last address and
// the largest request, so that nothing the user typed fails on the line.
// Numbers are decimal or 0x-prefixed hexadecimal.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "modbus/codec.h"
#include "modbus/connection.h"
#include "modbus/registerformat.h"
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
    std::uint32_t Retries = 0;  // sends after the first, for an attempt without a valid reply
    bool Echo = false;
    TFlowControl Flow = fcNone;
    bool Frames = false;
    // RTU on a serial line: ftStandard keeps the rests of the Modbus serial
    // line (the fastest a master may be); ftGap is the console's timing.
    // ASCII frames and gateways keep their own whichever is chosen.
    TFrameTiming Timing = ftStandard;
    // Repetition and output.
    std::uint32_t Count = 1;  // 0: until interrupted
    std::uint32_t IntervalMs = 1000;
    bool Json = false;
    bool Quiet = false;  // no confirmation line after a write
    // Addresses of coils, inputs and registers as typed and printed: 0 as on
    // the wire, or 1 for the 1-based numbering of many device manuals.
    std::uint32_t Base = 0;
    TRegisterFormat Format = TRegisterFormat::Unsigned;

    TToolCommand Command = TToolCommand::ReadHoldingRegisters;
    // The command's arguments; each command uses the fields it names.
    // Addresses are held as on the wire, whatever Base.
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
