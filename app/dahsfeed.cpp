#include "app/dahsfeed.h"

#include <cmath>
#include <cstdio>

#include "app/livedisplay.h"
#include "app/mainwindow.h"

namespace app {

namespace {

double Known(double value) {
    return std::isfinite(value) ? value : dahs::kDahsUnknown;
}

}  // namespace

TDahsFeed::TDahsFeed(TfrmVapcalCalc& window, const std::string& settingsFile,
                     const std::string& listen)
    : FWindow(window) {
    dahs::TDahsSettings settings = dahs::LoadDahsSettings(settingsFile);
    if (!listen.empty()) {
        settings.Listen = dahs::ParseDahsListen(listen);
        settings.Enabled = true;
    }
    if (!settings.Enabled)
        return;
    FServer = std::make_unique<dahs::TDahsServer>(settings);
    FServer->OnLog = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    FServer->Start();
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
    if (FServer)
        FWindow.LiveView->Monitor.OnPoll = FShown;
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
    FServer->Publish(s);
}

}  // namespace app
