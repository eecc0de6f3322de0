#include "run/analyzerreader.h"

#include <cmath>

#include "kit/kit.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "modbus/registerformat.h"

namespace run {

namespace {

bool OnKitLine(const TAnalyzerPlan& plan) {
    return plan.Source == asModbus && plan.Port == "line";
}

}  // namespace

TAnalyzerReader::TAnalyzerReader(const TAnalyzerPlan& plan, kit::TKit& kit)
    : FPlan(plan), FKit(kit) {
    if (FPlan.Source != asModbus)
        return;
    if (OnKitLine(FPlan)) {
        FKit.SetExtraReads(
            {{static_cast<std::uint8_t>(FPlan.Address), static_cast<std::uint8_t>(FPlan.Function),
              static_cast<std::uint16_t>(FPlan.Register), Count()}});
        return;
    }
    FLine = std::make_unique<regwire::TModbusConnection>();
    FLine->SetCustomBaudRate(kit::kLineBitRate);
    FLine->SetDataBits(regwire::db8);
    FLine->SetParity(regwire::psEven);
    FLine->SetStopBits(regwire::sb1);
    FLine->SetTransmissionMode(regwire::tmRTU);
    FLine->SetPort(FPlan.Port);
    FClient = std::make_unique<regwire::TModbusClient>();
    FClient->SetServerAddress(static_cast<std::uint8_t>(FPlan.Address));
    FClient->SetConnection(FLine.get());
    const auto read = [this](regwire::TModbusClient*, const regwire::TTransactionInfo& info,
                             std::uint16_t, std::uint16_t,
                             const regwire::TRegValues& values) { Answered(info, values); };
    FClient->OnHoldingRegistersRead = read;
    FClient->OnInputRegistersRead = read;
    FLine->Open();
}

TAnalyzerReader::~TAnalyzerReader() {
    if (OnKitLine(FPlan))
        FKit.SetExtraReads({});
    if (FLine)
        FLine->CancelTransactions();
    FClient.reset();
}

void TAnalyzerReader::Cycle(const kit::TPollCycle& cycle) {
    if (!FClient) {
        FReading.reset();
        FAnswered.reset();
        for (const kit::TExtraReply& extra : cycle.Extra) {
            if (!extra.Sent || !extra.Completed)
                continue;
            FAnswered = extra.Status == regwire::tsSuccess;
            if (*FAnswered)
                FReading = Number(extra.Registers);
        }
        return;
    }
    FAnswered = FAnsweredSince;
    FAnsweredSince.reset();
    if (FLine->PendingTransactions(FClient.get()) != 0)
        return;
    const auto reg = static_cast<std::uint16_t>(FPlan.Register);
    if (FPlan.Function == 3)
        FClient->ReadHoldingRegisters(reg, Count(), 0);
    else
        FClient->ReadInputRegisters(reg, Count(), 0);
}

void TAnalyzerReader::Answered(const regwire::TTransactionInfo& info,
                               const std::vector<std::uint16_t>& values) {
    FReading.reset();
    FAnsweredSince = info.Status == regwire::tsSuccess;
    if (info.Status == regwire::tsSuccess)
        FReading = Number(values);
}

std::optional<double> TAnalyzerReader::Number(const std::vector<std::uint16_t>& registers) const {
    const double value = regwire::tool::RegisterNumber(registers, FPlan.Format);
    if (!std::isfinite(value))
        return std::nullopt;
    return value * FPlan.Scale;
}

std::uint16_t TAnalyzerReader::Count() const {
    return static_cast<std::uint16_t>(regwire::tool::TakesPairs(FPlan.Format) ? 2 : 1);
}

}  // namespace run
