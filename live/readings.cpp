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
    state.Ok = ok;
    state.Completed = true;
    state.Ms = ms;
    if (ok)
        state.Value = value;
}

bool TKitReadings::Current(TInstrument instrument, qint64 nowMs) const {
    const TState& state = FStates[instrument];
    return state.Ok && nowMs - state.Ms <= kPollLapseMs;
}

bool TKitReadings::AllCurrent(qint64 nowMs) const {
    return Current(inReservoirFlow, nowMs) && Current(inDilutionFlow, nowMs) &&
           Current(inTemperature, nowMs);
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
