#include "tools/rundahs.h"

#include "dahs/runresult.h"
#include "platform/filltext.h"

namespace tools {

// The run's states and the map's are the same list in the same order.
static_assert(static_cast<int>(run::rsIdle) == dahs::rsIdle &&
              static_cast<int>(run::rsDwelling) == dahs::rsDwelling &&
              static_cast<int>(run::rsStopped) == dahs::rsStopped);

namespace {

constexpr const char* kPlantLine = "plant %s";  // address: command
constexpr const char* kPlantStopped = "stopped by the plant's DAHS at %s";
constexpr const char* kRunDrivesKit = "a run drives the kit";
constexpr const char* kNoRun = "no run is under way";
constexpr const char* kClosing = "the run is ending";

}  // namespace

bool TRunDahs::Wanted(const std::string& listen, const std::string& settingsFile) {
    return dahs::LoadDahsSettings(settingsFile, listen).Enabled;
}

TRunDahs::TRunDahs(const std::string& listen, const std::string& settingsFile,
                   run::TRunEngine& engine, run::TKitLine& kit, const run::TRunClock& clock,
                   std::function<void(const std::string&)> say)
    : FEngine(engine), FKit(kit), FClock(clock), FSay(std::move(say)) {
    const dahs::TDahsSettings settings = dahs::LoadDahsSettings(settingsFile, listen);
    FHost = settings.Listen.Host;
    FDahs = std::make_unique<dahs::TMainThreadDahs>(
        settings,
        [this](const dahs::TDahsCommand& command, std::string& reason) {
            return Take(command, reason);
        },
        kClosing);
    FSnapshot.RunPointCount = static_cast<std::uint16_t>(FEngine.PointCount());
    FStateSinceMs = FClock.Ms();
    Publish();
    FDahs->Start();
}

TRunDahs::~TRunDahs() = default;

std::string TRunDahs::Address() const {
    const bool ipv6 = FHost.find(':') != std::string::npos;
    return "mbtcp://" + (ipv6 ? "[" + FHost + "]" : FHost) + ":" +
           std::to_string(FDahs->Server().LocalPort());
}

bool TRunDahs::Take(const dahs::TDahsCommand& command, std::string& reason) {
    switch (command.Kind) {
        case dahs::ckPause:
        case dahs::ckResume:
        case dahs::ckStop:
            if (!FEngine.Running()) {
                reason = kNoRun;
                return false;
            }
            break;
        default:
            reason = kRunDrivesKit;
            return false;
    }
    FSay(platform::FillText(kPlantLine, {command.Peer + ": " + dahs::DahsCommandText(command)}));
    // The journal and results.json say the plant asked.
    const std::string by = platform::FillText(kPlantLine, {command.Peer});
    if (command.Kind == dahs::ckPause)
        FEngine.Pause(by);
    else if (command.Kind == dahs::ckResume)
        FEngine.Continue(by);
    else
        FEngine.Stop(platform::FillText(kPlantStopped, {command.Peer}));
    return true;
}

void TRunDahs::Sampled(const live::TLiveSample& sample) {
    ++FSnapshot.Heartbeat;
    FSnapshot.Temperature = sample.Temp;
    FSnapshot.ReservoirFlow = sample.Flow;
    FSnapshot.DilutionFlow = sample.DilutionFlow;
    FSnapshot.Delivered = sample.Delivered;
    FSnapshot.DeliveredU =
        sample.DeliveredStandardU * static_cast<double>(FKit.Monitor().Accuracies.CoverageFactor);
    Publish();
}

// A poll that was not complete: its readings cannot be told.
void TRunDahs::Lapsed() {
    FSnapshot.Temperature = FSnapshot.ReservoirFlow = FSnapshot.DilutionFlow = dahs::kDahsUnknown;
    FSnapshot.Delivered = FSnapshot.DeliveredU = dahs::kDahsUnknown;
    Publish();
}

void TRunDahs::StateChanged() {
    if (FEngine.State() != FState) {
        FState = FEngine.State();
        FStateSinceMs = FClock.Ms();
    }
    Publish();
}

void TRunDahs::PointFinished(const QJsonObject& result) {
    FLastPointFailed = dahs::PutLastPoint(FSnapshot, result);
    Publish();
}

void TRunDahs::Publish() {
    const qint64 now = FClock.Ms();
    live::TKitMonitor& monitor = FKit.Monitor();
    dahs::TDahsSnapshot& s = FSnapshot;
    s.Status = 0;
    if (FKit.Kit().Polling())
        s.Status |= dahs::sbPolling;
    if (monitor.Readings().AllCurrent(now))
        s.Status |= dahs::sbAllCurrent;
    if (monitor.Stability().State(now) == live::ssStable)
        s.Status |= dahs::sbStable;
    for (int i = 0; i < live::kInstrumentCount; ++i)
        if (monitor.Readings().NotAnswering(static_cast<live::TInstrument>(i), now))
            s.Status |= dahs::sbInstrumentSilent;
    if (FEngine.Running())
        s.Status |= dahs::sbRunActive;
    if (FEngine.Paused())
        s.Status |= dahs::sbRunPaused;
    if (FLastPointFailed)
        s.Status |= dahs::sbLastPointFailed;

    const live::TKitTargets targets = FEngine.Targets();
    s.TemperatureSetPoint = targets.TempSP;
    s.ReservoirFlowSetPoint = targets.FlowSP;
    s.DilutionFlowSetPoint = targets.DilutionFlowSP;
    s.Calculated = targets.Calculated;
    s.RunPoint =
        static_cast<std::uint16_t>(FEngine.State() == run::rsIdle ? 0 : FEngine.PointIndex());
    s.RunState = static_cast<dahs::TDahsRunState>(FEngine.State());
    s.RunStateSeconds = static_cast<std::uint32_t>((now - FStateSinceMs) / 1000);
    FDahs->Server().Publish(s);
}

}  // namespace tools
