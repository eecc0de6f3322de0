#include "app/dahsfeed.h"

#include <QJsonObject>
#include <QString>
#include <QTimer>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "app/livedisplay.h"
#include "app/mainwindow.h"
#include "app/messages.h"
#include "app/runwindow.h"
#include "calc/model.h"
#include "dahs/runresult.h"
#include "kit/kit.h"
#include "platform/filltext.h"
#include "platform/numtext.h"
#include "run/engine.h"

namespace app {

namespace {

double Known(double value) {
    return std::isfinite(value) ? value : dahs::kDahsUnknown;
}

}  // namespace

TDahsFeed::TDahsFeed(TfrmVapcalCalc& window, const std::string& settingsFile,
                     const std::string& listen)
    : FWindow(window) {
    const dahs::TDahsSettings settings = dahs::LoadDahsSettings(settingsFile, listen);
    if (!settings.Enabled)
        return;
    FDahs = std::make_unique<dahs::TMainThreadDahs>(
        settings,
        [this](const dahs::TDahsCommand& command, std::string& reason) {
            return Take(command, reason);
        },
        kPlantClosing);
    FDahs->Start();
    live::TKitMonitor& monitor = FWindow.LiveView->Monitor;
    // After the window's own handling of the poll, so the map says what the
    // window shows.
    FShown = monitor.OnPoll;
    monitor.OnPoll = [this] {
        if (FShown)
            FShown();
        Polled();
    };
    Polled();
}

TDahsFeed::~TDahsFeed() {
    if (!FDahs)
        return;
    FWindow.LiveView->Monitor.OnPoll = FShown;
    FDahs.reset();
}

bool TDahsFeed::Take(const dahs::TDahsCommand& command, std::string& reason) {
    switch (command.Kind) {
        case dahs::ckStartPlan:
        case dahs::ckPause:
        case dahs::ckResume:
        case dahs::ckStop:
            return TakeRunCommand(command, reason);
        default:
            break;
    }
    if (!FWindow.Kit->Active()) {
        reason = kPlantNoLine;
        return false;
    }
    // At the temperature and dilution the kit holds now.
    const long double temp = FWindow.LastTempSP;
    const long double dilution = FWindow.LastDilutionFlowSP;
    long double flow = 0;
    switch (command.Kind) {
        case dahs::ckApplyWanted:
            try {
                flow = calc::CalcFlowForOutput(command.Wanted, calc::CalcSatConc(temp),
                                               FWindow.edtPbar->AsFloat(), FWindow.edtDp->AsFloat(),
                                               temp, FWindow.edtRefTemp->AsFloat(), dilution);
            } catch (const std::exception&) {
                flow = NAN;
            }
            break;
        default:  // zero gas
            break;
    }
    const long double held = HeldFlow(flow, reason);
    if (std::isnan(held))
        return false;
    if (FWindow.Busy()) {
        reason = kPlantBusy;
        return false;
    }
    // A run's set points are the run's: the plant does not write over them.
    if (FWindow.RunDrivesKit()) {
        reason = kPlantRunDrivesKit;
        return false;
    }
    FWindow.edtTemp->SetAsFloat(temp);
    FWindow.edtDilutionFlow->SetAsFloat(dilution);
    FWindow.edtFlow->SetAsFloat(held);
    const std::string text = command.Peer + ": " + dahs::DahsCommandText(command);
    QTimer::singleShot(0, &FWindow, [this, text] { FWindow.ApplyForPlant(text); });
    return true;
}

// The run window's Start, Pause and Resume, and Stop, for the plant.
bool TDahsFeed::TakeRunCommand(const dahs::TDahsCommand& command, std::string& reason) {
    TfrmCalibrationRun& runs = FWindow.CalibrationRun();
    if (command.Kind == dahs::ckStartPlan) {
        if (runs.Running()) {
            reason = kPlantRunGoing;
            return false;
        }
        if (FWindow.Busy()) {
            reason = kPlantBusy;
            return false;
        }
        if (!runs.StartForPlant(QString::fromStdString(command.PlanFile),
                                platform::FillText(kStatusPlantCommand, {command.Peer}), reason))
            return false;
        FWindow.OpenRunWindow();
    } else {
        const run::TRunEngine* engine = runs.Engine();
        if (engine == nullptr || !engine->Running()) {
            reason = kPlantNoRun;
            return false;
        }
        // Pausing a paused run, or resuming a going one, changes nothing.
        if (command.Kind == dahs::ckStop)
            runs.btnStopClick();
        else if (engine->Paused() == (command.Kind == dahs::ckResume))
            runs.PauseOrResume(platform::FillText(kStatusPlantCommand, {command.Peer}));
    }
    FWindow.ShowPlantCommand(command.Peer + ": " + dahs::DahsCommandText(command));
    return true;
}

// The reservoir flow as its field would hold it; NaN, with the reason, when
// the field does not take it.
long double TDahsFeed::HeldFlow(long double flow, std::string& reason) const {
    const panels::TFloatEdit& field = *FWindow.edtFlow;
    const long double held =
        std::isfinite(flow) ? platform::HeldValue(flow, field.DecimalPlaces()) : flow;
    if (std::isfinite(held) && held >= field.BoundLower() && held <= field.BoundUpper())
        return held;
    reason = platform::FillText(
        kPlantOutOfReach,
        {std::isfinite(held) ? platform::FloatToStrGeneral(held) : std::string("no"),
         platform::FloatToStrGeneral(field.BoundLower()),
         platform::FloatToStrGeneral(field.BoundUpper())});
    return NAN;
}

void TDahsFeed::Polled() {
    live::TKitMonitor& monitor = FWindow.LiveView->Monitor;
    const qint64 now = FWindow.LiveView->NowMs();
    const live::TKitReadings& readings = monitor.Readings();
    dahs::TDahsSnapshot& s = FSnapshot;

    s.Status = 0;
    if (FWindow.Polling())
        s.Status |= dahs::sbPolling;
    if (readings.AllCurrent(now))
        s.Status |= dahs::sbAllCurrent;
    if (monitor.Stability().State(now) == live::ssStable)
        s.Status |= dahs::sbStable;
    for (int i = 0; i < live::kInstrumentCount; ++i)
        if (readings.NotAnswering(static_cast<live::TInstrument>(i), now))
            s.Status |= dahs::sbInstrumentSilent;

    const auto reading = [&](live::TInstrument instrument) {
        return readings.Current(instrument, now) ? readings.Value(instrument) : dahs::kDahsUnknown;
    };
    s.Temperature = reading(live::inTemperature);
    s.ReservoirFlow = reading(live::inReservoirFlow);
    s.DilutionFlow = reading(live::inDilutionFlow);
    const live::TKitTargets targets = monitor.Targets ? monitor.Targets() : live::TKitTargets{};
    s.TemperatureSetPoint = Known(targets.TempSP);
    s.ReservoirFlowSetPoint = Known(targets.FlowSP);
    s.DilutionFlowSetPoint = Known(targets.DilutionFlowSP);
    s.Calculated = Known(targets.Calculated);

    // The heartbeat grows with every complete poll, and only then.
    const live::TLiveSample* sample = monitor.CurrentSample(now);
    if (sample != nullptr && sample->Ms != FLastSampleMs) {
        FLastSampleMs = sample->Ms;
        ++s.Heartbeat;
    }
    s.Delivered = sample != nullptr ? sample->Delivered : dahs::kDahsUnknown;
    s.DeliveredU = sample != nullptr ? sample->DeliveredStandardU *
                                           static_cast<double>(monitor.Accuracies.CoverageFactor)
                                     : dahs::kDahsUnknown;
    PutRun(now);
    FDahs->Server().Publish(s);
}

// The run's fields, as the run window's engine has them.
void TDahsFeed::PutRun(qint64 now) {
    dahs::TDahsSnapshot& s = FSnapshot;
    const run::TRunEngine* engine =
        FWindow.RunWindow != nullptr ? FWindow.RunWindow->Engine() : nullptr;
    const run::TRunState state = engine != nullptr ? engine->State() : run::rsIdle;
    if (engine != FRunEngine || state != FRunState) {
        FRunEngine = engine;
        FRunState = state;
        FRunStateSinceMs = now;
    }
    s.RunState = static_cast<dahs::TDahsRunState>(state);
    s.RunStateSeconds = static_cast<std::uint32_t>((now - FRunStateSinceMs) / 1000);
    s.RunPointCount = static_cast<std::uint16_t>(engine != nullptr ? engine->PointCount() : 0);
    s.RunPoint = static_cast<std::uint16_t>(state == run::rsIdle ? 0 : engine->PointIndex());
    s.LastPointDelivered = s.LastPointU = s.LastPointAnalyser = dahs::kDahsUnknown;
    bool failed = false;
    if (engine != nullptr) {
        if (engine->Running())
            s.Status |= dahs::sbRunActive;
        if (engine->Paused())
            s.Status |= dahs::sbRunPaused;
        // The points finish in order: the last one with a result.
        for (const std::optional<QJsonObject>& result : engine->Results())
            if (result)
                failed = dahs::PutLastPoint(s, *result);
    }
    if (failed)
        s.Status |= dahs::sbLastPointFailed;
}

}  // namespace app
