// When the kit is ready to calibrate with: the reservoir temperature within
// its tolerance of the set point, each flow within its tolerance of its set
// point and the delivered concentration within its tolerance of the
// calculated one, all of them without a break for the settling time.
#pragma once

#include <QtGlobal>
#include <string>
#include <vector>

#include "live/sample.h"

namespace live {

// The tolerances of the stability rule, the only place they are stated.
inline constexpr double kTempTolerance = 0.2;            // °C either side
inline constexpr double kFlowTolerance = 0.01;           // of the set point
inline constexpr double kConcentrationTolerance = 0.01;  // of the calculated

enum TStabilityState {
    ssUnknown,   // no complete poll since the readings lapsed
    ssSettling,  // something off, or in tolerance for less than the settling time
    ssStable,
};

class TStability {
  public:
    explicit TStability(qint64 settlingMs) : FSettlingMs(settlingMs) {}

    qint64 SettlingMs() const { return FSettlingMs; }
    // A new settling time applies to the run in hand at once.
    void SetSettlingMs(qint64 settlingMs) { FSettlingMs = settlingMs; }

    // A complete poll: judged against its targets.
    void Feed(const TLiveSample& sample);
    // A poll whose readings were not all current: the kit was not watched,
    // so its settling starts again with the next complete poll.
    void Lapse();

    TStabilityState State(qint64 nowMs) const;
    // The names of what was off at the last complete poll.
    const std::vector<std::string>& Off() const { return FOff; }
    // How long everything has been in tolerance, 0 while something is off.
    qint64 InToleranceMs(qint64 nowMs) const;
    // "Settling: temperature off", "Settling: in tolerance for 3 of 10 min",
    // "Stable for 12 min", "Stability: cannot tell".
    std::string Text(qint64 nowMs) const;

  private:
    qint64 FSettlingMs;
    bool FWatched = false;
    std::vector<std::string> FOff;
    qint64 FInToleranceSince = 0;
};

// The names of the quantities of `sample` outside their tolerance.
std::vector<std::string> OffTolerance(const TLiveSample& sample);

}  // namespace live
