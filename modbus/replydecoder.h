// TReplyDecoder: turns a finished transaction of a client into the values of
// its completion event.
//
// The decoder reads every start address, count and written value back from
// the client's own request, and consults the reply only when the transaction
// thread classified it as a normal reply (tsSuccess): then the reply must
// match the request, and the values read come from it. A reply that does not
// match, or is too short for its layout, turns the transaction into
// tsBadReply; the values gathered before the fault stay, the others are zero.
// The decoder never raises for a reply's content; it raises only for a
// request it cannot read (a client builds none of those) and for a
// diagnostics sub-function it does not know.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "modbus/codec.h"
#include "modbus/diagnostics.h"
#include "modbus/filerecord.h"
#include "modbus/transaction.h"
#include "modbus/values.h"

namespace regwire {

// The data of a frame between its function code and its checksum.
using TByteString = std::vector<std::uint8_t>;

// Function codes 1, 2 and 15.
struct TBitsAccess {
    std::uint16_t Start = 0;
    std::uint16_t Count = 0;
    TBitValues Values;
};

// Function codes 3, 4 and 16, and each half of 23.
struct TRegistersAccess {
    std::uint16_t Start = 0;
    std::uint16_t Count = 0;
    TRegValues Values;
};

struct TRegistersReadWrite {
    TRegistersAccess Read;
    TRegistersAccess Written;
};

struct TSingleCoilAccess {
    std::uint16_t Address = 0;
    bool Value = false;
};

struct TSingleRegisterAccess {
    std::uint16_t Address = 0;
    std::uint16_t Value = 0;
};

struct TRegisterMaskAccess {
    std::uint16_t Address = 0;
    std::uint16_t AndMask = 0;
    std::uint16_t OrMask = 0;
};

struct TDiagnosticsOutcome {
    TDiagnosticAction Action = daReturnQueryData;
    std::uint16_t Result = 0;
};

struct TServerIdentification {
    int Count = 0;
    TServerIdentificationData Data;
};

struct TCustomOutcome {
    TByteString RequestData;
    TByteString ResponseData;
};

class TReplyDecoder {
  public:
    // The codec gives the frame layout of the connection's transmission mode.
    explicit TReplyDecoder(const TFrameCodec& codec) : FCodec(codec) {}

    // The decoders of value arrays fill what the caller gives them: a
    // client keeps those from one reply to the next, and its arrays' storage
    // with them.
    void BitsRead(TModbusTransaction& t, TBitsAccess& access) const;                        // 1, 2
    void RegistersRead(TModbusTransaction& t, TRegistersAccess& access) const;              // 3, 4
    TSingleCoilAccess SingleCoilWrite(TModbusTransaction& t) const;                         // 5
    TSingleRegisterAccess SingleRegisterWrite(TModbusTransaction& t) const;                 // 6
    void ExceptionStatusRead(TModbusTransaction& t, TExceptionStatusValues& values) const;  // 7
    // Raises "Diagnostic action was not recognized" for a sub-function
    // outside the table, before looking at the reply.
    TDiagnosticsOutcome Diagnostics(TModbusTransaction& t) const;                        // 8
    void MultipleCoilsWrite(TModbusTransaction& t, TBitsAccess& access) const;           // 15
    void MultipleRegistersWrite(TModbusTransaction& t, TRegistersAccess& access) const;  // 16
    TServerIdentification ServerIdentificationReport(TModbusTransaction& t) const;       // 17
    // Fill an empty list with the request's records.
    void FileRecordRead(TModbusTransaction& t, TModbusFileRecordList& records) const;   // 20
    void FileRecordWrite(TModbusTransaction& t, TModbusFileRecordList& records) const;  // 21
    TRegisterMaskAccess SingleRegisterMaskWrite(TModbusTransaction& t) const;           // 22
    void MultipleRegistersReadWrite(TModbusTransaction& t,
                                    TRegistersReadWrite& access) const;  // 23

    // A custom transaction: no check beyond the transaction thread's. With
    // AnyServer, a reply that came (tsBadReply and above) names its server in
    // Info.ServerAddress.
    TCustomOutcome Custom(TModbusTransaction& t) const;

    // The bytes between the function code and the checksum; empty for a frame
    // without any.
    TByteString GetFrameData(TModbusBuffer& frame) const;

  private:
    TFrameCodec FCodec;
};

// The standard text of a Modbus exception code ("Illegal data address" for
// 2); "Unknown exception code (%d)" for a code the protocol does not define.
std::string ExceptionCodeText(std::uint8_t code);

}  // namespace regwire
