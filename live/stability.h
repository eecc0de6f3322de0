// When the kit is ready to calibrate with: the reservoir temperature within
// its tolerance of the set point, each flow within its tolerance of its set
// point and the delivered concentration within its tolerance of the
// calculated one, all of them without a break for the settling time.
#pragma once

#include <QtGlobal>
#include <optional>
#include <string>
#include <vector>

#include "live/sample.h"

namespace live {

// The tolerances of the stability rule, the only place they are stated.
inline constexpr double kTempTolerance = 0.2;            // °C either side
inline constexpr double kFlowTolerance = 0.01;           // of the set point
inline constexpr double kConcentrationTolerance = 0.01;  // of the calculated
// A tolerance in percent of its target alone would ask a flow set to 0 to
// read exactly 0 and a calculated 0 ng/l to be delivered exactly, so a zero
// point would never settle and a low flow only by chance under the
// controller's noise. Each tolerance is therefore never narrower than an
// absolute floor: 0.1 % of a 20 ml/min (or l/min) controller's full scale,
// and the concentration's last shown digit.
inline constexpr double kFlowToleranceFloor = 0.02;           // ml/min
inline constexpr double kDilutionToleranceFloor = 0.02;       // l/min
inline constexpr double kConcentrationToleranceFloor = 0.05;  // ng/l
// The settings keys of the floors (section Vapcal of Vapcal.ini).
inline constexpr const char* kFlowToleranceFloorKey = "FlowToleranceFloor";
inline constexpr const char* kDilutionToleranceFloorKey = "DilutionToleranceFloor";
inline constexpr const char* kConcentrationToleranceFloorKey = "ConcentrationToleranceFloor";

// A gap in the readings shorter than this holds the settling clock: a read
// lost on a noisy line is no evidence that the kit moved. A longer gap, a
// reading out of tolerance or another port starts the clock again.
inline constexpr qint64 kReadingGapHoldMs = 10000;

struct TTolerances {
    double Temp = kTempTolerance;                                 // °C either side
    double FlowPercent = kFlowTolerance * 100;                    // of the set point
    double ConcentrationPercent = kConcentrationTolerance * 100;  // of the calculated
    double FlowFloor = kFlowToleranceFloor;                       // ml/min
    double DilutionFloor = kDilutionToleranceFloor;               // l/min
    double ConcentrationFloor = kConcentrationToleranceFloor;     // ng/l

    // The band either side of a target.
    double Flow(double setPoint) const;
    double DilutionFlow(double setPoint) const;
    double Concentration(double calculated) const;
};

// The tolerances with the floors Vapcal.ini gives; a floor that is missing,
// unreadable, negative or not finite keeps its default.
TTolerances ReadTolerances(const std::string& settingsFile);

enum TStabilityState {
    ssUnknown,   // no complete poll since the readings lapsed
    ssSettling,  // something off, or in tolerance for less than the settling time
    ssStable,
};

class TStability {
  public:
    explicit TStability(qint64 settlingMs, const TTolerances& tolerances = {})
        : FSettlingMs(settlingMs), FTolerances(tolerances) {}

    qint64 SettlingMs() const { return FSettlingMs; }
    // A new settling time applies to the run in hand at once.
    void SetSettlingMs(qint64 settlingMs) { FSettlingMs = settlingMs; }
    const TTolerances& Tolerances() const { return FTolerances; }
    // New tolerances judge from the next complete poll on.
    void SetTolerances(const TTolerances& tolerances) { FTolerances = tolerances; }

    // A complete poll: judged against its targets. One that comes more
    // than kReadingGapHoldMs after the kit was last watched starts the
    // settling again.
    void Feed(const TLiveSample& sample);
    // A poll at `ms` that was not complete: while every instrument's last
    // reading (`oldestReadingAgeMs`, none when unknown) is younger than
    // kReadingGapHoldMs the kit still counts as watched and the settling
    // clock holds; otherwise the settling starts again.
    void Unwatched(qint64 ms, std::optional<qint64> oldestReadingAgeMs);
    // The kit was not watched (another line, the poll stopped): its
    // settling starts again with the next complete poll.
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
    TTolerances FTolerances;
    bool FWatched = false;
    qint64 FWatchedMs = 0;  // when the kit was last watched
    std::vector<std::string> FOff;
    qint64 FInToleranceSince = 0;
};

// The names of the quantities of `sample` outside their tolerance.
std::vector<std::string> OffTolerance(const TLiveSample& sample,
                                      const TTolerances& tolerances = {});

}  // namespace live
