// The window's side of the conversation with the kit: every completed read
// the kit decoded is shown on the panels and in the window's state, the
// kit's poll, settings reads and halt run under the window's names, and a
// port that vanishes and comes back is shown on the status line.
#include <QLabel>

#include "app/livedisplay.h"
#include "app/mainwindow.h"
#include "app/messages.h"
#include "app/runwindow.h"
#include "kit/kit.h"
#include "kit/registers.h"
#include "live/readings.h"
#include "panels/cal3300rs485.h"
#include "panels/elflowmfc.h"
#include "platform/delay.h"
#include "platform/numtext.h"

namespace app {

namespace {

// The low-flow alarm of the dilution flow, in its panel's unit.
constexpr long double kLowFlowAlarm = 0.2L;
// Every fifth unanswered read of an instrument blanks its panel.
constexpr int kTimeoutsBeforeBlanking = 4;

const QColor kLime(0, 255, 0);
const QColor kRed(255, 0, 0);

}  // namespace

void Delay(int seconds, int milliseconds) {
    platform::Delay(seconds * 1000 + milliseconds);
}

void TfrmVapcalCalc::SW_VCtimerTimer() {
    Kit->PollTick();
}

void TfrmVapcalCalc::ReadInitialDeviceState() {
    Kit->ReadSettings();
}

void TfrmVapcalCalc::RefreshDeviceState() {
    Kit->RefreshSettings();
}

void TfrmVapcalCalc::HaltPolling() {
    Kit->HaltPolling();
}

void TfrmVapcalCalc::mcVapcalTCHoldingRegistersRead(regwire::TModbusClient* Sender,
                                                    const regwire::TTransactionInfo& Info,
                                                    std::uint16_t StartReg, std::uint16_t,
                                                    const std::vector<std::uint16_t>& RegValues) {
    Kit->RegistersRead(Sender, Info, StartReg, RegValues);
}

void TfrmVapcalCalc::mcVapcalTCSingleRegisterWrite(regwire::TModbusClient* Sender,
                                                   const regwire::TTransactionInfo& Info,
                                                   std::uint16_t RegAddr, std::uint16_t) {
    Kit->RegisterWritten(Sender, Info, RegAddr);
}

// A read the kit has decoded: a measured value goes to the live view first
// (it may make the readings current), then to its panel.
void TfrmVapcalCalc::ShowRead(const kit::TReadDone& read) {
    if (read.Measured) {
        LiveView->MeasuredRead(read.Instrument, read.Status == regwire::tsSuccess, read.Value);
        ReadingCompleted(read.Instrument);
    }
    if (read.Status == regwire::tsNoReply) {
        CountUnanswered(read.Instrument);
        return;
    }
    if (read.Status != regwire::tsSuccess || read.Values->empty())
        return;
    if (read.Measured && read.Instrument == live::inTemperature)
        Cal33VCtemp->SetCaption(QString::fromStdString(
            platform::FloatToDisplay(static_cast<long double>((*read.Values)[0]) / 10, 1)));
    else if (read.Measured)
        (read.Instrument == live::inReservoirFlow ? ELflowMfcRF : ELflowMfcDF)
            ->SetValue(static_cast<float>(read.Value));
    else
        ShowSetting(read);
}

// What the kit has taken from a settings read, on the window: the bounds
// of the set-point fields and the captions above the flows.
void TfrmVapcalCalc::ShowSetting(const kit::TReadDone& read) {
    const bool reservoir = read.Instrument == live::inReservoirFlow;
    const std::uint16_t v = (*read.Values)[0];
    switch (read.StartReg) {
        case kit::kRegCapacityUnit:
            if (read.Instrument == live::inTemperature)
                break;
            if (reservoir)
                ShowFlowCaption(lblRflow, kit::ReservoirFlowCaption(RFCapacity, v),
                                kit::ReservoirFlowCaption(RFCapacity, v, true));
            else
                ShowFlowCaption(lblDflow, kit::DilutionFlowCaption(DFCapacity, v),
                                kit::DilutionFlowCaption(DFCapacity, v, true));
            break;
        case kit::kRegTempUpperLimit:
            if (read.Instrument != live::inTemperature)
                break;
            Cal33VCtemp->SetSetPointMax(kit::TempLimitFromRaw(v));
            edtTemp->SetBoundUpper(Cal33VCtemp->SetPointMax());
            break;
        case kit::kRegTempLowerLimit:
            if (read.Instrument != live::inTemperature)
                break;
            Cal33VCtemp->SetSetPointMin(kit::TempLimitFromRaw(v));
            edtTemp->SetBoundLower(Cal33VCtemp->SetPointMin());
            break;
        case kit::kRegCapacity:
            if (read.Instrument == live::inTemperature || read.Values->size() < 2)
                break;
            (reservoir ? edtFlow : edtDilutionFlow)
                ->SetBoundUpper(reservoir ? RFCapacity : DFCapacity);
            break;
        default:
            break;
    }
}

void TfrmVapcalCalc::CountUnanswered(live::TInstrument instrument) {
    const auto count = [](int& timeouts, panels::TInstrumentPanel* panel) {
        if (++timeouts <= kTimeoutsBeforeBlanking)
            return;
        panel->SetCaption(QString());
        timeouts = 0;
    };
    if (instrument == live::inReservoirFlow)
        count(RFTimeouts, ELflowMfcRF);
    else if (instrument == live::inDilutionFlow)
        count(DFTimeouts, ELflowMfcDF);
    else
        count(TCTimeouts, Cal33VCtemp);
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

// The adapter vanished: the status line says so at once and every reading
// shows as old; the kit looks for the adapter by itself, no operator needed.
// A calibration run pauses meanwhile.
void TfrmVapcalCalc::PortGone(const std::string& port) {
    UpdateReadingStates();
    if (RunWindow != nullptr)
        RunWindow->KitLost(port);
}

// Back, perhaps under another device name: the kit reads the set points
// back and polls again. The readings shown came from before; they count as
// current only once the instruments answer again.
void TfrmVapcalCalc::PortBack(const std::string&) {
    line_.StopReason.clear();
    LiveView->Monitor.Forget();
    UpdateReadingStates();
    if (RunWindow != nullptr)
        RunWindow->KitBack();
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

}  // namespace app
