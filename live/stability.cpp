#include "live/stability.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>

#include "calc/settings.h"
#include "live/messages.h"
#include "platform/inifile.h"

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

double TTolerances::Flow(double setPoint) const {
    return std::max(FlowPercent / 100 * std::fabs(setPoint), FlowFloor);
}

double TTolerances::DilutionFlow(double setPoint) const {
    return std::max(FlowPercent / 100 * std::fabs(setPoint), DilutionFloor);
}

double TTolerances::Concentration(double calculated) const {
    return std::max(ConcentrationPercent / 100 * std::fabs(calculated), ConcentrationFloor);
}

TTolerances ReadTolerances(const std::string& settingsFile) {
    const platform::TIniFile ini(settingsFile);
    TTolerances tolerances;
    const auto floor = [&ini](const char* key, double& value) {
        try {
            const auto read =
                static_cast<double>(ini.ReadFloat(calc::kSettingsSection, key, value));
            if (std::isfinite(read) && read >= 0)
                value = read;
        } catch (const std::exception&) {
            // An unreadable floor keeps its default.
        }
    };
    floor(kFlowToleranceFloorKey, tolerances.FlowFloor);
    floor(kDilutionToleranceFloorKey, tolerances.DilutionFloor);
    floor(kConcentrationToleranceFloorKey, tolerances.ConcentrationFloor);
    return tolerances;
}

std::vector<std::string> OffTolerance(const TLiveSample& s, const TTolerances& tolerances) {
    const TKitTargets& t = s.Targets;
    std::vector<std::string> off;
    if (!Within(s.Temp, t.TempSP, tolerances.Temp))
        off.push_back(kTemperatureName);
    if (!Within(s.Flow, t.FlowSP, tolerances.Flow(t.FlowSP)))
        off.push_back(kReservoirFlowName);
    if (!Within(s.DilutionFlow, t.DilutionFlowSP, tolerances.DilutionFlow(t.DilutionFlowSP)))
        off.push_back(kDilutionFlowName);
    if (!Within(s.Delivered, t.Calculated, tolerances.Concentration(t.Calculated)))
        off.push_back(kConcentrationName);
    return off;
}

void TStability::Feed(const TLiveSample& sample) {
    if (FWatched && sample.Ms - FWatchedMs > kReadingGapHoldMs)
        Lapse();
    FWatchedMs = sample.Ms;
    const bool wasIn = FWatched && FOff.empty();
    FOff = OffTolerance(sample, FTolerances);
    FWatched = true;
    if (FOff.empty() && !wasIn)
        FInToleranceSince = sample.Ms;
}

void TStability::Unwatched(qint64 ms, std::optional<qint64> oldestReadingAgeMs) {
    if (!FWatched)
        return;
    if (!oldestReadingAgeMs || *oldestReadingAgeMs > kReadingGapHoldMs ||
        ms - FWatchedMs > kReadingGapHoldMs) {
        Lapse();
        return;
    }
    FWatchedMs = ms;
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
    if (!FWatched || nowMs - FWatchedMs > kReadingGapHoldMs)
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
