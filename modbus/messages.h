// The texts of the Modbus library (Regwire) that a caller or the operator sees.
//
// Every error the library raises takes its text from this table, verbatim, so
// that messages stay identical wherever they are raised. A text with a %d is
// formatted with the integer(s) named beside it (see FormatMessage in
// errors.h). New texts of the connection, the transaction thread and the
// clients are added here, grouped by the part of the library that raises them.
#pragma once

#include <string_view>

namespace regwire::msg {

// General.
inline constexpr std::string_view InternalError = "Internal error";

// Byte buffers (TModbusBuffer).
inline constexpr std::string_view BufferNoSpace =
    "There is not enough space in the buffer to perform the requested action";
inline constexpr std::string_view BufferPositionInvalid =
    "Buffer position is invalid (%d)";                                                // position
inline constexpr std::string_view BufferSizeInvalid = "Buffer size is invalid (%d)";  // size

// File records (TModbusFileRecord, TModbusFileRecordList).
inline constexpr std::string_view StartingRegisterInvalid =
    "Starting register index is invalid (%d)";  // record number
inline constexpr std::string_view RegisterIndexInvalid = "Register index is invalid (%d)";  // index
inline constexpr std::string_view RecordLengthInvalid = "Record length is invalid (%d)";   // length
inline constexpr std::string_view ListIndexOutOfBounds = "List index out of bounds (%d)";  // index

// Clients (TModbusClient) and their request operations.
inline constexpr std::string_view NoActiveConnection = "There is no active connection";
inline constexpr std::string_view RegisterCountRange =
    "Register count must be between 1 and %d";  // largest count
inline constexpr std::string_view CoilCountRange =
    "Coil count must be between 1 and %d";  // largest count
inline constexpr std::string_view DiscreteInputCountRange =
    "Discrete input count must be between 1 and %d";  // largest count
inline constexpr std::string_view StartingCoilInvalid =
    "Starting coil index is invalid (%d)";  // start
inline constexpr std::string_view StartingDiscreteInputInvalid =
    "Starting discrete input index is invalid (%d)";  // start
// StartingRegisterInvalid (above) also serves the register requests.
inline constexpr std::string_view FileRecordCountRange =
    "File record count must be between 1 and %d";  // largest count
inline constexpr std::string_view FileRecordRequestTooLong =
    "File records do not fit into one request (%d bytes)";  // bytes needed
inline constexpr std::string_view CustomDataTooLong =
    "Custom request data must not exceed %d bytes";  // largest length
inline constexpr std::string_view CustomFunctionInvalid =
    "Function code is invalid (%d)";  // function code

// Client reply decoding.
inline constexpr std::string_view DiagnosticActionUnknown = "Diagnostic action was not recognized";

// Exception codes of a server's exception reply, by code.
inline constexpr std::string_view ExceptionIllegalFunction = "Illegal function";
inline constexpr std::string_view ExceptionIllegalDataAddress = "Illegal data address";
inline constexpr std::string_view ExceptionIllegalDataValue = "Illegal data value";
inline constexpr std::string_view ExceptionServerDeviceFailure = "Server device failure";
inline constexpr std::string_view ExceptionAcknowledge = "Acknowledge";
inline constexpr std::string_view ExceptionServerDeviceBusy = "Server device busy";
inline constexpr std::string_view ExceptionMemoryParityError = "Memory parity error";
inline constexpr std::string_view ExceptionGatewayPathUnavailable = "Gateway path unavailable";
inline constexpr std::string_view ExceptionGatewayTargetFailed =
    "Gateway target device failed to respond";
inline constexpr std::string_view ExceptionUnknown = "Unknown exception code (%d)";  // code

// Frame codec (TFrameCodec).
inline constexpr std::string_view EncodeFailed = "Failed to encode frame";
inline constexpr std::string_view DecodeFailed = "Failed to decode frame";
inline constexpr std::string_view DecodeSizeTooSmall = "DecodeFrame: The size is too small.";
inline constexpr std::string_view DecodeSizeNotOdd = "DecodeFrame: The size is not an odd number.";
inline constexpr std::string_view DecodeNoLeadingColon = "DecodeFrame: Leading colon is missing.";
inline constexpr std::string_view DecodeNoTrailingCR = "DecodeFrame: Trailing CR is missing.";
inline constexpr std::string_view DecodeNoTrailingLF = "DecodeFrame: Trailing LF is missing.";

}  // namespace regwire::msg

// Serial connection (TModbusConnection).
namespace regwire::msg {
inline constexpr std::string_view CouldNotOpenPort = "Could not open serial port";
inline constexpr std::string_view UpdateDCBFailed = "Failed to update device control block";
inline constexpr std::string_view ConnectionMustNotBeActive =
    "Connection must NOT be active for the requested action to be performed";
inline constexpr std::string_view ConnectionMustBeActive =
    "Connection MUST be active for the requested action to be performed";
inline constexpr std::string_view ValueOutOfRange = "Value must be between %d and %d";  // low, high
// Ports reached through a network gateway (tcp://, mbtcp://).
inline constexpr std::string_view NetworkAddressInvalid =
    "not a network address; give tcp://HOST:PORT or mbtcp://HOST:PORT";
inline constexpr std::string_view ModbusTcpNeedsRTU =
    "Modbus TCP carries binary frames: set the transmission mode to RTU";
}  // namespace regwire::msg

// A Modbus TCP server of several peers (TModbusTcpServer): log lines, each
// after the server's name and the peer's address.
namespace regwire::msg {
inline constexpr std::string_view PeerNotAllowed = "connection refused: not an accepted peer";
inline constexpr std::string_view TooManyPeers =
    "connection refused: %d peers are served already";  // the most served at once
inline constexpr std::string_view PeerIdle =
    "connection closed: no request for %d s";  // the idle time-out in seconds
inline constexpr std::string_view PeerStalled =
    "connection closed: the peer does not take its replies";
inline constexpr std::string_view PeerFrameIncomplete =
    "connection closed: a frame begun was not complete within %d s";  // the frame time-out
// After a refusal's own text, once a minute while the address keeps dialling.
inline constexpr std::string_view RefusedAgain = "; %d more in the last %d s";  // count, seconds
}  // namespace regwire::msg
