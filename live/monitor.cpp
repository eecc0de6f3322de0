#include "live/monitor.h"

#include <cmath>
#include <cstdio>
#include <exception>

#include "live/delivered.h"
#include "live/messages.h"
#include "platform/numtext.h"

namespace live {

namespace {

// The budget of a sample's delivered concentration: the readings with the
// conditions and capacities the window holds. None when there is no
// delivered concentration, or when the budget has no value (a capacity
// unknown, accuracies that may not stand).
std::optional<calc::TUncertaintyBudget> DeliveredBudget(const TLiveSample& s,
                                                        const calc::TAccuracies& accuracies) {
    const TKitTargets& t = s.Targets;
    if (std::isnan(s.Delivered) || std::isnan(t.FlowCapacity) || std::isnan(t.DilutionFlowCapacity))
        return std::nullopt;
    try {
        return calc::CalcUncertaintyBudget(
            {s.Temp, s.Flow, s.DilutionFlow, t.Pbar, t.Dp, t.RefTemp},
            {t.FlowCapacity, t.DilutionFlowCapacity}, accuracies);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

void TKitMonitor::Completed(TInstrument instrument, bool ok, double value, qint64 ms,
                            const QDateTime& when) {
    FReadings.Completed(instrument, ok, value, ms);
    if (FReadings.PollOver() || (!FHaveSample && FReadings.AllAnswered()))
        PollOver(ms, when);
}

void TKitMonitor::Forget() {
    FReadings.Forget();
    FHaveSample = false;
    FStability.Lapse();
}

// A poll with a read that went unanswered holds the settling clock while
// every instrument's last reading is younger than the hold, and starts it
// again otherwise; so does a long gap since the kit was last watched. A poll
// that a busy machine delivered a little late still counts; the window
// shows its readings as old meanwhile.
void TKitMonitor::PollOver(qint64 ms, const QDateTime& when) {
    FReadings.TakePoll();
    if (!FReadings.AllAnswered()) {
        FStability.Unwatched(ms, FReadings.OldestAgeMs(ms));
        FHaveSample = false;
    } else {
        FLast = Sample(ms, when);
        FLastBudget = DeliveredBudget(FLast, Accuracies);
        if (FLastBudget)
            FLast.DeliveredStandardU = static_cast<double>(FLastBudget->Combined);
        FHaveSample = true;
        FStability.Feed(FLast);
        FHistory.Add(FLast);
        if (FRecorder.Recording() && !FRecorder.Write(FLast, FStability.Text(ms)) &&
            OnRecordingStopped)
            OnRecordingStopped(FRecorder.Error());
        if (OnSample)
            OnSample(FLast);
    }
    if (OnPoll)
        OnPoll();
}

// Conditions that give no concentration (a field the operator left
// unreadable, a zero pressure) leave the delivered concentration unknown.
TLiveSample TKitMonitor::Sample(qint64 ms, const QDateTime& when) const {
    TLiveSample s;
    s.Ms = ms;
    s.When = when;
    s.Temp = FReadings.Value(inTemperature);
    s.Flow = FReadings.Value(inReservoirFlow);
    s.DilutionFlow = FReadings.Value(inDilutionFlow);
    if (Targets)
        s.Targets = Targets();
    try {
        const TKitTargets& t = s.Targets;
        s.Delivered = static_cast<double>(
            DeliveredConcentration(s.Temp, s.Flow, s.DilutionFlow, t.Pbar, t.Dp, t.RefTemp));
    } catch (const std::exception&) {
        s.Delivered = kUnknown;
    }
    return s;
}

const TLiveSample* TKitMonitor::CurrentSample(qint64 nowMs) const {
    return FHaveSample && FReadings.AllCurrent(nowMs) ? &FLast : nullptr;
}

std::string TKitMonitor::DeliveredText(qint64 nowMs) const {
    if (!FReadings.AllCurrent(nowMs)) {
        char names[200];
        std::snprintf(names, sizeof names, kNotCurrent, FReadings.NotCurrentNames(nowMs).c_str());
        return std::string(kDeliveredCannotTell) + names;
    }
    const TLiveSample* sample = CurrentSample(nowMs);
    if (sample == nullptr || std::isnan(sample->Delivered))
        return kDeliveredCannotTell;
    char text[100];
    if (FLastBudget) {
        std::snprintf(text, sizeof text, kDeliveredNowWithU,
                      calc::ValueWithUncertaintyText(sample->Delivered, FLastBudget->Expanded,
                                                     FLastBudget->CoverageFactor)
                          .c_str());
        return text;
    }
    std::snprintf(text, sizeof text, kDeliveredNow,
                  platform::FloatToStrFixed(sample->Delivered, 2).c_str());
    return text;
}

std::string TKitMonitor::DeliveredUncertaintyHint(qint64 nowMs) const {
    if (!FReadings.AllCurrent(nowMs) || CurrentSample(nowMs) == nullptr || !FLastBudget)
        return {};
    return LargestContributionsText(*FLastBudget);
}

std::string TKitMonitor::StabilityText(qint64 nowMs) const {
    if (CurrentSample(nowMs) == nullptr)
        return kStabilityCannotTell;
    return FStability.Text(nowMs);
}

}  // namespace live
