#include "run/kitline.h"

#include <QEventLoop>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "modbus/registerformat.h"

namespace run {

namespace {

// The instruments' addresses and registers, as the console reads and writes
// them: flows count 32000 for the capacity (a float in two registers, high
// half first), the temperature controller works in tenths of a degree and
// takes a set point only between its write handshakes.
constexpr std::uint8_t kReservoirAddress = 10;
constexpr std::uint8_t kDilutionAddress = 11;
constexpr std::uint8_t kTemperatureAddress = 20;
constexpr std::uint16_t kRegMeasuredFlow = 32;
constexpr std::uint16_t kRegFlowSetPoint = 33;
constexpr std::uint16_t kRegControlMode = 34;
constexpr std::uint16_t kRegCapacity = 33128;
constexpr std::uint16_t kControlModeValue = 400;
constexpr double kFullScaleCounts = 32000;
constexpr std::uint16_t kRegMeasuredTemp = 28;
constexpr std::uint16_t kRegTempSetPoint = 127;
constexpr std::uint16_t kRegTempUpperLimit = 148;
constexpr std::uint16_t kRegTempLowerLimit = 150;
constexpr std::uint16_t kRegWriteMode = 768;
constexpr std::uint16_t kRegEnterConfirm = 5376;
constexpr std::uint16_t kRegLeaveConfirm = 5632;
constexpr std::uint16_t kEnterWriteMode = 5;
constexpr std::uint16_t kLeaveWriteMode = 6;
// Each handshake step gives the controller this long before the next one.
constexpr int kHandshakeWaitMs = 500;
// How long the poll's queued reads may drain before the writes.
constexpr int kDrainMs = 1900;

// Which completions belong to the poll.
enum TUse : std::int32_t { usWaited = 0, usPoll = 1, usAnalyzer = 2 };

std::string Step(const char* what, std::uint16_t reg, std::uint16_t value, const char* outcome) {
    char text[200];
    std::snprintf(text, sizeof text, "%s (%u := %u) %s", what, reg, value, outcome);
    return text;
}

const char* OutcomeText(int outcome) {
    return outcome == 1 ? "refused" : "not answered";
}

void SetLine(regwire::TModbusConnection& line, const std::string& port) {
    line.SetCustomBaudRate(9600);
    line.SetDataBits(regwire::db8);
    line.SetParity(regwire::psEven);
    line.SetStopBits(regwire::sb1);
    line.SetTransmissionMode(regwire::tmRTU);
    line.SetPort(port);
}

}  // namespace

TKitLine::TKitLine(const std::string& port, const TAnalyzerPlan& analyzer, const TRunClock& clock)
    : FPort(port), FAnalyzerPlan(analyzer), FClock(clock), FMonitor(0, kPollMs) {
    SetLine(FLine, port);
    FReservoir = Client(kReservoirAddress, FLine);
    FDilution = Client(kDilutionAddress, FLine);
    FTemperature = Client(kTemperatureAddress, FLine);
    if (analyzer.Source == asModbus) {
        regwire::TModbusConnection* line = &FLine;
        if (analyzer.Port != "line") {
            FAnalyzerLine = std::make_unique<regwire::TModbusConnection>();
            SetLine(*FAnalyzerLine, analyzer.Port);
            line = FAnalyzerLine.get();
        }
        FAnalyzer = Client(static_cast<std::uint8_t>(analyzer.Address), *line);
    }
    FMonitor.Targets = [this] { return Targets ? Targets() : live::TKitTargets{}; };
    FMonitor.OnSample = [this](const live::TLiveSample& sample) {
        FSampled = true;
        if (OnSample)
            OnSample(sample, FAnalyzerReading);
    };
    FMonitor.OnPoll = [this] {
        if (!FSampled && OnLapse)
            OnLapse();
        FSampled = false;
    };
    FPoll.setInterval(kPollMs);
    connect(&FPoll, &QTimer::timeout, this, [this] { Poll(); });
}

TKitLine::~TKitLine() {
    FPoll.stop();
    FLine.CancelTransactions();
    if (FAnalyzerLine)
        FAnalyzerLine->CancelTransactions();
}

regwire::TModbusClient* TKitLine::Client(std::uint8_t address, regwire::TModbusConnection& line) {
    auto* client = new regwire::TModbusClient(this);
    client->SetServerAddress(address);
    client->SetConnection(&line);
    const auto read = [this](regwire::TModbusClient* sender, const regwire::TTransactionInfo& info,
                             std::uint16_t start, std::uint16_t,
                             const regwire::TRegValues& values) {
        Completed(sender, info, start, values);
    };
    client->OnHoldingRegistersRead = read;
    client->OnInputRegistersRead = read;
    client->OnSingleRegisterWrite = [this](regwire::TModbusClient* sender,
                                           const regwire::TTransactionInfo& info, std::uint16_t reg,
                                           std::uint16_t) { Completed(sender, info, reg, {}); };
    return client;
}

void TKitLine::Open() {
    try {
        FLine.Open();
        if (FAnalyzerLine)
            FAnalyzerLine->Open();
    } catch (const std::exception& e) {
        throw ELineError(e.what());
    }
}

// Control mode 400 before the set points are read back, as the console
// does after choosing a port.
TKitLimits TKitLine::ReadLimits(const TKitLimits& conditions) {
    TKitLimits limits = conditions;
    const auto need = [](const TDone& done, const char* what) {
        if (done.Status != regwire::tsSuccess || done.Values.empty())
            throw ELineError(std::string("the kit did not answer the read of ") + what);
    };
    const auto capacity = [&](regwire::TModbusClient* client, const char* what) {
        const TDone done = ReadNow(client, kRegCapacity, 2);
        need(done, what);
        if (done.Values.size() < 2)
            throw ELineError(std::string("the kit did not answer the read of ") + what);
        return std::bit_cast<float>(static_cast<std::uint32_t>(done.Values[0]) << 16 |
                                    done.Values[1]);
    };
    FReservoirCapacity = capacity(FReservoir, "the reservoir flow's capacity");
    FDilutionCapacity = capacity(FDilution, "the dilution flow's capacity");
    limits.ReservoirCapacity = FReservoirCapacity;
    limits.DilutionCapacity = FDilutionCapacity;
    const TDone upper = ReadNow(FTemperature, kRegTempUpperLimit, 1);
    need(upper, "the temperature's upper limit");
    const TDone lower = ReadNow(FTemperature, kRegTempLowerLimit, 1);
    need(lower, "the temperature's lower limit");
    // Whole degrees, ties to even, as the window shows the limits.
    limits.TempMax = std::nearbyint(upper.Values[0] / 10.0);
    limits.TempMin = std::nearbyint(lower.Values[0] / 10.0);
    WriteNow(FReservoir, kRegControlMode, kControlModeValue);
    WriteNow(FDilution, kRegControlMode, kControlModeValue);
    const auto flowSetPoint = [&](regwire::TModbusClient* client, float capacity) {
        const TDone done = ReadNow(client, kRegFlowSetPoint, 1);
        return done.Status == regwire::tsSuccess && !done.Values.empty()
                   ? std::round(done.Values[0] / kFullScaleCounts * capacity * 100) / 100
                   : std::nan("");
    };
    FKnownFlow = flowSetPoint(FReservoir, FReservoirCapacity);
    FKnownDilution = flowSetPoint(FDilution, FDilutionCapacity);
    const TDone temp = ReadNow(FTemperature, kRegTempSetPoint, 1);
    FKnownTemp = temp.Status == regwire::tsSuccess && !temp.Values.empty() ? temp.Values[0] / 10.0
                                                                           : std::nan("");
    return limits;
}

void TKitLine::Completed(regwire::TModbusClient* client, const regwire::TTransactionInfo& info,
                         std::uint16_t start, const regwire::TRegValues& values) {
    const bool ok = info.Status == regwire::tsSuccess && !values.empty();
    if (info.UserData == usPoll) {
        const qint64 ms = FClock.Ms();
        const QDateTime when = FClock.Local();
        if (client == FTemperature && start == kRegMeasuredTemp)
            FMonitor.Completed(live::inTemperature, ok, ok ? values[0] / 10.0 : 0, ms, when);
        else if (client == FReservoir && start == kRegMeasuredFlow)
            FMonitor.Completed(
                live::inReservoirFlow, ok,
                ok ? static_cast<float>(values[0] / kFullScaleCounts) * FReservoirCapacity : 0, ms,
                when);
        else if (client == FDilution && start == kRegMeasuredFlow)
            FMonitor.Completed(
                live::inDilutionFlow, ok,
                ok ? static_cast<float>(values[0] / kFullScaleCounts) * FDilutionCapacity : 0, ms,
                when);
        return;
    }
    if (info.UserData == usAnalyzer) {
        FAnalyzerReading.reset();
        if (info.Status == regwire::tsSuccess) {
            const double value = regwire::tool::RegisterNumber(values, FAnalyzerPlan.Format);
            if (std::isfinite(value))
                FAnalyzerReading = value * FAnalyzerPlan.Scale;
        }
        return;
    }
    FDone[info.TransactionID] = {info.Status, values};
    if (info.TransactionID == FWaitingFor && FWaitLoop != nullptr)
        FWaitLoop->quit();
}

// Every attempt's send and receive time-outs, and a second to spare.
int TKitLine::AnswerLimitMs() const {
    const long long attempts = static_cast<long long>(FLine.MaxRetries()) + 1;
    const long long perAttempt =
        static_cast<long long>(FLine.ReceiveTimeout()) + FLine.SendTimeout();
    return static_cast<int>(std::min(attempts * perAttempt + 1000, 60000LL));
}

std::optional<TKitLine::TDone> TKitLine::Wait(std::int32_t id) {
    if (!FDone.contains(id)) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        limit.start(AnswerLimitMs());
        FWaitingFor = id;
        FWaitLoop = &loop;
        loop.exec();
        FWaitLoop = nullptr;
        FWaitingFor = -1;
    }
    const auto found = FDone.find(id);
    if (found == FDone.end())
        return std::nullopt;
    TDone done = std::move(found->second);
    FDone.erase(found);
    return done;
}

TKitLine::TDone TKitLine::ReadNow(regwire::TModbusClient* client, std::uint16_t reg,
                                  std::uint16_t count) {
    return Wait(client->ReadHoldingRegisters(reg, count, usWaited)).value_or(TDone{});
}

TKitLine::TWriteOutcome TKitLine::WriteNow(regwire::TModbusClient* client, std::uint16_t reg,
                                           std::uint16_t value, int pacingMs) {
    const std::int32_t id = client->WriteSingleRegister(reg, value, usWaited);
    if (pacingMs > 0) {
        QEventLoop pause;
        QTimer::singleShot(pacingMs, &pause, &QEventLoop::quit);
        pause.exec();
    }
    const std::optional<TDone> done = Wait(id);
    if (!done)
        return woNotAnswered;
    if (done->Status == regwire::tsSuccess)
        return woConfirmed;
    return done->Status == regwire::tsException ? woRefused : woNotAnswered;
}

// Write mode is entered before the set point and left after it, each step
// confirmed; write mode is left whatever became of the set point itself.
std::string TKitLine::WriteTemperature(double temperature) {
    const long double tenths = std::nearbyint(static_cast<long double>(temperature) * 10);
    if (!(tenths >= 0 && tenths <= 65535))
        return "temperature set point out of the register's range";
    const auto raw = static_cast<std::uint16_t>(tenths);
    const struct {
        const char* What;
        std::uint16_t Reg;
        std::uint16_t Value;
    } enter[] = {{"temperature: entering write mode", kRegWriteMode, kEnterWriteMode},
                 {"temperature: confirming write mode", kRegEnterConfirm, 0}},
      leave[] = {{"temperature: leaving write mode", kRegWriteMode, kLeaveWriteMode},
                 {"temperature: confirming the leaving", kRegLeaveConfirm, 0}};
    for (const auto& step : enter) {
        const TWriteOutcome outcome =
            WriteNow(FTemperature, step.Reg, step.Value, kHandshakeWaitMs);
        if (outcome != woConfirmed)
            return Step(step.What, step.Reg, step.Value, OutcomeText(outcome));
    }
    const TWriteOutcome written = WriteNow(FTemperature, kRegTempSetPoint, raw);
    std::string failed;
    if (written != woConfirmed)
        failed = Step("temperature set point", kRegTempSetPoint, raw, OutcomeText(written));
    for (const auto& step : leave) {
        const TWriteOutcome outcome =
            WriteNow(FTemperature, step.Reg, step.Value, kHandshakeWaitMs);
        if (outcome != woConfirmed)
            return failed.empty() ? Step(step.What, step.Reg, step.Value, OutcomeText(outcome))
                                  : failed;
    }
    if (failed.empty())
        FKnownTemp = temperature;
    return failed;
}

std::string TKitLine::WriteFlow(regwire::TModbusClient* client, const char* name, double flow,
                                float capacity, double& known) {
    if (!(capacity > 0))
        return std::string(name) + " set point: the controller's capacity is unknown";
    const double counts = std::trunc(flow * (kFullScaleCounts / capacity));
    if (!(counts >= 0 && counts <= kFullScaleCounts))
        return std::string(name) + " set point above the controller's capacity";
    const auto raw = static_cast<std::uint16_t>(counts);
    const TWriteOutcome outcome = WriteNow(client, kRegFlowSetPoint, raw);
    if (outcome != woConfirmed) {
        known = std::nan("");
        return Step((std::string(name) + " set point").c_str(), kRegFlowSetPoint, raw,
                    OutcomeText(outcome));
    }
    known = flow;
    return {};
}

// Stops the poll and gives the reads already queued a bounded time to be
// answered, so the writes do not queue behind a silent instrument's reads.
void TKitLine::Halt() {
    FPoll.stop();
    QElapsedTimer waited;
    waited.start();
    while (FLine.PendingTransactions() > 0 && waited.elapsed() < kDrainMs) {
        QEventLoop pause;
        QTimer::singleShot(20, &pause, &QEventLoop::quit);
        pause.exec();
    }
    FLine.CancelTransactions();
}

// Only the set points that differ from what the instruments are known to
// hold are written, as Apply does.
void TKitLine::Apply(const TSetPoints& setPoints, std::function<void(const TApplyResult&)> done) {
    Halt();
    std::string failed;
    const auto held = [](double a, double b) { return std::fabs(a - b) < 0.005; };
    if (!held(setPoints.Temperature, FKnownTemp))
        failed = WriteTemperature(setPoints.Temperature);
    if (failed.empty() && !held(setPoints.ReservoirFlow, FKnownFlow))
        failed = WriteFlow(FReservoir, "reservoir flow", setPoints.ReservoirFlow,
                           FReservoirCapacity, FKnownFlow);
    if (failed.empty() && !held(setPoints.DilutionFlow, FKnownDilution))
        failed = WriteFlow(FDilution, "dilution flow", setPoints.DilutionFlow, FDilutionCapacity,
                           FKnownDilution);
    StartPolling();
    done({failed.empty(), failed});
}

void TKitLine::StartPolling() {
    if (!FPoll.isActive())
        FPoll.start();
}

void TKitLine::StopPolling() {
    FPoll.stop();
}

// The analyser is read first, so its reading of the cycle is in when the
// kit's three readings complete the poll. A read is queued only when none
// of the instrument's is still waiting, as the window's poll does.
void TKitLine::Poll() {
    if (FAnalyzer != nullptr && FAnalyzer->Connection()->PendingTransactions(FAnalyzer) == 0) {
        FAnalyzerReading.reset();
        const auto reg = static_cast<std::uint16_t>(FAnalyzerPlan.Register);
        const std::uint16_t count = regwire::tool::TakesPairs(FAnalyzerPlan.Format) ? 2 : 1;
        if (FAnalyzerPlan.Function == 3)
            FAnalyzer->ReadHoldingRegisters(reg, count, usAnalyzer);
        else
            FAnalyzer->ReadInputRegisters(reg, count, usAnalyzer);
    }
    const auto poll = [this](regwire::TModbusClient* client, std::uint16_t reg) {
        if (FLine.PendingTransactions(client) == 0)
            client->ReadHoldingRegisters(reg, 1, usPoll);
    };
    poll(FReservoir, kRegMeasuredFlow);
    poll(FDilution, kRegMeasuredFlow);
    poll(FTemperature, kRegMeasuredTemp);
}

}  // namespace run
