// The trend's memory: every complete poll of the last ten minutes exactly,
// and, back to eight hours, one poll in each ten seconds. Older polls are
// dropped, so a week-long run holds no more than an hour-long one.
#pragma once

#include <QtGlobal>
#include <cstddef>
#include <deque>
#include <vector>

#include "live/sample.h"

namespace live {

struct TTrendPoint {
    qint64 Ms = 0;
    double Temp = 0, TempSP = 0;
    double Flow = 0, FlowSP = 0;
    double DilutionFlow = 0, DilutionFlowSP = 0;
    double Delivered = 0, Calculated = 0;
};

TTrendPoint TrendPoint(const TLiveSample& sample);

class THistory {
  public:
    static constexpr qint64 kExactSpanMs = 10 * 60 * 1000;
    static constexpr qint64 kKeptSpanMs = 8 * 60 * 60 * 1000;
    static constexpr qint64 kThinnedStepMs = 10 * 1000;
    // Bounds on the number of points whatever the poll's pace: ten minutes
    // at a poll every 100 ms, and the thinned span at its step.
    static constexpr std::size_t kMaxExact = kExactSpanMs / 100;
    static constexpr std::size_t kMaxThinned = kKeptSpanMs / kThinnedStepMs + 1;

    void Add(const TLiveSample& sample);
    // The points at or after `ms`, oldest first.
    std::vector<TTrendPoint> Since(qint64 ms) const;
    std::size_t Size() const { return FExact.size() + FThinned.size(); }
    void Clear();

  private:
    void Thin(qint64 newestMs);

    std::deque<TTrendPoint> FThinned;  // older than the exact span, one per step
    std::deque<TTrendPoint> FExact;    // the last ten minutes, every poll
};

}  // namespace live
