#include "run/kitline.h"

#include "kit/registers.h"
#include "platform/serialdevice.h"

namespace run {

namespace {}  // namespace

TKitLine::TKitLine(const TAnalyzerPlan& analyzer, const TRunClock& clock)
    : FAnalyzerPlan(analyzer), FClock(clock), FMonitor(0, kit::kPollIntervalMs) {
    // Each measured value goes to the monitor as it comes, as the window
    // feeds its own: a read that waited behind another is late, not lost.
    FKit.OnRead = [this](const kit::TReadDone& read) {
        if (read.StartReg == kit::kRegCapacity && read.Status == regwire::tsSuccess &&
            read.Instrument != live::inTemperature)
            FCapacityRead[read.Instrument == live::inReservoirFlow ? 0 : 1] = true;
        if (!read.Measured)
            return;
        const bool ok = read.Status == regwire::tsSuccess;
        FMonitor.Completed(read.Instrument, ok, ok ? read.Value : 0, FClock.Ms(), FClock.Local());
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
        FPendingSample = sample;
    };
    FMonitor.OnPoll = [this] {
        if (!FSampled && OnLapse)
            OnLapse(FMonitor.Readings().OldestAgeMs(FClock.Ms()));
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

// A lossy line loses some of the reads, each sent up to three times; those
// still unanswered are read again for as long as the kit may be silent, so
// that a line Apply survives does not refuse a start.
TKitLimits TKitLine::ReadLimits(const TKitLimits& conditions, int patienceMs) {
    FKit.RefreshSettings(patienceMs);
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

// The cycle is over: the complete poll it brought goes on with the
// analyser's reading of the same cycle.
void TKitLine::Cycle(const kit::TPollCycle& cycle) {
    if (FAnalyzer) {
        FAnalyzer->Cycle(cycle);
        if (FAnalyzer->Answered() && OnAnalyzerAnswered)
            OnAnalyzerAnswered(*FAnalyzer->Answered());
    }
    if (!FPendingSample)
        return;
    const live::TLiveSample sample = *FPendingSample;
    FPendingSample.reset();
    if (OnSample)
        OnSample(sample, FAnalyzer ? FAnalyzer->Reading() : std::nullopt);
}

void TKitLine::StartPolling() {
    FKit.StartPolling();
}

void TKitLine::StopPolling() {
    FKit.StopPolling();
}

// The same writes, resends and confirmation as Apply; only the set points
// that differ from what the instruments are known to hold are written, so
// an Apply sent again writes just those that were not confirmed.
void TKitLine::Apply(const TSetPoints& setPoints, std::function<void(const TApplyResult&)> done) {
    const kit::TSetPoints wanted{setPoints.Temperature, setPoints.ReservoirFlow,
                                 setPoints.DilutionFlow};
    const std::uint32_t start = platform::TickCount();
    kit::TApplyResult result;
    try {
        do {
            result = FKit.Apply(FKit.Changes(wanted));
        } while (result.OnlyUnanswered() &&
                 platform::TickCount() - start < static_cast<std::uint32_t>(ApplyPatienceMs));
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
