#include "sim/kit.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "calc/calculator.h"
#include "calc/model.h"
#include "modbus/serialports.h"
#include "platform/posixserialdevice.h"
#include "sim/paceddevice.h"

namespace sim {

namespace {

// Time for the server's thread to start and find the line silent.
constexpr int kListenMargin = 100;
// How often the instruments' readings move.
constexpr int kStepMs = 100;
// The largest RTU frame, in characters.
constexpr std::uint32_t kLargestFrame = 256;
// Set points the instruments start with (counts and tenths of a degree).
constexpr std::uint16_t kReservoirSetPoint = 9600;
constexpr std::uint16_t kDilutionSetPoint = 16000;
constexpr std::uint16_t kStartTemperature = 400;
// Unit indices: (mln min-1) and (ln min-1).
constexpr std::uint16_t kReservoirUnit = 2;
constexpr std::uint16_t kDilutionUnit = 0;

[[noreturn]] void RaiseSystemError(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

TSimKit::TSimKit(const TKitOptions& options, QObject* owner)
    : QObject(owner), FOptions(options), FFaults(options.Faults, options.Seed) {
    FReservoirFlow = std::make_unique<TFlowController>(
        kReservoirFlowAddress, options.ReservoirCapacity, kReservoirUnit, kReservoirSetPoint,
        FFaults, options.Seed + 1);
    FDilutionFlow = std::make_unique<TFlowController>(kDilutionFlowAddress,
                                                      options.DilutionCapacity, kDilutionUnit,
                                                      kDilutionSetPoint, FFaults, options.Seed + 2);
    FTemperature =
        std::make_unique<TTemperatureController>(kTemperatureAddress, kStartTemperature, FFaults);
    if (options.AnalyzerAddress != 0)
        FAnalyzer = std::make_unique<TAnalyzer>(options.AnalyzerAddress, options.Analyzer, FFaults,
                                                options.Seed + 3);
    for (TSimInstrument* instrument : Instruments()) {
        instrument->OnWrite = [this](const std::string& line) {
            if (OnWrite)
                OnWrite(line);
        };
        instrument->OnRefusal = [this](const std::string& line) {
            if (OnRefusal)
                OnRefusal(line);
        };
        instrument->OnFault = [this](const std::string& line) {
            if (OnFault)
                OnFault(line);
        };
    }
    connect(&FClock, &QTimer::timeout, this, [this] { Step(); });
}

TSimKit::~TSimKit() {
    // The connection's thread ends before the instruments and the line go.
    FConnection.reset();
    if (FSlave >= 0)
        close(FSlave);
    if (FMaster >= 0)
        close(FMaster);
}

std::string TSimKit::Start() {
    if (FOptions.Listen.empty())
        OpenPseudoTerminal();
    OpenConnection();
    // A server starts by waiting for a silent line and drops what arrives
    // meanwhile; the path is given out only once requests are heard.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(kListenMargin + 2 * FConnection->SilentMs()));
    FElapsed.start();
    FClock.start(kStepMs);
    return FPath;
}

// The kit keeps the slave side open itself, so the line stays up while the
// console closes and reopens its port.
void TSimKit::OpenPseudoTerminal() {
    char name[256] = {};
    if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0)
        RaiseSystemError("no pseudo-terminal");
    fcntl(FMaster, F_SETFD, FD_CLOEXEC);
    fcntl(FSlave, F_SETFD, FD_CLOEXEC);
    termios mode{};
    if (tcgetattr(FSlave, &mode) == 0) {
        cfmakeraw(&mode);
        tcsetattr(FSlave, TCSANOW, &mode);
    }
    FPath = name;
}

void TSimKit::OpenConnection() {
    using namespace regwire;
    FConnection = std::make_unique<TModbusConnection>();
    TModbusConnection& line = *FConnection;
    line.SetConnectionMode(cmServer);
    line.SetTransmissionMode(tmRTU);
    // Like a real instrument: a request ends at its length, and the answer
    // follows after the standard's rest of 3.5 characters, whatever timing
    // the master keeps.
    line.SetFrameTiming(ftStandard);
    line.SetBaudRate(br9600);
    line.SetDataBits(db8);
    line.SetParity(psEven);
    line.SetStopBits(sb1);
    line.SetPort(FOptions.Listen.empty() ? FPath : FOptions.Listen);
    if (FOptions.BitRate > 0)
        line.SetSendTimeout(1000 + kLargestFrame * 11 * 1000 / FOptions.BitRate);
    const int master = FMaster;
    const std::uint32_t bitRate = FOptions.BitRate;
    // Behind a gateway the replies still leave at the kit's line speed.
    line.DeviceFactory = [this, master, bitRate](const TSerialPort& port) {
        std::unique_ptr<platform::TSerialDevice> device;
        if (master >= 0) {
            device = platform::TPosixSerialDevice::Hook(master);
        } else {
            device = OpenPort(port, cmServer);
            FPath = ListeningPortName(port, *device);
        }
        return std::make_unique<TPacedSerialDevice>(std::move(device), bitRate,
                                                    PortKindOf(port) == pkModbusTcp);
    };
    for (TSimInstrument* instrument : Instruments())
        instrument->SetConnection(&line);
    line.Open();
}

void TSimKit::Step() {
    const double seconds = static_cast<double>(FElapsed.restart()) / 1000.0;
    FReservoirFlow->Step(seconds);
    FDilutionFlow->Step(seconds);
    FTemperature->Step(seconds);
    if (FAnalyzer) {
        FAnalyzer->Deliver(Delivered());
        FAnalyzer->Step(seconds);
    }
}

std::vector<TSimInstrument*> TSimKit::Instruments() {
    std::vector<TSimInstrument*> all{FReservoirFlow.get(), FDilutionFlow.get(), FTemperature.get()};
    if (FAnalyzer)
        all.push_back(FAnalyzer.get());
    return all;
}

// What the kit's measured readings deliver, by the calculator's model at its
// default saturator conditions (the simulated kit keeps no others); NaN when
// they give none (no dilution flow).
double TSimKit::Delivered() const {
    const auto flow = [](const TFlowController& controller, float capacity) {
        return static_cast<long double>(controller.HoldingRegister(TFlowController::kMeasured)) /
               TFlowController::kFullScale * capacity;
    };
    const long double temp =
        static_cast<long double>(FTemperature->HoldingRegister(TTemperatureController::kMeasured)) /
        10;
    try {
        return static_cast<double>(calc::CalcDeliveredOutput(
            flow(*FReservoirFlow, FOptions.ReservoirCapacity),
            flow(*FDilutionFlow, FOptions.DilutionCapacity), calc::kDefaultPbar, calc::kDefaultDp,
            temp, calc::kDefaultRefTemp));
    } catch (const std::exception&) {
        return std::nan("");
    }
}

}  // namespace sim
