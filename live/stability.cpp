#include "live/stability.h"

#include <cmath>
#include <cstdio>

#include "live/messages.h"

namespace live {

namespace {

// Readings in tenths of a degree or in controller counts land a rounding
// error beside a tolerance's edge (40.2 - 40.0 is 0.2000000000000028); an
// edge counts as in.
constexpr double kEdgeSlack = 1e-9;

// An unknown set point or reading is never within anything.
bool Within(double value, double target, double tolerance) {
    if (std::isnan(value) || std::isnan(target))
        return false;
    return std::fabs(value - target) <= tolerance + kEdgeSlack;
}

int WholeMinutes(qint64 ms) {
    return static_cast<int>(ms / 60000);
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty())
            text += ", ";
        text += name;
    }
    return text;
}

}  // namespace

std::vector<std::string> OffTolerance(const TLiveSample& s) {
    const TKitTargets& t = s.Targets;
    std::vector<std::string> off;
    if (!Within(s.Temp, t.TempSP, kTempTolerance))
        off.push_back(kTemperatureName);
    if (!Within(s.Flow, t.FlowSP, kFlowTolerance * std::fabs(t.FlowSP)))
        off.push_back(kReservoirFlowName);
    if (!Within(s.DilutionFlow, t.DilutionFlowSP, kFlowTolerance * std::fabs(t.DilutionFlowSP)))
        off.push_back(kDilutionFlowName);
    if (!Within(s.Delivered, t.Calculated, kConcentrationTolerance * std::fabs(t.Calculated)))
        off.push_back(kConcentrationName);
    return off;
}

void TStability::Feed(const TLiveSample& sample) {
    const bool wasIn = FWatched && FOff.empty();
    FOff = OffTolerance(sample);
    FWatched = true;
    if (FOff.empty() && !wasIn)
        FInToleranceSince = sample.Ms;
}

void TStability::Lapse() {
    FWatched = false;
    FOff.clear();
}

qint64 TStability::InToleranceMs(qint64 nowMs) const {
    if (!FWatched || !FOff.empty())
        return 0;
    return nowMs - FInToleranceSince;
}

TStabilityState TStability::State(qint64 nowMs) const {
    if (!FWatched)
        return ssUnknown;
    if (!FOff.empty() || InToleranceMs(nowMs) < FSettlingMs)
        return ssSettling;
    return ssStable;
}

std::string TStability::Text(qint64 nowMs) const {
    char text[200];
    switch (State(nowMs)) {
        case ssUnknown:
            return kStabilityCannotTell;
        case ssStable:
            std::snprintf(text, sizeof text, kStableFor, WholeMinutes(InToleranceMs(nowMs)));
            return text;
        case ssSettling:
            break;
    }
    if (!FOff.empty()) {
        std::snprintf(text, sizeof text, kSettlingOff, Joined(FOff).c_str());
        return text;
    }
    std::snprintf(text, sizeof text, kSettlingWithin, WholeMinutes(InToleranceMs(nowMs)),
                  WholeMinutes(FSettlingMs));
    return text;
}

}  // namespace live
