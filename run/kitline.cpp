#include "run/kitline.h"

#include "kit/registers.h"
#include "platform/delay.h"
#include "platform/serialdevice.h"

namespace run {

namespace {

// How long the settings' reads may take to be answered at the most, and how
// often they are looked for meanwhile.
constexpr std::uint32_t kLimitsAnswerMs = 10000;
constexpr int kLimitsLookMs = 20;

}  // namespace

TKitLine::TKitLine(const TAnalyzerPlan& analyzer, const TRunClock& clock)
    : FAnalyzerPlan(analyzer), FClock(clock), FMonitor(0, kit::kPollIntervalMs) {
    FKit.OnRead = [this](const kit::TReadDone& read) {
        if (read.StartReg == kit::kRegCapacity && read.Status == regwire::tsSuccess &&
            read.Instrument != live::inTemperature)
            FCapacityRead[read.Instrument == live::inReservoirFlow ? 0 : 1] = true;
    };
    FKit.OnPoll = [this](const kit::TPollCycle& cycle) { Cycle(cycle); };
    FKit.OnPortGone = [this](const std::string& port) {
        if (OnPortGone)
            OnPortGone(port);
    };
    FKit.OnPortBack = [this](const std::string& port) {
        if (OnPortBack)
            OnPortBack(port);
    };
    FMonitor.Targets = [this] { return Targets ? Targets() : live::TKitTargets{}; };
    FMonitor.OnSample = [this](const live::TLiveSample& sample) {
        FSampled = true;
        if (OnSample)
            OnSample(sample, FAnalyzer ? FAnalyzer->Reading() : std::nullopt);
    };
    FMonitor.OnPoll = [this] {
        if (!FSampled && OnLapse)
            OnLapse();
        FSampled = false;
    };
}

TKitLine::~TKitLine() {
    FKit.StopPolling();
    FAnalyzer.reset();
}

void TKitLine::Open(const std::string& port) {
    try {
        FKit.Open(port);
        FAnalyzer = std::make_unique<TAnalyzerReader>(FAnalyzerPlan, FKit);
    } catch (const std::exception& e) {
        throw ELineError(e.what());
    }
}

// Refresh gives each group of reads a fixed time; a kit that answers late
// (a busy gateway, a loaded PC) still answers within a few time-outs, and a
// run must not be refused for it.
TKitLimits TKitLine::ReadLimits(const TKitLimits& conditions) {
    FKit.RefreshSettings();
    const auto answered = [this] {
        return FCapacityRead[0] && FCapacityRead[1] && FKit.TempUpperLimit.has_value() &&
               FKit.TempLowerLimit.has_value();
    };
    const std::uint32_t start = platform::TickCount();
    while (!answered() && platform::TickCount() - start < kLimitsAnswerMs)
        platform::Delay(kLimitsLookMs);
    const auto need = [](bool answered, const char* what) {
        if (!answered)
            throw ELineError(std::string("the kit did not answer the read of ") + what);
    };
    need(FCapacityRead[0], "the reservoir flow's capacity");
    need(FCapacityRead[1], "the dilution flow's capacity");
    need(FKit.TempUpperLimit.has_value(), "the temperature's upper limit");
    need(FKit.TempLowerLimit.has_value(), "the temperature's lower limit");
    TKitLimits limits = conditions;
    limits.ReservoirCapacity = FKit.RFCapacity;
    limits.DilutionCapacity = FKit.DFCapacity;
    limits.TempMax = *FKit.TempUpperLimit;
    limits.TempMin = *FKit.TempLowerLimit;
    return limits;
}

// The cycle's readings go to the monitor together, the analyser's reading
// of the same cycle first, so the sample they complete carries it. A read
// that was not sent (its previous one still waiting) says nothing new.
void TKitLine::Cycle(const kit::TPollCycle& cycle) {
    if (FAnalyzer)
        FAnalyzer->Cycle(cycle);
    const qint64 ms = FClock.Ms();
    const QDateTime when = FClock.Local();
    for (int i = 0; i < live::kInstrumentCount; ++i) {
        const kit::TPollCycle::TMeasuredRead& read = cycle.Readings[static_cast<std::size_t>(i)];
        if (!read.Sent)
            continue;
        const bool ok = read.Completed && read.Status == regwire::tsSuccess;
        FMonitor.Completed(static_cast<live::TInstrument>(i), ok, ok ? read.Value : 0, ms, when);
    }
}

void TKitLine::StartPolling() {
    FKit.StartPolling();
}

void TKitLine::StopPolling() {
    FKit.StopPolling();
}

// The same writes, resends and confirmation as Apply; only the set points
// that differ from what the instruments are known to hold are written.
void TKitLine::Apply(const TSetPoints& setPoints, std::function<void(const TApplyResult&)> done) {
    kit::TApplyResult result;
    try {
        result = FKit.Apply(
            FKit.Changes({setPoints.Temperature, setPoints.ReservoirFlow, setPoints.DilutionFlow}));
    } catch (const std::exception& e) {
        done({false, e.what()});
        return;
    }
    if (!FKit.Polling())
        FKit.StartPolling();
    if (result.Ok())
        done({});
    else
        done({false, kit::FailureText(result.Failures.front())});
}

}  // namespace run
