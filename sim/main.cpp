// vapcal-sim: the simulated Vapcal kit on a pseudo-terminal.
//
// Prints the device path to open on its first line, then one line for every
// write an instrument accepted; refusals and errors go to standard error.
// With --fault-log, what the line did to each request goes to a file, so a
// soak can hold every transaction's outcome against its faults. Ends cleanly
// on SIGINT and SIGTERM.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <random>
#include <string>

#include "modbus/serialports.h"
#include "platform/stopsignals.h"
#include "sim/kit.h"

namespace {

// The fault log's write buffer.
constexpr std::size_t kFaultLogBuffer = 1 << 20;

void PrintLine(std::FILE* stream, const std::string& line) {
    std::fputs(line.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

[[noreturn]] void Refuse(const QString& text) {
    PrintLine(stderr, "vapcal-sim: " + text.toStdString());
    std::exit(2);
}

double Number(const QCommandLineParser& parser, const QString& name, double low, double high) {
    bool ok = false;
    const double value = parser.value(name).toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < low || value > high)
        Refuse(QString("--%1 takes a number from %2 to %3, not '%4'")
                   .arg(name)
                   .arg(low)
                   .arg(high)
                   .arg(parser.value(name)));
    return value;
}

// The analyser shares the line, so it takes an address none of the kit's
// instruments answers at.
void ReadAnalyzer(const QCommandLineParser& parser, sim::TKitOptions& options) {
    for (const char* name :
         {"analyzer-gain", "analyzer-curve", "analyzer-offset", "analyzer-noise", "analyzer-lag"})
        if (parser.isSet(name) && !parser.isSet("analyzer"))
            Refuse(QString("--%1 needs --analyzer").arg(name));
    if (!parser.isSet("analyzer"))
        return;
    const double address = Number(parser, "analyzer", 1, 247);
    if (address != std::floor(address) || address == sim::TSimKit::kReservoirFlowAddress ||
        address == sim::TSimKit::kDilutionFlowAddress ||
        address == sim::TSimKit::kTemperatureAddress)
        Refuse("--analyzer takes a whole address from 1 to 247 other than 10, 11 and 20, not '" +
               parser.value("analyzer") + "'");
    options.AnalyzerAddress = static_cast<std::uint8_t>(address);
    options.Analyzer.Gain = Number(parser, "analyzer-gain", -1e6, 1e6);
    options.Analyzer.Curve = Number(parser, "analyzer-curve", -1e6, 1e6);
    options.Analyzer.Offset = Number(parser, "analyzer-offset", -1e6, 1e6);
    options.Analyzer.NoiseSD = Number(parser, "analyzer-noise", 0, 1e6);
    options.Analyzer.LagSeconds = Number(parser, "analyzer-lag", 0, 86400);
}

// The program's choices besides the kit's own.
struct TProgramOptions {
    sim::TKitOptions Kit;
    QString FaultLog;  // empty: no fault log
};

TProgramOptions ReadOptions(const QCoreApplication& application) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "The simulated Vapcal kit: the reservoir-flow controller (server 10), the\n"
        "dilution-flow controller (server 11) and the temperature controller\n"
        "(server 20) answering Modbus RTU on a pseudo-terminal at 9600 bit/s, 8 data\n"
        "bits, even parity, one stop bit.\n\n"
        "The first line of standard output is the device to open (for the console:\n"
        "VAPCAL_SIM_PORT=<device> vapcal, or vapcal --simulate). Every write an\n"
        "instrument accepts follows as one line, \"server 10: register 33 := 9600\".\n"
        "The temperature set point (127) takes a write only between the handshakes\n"
        "768 := 5, 5376 := 0 and 768 := 6, 5632 := 0. SIGINT or SIGTERM ends it.\n\n"
        "With --analyzer a mercury analyser answers on the same line: its reading\n"
        "(ng/l, a float in input registers 0-1, high word first, function 4)\n"
        "follows the concentration the kit's readings deliver at the calculator's\n"
        "default conditions (29.96 in. Hg, dp 0, 20 \u00B0C).");
    parser.addHelpOption();
    parser.addOptions({
        {"rf-capacity", "Capacity of the reservoir-flow controller (default 20).", "flow", "20"},
        {"df-capacity", "Capacity of the dilution-flow controller (default 20).", "flow", "20"},
        {"no-reply", "Percentage of requests lost on the line: not served, no reply.", "percent",
         "0"},
        {"bad-crc", "Percentage of replies sent with a spoilt checksum.", "percent", "0"},
        {"wrong-address", "Percentage of replies sent from the neighbouring address.", "percent",
         "0"},
        {"exception", "Percentage of requests refused with exception 6 (server busy).", "percent",
         "0"},
        {"bit-rate",
         "Line speed the replies are paced at, as on a real line (default 9600; 0 answers "
         "at once).",
         "bit/s", "9600"},
        {"listen",
         "Answer on a network port instead of a pseudo-terminal: tcp://HOST:PORT (RTU frames "
         "over TCP, as through a transparent gateway) or mbtcp://HOST:PORT (Modbus TCP); port 0 "
         "takes any free one. The first line then names the port taken.",
         "port"},
        {"seed", "Seed of the fault draws and the measurement noise (default: random).", "n"},
        {"fault-log",
         "Write what the line did to each request to this file, one line each: "
         "\"<sequence> <server> <function> <fault> <request>\", the fault one of none, "
         "no-reply, bad-crc, wrong-address, exception, the request frame in hex.",
         "file"},
        {"analyzer", "Add a mercury analyser answering at this server address.", "address"},
        {"analyzer-gain", "The analyser's gain (default 1).", "gain", "1"},
        {"analyzer-curve",
         "The analyser's curvature: Q times the square of the concentration (x in ng/l) is added "
         "to its response (default 0).",
         "Q", "0"},
        {"analyzer-offset", "The analyser's offset in ng/l (default 0).", "ng/l", "0"},
        {"analyzer-noise", "The standard deviation of the analyser's noise in ng/l (default 0).",
         "ng/l", "0"},
        {"analyzer-lag",
         "The time constant of the analyser's first-order response in seconds (default 0).",
         "seconds", "0"},
    });
    parser.process(application);
    if (!parser.positionalArguments().isEmpty())
        Refuse("takes no arguments: " + parser.positionalArguments().join(' '));

    TProgramOptions program;
    program.FaultLog = parser.value("fault-log");
    if (parser.isSet("fault-log") && program.FaultLog.isEmpty())
        Refuse("--fault-log takes a file name");
    sim::TKitOptions& options = program.Kit;
    options.Listen = parser.value("listen").toStdString();
    if (parser.isSet("listen") && regwire::PortKindOf(options.Listen) == regwire::pkSerial)
        Refuse("--listen takes tcp://HOST:PORT or mbtcp://HOST:PORT, not '" +
               parser.value("listen") + "'");
    options.ReservoirCapacity = static_cast<float>(Number(parser, "rf-capacity", 1e-6, 1e9));
    options.DilutionCapacity = static_cast<float>(Number(parser, "df-capacity", 1e-6, 1e9));
    options.Faults.NoReply = Number(parser, "no-reply", 0, 100);
    options.Faults.BadCrc = Number(parser, "bad-crc", 0, 100);
    options.Faults.WrongAddress = Number(parser, "wrong-address", 0, 100);
    options.Faults.Exception = Number(parser, "exception", 0, 100);
    if (!options.Faults.Valid())
        Refuse("the fault percentages add up to more than 100");
    const double rate = Number(parser, "bit-rate", 0, 4000000);
    if (rate != std::floor(rate))
        Refuse("--bit-rate takes a whole number");
    options.BitRate = static_cast<std::uint32_t>(rate);
    options.Seed = parser.isSet("seed")
                       ? static_cast<std::uint32_t>(Number(parser, "seed", 0, 4294967295.0))
                       : std::random_device{}();
    ReadAnalyzer(parser, options);
    return program;
}

// The fault log's file, opened before the kit answers anything; nullptr
// without --fault-log.
std::FILE* OpenFaultLog(const QString& path) {
    if (path.isEmpty())
        return nullptr;
    std::FILE* file = std::fopen(path.toLocal8Bit().constData(), "w");
    if (file == nullptr)
        Refuse(QString("cannot write the fault log '%1': %2").arg(path, std::strerror(errno)));
    // Written in large blocks, not a flush a request: the kit answers from
    // the thread that logs, and a slow disk must not make it late.
    std::setvbuf(file, nullptr, _IOFBF, kFaultLogBuffer);
    return file;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("vapcal-sim");
    const TProgramOptions options = ReadOptions(application);
    std::FILE* faultLog = OpenFaultLog(options.FaultLog);
    if (!platform::CatchStopSignals(QCoreApplication::quit)) {
        PrintLine(stderr, "vapcal-sim: no pipe for the stop signals");
        return 1;
    }

    sim::TSimKit kit(options.Kit);
    kit.OnWrite = [](const std::string& line) { PrintLine(stdout, line); };
    kit.OnRefusal = [](const std::string& line) { PrintLine(stderr, line); };
    if (faultLog != nullptr)
        kit.OnFault = [faultLog](const std::string& line) {
            std::fputs(line.c_str(), faultLog);
            std::fputc('\n', faultLog);
        };
    try {
        PrintLine(stdout, kit.Start());
    } catch (const std::exception& e) {
        PrintLine(stderr, std::string("vapcal-sim: ") + e.what());
        return 1;
    }
    QCoreApplication::exec();
    // A request still being served while the kit stops is not logged.
    kit.OnFault = nullptr;
    if (faultLog != nullptr)
        std::fclose(faultLog);
    return 0;
}
