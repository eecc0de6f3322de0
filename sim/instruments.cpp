#include "sim/instruments.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace sim {

namespace {

// The exception a busy instrument answers with.
constexpr std::uint8_t kServerBusy = 6;
// Every register number is an address of the tables.
constexpr int kTableSize = 65536;
// Measurement noise of a flow reading, in counts either way (0.025 % of the
// capacity).
constexpr int kFlowNoise = 8;

std::string WriteLine(std::uint8_t server, std::uint16_t address, std::uint16_t value) {
    return "server " + std::to_string(server) + ": register " + std::to_string(address) +
           " := " + std::to_string(value);
}

}  // namespace

// --- TSimInstrument ---

TSimInstrument::TSimInstrument(std::uint8_t address, TLineFaults& faults, QObject* owner)
    : TMemoryModbusServer(kTableSize, owner), FFaults(faults) {
    SetServerAddress(address);
}

void TSimInstrument::Define(std::initializer_list<std::uint16_t> readable,
                            std::initializer_list<std::uint16_t> writable) {
    FReadable.insert(readable);
    FReadable.insert(writable);
    FWritable.insert(writable);
}

void TSimInstrument::HandleRequest(regwire::TModbusTransaction& transaction) {
    const TLineFault fault = FFaults.Draw();
    ReportFault(transaction, fault);
    switch (fault) {
        case lfNoReply:
            return;
        case lfException:
            if (transaction.Info.ServerAddress != 0)
                ExceptionReply(transaction.Reply, transaction.Request.Memory()[1], kServerBusy);
            return;
        case lfBadCrc:
            TMemoryModbusServer::HandleRequest(transaction);
            SpoilChecksum(transaction.Reply);
            return;
        case lfWrongAddress:
            TMemoryModbusServer::HandleRequest(transaction);
            ReplyFromAnotherAddress(transaction.Reply);
            return;
        case lfNone:
            TMemoryModbusServer::HandleRequest(transaction);
            return;
    }
}

void TSimInstrument::ReportFault(const regwire::TModbusTransaction& transaction,
                                 TLineFault fault) const {
    if (!OnFault)
        return;
    static constexpr char kDigits[] = "0123456789abcdef";
    const regwire::TModbusBuffer& request = transaction.Request;
    std::string line = std::to_string(FFaults.Drawn()) + ' ' + std::to_string(ServerAddress()) +
                       ' ' + std::to_string(request.Size() > 1 ? request.Memory()[1] : 0) + ' ' +
                       FaultName(fault) + ' ';
    for (int i = 0; i < request.Size(); ++i) {
        line += kDigits[request.Memory()[i] >> 4];
        line += kDigits[request.Memory()[i] & 0xF];
    }
    OnFault(line);
}

void TSimInstrument::SpoilChecksum(regwire::TModbusBuffer& reply) const {
    if (reply.Size() > 0)
        reply.Memory()[reply.Size() - 1] ^= 0xFF;
}

// The neighbouring address, as if another instrument had talked over this one.
void TSimInstrument::ReplyFromAnotherAddress(regwire::TModbusBuffer& reply) const {
    const int n = reply.Size();
    if (n < 3)
        return;
    reply.SetSize(n - 2);
    reply.SetPosition(n - 2);
    reply.Memory()[0] = static_cast<std::uint8_t>(ServerAddress() % 247 + 1);
    Connection()->AddChecksum(reply);
}

bool TSimInstrument::AcceptsFunction(std::uint8_t function) {
    return function == 3 || function == 6 || function == 16;
}

bool TSimInstrument::IsHoldingRegisterValid(std::uint16_t address) {
    return FReadable.count(address) != 0;
}

regwire::TWriteCheck TSimInstrument::CheckHoldingRegisterWrite(std::uint16_t address,
                                                               std::uint16_t value) {
    if (FWritable.count(address) == 0) {
        Report(OnRefusal, WriteLine(ServerAddress(), address, value) + " refused: not writable");
        return regwire::wcIllegalAddress;
    }
    const std::string reason = Refusal(address, value);
    if (!reason.empty()) {
        Report(OnRefusal, WriteLine(ServerAddress(), address, value) + " refused: " + reason);
        return regwire::wcIllegalValue;
    }
    return regwire::wcAccept;
}

void TSimInstrument::SetHoldingRegister(std::uint16_t address, std::uint16_t value) {
    PutHoldingRegister(address, value);
    Report(OnWrite, WriteLine(ServerAddress(), address, value));
    Written(address, value);
}

void TSimInstrument::Report(const TWriteLog& log, const std::string& line) const {
    if (log)
        log(line);
}

// --- TFlowController ---

TFlowController::TFlowController(std::uint8_t address, float capacity, std::uint16_t unitIndex,
                                 std::uint16_t setPoint, TLineFaults& faults, std::uint32_t seed,
                                 QObject* owner)
    : TSimInstrument(address, faults, owner), FMeasured(setPoint), FNoise(seed) {
    Define({kMeasured, kUnitIndex, kCapacityHigh, kCapacityLow}, {kSetPoint, kControlMode});
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(capacity);
    PutHoldingRegister(kCapacityHigh, static_cast<std::uint16_t>(bits >> 16));
    PutHoldingRegister(kCapacityLow, static_cast<std::uint16_t>(bits & 0xFFFF));
    PutHoldingRegister(kUnitIndex, unitIndex);
    PutHoldingRegister(kSetPoint, setPoint);
    PutHoldingRegister(kMeasured, setPoint);
}

void TFlowController::Step(double seconds) {
    const double target = HoldingRegister(kSetPoint);
    FMeasured += (target - FMeasured) * (1 - std::exp(-seconds / kTimeConstant));
    const int noise = std::uniform_int_distribution<int>(-kFlowNoise, kFlowNoise)(FNoise);
    const long reading = std::lround(FMeasured) + noise;
    PutHoldingRegister(kMeasured, static_cast<std::uint16_t>(std::clamp(reading, 0L, 65535L)));
}

std::string TFlowController::Refusal(std::uint16_t address, std::uint16_t value) {
    if (address == kSetPoint && value > kFullScale)
        return "above the capacity (32000)";
    return {};
}

// --- TTemperatureController ---

TTemperatureController::TTemperatureController(std::uint8_t address, std::uint16_t temperature,
                                               TLineFaults& faults, QObject* owner)
    : TSimInstrument(address, faults, owner), FMeasured(temperature) {
    Define({kMeasured, kUpperLimit, kLowerLimit},
           {kSetPoint, kWriteMode, kEnterConfirm, kLeaveConfirm});
    PutHoldingRegister(kMeasured, temperature);
    PutHoldingRegister(kSetPoint, temperature);
    PutHoldingRegister(kUpperLimit, 600);
    PutHoldingRegister(kLowerLimit, 300);
}

void TTemperatureController::Step(double seconds) {
    const double target = HoldingRegister(kSetPoint);
    const double step = kRate * seconds;
    if (std::abs(target - FMeasured) <= step)
        FMeasured = target;
    else
        FMeasured += target > FMeasured ? step : -step;
    PutHoldingRegister(kMeasured, static_cast<std::uint16_t>(std::lround(FMeasured)));
}

std::string TTemperatureController::Refusal(std::uint16_t address, std::uint16_t value) {
    if (address == kWriteMode && value != kEnterRequest && value != kLeaveRequest)
        return "the write mode register takes 5 or 6";
    if (address != kSetPoint)
        return {};
    if (FHandshake != hsWriteMode)
        return "not in write mode";
    if (value < HoldingRegister(kLowerLimit) || value > HoldingRegister(kUpperLimit))
        return "outside the set-point limits";
    return {};
}

void TTemperatureController::Written(std::uint16_t address, std::uint16_t value) {
    switch (address) {
        case kWriteMode:
            FHandshake = value == kEnterRequest ? hsEntering : hsLeaving;
            break;
        case kEnterConfirm:
            if (FHandshake == hsEntering && value == 0)
                FHandshake = hsWriteMode;
            break;
        case kLeaveConfirm:
            if (FHandshake == hsLeaving && value == 0)
                FHandshake = hsLocked;
            break;
        default:
            break;
    }
}

// --- TAnalyzer ---

TAnalyzer::TAnalyzer(std::uint8_t address, const TAnalyzerResponse& response, TLineFaults& faults,
                     std::uint32_t seed, QObject* owner)
    : TSimInstrument(address, faults, owner),
      FResponse(response),
      FDelivered(std::nan("")),
      FFollowed(0),
      FNoise(seed) {
    Show(0);
}

// Until the kit's readings give a concentration the analyser reads its
// offset; from the first one on, the lag starts from that concentration, as
// an analyser switched on beside a running kit would.
void TAnalyzer::Step(double seconds) {
    if (!std::isnan(FDelivered)) {
        if (!FStarted || FResponse.LagSeconds <= 0)
            FFollowed = FDelivered;
        else
            FFollowed += (FDelivered - FFollowed) * (1 - std::exp(-seconds / FResponse.LagSeconds));
        FStarted = true;
    }
    double reading =
        FResponse.Gain * FFollowed + FResponse.Curve * FFollowed * FFollowed + FResponse.Offset;
    if (FResponse.NoiseSD > 0)
        reading += std::normal_distribution<double>(0, FResponse.NoiseSD)(FNoise);
    Show(static_cast<float>(reading));
}

void TAnalyzer::Show(float reading) {
    FReading = reading;
    const auto bits = std::bit_cast<std::uint32_t>(reading);
    PutInputRegister(kReading, static_cast<std::uint16_t>(bits >> 16));
    PutInputRegister(kReading + 1, static_cast<std::uint16_t>(bits & 0xFFFF));
}

bool TAnalyzer::AcceptsFunction(std::uint8_t function) {
    return function == 4;
}

bool TAnalyzer::IsInputRegisterValid(std::uint16_t address) {
    return address == kReading || address == kReading + 1;
}

}  // namespace sim
