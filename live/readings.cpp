#include "live/readings.h"

#include "live/messages.h"

namespace live {

const char* InstrumentName(TInstrument instrument) {
    switch (instrument) {
        case inReservoirFlow:
            return kReservoirFlowName;
        case inDilutionFlow:
            return kDilutionFlowName;
        case inTemperature:
            return kTemperatureName;
    }
    return "";
}

void TKitReadings::Completed(TInstrument instrument, bool ok, double value, qint64 ms) {
    TState& state = FStates[instrument];
    state.Completed = true;
    state.Unanswered = !ok;
    if (!ok)
        return;
    state.Read = true;
    state.AnsweredAt = ms;
    state.Value = value;
}

void TKitReadings::Forget() {
    FStates = {};
}

bool TKitReadings::Current(TInstrument instrument, qint64 nowMs) const {
    const TState& state = FStates[instrument];
    return (!PollRunning || PollRunning()) && state.Read && !state.Unanswered &&
           nowMs - state.AnsweredAt <= FMaxAgeMs;
}

bool TKitReadings::AllCurrent(qint64 nowMs) const {
    return Current(inReservoirFlow, nowMs) && Current(inDilutionFlow, nowMs) &&
           Current(inTemperature, nowMs);
}

bool TKitReadings::AllAnswered() const {
    if (PollRunning && !PollRunning())
        return false;
    for (const TState& state : FStates)
        if (!state.Read || state.Unanswered)
            return false;
    return true;
}

bool TKitReadings::NotAnswering(TInstrument instrument, qint64 nowMs) const {
    const TState& state = FStates[instrument];
    return state.Unanswered || (state.Read && nowMs - state.AnsweredAt > FMaxAgeMs);
}

std::optional<qint64> TKitReadings::OldestAgeMs(qint64 nowMs) const {
    std::optional<qint64> oldest;
    for (const TState& state : FStates) {
        if (!state.Read)
            continue;
        const qint64 age = nowMs - state.AnsweredAt;
        if (!oldest || age > *oldest)
            oldest = age;
    }
    return oldest;
}

std::string TKitReadings::NotCurrentNames(qint64 nowMs) const {
    std::string names;
    // In the order the temperature, then the flows, as the operator sets them.
    for (TInstrument instrument : {inTemperature, inReservoirFlow, inDilutionFlow}) {
        if (Current(instrument, nowMs))
            continue;
        if (!names.empty())
            names += ", ";
        names += InstrumentName(instrument);
    }
    return names;
}

bool TKitReadings::PollOver() const {
    for (const TState& state : FStates) {
        if (!state.Completed)
            return false;
    }
    return true;
}

void TKitReadings::TakePoll() {
    for (TState& state : FStates)
        state.Completed = false;
}

}  // namespace live
