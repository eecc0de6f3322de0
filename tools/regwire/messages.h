// The texts regwire prints for its user: usage mistakes, failures of the
// port and of transactions, confirmations and the run's summary.
//
// A text with %s is filled, left to right, by Fill.
#pragma once

#include <string>
#include <string_view>

namespace regwire::tool::msg {

// --- Wrong usage: one line, then UsageHint ---
inline constexpr std::string_view UsageHint = "see regwire --help";
inline constexpr std::string_view NoCommand = "no command given";
inline constexpr std::string_view UnknownCommand = "unknown command '%s'";
inline constexpr std::string_view UnknownOption = "unknown option %s";
inline constexpr std::string_view OptionNeedsValue = "option %s needs a value";
inline constexpr std::string_view OptionTakesNoValue = "option %s takes no value";
inline constexpr std::string_view PortRequired = "the serial device (-p) is required";
inline constexpr std::string_view PortEmpty = "the serial device name is empty";
inline constexpr std::string_view InvalidChoice = "invalid %s '%s' (one of: %s)";
inline constexpr std::string_view NotANumber = "%s '%s' is not a number";
inline constexpr std::string_view NotAHexNumber = "%s '%s' is not a hex number after its 0x";
inline constexpr std::string_view NegativeNumber = "%s '%s' is negative: it must be %s..%s";
inline constexpr std::string_view OutOfRange = "%s %s is out of range %s..%s";
inline constexpr std::string_view WrongArguments = "%s takes %s";
inline constexpr std::string_view RunPastLastAddress =
    "%s %s with %s %s runs past the last address %s";
inline constexpr std::string_view HexOddDigits = "HEXBYTES '%s' has an odd number of hex digits";
inline constexpr std::string_view HexBadDigit = "HEXBYTES '%s': '%s' is not a hex digit";
inline constexpr std::string_view CustomDataTooLong =
    "HEXBYTES holds %s bytes; a request in %s carries at most %s";
inline constexpr std::string_view SubFunctionUnknown =
    "SUBFUNCTION %s is not one regwire can ask for (0, 1, 2, 4, 10..18, 20)";
inline constexpr std::string_view RecordRunsPastEnd =
    "RECORD %s with LENGTH %s runs past record 9999, the last of a file";
inline constexpr std::string_view FileRecordsTooMany = "%s takes at most %s records";
inline constexpr std::string_view FileRecordReplyTooLong =
    "the reply to these records would carry %s bytes; a reply carries at most %s";
inline constexpr std::string_view FileRecordRequestTooLong =
    "these values make a request of %s bytes; a request carries at most %s";
inline constexpr std::string_view BroadcastGetsNoReply =
    "%s needs a server address 1..255: a broadcast gets no reply";
inline constexpr std::string_view ServeNeedsAddress =
    "serve needs a server address 1..255 of its own";
inline constexpr std::string_view ServeDoesNotUse = "serve does not use %s";
inline constexpr std::string_view SizeBelongsToServe = "--size belongs to serve";
inline constexpr std::string_view FormatShowsRegisters =
    "--format shows registers read or takes write-registers' values; %s does neither";
inline constexpr std::string_view NetworkPortInvalid =
    "'%s' is no network port: it takes a host and a port 1..65535 (0 too for serve)";
inline constexpr std::string_view FormatTakesPairs =
    "--format %s takes registers in pairs: %s %s is odd";

// --- The port ---
inline constexpr std::string_view PortFailure = "%s: %s";                          // port, reason
inline constexpr std::string_view PortAccessDenied = "%s: permission denied; %s";  // port, advice
inline constexpr std::string_view PortGone = "%s: the port is gone";               // port
inline constexpr std::string_view Listening = "listening on %s";                   // port

// --- Transactions ---
inline constexpr std::string_view NoReply = "no reply from server %s";
inline constexpr std::string_view BadFrame = "bad frame (too short or wrong checksum)";
inline constexpr std::string_view WrongServer = "the reply came from another server";
inline constexpr std::string_view BadReply = "bad reply: it does not match the request";
inline constexpr std::string_view ExceptionReply = "exception %s: %s";  // code, its name
inline constexpr std::string_view Interrupted = "interrupted before any transaction completed";

// --- Confirmations of a write (standard output; --quiet leaves them out) ---
inline constexpr std::string_view WrittenCoils = "written %s coil%s at %s";          // n, s, at
inline constexpr std::string_view WrittenRegisters = "written %s register%s at %s";  // n, s, at
inline constexpr std::string_view WrittenFileRecord =
    "written %s register%s to file %s at record %s";  // n, s, file, record
inline constexpr std::string_view MaskWritten = "written register %s through AND %s, OR %s";
// A write sent to address 0: every server takes it, none replies.
inline constexpr std::string_view ByBroadcast = "%s by broadcast (no server confirms it)";

// --- Summary of a repeated run (standard error) ---
inline constexpr std::string_view SummaryTransactions = "transactions: %s";
inline constexpr std::string_view SummaryStatus = "%s: %s";  // status name, count
inline constexpr std::string_view SummaryRetries = "retries: %s";
inline constexpr std::string_view SummaryRoundTrip =
    "round trip: min %s ms, median %s ms, max %s ms";

}  // namespace regwire::tool::msg
