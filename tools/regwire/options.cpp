#include "options.h"

#include <charconv>
#include <map>

namespace regwire::tool {

const std::string_view UsageText =
    R"(regwire [OPTIONS] COMMAND [ARGUMENTS]
  -p, --port DEVICE          serial device (required)
  -b, --baud RATE            bit/s (19200)        -P, --parity none|even|odd (even)
  -d, --data-bits 7|8 (8)    -s, --stop-bits 1|2 (1)    -m, --mode rtu|ascii (rtu)
  -a, --address N            server address 0..255 (1); 0 broadcasts
  -t, --timeout MS           receive time-out (1000)     -r, --retries N  (MaxRetries, 1)
      --echo                 the line echoes every sent frame
      --flow none|rts-toggle|rts-cts|dtr-dsr   handshake lines, for RS-485 direction control (none)
      --frames               print each frame sent and received, in hex, on standard error
  -c, --count N              repeat N times (1); 0 repeats until interrupted
  -i, --interval MS          period of repetitions, start to start, so it does not drift (1000); 0 sends the next request as soon as the last one completed
      --json                 one JSON object per completed transaction on standard output
COMMANDS (function code)
  read-coils START COUNT (1)            read-discrete-inputs START COUNT (2)
  read-holding-registers START COUNT (3) read-input-registers START COUNT (4)
  write-coil ADDRESS 0|1 (5)            write-register ADDRESS VALUE (6)
  read-exception-status (7)             diagnostics SUBFUNCTION DATA (8)
  write-coils START BIT... (15)         write-registers START VALUE... (16)
  report-server-id (17)                 read-file-record FILE RECORD LENGTH [FILE RECORD LENGTH]... (20)
  write-file-record FILE RECORD VALUE... (21)   mask-write-register ADDRESS AND OR (22)
  read-write-registers READSTART READCOUNT WRITESTART VALUE... (23)
  custom FUNCTION HEXBYTES              any function code; the data as hex digits
  serve [--size N]                      answer as server ADDRESS until SIGINT/SIGTERM, with
                                        in-memory tables of N entries each (default 10000):
                                        coils and holding registers start at 0, discrete input
                                        i is on when i is odd, input register i holds i mod 65536
Numbers are decimal or 0x-prefixed hex.
)";

namespace {

[[noreturn]] void Usage(const std::string& message) {
    throw EUsageError(message);
}

std::uint64_t Number(const std::string& word, std::uint64_t low, std::uint64_t high,
                     std::string_view what) {
    std::string_view digits = word;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value < low || value > high)
        Usage("invalid " + std::string(what) + " '" + word + "' (" + std::to_string(low) + ".." +
              std::to_string(high) + ")");
    return value;
}

std::uint16_t Word(const std::string& word, std::string_view what) {
    return static_cast<std::uint16_t>(Number(word, 0, 0xFFFF, what));
}

template <typename T>
T Choice(const std::string& word, const std::map<std::string, T>& choices, std::string_view what) {
    const auto found = choices.find(word);
    if (found == choices.end())
        Usage("invalid " + std::string(what) + " '" + word + "'");
    return found->second;
}

TByteString HexBytes(const std::string& word) {
    if (word.size() % 2 != 0)
        Usage("HEXBYTES needs an even number of hex digits: '" + word + "'");
    TByteString bytes;
    for (std::size_t i = 0; i < word.size(); i += 2)
        bytes.push_back(
            static_cast<std::uint8_t>(Number("0x" + word.substr(i, 2), 0, 255, "HEXBYTES")));
    return bytes;
}

const std::map<std::string, TToolCommand> Commands = {
    {"read-coils", TToolCommand::ReadCoils},
    {"read-discrete-inputs", TToolCommand::ReadDiscreteInputs},
    {"read-holding-registers", TToolCommand::ReadHoldingRegisters},
    {"read-input-registers", TToolCommand::ReadInputRegisters},
    {"write-coil", TToolCommand::WriteCoil},
    {"write-register", TToolCommand::WriteRegister},
    {"read-exception-status", TToolCommand::ReadExceptionStatus},
    {"diagnostics", TToolCommand::Diagnostics},
    {"write-coils", TToolCommand::WriteCoils},
    {"write-registers", TToolCommand::WriteRegisters},
    {"report-server-id", TToolCommand::ReportServerId},
    {"read-file-record", TToolCommand::ReadFileRecord},
    {"write-file-record", TToolCommand::WriteFileRecord},
    {"mask-write-register", TToolCommand::MaskWriteRegister},
    {"read-write-registers", TToolCommand::ReadWriteRegisters},
    {"custom", TToolCommand::Custom},
    {"serve", TToolCommand::Serve},
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

void NeedExactly(const TWords& args, std::size_t n, const std::string& command) {
    if (args.Left() != n)
        Usage(command + " takes " + std::to_string(n) + " argument" + (n == 1 ? "" : "s"));
}

void NeedAtLeast(const TWords& args, std::size_t n, const std::string& command) {
    if (args.Left() < n)
        Usage(command + " takes at least " + std::to_string(n) + " arguments");
}

void ParseArguments(TToolOptions& o, const std::string& command, TWords args) {
    using enum TToolCommand;
    switch (o.Command) {
        case ReadCoils:
        case ReadDiscreteInputs:
        case ReadHoldingRegisters:
        case ReadInputRegisters:
            NeedExactly(args, 2, command);
            o.Start = Word(args.Take(), "START");
            o.Quantity = Word(args.Take(), "COUNT");
            return;
        case WriteCoil:
            NeedExactly(args, 2, command);
            o.Start = Word(args.Take(), "ADDRESS");
            o.Value = static_cast<std::uint16_t>(Number(args.Take(), 0, 1, "coil value"));
            return;
        case WriteRegister:
            NeedExactly(args, 2, command);
            o.Start = Word(args.Take(), "ADDRESS");
            o.Value = Word(args.Take(), "VALUE");
            return;
        case ReadExceptionStatus:
        case ReportServerId:
            NeedExactly(args, 0, command);
            return;
        case Diagnostics:
            NeedExactly(args, 2, command);
            o.SubFunction = Word(args.Take(), "SUBFUNCTION");
            o.Value = Word(args.Take(), "DATA");
            return;
        case WriteCoils:
            NeedAtLeast(args, 2, command);
            o.Start = Word(args.Take(), "START");
            while (args.Left() > 0)
                o.Bits.push_back(Number(args.Take(), 0, 1, "BIT") == 1);
            return;
        case WriteRegisters:
            NeedAtLeast(args, 2, command);
            o.Start = Word(args.Take(), "START");
            while (args.Left() > 0)
                o.Values.push_back(Word(args.Take(), "VALUE"));
            return;
        case ReadFileRecord:
            if (args.Left() == 0 || args.Left() % 3 != 0)
                Usage(command + " takes FILE RECORD LENGTH, once or more");
            while (args.Left() > 0) {
                TFileRecordRef r;
                r.File = Word(args.Take(), "FILE");
                r.Record = static_cast<std::uint16_t>(Number(args.Take(), 0, 9999, "RECORD"));
                r.Length = static_cast<std::uint16_t>(Number(args.Take(), 1, 10000, "LENGTH"));
                o.Records.push_back(r);
            }
            return;
        case WriteFileRecord: {
            NeedAtLeast(args, 3, command);
            TFileRecordRef r;
            r.File = Word(args.Take(), "FILE");
            r.Record = static_cast<std::uint16_t>(Number(args.Take(), 0, 9999, "RECORD"));
            while (args.Left() > 0)
                o.Values.push_back(Word(args.Take(), "VALUE"));
            r.Length = static_cast<std::uint16_t>(o.Values.size());
            o.Records.push_back(r);
            return;
        }
        case MaskWriteRegister:
            NeedExactly(args, 3, command);
            o.Start = Word(args.Take(), "ADDRESS");
            o.Value = Word(args.Take(), "AND");
            o.OrMask = Word(args.Take(), "OR");
            return;
        case ReadWriteRegisters:
            NeedAtLeast(args, 4, command);
            o.Start = Word(args.Take(), "READSTART");
            o.Quantity = Word(args.Take(), "READCOUNT");
            o.WriteStart = Word(args.Take(), "WRITESTART");
            while (args.Left() > 0)
                o.Values.push_back(Word(args.Take(), "VALUE"));
            return;
        case Custom:
            if (args.Left() != 1 && args.Left() != 2)
                Usage(command + " takes FUNCTION and HEXBYTES");
            o.Function = static_cast<std::uint8_t>(Number(args.Take(), 1, 127, "FUNCTION"));
            if (args.Left() > 0)
                o.Data = HexBytes(args.Take());
            return;
        case Serve:
            NeedExactly(args, 0, command);
            return;
    }
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

}  // namespace

TToolOptions ParseCommandLine(const std::vector<std::string>& words) {
    TToolOptions o;
    std::vector<std::string> positional;
    bool sizeGiven = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string word = words[i];
        std::string value;
        bool inlineValue = false;
        if (word.rfind("--", 0) == 0 && word.find('=') != std::string::npos) {
            value = word.substr(word.find('=') + 1);
            word = word.substr(0, word.find('='));
            inlineValue = true;
        }
        auto arg = [&]() -> const std::string& {
            if (inlineValue)
                return value;
            if (i + 1 >= words.size())
                Usage("option " + word + " needs a value");
            return words[++i];
        };
        if (word == "-p" || word == "--port") {
            o.Port = arg();
            if (o.Port.empty())
                Usage("the serial device name is empty");
        } else if (word == "-b" || word == "--baud") {
            o.BaudRate = static_cast<std::uint32_t>(Number(arg(), 1, 4000000, "RATE"));
        } else if (word == "-P" || word == "--parity") {
            o.Parity = Choice<TParityScheme>(
                arg(), {{"none", psNone}, {"even", psEven}, {"odd", psOdd}}, "parity");
        } else if (word == "-d" || word == "--data-bits") {
            o.DataBits = Choice<TDataBits>(arg(), {{"7", db7}, {"8", db8}}, "data bits");
        } else if (word == "-s" || word == "--stop-bits") {
            o.StopBits = Choice<TStopBits>(arg(), {{"1", sb1}, {"2", sb2}}, "stop bits");
        } else if (word == "-m" || word == "--mode") {
            o.Mode = Choice<TTransmissionMode>(arg(), {{"rtu", tmRTU}, {"ascii", tmASCII}}, "mode");
        } else if (word == "-a" || word == "--address") {
            o.Address = static_cast<std::uint8_t>(Number(arg(), 0, 255, "address"));
        } else if (word == "-t" || word == "--timeout") {
            o.TimeoutMs = static_cast<std::uint32_t>(Number(arg(), 1, 3600000, "time-out"));
        } else if (word == "-r" || word == "--retries") {
            o.Retries = static_cast<std::uint32_t>(Number(arg(), 1, 0xFFFFFFFF, "retries"));
        } else if (word == "--echo" && !inlineValue) {
            o.Echo = true;
        } else if (word == "--flow") {
            o.Flow = Choice<TFlowControl>(arg(),
                                          {{"none", fcNone},
                                           {"rts-toggle", fcRtsToggle},
                                           {"rts-cts", fcRtsCts},
                                           {"dtr-dsr", fcDtrDsr}},
                                          "flow control");
        } else if (word == "--frames" && !inlineValue) {
            o.Frames = true;
        } else if (word == "-c" || word == "--count") {
            o.Count = static_cast<std::uint32_t>(Number(arg(), 0, 0xFFFFFFFF, "count"));
        } else if (word == "-i" || word == "--interval") {
            o.IntervalMs = static_cast<std::uint32_t>(Number(arg(), 0, 86400000, "interval"));
        } else if (word == "--json" && !inlineValue) {
            o.Json = true;
        } else if (word == "--size") {
            o.TableSize = static_cast<int>(Number(arg(), 1, 65536, "size"));
            sizeGiven = true;
        } else if (word.size() > 1 && word[0] == '-') {
            Usage("unknown option " + words[i]);
        } else {
            positional.push_back(words[i]);
        }
    }
    if (positional.empty())
        Usage("no command given");
    const std::string command = positional.front();
    o.Command = Choice(command, Commands, "command");
    if (o.Port.empty())
        Usage("the serial device (-p) is required");
    if (sizeGiven && o.Command != TToolCommand::Serve)
        Usage("--size belongs to serve");
    ParseArguments(o, command, TWords({positional.begin() + 1, positional.end()}));
    if (o.Address == 0 && IsRead(o.Command))
        Usage(command + " needs a server address 1..255: a broadcast gets no reply");
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
