#include "kit/kit.h"

#include <poll.h>
#include <unistd.h>

#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include "kit/messages.h"
#include "kit/registers.h"
#include "kit/threadedtimer.h"
#include "live/readings.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "modbus/errors.h"
#include "modbus/serialports.h"
#include "platform/delay.h"
#include "platform/filltext.h"
#include "platform/numtext.h"
#include "platform/posixserialdevice.h"
#include "platform/serialdevice.h"

namespace kit {

namespace {

// How often a step that waits for its answer looks again.
constexpr int kAnswerLookMs = 20;
// How often a Refresh looks for its replies.
constexpr int kRefreshLookMs = 5;
// How often a vanished port is looked for; an adapter plugged in again
// takes the kernel a moment to name anyway.
constexpr int kPortLookMs = 250;

// One request of the settings' reads, on instrument 0 (reservoir flow),
// 1 (dilution flow) or 2 (temperature): a read of Count registers, or a
// write of Value.
struct TSettingRequest {
    int Instrument;
    bool Write;
    std::uint16_t Reg;
    std::uint16_t CountOrValue;
};

// Capacities before units, so that a unit caption is built with the new
// capacity; the control mode before the set point is read back. The
// instruments take a read right after a write's reply: the line's order is
// all the control mode needs.
constexpr TSettingRequest kSettingRequests[] = {
    {0, false, kRegCapacity, 2},
    {0, false, kRegCapacityUnit, 1},
    {1, false, kRegCapacity, 2},
    {1, false, kRegCapacityUnit, 1},
    {2, false, kRegTempUpperLimit, 1},
    {2, false, kRegTempLowerLimit, 1},
    {0, true, kRegControlMode, kControlModeValue},
    {0, false, kRegFlowSetPoint, 1},
    {1, true, kRegControlMode, kControlModeValue},
    {1, false, kRegFlowSetPoint, 1},
    {2, false, kRegTempSetPoint, 1},
};
constexpr std::size_t kSettingRequestCount = std::size(kSettingRequests);

std::string ReadFailureText(const char* pattern, const TExtraRead& read, int value) {
    char text[200];
    std::snprintf(text, sizeof text, pattern, value, read.Address, read.Register);
    return text;
}

live::TInstrument InstrumentOfTag(int tag) {
    return tag == itReservoirFlow  ? live::inReservoirFlow
           : tag == itDilutionFlow ? live::inDilutionFlow
                                   : live::inTemperature;
}

const char* StepText(TApplyStep step) {
    switch (step) {
        case asEnterWriteMode:
            return kStepEnterWriteMode;
        case asEnterConfirm:
            return kStepEnterConfirm;
        case asLeaveWriteMode:
            return kStepLeaveWriteMode;
        case asLeaveConfirm:
            return kStepLeaveConfirm;
        default:
            return "";
    }
}

}  // namespace

bool TApplyResult::OnlyUnanswered() const {
    return !Failures.empty() &&
           std::all_of(Failures.begin(), Failures.end(), [](const TStepFailure& f) {
               return f.Outcome == woNotAnswered && f.Step != asPort;
           });
}

std::string FailureText(const TStepFailure& failure) {
    const char* how = failure.Outcome == woRefused ? kStepRefused : kStepNotAnswered;
    switch (failure.Step) {
        case asReservoirFlow:
            return platform::FillText(kFlowSetPointLost,
                                      {live::InstrumentName(live::inReservoirFlow)});
        case asDilutionFlow:
            return platform::FillText(kFlowSetPointLost,
                                      {live::InstrumentName(live::inDilutionFlow)});
        case asTempSetPoint:
            return platform::FillText(kTempSetPointFailed,
                                      {how, failure.SetPoint, std::to_string(failure.Raw)});
        case asPort:
            return platform::FillText(kSetPointsNotSent, {failure.Port});
        default:
            return platform::FillText(kTempHandshakeFailed,
                                      {how, StepText(failure.Step), failure.SetPoint});
    }
}

TKit::TKit(QObject* owner) : QObject(owner) {
    Connection = new regwire::TModbusConnection(this);
    Connection->SetCustomBaudRate(kLineBitRate);
    Connection->SetDataBits(regwire::db8);
    Connection->SetParity(regwire::psEven);
    Connection->SetStopBits(regwire::sb1);
    Connection->SetTransmissionMode(regwire::tmRTU);
    // The serial port's descriptor is kept, so that a vanished adapter is
    // seen by its hang-up rather than as an instrument that went silent.
    Connection->DeviceFactory = [this](const std::string& port) {
        FPortBusy = false;
        std::unique_ptr<platform::TSerialDevice> device;
        try {
            device = regwire::OpenPort(port, regwire::cmClient);
        } catch (const platform::ESerialError& e) {
            FPortBusy = e.Kind() == platform::sePortBusy;
            throw;
        }
        const auto* posix = dynamic_cast<platform::TPosixSerialDevice*>(device.get());
        FFd = posix != nullptr ? posix->Handle() : -1;
        return device;
    };

    const auto client = [this](int tag, std::uint8_t address) {
        auto* c = new regwire::TModbusClient(this);
        c->Tag = tag;
        c->SetServerAddress(address);
        c->SetConnection(Connection);
        c->OnHoldingRegistersRead =
            [this](regwire::TModbusClient* sender, const regwire::TTransactionInfo& info,
                   std::uint16_t start, std::uint16_t, const regwire::TRegValues& values) {
                RegistersRead(sender, info, start, values);
            };
        c->OnSingleRegisterWrite = [this](regwire::TModbusClient* sender,
                                          const regwire::TTransactionInfo& info, std::uint16_t reg,
                                          std::uint16_t) { RegisterWritten(sender, info, reg); };
        return c;
    };
    ReservoirFlow = client(itReservoirFlow, kReservoirFlowServer);
    DilutionFlow = client(itDilutionFlow, kDilutionFlowServer);
    Temperature = client(itTemperature, kTemperatureServer);

    PollTimer = new TThreadedTimer(this);
    PollTimer->SetInterval(kPollIntervalMs);
    PollTimer->OnTimer = [this](TThreadedTimer*) { PollTick(); };
    PollTimer->OnTimerError = [this](TThreadedTimer*, const std::string& why) {
        if (OnPollStopped)
            OnPollStopped(why);
    };

    FPortLook = new QTimer(this);
    FPortLook->setInterval(kPortLookMs);
    connect(FPortLook, &QTimer::timeout, this, [this] { LookForPort(); });
}

TKit::~TKit() {
    FPortLook->stop();
    delete PollTimer;
    delete Connection;
    delete ReservoirFlow;
    delete DilutionFlow;
    delete Temperature;
    for (regwire::TModbusClient* extra : FExtraClients)
        delete extra;
}

// --- The line ---

void TKit::Open(const std::string& port) {
    if (PortGone())
        Close();
    const bool wasOpen = Active();
    const std::string previous = Port();
    if (wasOpen && port == previous)
        return;
    if (wasOpen)
        Close();
    try {
        OpenDevice(port);
    } catch (...) {
        // The error that sent the caller back is the one raised; a previous
        // port that has gone meanwhile only leaves the line closed.
        if (wasOpen) {
            try {
                OpenDevice(previous);
            } catch (const std::exception&) {
            }
        }
        throw;
    }
}

// The library says only that the port did not open; a port another
// program holds is said as such, for the operator to close that program.
void TKit::OpenDevice(const std::string& port) {
    Connection->SetPort(port);
    try {
        Connection->Open();
    } catch (const regwire::ERegwireError&) {
        if (!FPortBusy)
            throw;
        FPortBusy = false;
        throw regwire::ERegwireError(platform::FillText(kPortInUse, {port}));
    }
    FLastingName = regwire::PortKindOf(port) == regwire::pkSerial ? LastingName(port) : "";
}

void TKit::Close() {
    FPortLook->stop();
    FGonePort.clear();
    PollTimer->SetEnabled(false);
    Connection->CancelTransactions();
    Connection->Close();
    FFd = -1;
    Forget();
}

bool TKit::Active() const {
    return Connection->Active();
}

const std::string& TKit::Port() const {
    return Connection->Port();
}

// --- The poll ---

// The first poll does not wait out a whole period: a run's readings and
// the window's panels come as soon as the line can carry them.
void TKit::StartPolling() {
    const bool first = !PollTimer->Enabled();
    PollTimer->SetEnabled(true);
    if (first)
        PollTick();
}

void TKit::StopPolling() {
    PollTimer->SetEnabled(false);
}

bool TKit::Polling() const {
    return PollTimer->Enabled() && Connection->Active();
}

// A read is queued for an instrument only when none of its requests is still
// waiting in the queue: a silent instrument answers each read only with its
// time-out, which takes longer than the poll's period, and the queue would
// otherwise grow for as long as the instrument stays away.
void TKit::PollTick() {
    if (!Connection->Active())
        return;
    if (DeviceGone()) {
        QTimer::singleShot(0, this, [this] { CheckPort(); });
        return;
    }
    // A cycle still open (a read outstanding from a silent instrument) is
    // delivered as it stands, from the event loop: callbacks never run
    // inside the tick.
    if (FCycleOpen) {
        FCycleOpen = false;
        QTimer::singleShot(0, this, [this, cycle = FCycle] {
            if (OnPoll)
                OnPoll(cycle);
        });
    }
    FCycle = TPollCycle{};
    FCyclePending.clear();
    const auto poll = [this](regwire::TModbusClient* client, std::uint16_t reg,
                             live::TInstrument instrument) {
        if (Connection->PendingTransactions(client) != 0)
            return;
        FCyclePending[client->ReadHoldingRegisters(reg, 1, 0)] = instrument;
        FCycle.Readings[instrument].Sent = true;
    };
    poll(ReservoirFlow, kRegMeasuredFlow, live::inReservoirFlow);
    poll(DilutionFlow, kRegMeasuredFlow, live::inDilutionFlow);
    poll(Temperature, kRegMeasuredTemp, live::inTemperature);
    FCycle.Extra.resize(FExtraReads.size());
    for (std::size_t i = 0; i < FExtraReads.size(); ++i) {
        const TExtraRead& read = FExtraReads[i];
        FCycle.Extra[i].Read = read;
        regwire::TModbusClient* client = FExtraClients[i];
        if (FExtraOut[i])
            continue;
        const std::int32_t id = read.Function == 3
                                    ? client->ReadHoldingRegisters(read.Register, read.Count, 0)
                                    : client->ReadInputRegisters(read.Register, read.Count, 0);
        FExtraOut[i] = true;
        FCyclePending[id] = live::kInstrumentCount + i;
        FCycle.Extra[i].Sent = true;
    }
    FCycleOpen = !FCyclePending.empty();
}

void TKit::SetExtraReads(const std::vector<TExtraRead>& reads) {
    for (const TExtraRead& read : reads) {
        if (read.Function != 3 && read.Function != 4)
            throw std::invalid_argument(ReadFailureText(kExtraReadFunction, read, read.Function));
        if (read.Count < 1 || read.Count > regwire::TModbusClient::MaxReadRegisters)
            throw std::invalid_argument(ReadFailureText(kExtraReadCount, read, read.Count));
    }
    for (regwire::TModbusClient* extra : FExtraClients)
        delete extra;
    FExtraClients.clear();
    FExtraReads = reads;
    FExtraOut.assign(reads.size(), false);
    for (std::size_t i = 0; i < reads.size(); ++i) {
        auto* c = new regwire::TModbusClient(this);
        c->SetServerAddress(reads[i].Address);
        c->SetConnection(Connection);
        c->SetReceiveTimeout(kExtraReadTimeoutMs);
        const auto done = [this, i](regwire::TModbusClient*, const regwire::TTransactionInfo& info,
                                    std::uint16_t, std::uint16_t,
                                    const regwire::TRegValues& values) {
            ExtraRead(i, info, values);
        };
        (reads[i].Function == 3 ? c->OnHoldingRegistersRead : c->OnInputRegistersRead) = done;
        FExtraClients.push_back(c);
    }
    FCycleOpen = false;
    FCyclePending.clear();
}

// --- Completions ---

void TKit::RegistersRead(regwire::TModbusClient* sender, const regwire::TTransactionInfo& info,
                         std::uint16_t startReg, const std::vector<std::uint16_t>& values) {
    const int tag = sender != nullptr ? sender->Tag : 0;
    if (tag < itReservoirFlow || tag > itTemperature)
        return;
    NoteAnswer(info);
    TReadDone read;
    read.Instrument = InstrumentOfTag(tag);
    read.StartReg = startReg;
    read.Status = info.Status;
    read.Values = &values;
    read.Measured =
        tag == itTemperature ? startReg == kRegMeasuredTemp : startReg == kRegMeasuredFlow;
    const bool ok = info.Status == regwire::tsSuccess && !values.empty();
    if (read.Measured && ok)
        read.Value = tag == itTemperature     ? values[0] / 10.0
                     : tag == itReservoirFlow ? FlowFromRaw(values[0], RFCapacity)
                                              : FlowFromRaw(values[0], DFCapacity);
    else if (ok)
        DecodeSetting(read.Instrument, startReg, values);
    if (info.Status == regwire::tsNoReply && FFd >= 0)
        QTimer::singleShot(0, this, [this] { CheckPort(); });
    if (OnRead)
        OnRead(read);
    if (!read.Measured)
        return;
    const auto slot = FCyclePending.find(info.TransactionID);
    if (slot == FCyclePending.end() || slot->second != static_cast<std::size_t>(read.Instrument))
        return;
    TPollCycle::TMeasuredRead& r = FCycle.Readings[read.Instrument];
    r.Completed = true;
    r.Status = info.Status;
    r.Value = read.Value;
    CycleCompleted(info.TransactionID);
}

void TKit::DecodeSetting(live::TInstrument instrument, std::uint16_t startReg,
                         const std::vector<std::uint16_t>& values) {
    const bool reservoir = instrument == live::inReservoirFlow;
    const std::uint16_t v = values[0];
    if (instrument == live::inTemperature) {
        if (startReg == kRegTempSetPoint)
            LastTempSP = TempSetPointFromRaw(v);
        else if (startReg == kRegTempUpperLimit)
            TempUpperLimit = TempLimitFromRaw(v);
        else if (startReg == kRegTempLowerLimit)
            TempLowerLimit = TempLimitFromRaw(v);
        return;
    }
    if (startReg == kRegFlowSetPoint)
        (reservoir ? LastFlowSP : LastDilutionFlowSP) =
            FlowSetPointFromRaw(v, reservoir ? RFCapacity : DFCapacity);
    else if (startReg == kRegCapacity && values.size() >= 2)
        (reservoir ? RFCapacity : DFCapacity) = CapacityFromRegisters(values[0], values[1]);
}

void TKit::ExtraRead(std::size_t index, const regwire::TTransactionInfo& info,
                     const std::vector<std::uint16_t>& values) {
    if (index < FExtraOut.size())
        FExtraOut[index] = false;
    const auto slot = FCyclePending.find(info.TransactionID);
    if (slot == FCyclePending.end() || slot->second != live::kInstrumentCount + index)
        return;
    TExtraReply& reply = FCycle.Extra[index];
    reply.Completed = true;
    reply.Status = info.Status;
    if (info.Status == regwire::tsSuccess)
        reply.Registers = values;
    CycleCompleted(info.TransactionID);
}

void TKit::CycleCompleted(std::int32_t id) {
    FCyclePending.erase(id);
    if (FCyclePending.empty() && FCycleOpen)
        DeliverCycle();
}

void TKit::DeliverCycle() {
    FCycleOpen = false;
    FCyclePending.clear();
    if (OnPoll)
        OnPoll(FCycle);
}

void TKit::Forget() {
    FCycleOpen = false;
    FCyclePending.clear();
    FExtraOut.assign(FExtraOut.size(), false);
}

void TKit::RegisterWritten(regwire::TModbusClient* sender, const regwire::TTransactionInfo& info,
                           std::uint16_t reg) {
    FWrites[info.TransactionID] = {info.Status, info.Attempts};
    NoteAnswer(info);
    if (info.Status != regwire::tsSuccess || sender != Temperature)
        return;
    if (reg == kRegWriteMode || reg == kRegEnterConfirm || reg == kRegLeaveConfirm)
        WriteAcknowledged = true;
}

// --- Settings ---

// The settings' requests queued at once; their replies come in with the
// poll's.
void TKit::ReadSettings() {
    for (const TSettingRequest& r : kSettingRequests) {
        regwire::TModbusClient* client = SettingClient(r.Instrument);
        if (r.Write)
            client->WriteSingleRegister(r.Reg, r.CountOrValue, 0);
        else
            client->ReadHoldingRegisters(r.Reg, r.CountOrValue, 0);
    }
}

bool TKit::RefreshSettings(int patienceMs) {
    std::vector<bool> answered(kSettingRequestCount, false);
    const std::uint32_t start = platform::TickCount();
    const auto patience = static_cast<std::uint32_t>(std::max(patienceMs, 0));
    while (!RefreshRound(answered))
        if (!Active() || platform::TickCount() - start >= patience)
            return false;
    return true;
}

// Every request not answered yet goes out, with the writes' resends (a
// closed line raises at the first, as any request does); the round is over
// once each has its outcome, which comes as soon as the line has carried it.
bool TKit::RefreshRound(std::vector<bool>& answered) {
    FRefreshing.clear();
    std::map<std::int32_t, std::size_t> round;
    for (std::size_t i = 0; i < kSettingRequestCount; ++i) {
        if (answered[i])
            continue;
        const TSettingRequest& r = kSettingRequests[i];
        regwire::TModbusClient* client = SettingClient(r.Instrument);
        client->SetMaxSends(static_cast<std::uint32_t>(std::max(WriteSends, 1)));
        const std::int32_t id = r.Write ? client->WriteSingleRegister(r.Reg, r.CountOrValue, 0)
                                        : client->ReadHoldingRegisters(r.Reg, r.CountOrValue, 0);
        client->SetMaxSends(0);
        round[id] = i;
        FRefreshing[id];
    }
    const auto outstanding = [this] {
        return std::any_of(FRefreshing.begin(), FRefreshing.end(),
                           [](const auto& request) { return !request.second.has_value(); });
    };
    const std::uint32_t start = platform::TickCount();
    const auto limit = static_cast<std::uint32_t>(WriteAnswerLimitMs()) *
                       static_cast<std::uint32_t>(std::max<std::size_t>(round.size(), 1));
    while (Active() && outstanding() && platform::TickCount() - start < limit)
        platform::Delay(kRefreshLookMs);
    for (const auto& [id, index] : round) {
        const std::optional<regwire::TTransactionStatus>& outcome = FRefreshing[id];
        if (outcome && (*outcome == regwire::tsSuccess || *outcome == regwire::tsException))
            answered[index] = true;
    }
    FRefreshing.clear();
    return std::all_of(answered.begin(), answered.end(), [](bool a) { return a; });
}

void TKit::NoteAnswer(const regwire::TTransactionInfo& info) {
    const auto request = FRefreshing.find(info.TransactionID);
    if (request == FRefreshing.end())
        return;
    request->second = info.Status;
    FWrites.erase(info.TransactionID);
}

regwire::TModbusClient* TKit::SettingClient(int instrument) const {
    return instrument == 0 ? ReservoirFlow : instrument == 1 ? DilutionFlow : Temperature;
}

// --- Set points ---

TSetPointChange TKit::Changes(const TSetPoints& wanted) const {
    const auto changed = [](long double last, long double value) -> std::optional<long double> {
        if (platform::FloatToStrGeneral(last) == platform::FloatToStrGeneral(value))
            return std::nullopt;
        return value;
    };
    return {changed(LastTempSP, wanted.Temp), changed(LastFlowSP, wanted.Flow),
            changed(LastDilutionFlowSP, wanted.DilutionFlow)};
}

void TKit::HaltPolling() {
    PollTimer->SetEnabled(false);
    const int waitMs = HaltPollingWaitMs(Connection->PendingTransactions());
    if (waitMs > 0)
        platform::Delay(waitMs);
    Connection->CancelTransactions();
}

// The poll is held while the set points go out and resumes afterwards, also
// when a step failed, so that the readings keep coming.
TApplyResult TKit::Apply(const TSetPointChange& change) {
    const bool polling = PollTimer->Enabled();
    HaltPolling();
    TApplyResult result;
    try {
        result = WriteSetPoints(change);
    } catch (...) {
        if (polling && Active())
            StartPolling();
        throw;
    }
    if (polling && Active())
        StartPolling();
    return result;
}

// Each set point is converted before anything is queued or remembered: a
// capacity that makes the conversion fail leaves the instruments and the
// remembered set points as they were, and the next Apply tries again.
TKit::TConverted TKit::Convert(const TSetPointChange& change) const {
    TConverted raw;
    if (change.Flow)
        raw.Flow = FlowSetPointToRaw(*change.Flow, RFCapacity);
    if (change.DilutionFlow)
        raw.DilutionFlow = FlowSetPointToRaw(*change.DilutionFlow, DFCapacity);
    if (change.Temp)
        raw.Temp = TempSetPointToRaw(*change.Temp);
    return raw;
}

// One instrument a second, with the poll stopped so that no read comes
// between. A port that has vanished is not written at all: each send would
// only wait out its time-out.
TApplyResult TKit::WriteSetPoints(const TSetPointChange& change) {
    TApplyResult result;
    CheckPort();
    if (!Active()) {
        TStepFailure failure;
        failure.Port = PortGone() ? FGonePort : Port();
        result.Failures.push_back(failure);
        return result;
    }
    const TConverted raw = Convert(change);
    FWrites.clear();
    if (change.Flow)
        WriteFlow(ReservoirFlow, asReservoirFlow, *change.Flow, *raw.Flow, result);
    if (change.Flow && (change.DilutionFlow || change.Temp))
        platform::Delay(BetweenInstrumentsMs);
    if (change.DilutionFlow)
        WriteFlow(DilutionFlow, asDilutionFlow, *change.DilutionFlow, *raw.DilutionFlow, result);
    if (change.DilutionFlow && change.Temp)
        platform::Delay(BetweenInstrumentsMs);
    if (change.Temp)
        WriteTemp(*change.Temp, *raw.Temp, result);
    return result;
}

// A flow set point that the controller did not confirm is not known to be
// in it: the remembered value is forgotten, so the next Apply writes it
// again.
void TKit::WriteFlow(regwire::TModbusClient* client, TApplyStep step, long double flow,
                     std::uint16_t raw, TApplyResult& result) {
    long double& last = client == ReservoirFlow ? LastFlowSP : LastDilutionFlowSP;
    const TWriteOutcome outcome = ConfirmedWrite(client, kRegFlowSetPoint, raw, 0, result);
    if (outcome == woConfirmed) {
        last = flow;
        return;
    }
    last = std::numeric_limits<long double>::quiet_NaN();
    result.Failures.push_back({step, outcome, platform::FloatToStrGeneral(flow), raw, {}});
}

// The temperature controller takes a set point only in write mode: entered
// before the write, left after it, each step confirmed by the controller.
// A step it refuses or does not answer is reported and the remembered set
// point is not taken as written, so the next Apply writes it again. Write mode is left
// whatever became of the set point itself.
void TKit::WriteTemp(long double temp, std::uint16_t raw, TApplyResult& result) {
    const std::string shown = platform::FloatToStrGeneral(temp);
    if (!HandshakeStep(kRegWriteMode, kEnterWriteMode, asEnterWriteMode, shown, result) ||
        !HandshakeStep(kRegEnterConfirm, 0, asEnterConfirm, shown, result))
        return;
    const TWriteOutcome written = ConfirmedWrite(Temperature, kRegTempSetPoint, raw, 0, result);
    if (written != woConfirmed)
        result.Failures.push_back({asTempSetPoint, written, shown, raw, {}});
    const bool left =
        HandshakeStep(kRegWriteMode, kLeaveWriteMode, asLeaveWriteMode, shown, result) &&
        HandshakeStep(kRegLeaveConfirm, 0, asLeaveConfirm, shown, result);
    if (written != woConfirmed)
        return;
    // A set point taken while write mode could not be left is in the
    // controller all the same: what it holds is no longer the remembered
    // one, and the next Apply runs the handshake again.
    LastTempSP = left ? temp : std::numeric_limits<long double>::quiet_NaN();
}

bool TKit::HandshakeStep(std::uint16_t reg, std::uint16_t value, TApplyStep step,
                         const std::string& shown, TApplyResult& result) {
    const TWriteOutcome outcome = ConfirmedWrite(Temperature, reg, value, HandshakeStepMs, result);
    if (outcome == woConfirmed)
        return true;
    result.Failures.push_back({step, outcome, shown, value, {}});
    return false;
}

// Sent again by the connection's worker while no valid reply comes back,
// up to WriteSends in all: a set point and a handshake step leave the
// instrument as one send would. The poll is held meanwhile, so its reads
// keep their single send.
TWriteOutcome TKit::ConfirmedWrite(regwire::TModbusClient* client, std::uint16_t reg,
                                   std::uint16_t value, int pacingMs, TApplyResult& result) {
    if (!Active() || DeviceGone()) {
        ++result.Sends;
        return woNotAnswered;
    }
    client->SetMaxSends(static_cast<std::uint32_t>(std::max(WriteSends, 1)));
    const std::int32_t id = client->WriteSingleRegister(reg, value, 0);
    client->SetMaxSends(0);
    if (pacingMs > 0)
        platform::Delay(pacingMs);
    const std::uint32_t start = platform::TickCount();
    const auto limit = static_cast<std::uint32_t>(WriteAnswerLimitMs());
    while (!FWrites.contains(id) && platform::TickCount() - start < limit)
        platform::Delay(kAnswerLookMs);
    const auto found = FWrites.find(id);
    if (found == FWrites.end()) {
        ++result.Sends;
        return woNotAnswered;
    }
    const TWriteDone done = found->second;
    FWrites.erase(found);
    WriteAcknowledged = false;
    result.Sends += std::max(done.Attempts, 1);
    if (done.Status == regwire::tsSuccess)
        return woConfirmed;
    return done.Status == regwire::tsException ? woRefused : woNotAnswered;
}

// Every send's send and receive time-outs, and a second to spare.
int TKit::WriteAnswerLimitMs() const {
    const long long attempts =
        static_cast<long long>(std::max<std::uint32_t>(Connection->MaxRetries(),
                                                       static_cast<std::uint32_t>(WriteSends))) +
        1;
    const long long perAttempt =
        static_cast<long long>(Connection->ReceiveTimeout()) + Connection->SendTimeout();
    return static_cast<int>(std::min(attempts * perAttempt + 1000, 60000LL));
}

// --- A vanished port ---

// A hang-up on the serial port's descriptor: the adapter was pulled (or the
// far end of a pseudo-terminal closed). Only the worker reads and writes
// the port; a poll() that does not wait takes nothing from it.
bool TKit::DeviceGone() const {
    if (FFd < 0 || !Connection->Active())
        return false;
    pollfd p{FFd, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void TKit::CheckPort() {
    if (DeviceGone())
        PortVanished();
}

// The line closes at once (its reads would only wait out their time-outs)
// and the kit looks for the adapter until it is back.
void TKit::PortVanished() {
    if (!Active())
        return;
    const std::string port = Port();
    const std::string name = FLastingName;
    Close();
    FGonePort = port;
    FGoneName = name;
    FPortLook->start();
    if (OnPortGone)
        OnPortGone(FGonePort);
}

// The adapter is found again by its lasting name, which points at whatever
// device the kernel gave it this time; without one, by its old path. Once
// it opens, the instruments' set points are read back before the poll
// goes on, so nothing is judged against what they held before.
void TKit::LookForPort() {
    const std::string device = Resolve();
    if (device.empty() || access(device.c_str(), F_OK) != 0)
        return;
    try {
        OpenDevice(device);
    } catch (const std::exception&) {
        return;  // not ready yet (the kernel still setting it up): the next look
    }
    FPortLook->stop();
    FGonePort.clear();
    ReadSettings();
    StartPolling();
    if (OnPortBack)
        OnPortBack(Port());
}

// A pseudo-terminal has no lasting name, and its number, once freed, goes to
// whichever program asks for one next: a line that comes back there is
// another program's, never the kit that went away.
std::string TKit::Resolve() const {
    if (FGoneName.empty())
        return FGonePort.starts_with("/dev/pts/") ? std::string() : FGonePort;
    std::error_code error;
    const auto target =
        std::filesystem::canonical(std::filesystem::path(ByIdFolder) / FGoneName, error);
    return error ? std::string() : target.string();
}

// The name under ByIdFolder that points at `device`, empty when none does.
std::string TKit::LastingName(const std::string& device) const {
    std::error_code error;
    const auto wanted = std::filesystem::canonical(device, error);
    if (error)
        return {};
    for (const auto& entry : std::filesystem::directory_iterator(ByIdFolder, error)) {
        std::error_code entryError;
        if (std::filesystem::canonical(entry.path(), entryError) == wanted && !entryError)
            return entry.path().filename().string();
    }
    return {};
}

}  // namespace kit
