#include "options.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "messages.h"
#include "modbus/client.h"
#include "modbus/diagnostics.h"
#include "modbus/errors.h"
#include "modbus/serialports.h"
#include "platform/filltext.h"

namespace regwire::tool {

const std::string_view UsageText =
    R"(regwire [OPTIONS] COMMAND [ARGUMENTS]
A Modbus master on a serial line; with serve, a Modbus server.
Addresses of coils, inputs and registers are 0-based, as on the wire;
--base 1 takes and prints 1-based ones. Numbers are decimal or 0x-hex.

Line:
  -p, --port DEVICE       serial device, e.g. /dev/ttyUSB0 (required), or a
                          gateway: tcp://HOST:PORT (RTU frames over TCP) or
                          mbtcp://HOST:PORT (Modbus TCP); serve listens there
  -b, --baud RATE         bit/s (19200)
  -P, --parity none|even|odd (even)   -d, --data-bits 7|8 (8)
  -s, --stop-bits 1|2 (1)             -m, --mode rtu|ascii (rtu)
  -a, --address N         server address 1..255 (1); 0 broadcasts a write
      --echo              the line echoes every frame sent
      --flow none|rts-toggle|rts-cts|dtr-dsr
                          handshake lines, for RS-485 direction (none)
      --frames            print each frame sent and received on standard
                          error, in hex
      --timing standard|gap
                          RTU frame timing on a serial line (standard): a
                          frame ends at the length its function code gives
                          and a send waits for 3.5 quiet characters; gap: a
                          frame ends at a silence of 20 ms or more
Master:
  -t, --timeout MS        reply time-out (1000)
  -r, --retries N         sends again after an attempt that got no valid
                          reply, N times at most (0)
  -c, --count N           repeat N times (1); 0 repeats until interrupted
  -i, --interval MS       period, start to start (1000); 0 sends the next
                          request as soon as the last one completed
      --base 0|1          first address (0)
      --format FORMAT     registers as unsigned (the default), signed, hex;
                          register pairs as int32 or float, high word first
                          (as the flow controllers' capacity), or
                          int32-swapped or float-swapped, low word first;
                          the values of write-registers are taken so too
  -q, --quiet             no confirmation line after a write
      --json              one JSON object per completed transaction on
                          standard output
Commands (function code):
  read-coils START COUNT (1)          read-discrete-inputs START COUNT (2)
  read-holding-registers START COUNT (3)
  read-input-registers START COUNT (4)
  write-coil ADDRESS 0|1 (5)          write-register ADDRESS VALUE (6)
  read-exception-status (7)           diagnostics SUBFUNCTION DATA (8)
  write-coils START BIT... (15)       write-registers START VALUE... (16)
  report-server-id (17)
  read-file-record FILE RECORD LENGTH [FILE RECORD LENGTH]... (20)
  write-file-record FILE RECORD VALUE... (21)
  mask-write-register ADDRESS AND OR (22)
  read-write-registers READSTART READCOUNT WRITESTART VALUE... (23)
  custom FUNCTION [HEXBYTES]          any function code, data in hex digits
  serve [--size N]   with the line options only: answer as server ADDRESS
                     until interrupted, from tables of N entries each
                     (10000): coils and holding registers start at 0,
                     discrete input i is on when i is odd, input register
                     i holds i; it answers function codes 1 to 6, 15 and
                     16, any other with exception 1 (illegal function)
Exit status:
  0 success     1 exception reply     2 no reply, bad frame or wrong server
  3 bad reply   64 wrong usage        74 the port cannot be opened or is gone
)";

namespace {


[[noreturn]] void Usage(std::string_view text, std::initializer_list<std::string> values = {}) {
    throw EUsageError(platform::FillText(text, values));
}

std::string Text(std::uint64_t value) {
    return std::to_string(value);
}

std::uint64_t Number(const std::string& word, std::uint64_t low, std::uint64_t high,
                     const std::string& what) {
    if (!word.empty() && word[0] == '-')
        Usage(msg::NegativeNumber, {what, word, Text(low), Text(high)});
    std::string_view digits = word;
    const bool hex =
        digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (hex)
        digits.remove_prefix(2);
    std::uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
    const bool whole = !digits.empty() && end == digits.data() + digits.size();
    if (error == std::errc::result_out_of_range && whole)
        Usage(msg::OutOfRange, {what, word, Text(low), Text(high)});
    if (error != std::errc() || !whole)
        Usage(hex ? msg::NotAHexNumber : msg::NotANumber, {what, word});
    if (value < low || value > high)
        Usage(msg::OutOfRange, {what, word, Text(low), Text(high)});
    return value;
}

std::uint16_t Word(const std::string& word, const std::string& what) {
    return static_cast<std::uint16_t>(Number(word, 0, 0xFFFF, what));
}

template <typename T>
T Choice(const std::string& word, const std::vector<std::pair<std::string, T>>& choices,
         const std::string& what) {
    std::string names;
    for (const auto& [name, value] : choices) {
        if (name == word)
            return value;
        names += (names.empty() ? "" : ", ") + name;
    }
    Usage(msg::InvalidChoice, {what, word, names});
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

TByteString HexBytes(const std::string& word) {
    for (const char c : word)
        if (HexDigit(c) < 0)
            Usage(msg::HexBadDigit, {word, std::string(1, c)});
    if (word.size() % 2 != 0)
        Usage(msg::HexOddDigits, {word});
    TByteString bytes;
    for (std::size_t i = 0; i < word.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(HexDigit(word[i]) * 16 + HexDigit(word[i + 1])));
    return bytes;
}

// Each command with the arguments it takes, as the help names them.
struct TCommandInfo {
    TToolCommand Command;
    const char* Arguments;
};

const std::map<std::string, TCommandInfo> Commands = {
    {"read-coils", {TToolCommand::ReadCoils, "START COUNT"}},
    {"read-discrete-inputs", {TToolCommand::ReadDiscreteInputs, "START COUNT"}},
    {"read-holding-registers", {TToolCommand::ReadHoldingRegisters, "START COUNT"}},
    {"read-input-registers", {TToolCommand::ReadInputRegisters, "START COUNT"}},
    {"write-coil", {TToolCommand::WriteCoil, "ADDRESS 0|1"}},
    {"write-register", {TToolCommand::WriteRegister, "ADDRESS VALUE"}},
    {"read-exception-status", {TToolCommand::ReadExceptionStatus, "no arguments"}},
    {"diagnostics", {TToolCommand::Diagnostics, "SUBFUNCTION DATA"}},
    {"write-coils", {TToolCommand::WriteCoils, "START BIT..."}},
    {"write-registers", {TToolCommand::WriteRegisters, "START VALUE..."}},
    {"report-server-id", {TToolCommand::ReportServerId, "no arguments"}},
    {"read-file-record",
     {TToolCommand::ReadFileRecord, "FILE RECORD LENGTH [FILE RECORD LENGTH]..."}},
    {"write-file-record", {TToolCommand::WriteFileRecord, "FILE RECORD VALUE..."}},
    {"mask-write-register", {TToolCommand::MaskWriteRegister, "ADDRESS AND OR"}},
    {"read-write-registers",
     {TToolCommand::ReadWriteRegisters, "READSTART READCOUNT WRITESTART VALUE..."}},
    {"custom", {TToolCommand::Custom, "FUNCTION [HEXBYTES]"}},
    {"serve", {TToolCommand::Serve, "no arguments"}},
};

class TWords {
  public:
    explicit TWords(std::vector<std::string> words) : FWords(std::move(words)) {}
    std::size_t Left() const { return FWords.size() - FNext; }
    const std::string& Take() { return FWords[FNext++]; }

  private:
    std::vector<std::string> FWords;
    std::size_t FNext = 0;
};

// The arguments of one command, read in order and checked as they come.
class TArgumentReader {
  public:
    TArgumentReader(TToolOptions& options, const std::string& command, TWords args)
        : FOptions(options), FCommand(command), FArgs(std::move(args)) {}

    void Read();

  private:
    void Need(bool enough) const {
        if (!enough)
            Usage(msg::WrongArguments, {FCommand, Commands.at(FCommand).Arguments});
    }
    void Exactly(std::size_t n) const { Need(FArgs.Left() == n); }
    void AtLeast(std::size_t n) const { Need(FArgs.Left() >= n); }

    // An address as typed in the chosen base, held as on the wire.
    std::uint16_t Address(const std::string& what) {
        return static_cast<std::uint16_t>(
            Number(FArgs.Take(), FOptions.Base, 0xFFFF + FOptions.Base, what) - FOptions.Base);
    }
    std::uint16_t Count(const std::string& what, int limit) {
        return static_cast<std::uint16_t>(Number(FArgs.Take(), 1, limit, what));
    }
    // count addresses from start must end at or before the last one.
    void CheckRun(std::uint16_t start, std::size_t count, const std::string& startName,
                  const std::string& countName) const {
        if (start + count - 1 <= 0xFFFF)
            return;
        Usage(msg::RunPastLastAddress, {startName, Text(start + FOptions.Base), countName,
                                        Text(count), Text(0xFFFF + FOptions.Base)});
    }
    std::vector<std::uint16_t> Values(const std::string& what) {
        std::vector<std::uint16_t> values;
        while (FArgs.Left() > 0)
            values.push_back(Word(FArgs.Take(), what));
        return values;
    }
    std::vector<std::uint16_t> FormattedValues(const std::string& what);
    void ReadRecords();
    void WriteRecord();

    TToolOptions& FOptions;
    std::string FCommand;
    TWords FArgs;
};

void TArgumentReader::Read() {
    using enum TToolCommand;
    switch (FOptions.Command) {
        case ReadCoils:
        case ReadDiscreteInputs:
            Exactly(2);
            FOptions.Start = Address("START");
            FOptions.Quantity = Count("COUNT", TModbusClient::MaxReadBits);
            CheckRun(FOptions.Start, FOptions.Quantity, "START", "COUNT");
            return;
        case ReadHoldingRegisters:
        case ReadInputRegisters:
            Exactly(2);
            FOptions.Start = Address("START");
            FOptions.Quantity = Count("COUNT", TModbusClient::MaxReadRegisters);
            CheckRun(FOptions.Start, FOptions.Quantity, "START", "COUNT");
            return;
        case WriteCoil:
            Exactly(2);
            FOptions.Start = Address("ADDRESS");
            FOptions.Value = static_cast<std::uint16_t>(Number(FArgs.Take(), 0, 1, "coil value"));
            return;
        case WriteRegister:
            Exactly(2);
            FOptions.Start = Address("ADDRESS");
            FOptions.Value = Word(FArgs.Take(), "VALUE");
            return;
        case ReadExceptionStatus:
        case ReportServerId:
        case Serve:
            Exactly(0);
            return;
        case Diagnostics: {
            Exactly(2);
            const std::string subFunction = FArgs.Take();
            FOptions.SubFunction = Word(subFunction, "SUBFUNCTION");
            try {
                FindDiagnosticAction(FOptions.SubFunction);
            } catch (const ERegwireError&) {
                Usage(msg::SubFunctionUnknown, {subFunction});
            }
            FOptions.Value = Word(FArgs.Take(), "DATA");
            return;
        }
        case WriteCoils:
            AtLeast(2);
            FOptions.Start = Address("START");
            while (FArgs.Left() > 0)
                FOptions.Bits.push_back(Number(FArgs.Take(), 0, 1, "BIT") == 1);
            if (FOptions.Bits.size() > static_cast<std::size_t>(TModbusClient::MaxWriteBits))
                Usage(msg::OutOfRange, {"the number of BITs", Text(FOptions.Bits.size()), "1",
                                        Text(TModbusClient::MaxWriteBits)});
            CheckRun(FOptions.Start, FOptions.Bits.size(), "START", "BITs");
            return;
        case WriteRegisters:
            AtLeast(2);
            FOptions.Start = Address("START");
            FOptions.Values = FormattedValues("VALUE");
            if (FOptions.Values.size() > static_cast<std::size_t>(TModbusClient::MaxWriteRegisters))
                Usage(msg::OutOfRange, {"the number of VALUEs", Text(FOptions.Values.size()), "1",
                                        Text(TModbusClient::MaxWriteRegisters)});
            CheckRun(FOptions.Start, FOptions.Values.size(), "START", "VALUEs");
            return;
        case ReadFileRecord:
            ReadRecords();
            return;
        case WriteFileRecord:
            WriteRecord();
            return;
        case MaskWriteRegister:
            Exactly(3);
            FOptions.Start = Address("ADDRESS");
            FOptions.Value = Word(FArgs.Take(), "AND");
            FOptions.OrMask = Word(FArgs.Take(), "OR");
            return;
        case ReadWriteRegisters:
            AtLeast(4);
            FOptions.Start = Address("READSTART");
            FOptions.Quantity = Count("READCOUNT", TModbusClient::MaxReadRegisters);
            CheckRun(FOptions.Start, FOptions.Quantity, "READSTART", "READCOUNT");
            FOptions.WriteStart = Address("WRITESTART");
            FOptions.Values = Values("VALUE");
            if (FOptions.Values.size() >
                static_cast<std::size_t>(TModbusClient::MaxReadWriteWriteRegisters))
                Usage(msg::OutOfRange, {"the number of VALUEs", Text(FOptions.Values.size()), "1",
                                        Text(TModbusClient::MaxReadWriteWriteRegisters)});
            CheckRun(FOptions.WriteStart, FOptions.Values.size(), "WRITESTART", "VALUEs");
            return;
        case Custom:
            Need(FArgs.Left() == 1 || FArgs.Left() == 2);
            FOptions.Function = static_cast<std::uint8_t>(Number(FArgs.Take(), 1, 127, "FUNCTION"));
            if (FArgs.Left() > 0)
                FOptions.Data = HexBytes(FArgs.Take());
            return;
    }
}

// A whole number from low to high, negative ones too.
std::int64_t SignedNumber(const std::string& word, std::int64_t low, std::int64_t high,
                          const std::string& what) {
    if (word.empty() || word[0] != '-')
        return static_cast<std::int64_t>(Number(word, 0, static_cast<std::uint64_t>(high), what));
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (end != word.data() + word.size() || error == std::errc::invalid_argument)
        Usage(msg::NotANumber, {what, word});
    if (error != std::errc() || value < low)
        Usage(msg::OutOfRange, {what, word, std::to_string(low), std::to_string(high)});
    return value;
}

// A float as a single holds it: a finite number that does not overflow.
float FloatNumber(const std::string& word, const std::string& what) {
    float value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (end != word.data() + word.size() || error == std::errc::invalid_argument ||
        !std::isfinite(value))
        Usage(msg::NotANumber, {what, word});
    if (error != std::errc())
        Usage(msg::OutOfRange, {what, word, "-3.40282e+38", "3.40282e+38"});
    return value;
}

// The values of write-registers as --format reads them: a register each,
// or a register pair each for the 32-bit formats, in their word order.
std::vector<std::uint16_t> TArgumentReader::FormattedValues(const std::string& what) {
    const TRegisterFormat format = FOptions.Format;
    if (format == TRegisterFormat::Unsigned || format == TRegisterFormat::Hex)
        return Values(what);
    std::vector<std::uint16_t> values;
    while (FArgs.Left() > 0) {
        const std::string& word = FArgs.Take();
        if (format == TRegisterFormat::Signed) {
            values.push_back(static_cast<std::uint16_t>(SignedNumber(word, -32768, 65535, what)));
            continue;
        }
        const bool isFloat =
            format == TRegisterFormat::Float || format == TRegisterFormat::FloatSwapped;
        const std::uint32_t bits =
            isFloat ? std::bit_cast<std::uint32_t>(FloatNumber(word, what))
                    : static_cast<std::uint32_t>(SignedNumber(word, INT32_MIN, UINT32_MAX, what));
        const std::array<std::uint16_t, 2> pair = PairRegisters(bits, format);
        values.insert(values.end(), pair.begin(), pair.end());
    }
    return values;
}

// A file holds records 0 to 9999; a run of them must end there.
void CheckRecordRun(const TFileRecordRef& r) {
    if (r.Record + r.Length - 1 > 9999)
        Usage(msg::RecordRunsPastEnd, {Text(r.Record), Text(r.Length)});
}

// Each record read takes 7 bytes of the request and 2 plus its values of the
// reply; both fit the largest data field.
void TArgumentReader::ReadRecords() {
    Need(FArgs.Left() > 0 && FArgs.Left() % 3 == 0);
    constexpr int MaxRecords = TModbusClient::MaxFileRecordBytes / 7;
    if (FArgs.Left() / 3 > MaxRecords)
        Usage(msg::FileRecordsTooMany, {FCommand, Text(MaxRecords)});
    int replyBytes = 0;
    while (FArgs.Left() > 0) {
        TFileRecordRef r;
        r.File = Word(FArgs.Take(), "FILE");
        r.Record = static_cast<std::uint16_t>(Number(FArgs.Take(), 0, 9999, "RECORD"));
        r.Length = static_cast<std::uint16_t>(Number(FArgs.Take(), 1, 10000, "LENGTH"));
        CheckRecordRun(r);
        replyBytes += 2 + 2 * r.Length;
        FOptions.Records.push_back(r);
    }
    if (replyBytes > TModbusClient::MaxFileRecordBytes)
        Usage(msg::FileRecordReplyTooLong,
              {Text(replyBytes), Text(TModbusClient::MaxFileRecordBytes)});
}

void TArgumentReader::WriteRecord() {
    AtLeast(3);
    TFileRecordRef r;
    r.File = Word(FArgs.Take(), "FILE");
    r.Record = static_cast<std::uint16_t>(Number(FArgs.Take(), 0, 9999, "RECORD"));
    FOptions.Values = Values("VALUE");
    const int requestBytes = 7 + 2 * static_cast<int>(FOptions.Values.size());
    if (requestBytes > TModbusClient::MaxFileRecordBytes)
        Usage(msg::FileRecordRequestTooLong,
              {Text(requestBytes), Text(TModbusClient::MaxFileRecordBytes)});
    r.Length = static_cast<std::uint16_t>(FOptions.Values.size());
    CheckRecordRun(r);
    FOptions.Records.push_back(r);
}

bool IsRead(TToolCommand command) {
    using enum TToolCommand;
    switch (command) {
        case WriteCoil:
        case WriteRegister:
        case WriteCoils:
        case WriteRegisters:
        case WriteFileRecord:
        case MaskWriteRegister:
        case Custom:
        case Serve:
            return false;
        default:
            return true;
    }
}

bool ReadsRegisters(TToolCommand command) {
    using enum TToolCommand;
    return command == ReadHoldingRegisters || command == ReadInputRegisters ||
           command == ReadWriteRegisters || command == ReadFileRecord;
}

// A format of register pairs needs whole pairs in every run read.
void CheckFormat(const TToolOptions& o, const std::string& command, const std::string& format) {
    if (o.Format == TRegisterFormat::Unsigned || o.Command == TToolCommand::WriteRegisters)
        return;
    if (!ReadsRegisters(o.Command))
        Usage(msg::FormatShowsRegisters, {command});
    if (!TakesPairs(o.Format))
        return;
    if (o.Command == TToolCommand::ReadFileRecord) {
        for (const TFileRecordRef& r : o.Records)
            if (r.Length % 2 != 0)
                Usage(msg::FormatTakesPairs, {format, "LENGTH", Text(r.Length)});
        return;
    }
    if (o.Quantity % 2 != 0)
        Usage(msg::FormatTakesPairs,
              {format, o.Command == TToolCommand::ReadWriteRegisters ? "READCOUNT" : "COUNT",
               Text(o.Quantity)});
}

// A custom request carries its data between the address and the checksum of
// the largest frame of the line's mode.
void CheckCustomData(const TToolOptions& o) {
    const int room = MaxADUSize(o.Mode) - AddressSize(o.Mode) - 1 - ChecksumSize(o.Mode);
    if (o.Data.size() > static_cast<std::size_t>(room))
        Usage(msg::CustomDataTooLong,
              {Text(o.Data.size()), o.Mode == tmRTU ? "RTU" : "ASCII", Text(room)});
}

// The options a server has no use for: they shape requests and their output.
const std::set<std::string> MasterOnlyOptions = {"--timeout", "--retries", "--count",  "--interval",
                                                 "--json",    "--base",    "--format", "--quiet"};

void CheckServe(const TToolOptions& o, const std::vector<std::string>& given) {
    for (const std::string& option : given)
        if (MasterOnlyOptions.contains(option))
            Usage(msg::ServeDoesNotUse, {option});
    if (o.Address == 0)
        Usage(msg::ServeNeedsAddress);
}

// Short options by their long names.
const std::map<std::string, std::string> ShortOptions = {
    {"-p", "--port"},      {"-b", "--baud"},  {"-P", "--parity"},   {"-d", "--data-bits"},
    {"-s", "--stop-bits"}, {"-m", "--mode"},  {"-a", "--address"},  {"-t", "--timeout"},
    {"-r", "--retries"},   {"-c", "--count"}, {"-i", "--interval"}, {"-q", "--quiet"},
};

const std::set<std::string> Flags = {"--echo", "--frames", "--json", "--quiet"};

}  // namespace

TToolOptions ParseCommandLine(const std::vector<std::string>& words) {
    TToolOptions o;
    std::vector<std::string> positional;
    std::vector<std::string> given;  // long names of the options given
    std::string format = "unsigned";
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string word = words[i];
        std::string value;
        bool inlineValue = false;
        if (word.rfind("--", 0) == 0 && word.find('=') != std::string::npos) {
            value = word.substr(word.find('=') + 1);
            word = word.substr(0, word.find('='));
            inlineValue = true;
        }
        if (const auto found = ShortOptions.find(word); found != ShortOptions.end())
            word = found->second;
        // A negative number is an argument, so that it is named as one.
        const bool negativeNumber = word.size() >= 2 && word[0] == '-' &&
                                    std::isdigit(static_cast<unsigned char>(word[1])) != 0;
        if (word.size() < 2 || word[0] != '-' || negativeNumber) {
            positional.push_back(words[i]);
            continue;
        }
        given.push_back(word);
        if (Flags.contains(word) && inlineValue)
            Usage(msg::OptionTakesNoValue, {word});
        auto arg = [&]() -> const std::string& {
            if (inlineValue)
                return value;
            if (i + 1 >= words.size())
                Usage(msg::OptionNeedsValue, {words[i]});
            return words[++i];
        };
        if (word == "--port") {
            o.Port = arg();
            if (o.Port.empty())
                Usage(msg::PortEmpty);
        } else if (word == "--baud") {
            o.BaudRate = static_cast<std::uint32_t>(Number(arg(), 1, 4000000, "RATE"));
        } else if (word == "--parity") {
            o.Parity = Choice<TParityScheme>(
                arg(), {{"none", psNone}, {"even", psEven}, {"odd", psOdd}}, "parity");
        } else if (word == "--data-bits") {
            o.DataBits = Choice<TDataBits>(arg(), {{"7", db7}, {"8", db8}}, "data bits");
        } else if (word == "--stop-bits") {
            o.StopBits = Choice<TStopBits>(arg(), {{"1", sb1}, {"2", sb2}}, "stop bits");
        } else if (word == "--mode") {
            o.Mode = Choice<TTransmissionMode>(arg(), {{"rtu", tmRTU}, {"ascii", tmASCII}}, "mode");
        } else if (word == "--address") {
            o.Address = static_cast<std::uint8_t>(Number(arg(), 0, 255, "address"));
        } else if (word == "--timeout") {
            o.TimeoutMs = static_cast<std::uint32_t>(Number(arg(), 1, 3600000, "time-out"));
        } else if (word == "--retries") {
            o.Retries = static_cast<std::uint32_t>(Number(arg(), 0, 0xFFFFFFFE, "retries"));
        } else if (word == "--echo") {
            o.Echo = true;
        } else if (word == "--flow") {
            o.Flow = Choice<TFlowControl>(arg(),
                                          {{"none", fcNone},
                                           {"rts-toggle", fcRtsToggle},
                                           {"rts-cts", fcRtsCts},
                                           {"dtr-dsr", fcDtrDsr}},
                                          "flow control");
        } else if (word == "--frames") {
            o.Frames = true;
        } else if (word == "--timing") {
            o.Timing =
                Choice<TFrameTiming>(arg(), {{"standard", ftStandard}, {"gap", ftGap}}, "timing");
        } else if (word == "--count") {
            o.Count = static_cast<std::uint32_t>(Number(arg(), 0, 0xFFFFFFFF, "count"));
        } else if (word == "--interval") {
            o.IntervalMs = static_cast<std::uint32_t>(Number(arg(), 0, 86400000, "interval"));
        } else if (word == "--json") {
            o.Json = true;
        } else if (word == "--quiet") {
            o.Quiet = true;
        } else if (word == "--base") {
            o.Base = Choice<std::uint32_t>(arg(), {{"0", 0}, {"1", 1}}, "base");
        } else if (word == "--format") {
            format = arg();
            const std::optional<TRegisterFormat> named = RegisterFormatNamed(format);
            if (!named)
                Usage(msg::InvalidChoice, {"format", format, RegisterFormatNames()});
            o.Format = *named;
        } else if (word == "--size") {
            o.TableSize = static_cast<int>(Number(arg(), 1, 65536, "size"));
        } else {
            Usage(msg::UnknownOption, {words[i]});
        }
    }
    if (positional.empty())
        Usage(msg::NoCommand);
    const std::string command = positional.front();
    const auto found = Commands.find(command);
    if (found == Commands.end())
        Usage(msg::UnknownCommand, {command});
    o.Command = found->second.Command;
    if (o.Port.empty())
        Usage(msg::PortRequired);
    const TConnectionMode mode = o.Command == TToolCommand::Serve ? cmServer : cmClient;
    if (PortKindOf(o.Port) != pkSerial && !IsNetworkPortName(o.Port, mode))
        Usage(msg::NetworkPortInvalid, {o.Port});
    const bool sizeGiven = std::find(given.begin(), given.end(), "--size") != given.end();
    if (sizeGiven && o.Command != TToolCommand::Serve)
        Usage(msg::SizeBelongsToServe);
    TArgumentReader(o, command, TWords({positional.begin() + 1, positional.end()})).Read();
    if (o.Command == TToolCommand::Serve) {
        CheckServe(o, given);
        return o;
    }
    if (o.Address == 0 && IsRead(o.Command))
        Usage(msg::BroadcastGetsNoReply, {command});
    CheckFormat(o, command, format);
    if (o.Command == TToolCommand::Custom)
        CheckCustomData(o);
    return o;
}

std::uint8_t FunctionCode(const TToolOptions& options) {
    using enum TToolCommand;
    switch (options.Command) {
        case ReadCoils:
            return 1;
        case ReadDiscreteInputs:
            return 2;
        case ReadHoldingRegisters:
            return 3;
        case ReadInputRegisters:
            return 4;
        case WriteCoil:
            return 5;
        case WriteRegister:
            return 6;
        case ReadExceptionStatus:
            return 7;
        case Diagnostics:
            return 8;
        case WriteCoils:
            return 15;
        case WriteRegisters:
            return 16;
        case ReportServerId:
            return 17;
        case ReadFileRecord:
            return 20;
        case WriteFileRecord:
            return 21;
        case MaskWriteRegister:
            return 22;
        case ReadWriteRegisters:
            return 23;
        case Custom:
            return options.Function;
        case Serve:
            return 0;
    }
    return 0;
}

}  // namespace regwire::tool
