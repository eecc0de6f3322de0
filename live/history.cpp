#include "live/history.h"

#include <algorithm>

namespace live {

TTrendPoint TrendPoint(const TLiveSample& s) {
    const TKitTargets& t = s.Targets;
    return {s.Ms,           s.Temp,           t.TempSP,    s.Flow,      t.FlowSP,
            s.DilutionFlow, t.DilutionFlowSP, s.Delivered, t.Calculated};
}

void THistory::Add(const TLiveSample& sample) {
    FExact.push_back(TrendPoint(sample));
    Thin(sample.Ms);
}

// Points leaving the exact span are kept one per step; points leaving the
// kept span go.
void THistory::Thin(qint64 newestMs) {
    while (!FExact.empty() &&
           (FExact.front().Ms < newestMs - kExactSpanMs || FExact.size() > kMaxExact)) {
        const TTrendPoint& oldest = FExact.front();
        if (FThinned.empty() || oldest.Ms >= FThinned.back().Ms + kThinnedStepMs)
            FThinned.push_back(oldest);
        FExact.pop_front();
    }
    while (!FThinned.empty() &&
           (FThinned.front().Ms < newestMs - kKeptSpanMs || FThinned.size() > kMaxThinned))
        FThinned.pop_front();
}

std::vector<TTrendPoint> THistory::Since(qint64 ms) const {
    std::vector<TTrendPoint> points;
    const auto later = [ms](const TTrendPoint& p) { return p.Ms >= ms; };
    std::copy_if(FThinned.begin(), FThinned.end(), std::back_inserter(points), later);
    std::copy_if(FExact.begin(), FExact.end(), std::back_inserter(points), later);
    return points;
}

void THistory::Clear() {
    FExact.clear();
    FThinned.clear();
}

}  // namespace live
