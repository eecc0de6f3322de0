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
#include "modbus/client.h"
#include "modbus/connection.h"
#include "panels/cal3300rs485.h"
#include "panels/elflowmfc.h"
#include "platform/delay.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"

namespace app {

namespace {

enum TInstrumentTag { itReservoirFlow = 1, itDilutionFlow = 2, itTemperature = 3 };

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
// Each handshake step waits this long for the controller's acknowledgement.
constexpr int kHandshakeWaitMs = 500;

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
    LiveView->RegistersRead(Sender, Info, StartReg, RegValues);
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
                lblRflow->setText(ShownCaption(ReservoirFlowCaption(RFCapacity, v)));
            else if (tag == itDilutionFlow)
                lblDflow->setText(ShownCaption(DilutionFlowCaption(DFCapacity, v)));
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

void TfrmVapcalCalc::mcVapcalTCSingleRegisterWrite(regwire::TModbusClient*,
                                                   const regwire::TTransactionInfo& Info,
                                                   std::uint16_t RegAddr, std::uint16_t) {
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
                  reservoir ? kReservoirFlowName : kDilutionFlowName);
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
// before the write, left after it. Without both acknowledgements of the
// entry nothing is written and the remembered set point stays, so the next
// Apply tries again.
void TfrmVapcalCalc::WriteTempSetPoint() {
    const long double temp = edtTemp->AsFloat();
    const std::uint16_t raw = TempSetPointToRaw(temp);
    if (!EnterControllerWriteMode(*mcVapcalTC)) {
        platform::ShowError(kTempSetPointNotWritten);
        return;
    }
    LastTempSP = temp;
    mcVapcalTC->WriteSingleRegister(kRegTempSetPoint, raw, 0);
    LeaveControllerWriteMode(*mcVapcalTC);
}

// One handshake step: queue the write and give the controller its time to
// acknowledge. An acknowledgement that came after an earlier wait ended
// counts for this step.
bool TfrmVapcalCalc::WriteModeStep(regwire::TModbusClient& client, std::uint16_t reg,
                                   std::uint16_t value) {
    client.WriteSingleRegister(reg, value, 0);
    Delay(0, kHandshakeWaitMs);
    if (!WriteAcknowledged)
        return false;
    WriteAcknowledged = false;
    return true;
}

bool TfrmVapcalCalc::EnterControllerWriteMode(regwire::TModbusClient& client) {
    return WriteModeStep(client, kRegWriteMode, kEnterWriteMode) &&
           WriteModeStep(client, kRegEnterConfirm, 0);
}

bool TfrmVapcalCalc::LeaveControllerWriteMode(regwire::TModbusClient& client) {
    return WriteModeStep(client, kRegWriteMode, kLeaveWriteMode) &&
           WriteModeStep(client, kRegLeaveConfirm, 0);
}

}  // namespace app
