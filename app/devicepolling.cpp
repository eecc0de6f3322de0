// The window's conversation with the kit's three instruments: the 500 ms
// poll, the reads after a port selection and on Refresh, the decoding of
// every reply into the panels and the window's state, the set-point writes
// with the temperature controller's handshake, and the draining of the queue
// before Apply writes.
#include <QLabel>
#include <algorithm>
#include <cstdio>
#include <limits>

#include "app/livedisplay.h"
#include "app/mainwindow.h"
#include "app/messages.h"
#include "app/registers.h"
#include "app/threadedtimer.h"
#include "live/readings.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "panels/cal3300rs485.h"
#include "panels/elflowmfc.h"
#include "platform/delay.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"
#include "platform/serialdevice.h"

namespace app {

namespace {

// The low-flow alarm of the dilution flow, in its panel's unit.
constexpr long double kLowFlowAlarm = 0.2L;
// Every fifth unanswered read of an instrument blanks its panel.
constexpr int kTimeoutsBeforeBlanking = 4;

const QColor kLime(0, 255, 0);
const QColor kRed(255, 0, 0);

// Waits of the Refresh groups: long enough for the group's replies at 9600
// bit/s to come in before the next group goes out.
constexpr int kRefreshGroupWaitMs = 250;
constexpr int kRefreshLastWaitMs = 300;
// Each handshake step gives the controller this long before the next one,
// as the controller expects, and longer while its answer is still coming.
constexpr int kHandshakeWaitMs = 500;
// How often a step that waits for its answer looks again.
constexpr int kAnswerLookMs = 20;

std::string Format(const char* pattern, const char* a, const std::string& b, const std::string& c) {
    char text[320];
    std::snprintf(text, sizeof text, pattern, a, b.c_str(), c.c_str());
    return text;
}

}  // namespace

void Delay(int seconds, int milliseconds) {
    platform::Delay(seconds * 1000 + milliseconds);
}

// A read is queued for an instrument only when none of its requests is still
// waiting in the queue: a silent instrument answers each read only with its
// time-out, which takes longer than the poll's period, and the queue would
// otherwise grow for as long as the instrument stays away.
void TfrmVapcalCalc::SW_VCtimerTimer() {
    if (!ModbusConnection1->Active())
        return;
    const auto poll = [this](regwire::TModbusClient* client, std::uint16_t reg) {
        if (ModbusConnection1->PendingTransactions(client) == 0)
            client->ReadHoldingRegisters(reg, 1, 0);
    };
    poll(mcVapcalRF, kRegMeasuredFlow);
    poll(mcVapcalDF, kRegMeasuredFlow);
    poll(mcVapcalTC, kRegMeasuredTemp);
}

// Capacities before units, so that a unit caption is built with the new
// capacity; the control mode before the set point is read back.
void TfrmVapcalCalc::ReadInitialDeviceState() {
    mcVapcalRF->ReadHoldingRegisters(kRegCapacity, 2, 0);
    mcVapcalRF->ReadHoldingRegisters(kRegCapacityUnit, 1, 0);
    mcVapcalDF->ReadHoldingRegisters(kRegCapacity, 2, 0);
    mcVapcalDF->ReadHoldingRegisters(kRegCapacityUnit, 1, 0);
    mcVapcalTC->ReadHoldingRegisters(kRegTempUpperLimit, 1, 0);
    mcVapcalTC->ReadHoldingRegisters(kRegTempLowerLimit, 1, 0);
    mcVapcalRF->WriteSingleRegister(kRegControlMode, kControlModeValue, 0);
    mcVapcalRF->ReadHoldingRegisters(kRegFlowSetPoint, 1, 0);
    mcVapcalDF->WriteSingleRegister(kRegControlMode, kControlModeValue, 0);
    mcVapcalDF->ReadHoldingRegisters(kRegFlowSetPoint, 1, 0);
    mcVapcalTC->ReadHoldingRegisters(kRegTempSetPoint, 1, 0);
}

// The same requests as after a port selection, in groups, each given time
// to be answered while the window keeps running.
void TfrmVapcalCalc::RefreshDeviceState() {
    mcVapcalRF->ReadHoldingRegisters(kRegCapacity, 2, 0);
    mcVapcalRF->ReadHoldingRegisters(kRegCapacityUnit, 1, 0);
    Delay(0, kRefreshGroupWaitMs);
    mcVapcalDF->ReadHoldingRegisters(kRegCapacity, 2, 0);
    mcVapcalDF->ReadHoldingRegisters(kRegCapacityUnit, 1, 0);
    Delay(0, kRefreshGroupWaitMs);
    mcVapcalTC->ReadHoldingRegisters(kRegTempUpperLimit, 1, 0);
    mcVapcalTC->ReadHoldingRegisters(kRegTempLowerLimit, 1, 0);
    Delay(0, kRefreshGroupWaitMs);
    mcVapcalRF->WriteSingleRegister(kRegControlMode, kControlModeValue, 0);
    mcVapcalDF->WriteSingleRegister(kRegControlMode, kControlModeValue, 0);
    Delay(0, kRefreshGroupWaitMs);
    mcVapcalRF->ReadHoldingRegisters(kRegFlowSetPoint, 1, 0);
    mcVapcalDF->ReadHoldingRegisters(kRegFlowSetPoint, 1, 0);
    mcVapcalTC->ReadHoldingRegisters(kRegTempSetPoint, 1, 0);
    Delay(0, kRefreshLastWaitMs);
}

void TfrmVapcalCalc::mcVapcalTCHoldingRegistersRead(regwire::TModbusClient* Sender,
                                                    const regwire::TTransactionInfo& Info,
                                                    std::uint16_t StartReg, std::uint16_t,
                                                    const std::vector<std::uint16_t>& RegValues) {
    if (const auto instrument = LiveView->RegistersRead(Sender, Info, StartReg, RegValues))
        ReadingCompleted(*instrument);
    const int tag = Sender != nullptr ? Sender->Tag : 0;
    if (Info.Status == regwire::tsNoReply) {
        const auto count = [](int& timeouts, panels::TInstrumentPanel* panel) {
            if (++timeouts <= kTimeoutsBeforeBlanking)
                return;
            panel->SetCaption(QString());
            timeouts = 0;
        };
        if (tag == itReservoirFlow)
            count(RFTimeouts, ELflowMfcRF);
        else if (tag == itDilutionFlow)
            count(DFTimeouts, ELflowMfcDF);
        else if (tag == itTemperature)
            count(TCTimeouts, Cal33VCtemp);
        return;
    }
    if (Info.Status != regwire::tsSuccess || RegValues.empty())
        return;

    const std::uint16_t v = RegValues[0];
    switch (StartReg) {
        case kRegMeasuredTemp:
            Cal33VCtemp->SetCaption(QString::fromStdString(
                platform::FloatToDisplay(static_cast<long double>(v) / 10, 1)));
            break;
        case kRegMeasuredFlow:
            if (tag == itReservoirFlow)
                ELflowMfcRF->SetValue(FlowFromRaw(v, RFCapacity));
            else if (tag == itDilutionFlow)
                ELflowMfcDF->SetValue(FlowFromRaw(v, DFCapacity));
            break;
        case kRegFlowSetPoint:
            if (tag == itReservoirFlow)
                LastFlowSP = FlowSetPointFromRaw(v, RFCapacity);
            else if (tag == itDilutionFlow)
                LastDilutionFlowSP = FlowSetPointFromRaw(v, DFCapacity);
            break;
        case kRegCapacityUnit:
            if (tag == itReservoirFlow)
                ShowFlowCaption(lblRflow, ReservoirFlowCaption(RFCapacity, v),
                                ReservoirFlowCaption(RFCapacity, v, true));
            else if (tag == itDilutionFlow)
                ShowFlowCaption(lblDflow, DilutionFlowCaption(DFCapacity, v),
                                DilutionFlowCaption(DFCapacity, v, true));
            break;
        case kRegTempSetPoint:
            LastTempSP = TempSetPointFromRaw(v);
            break;
        case kRegTempUpperLimit:
            Cal33VCtemp->SetSetPointMax(TempLimitFromRaw(v));
            edtTemp->SetBoundUpper(Cal33VCtemp->SetPointMax());
            break;
        case kRegTempLowerLimit:
            Cal33VCtemp->SetSetPointMin(TempLimitFromRaw(v));
            edtTemp->SetBoundLower(Cal33VCtemp->SetPointMin());
            break;
        case kRegCapacity: {
            if (RegValues.size() < 2)
                break;
            const float capacity = CapacityFromRegisters(RegValues[0], RegValues[1]);
            if (tag == itReservoirFlow) {
                RFCapacity = capacity;
                edtFlow->SetBoundUpper(capacity);
            } else if (tag == itDilutionFlow) {
                DFCapacity = capacity;
                edtDilutionFlow->SetBoundUpper(capacity);
            }
            break;
        }
        default:
            break;
    }
}

// A read of an instrument's measured value changes whether its reading is
// current; one that stays current changes nothing on the window (the status
// line's age follows with its next refresh).
void TfrmVapcalCalc::ReadingCompleted(live::TInstrument instrument) {
    const panels::TInstrumentPanel* panel =
        instrument == live::inTemperature     ? static_cast<panels::TInstrumentPanel*>(Cal33VCtemp)
        : instrument == live::inReservoirFlow ? ELflowMfcRF
                                              : ELflowMfcDF;
    if (panel->ReadingOld() == ReadingCurrent(instrument))
        UpdateReadingStates();
}

void TfrmVapcalCalc::mcVapcalTCSingleRegisterWrite(regwire::TModbusClient*,
                                                   const regwire::TTransactionInfo& Info,
                                                   std::uint16_t RegAddr, std::uint16_t) {
    tcWrites_[Info.TransactionID] = Info.Status;
    if (Info.Status != regwire::tsSuccess)
        return;
    if (RegAddr == kRegWriteMode || RegAddr == kRegEnterConfirm || RegAddr == kRegLeaveConfirm)
        WriteAcknowledged = true;
}

// Red once when the dilution flow drops below the alarm, lime again above
// it; exactly at the alarm nothing changes. The single-precision reading is
// compared with the extended 0.2, so the single nearest 0.2 counts as above.
void TfrmVapcalCalc::ELflowMfcDFUpdate(QObject* Sender) {
    auto* panel = qobject_cast<panels::TELflowMfc*>(Sender);
    if (panel == nullptr)
        return;
    const long double value = panel->Value();
    if (value < kLowFlowAlarm && !panel->AlarmLatched) {
        panel->AlarmLatched = true;
        panel->SetOnColor(kRed);
    } else if (value > kLowFlowAlarm) {
        panel->AlarmLatched = false;
        panel->SetOnColor(kLime);
    }
}

// Stops the poll and gives the requests already queued a bounded time to be
// answered; what is still waiting then is dropped, so the set-point writes
// do not queue behind a silent instrument's reads.
void TfrmVapcalCalc::HaltPolling() {
    SW_VCtimer->SetEnabled(false);
    const int waitMs = HaltPollingWaitMs(ModbusConnection1->PendingTransactions());
    if (waitMs > 0)
        Delay(waitMs / 1000, waitMs % 1000);
    ModbusConnection1->CancelTransactions();
}

// Each set point is converted before anything is queued or remembered: a
// capacity that makes the conversion fail leaves the instrument and the
// remembered set point as they were, and the next Apply tries again.
// A flow set point that the controller did not confirm is not known to be in
// it: the remembered value is forgotten, so the next Apply writes it again,
// and the operator is told.
void TfrmVapcalCalc::FlowSetPointWritten(regwire::TModbusClient* Sender,
                                         const regwire::TTransactionInfo& Info,
                                         std::uint16_t RegAddr) {
    if (Info.Status == regwire::tsSuccess || RegAddr != kRegFlowSetPoint)
        return;
    const bool reservoir = Sender == mcVapcalRF;
    (reservoir ? LastFlowSP : LastDilutionFlowSP) = std::numeric_limits<long double>::quiet_NaN();
    char text[160];
    std::snprintf(text, sizeof text, kFlowSetPointLost,
                  live::InstrumentName(reservoir ? live::inReservoirFlow : live::inDilutionFlow));
    platform::ShowError(text);
}

void TfrmVapcalCalc::WriteFlowSetPoint() {
    const long double flow = edtFlow->AsFloat();
    mcVapcalRF->WriteSingleRegister(kRegFlowSetPoint, FlowSetPointToRaw(flow, RFCapacity), 0);
    LastFlowSP = flow;
}

void TfrmVapcalCalc::WriteDilutionFlowSetPoint() {
    const long double flow = edtDilutionFlow->AsFloat();
    mcVapcalDF->WriteSingleRegister(kRegFlowSetPoint, FlowSetPointToRaw(flow, DFCapacity), 0);
    LastDilutionFlowSP = flow;
}

// The temperature controller takes a set point only in write mode: entered
// before the write, left after it, each step confirmed by the controller.
// A step it refuses or does not answer is named to the operator and the
// remembered set point stays, so the next Apply writes it again. Write mode
// is left whatever became of the set point itself.
void TfrmVapcalCalc::WriteTempSetPoint() {
    const long double temp = edtTemp->AsFloat();
    const std::uint16_t raw = TempSetPointToRaw(temp);
    const std::string shown = platform::FloatToStrGeneral(temp);
    tcWrites_.clear();
    if (!HandshakeStep(kRegWriteMode, kEnterWriteMode, kStepEnterWriteMode, shown) ||
        !HandshakeStep(kRegEnterConfirm, 0, kStepEnterConfirm, shown))
        return;
    const TWriteOutcome written = ConfirmedWrite(kRegTempSetPoint, raw, 0);
    if (written != woConfirmed)
        platform::ShowError(Format(kTempSetPointFailed,
                                   written == woRefused ? kStepRefused : kStepNotAnswered, shown,
                                   std::to_string(raw)));
    const bool left = HandshakeStep(kRegWriteMode, kLeaveWriteMode, kStepLeaveWriteMode, shown) &&
                      HandshakeStep(kRegLeaveConfirm, 0, kStepLeaveConfirm, shown);
    if (written == woConfirmed && left)
        LastTempSP = temp;
}

bool TfrmVapcalCalc::HandshakeStep(std::uint16_t reg, std::uint16_t value, const char* step,
                                   const std::string& setPoint) {
    const TWriteOutcome outcome = ConfirmedWrite(reg, value, kHandshakeWaitMs);
    if (outcome == woConfirmed)
        return true;
    platform::ShowError(Format(kTempHandshakeFailed,
                               outcome == woRefused ? kStepRefused : kStepNotAnswered, step,
                               setPoint));
    return false;
}

// Queues one write of the temperature controller, gives it `pacingMs`, then
// waits for its own completion (not any acknowledgement) while the window
// keeps running, for at most as long as the connection may take to answer.
TfrmVapcalCalc::TWriteOutcome TfrmVapcalCalc::ConfirmedWrite(std::uint16_t reg, std::uint16_t value,
                                                             int pacingMs) {
    const std::int32_t id = mcVapcalTC->WriteSingleRegister(reg, value, 0);
    if (pacingMs > 0)
        Delay(0, pacingMs);
    const std::uint32_t start = platform::TickCount();
    const auto limit = static_cast<std::uint32_t>(WriteAnswerLimitMs());
    while (!tcWrites_.contains(id) && platform::TickCount() - start < limit)
        Delay(0, kAnswerLookMs);
    const auto found = tcWrites_.find(id);
    if (found == tcWrites_.end())
        return woNotAnswered;
    const regwire::TTransactionStatus status = found->second;
    tcWrites_.erase(found);
    WriteAcknowledged = false;
    if (status == regwire::tsSuccess)
        return woConfirmed;
    return status == regwire::tsException ? woRefused : woNotAnswered;
}

// Every attempt's send and receive time-outs, and a second to spare.
int TfrmVapcalCalc::WriteAnswerLimitMs() const {
    const long long attempts = static_cast<long long>(ModbusConnection1->MaxRetries()) + 1;
    const long long perAttempt = static_cast<long long>(ModbusConnection1->ReceiveTimeout()) +
                                 ModbusConnection1->SendTimeout();
    return static_cast<int>(std::min(attempts * perAttempt + 1000, 60000LL));
}

}  // namespace app
