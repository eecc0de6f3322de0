#include "live/history.h"

#include <gtest/gtest.h>

namespace {

using live::THistory;

live::TLiveSample At(qint64 ms) {
    live::TLiveSample s;
    s.Ms = ms;
    s.Temp = static_cast<double>(ms);  // each point tells where it came from
    return s;
}

// A week of polls every 500 ms: the last ten minutes come back poll for
// poll, older ones one in ten seconds back to eight hours, and the history
// holds no more than its bounds.
TEST(History, AWeekKeepsTheNewestPointsExactAndStaysBounded) {
    THistory history;
    const qint64 week = 7LL * 24 * 3600 * 1000;
    std::size_t largest = 0;
    for (qint64 ms = 0; ms <= week; ms += 500) {
        history.Add(At(ms));
        largest = std::max(largest, history.Size());
    }
    EXPECT_LE(largest, THistory::kExactSpanMs / 500 + 1 + THistory::kMaxThinned);

    const auto recent = history.Since(week - THistory::kExactSpanMs);
    ASSERT_EQ(recent.size(), static_cast<std::size_t>(THistory::kExactSpanMs / 500 + 1));
    for (std::size_t i = 0; i < recent.size(); ++i) {
        EXPECT_EQ(recent[i].Ms, week - THistory::kExactSpanMs + 500 * static_cast<qint64>(i));
        EXPECT_EQ(recent[i].Temp, static_cast<double>(recent[i].Ms));
    }

    const auto all = history.Since(0);
    EXPECT_GE(all.front().Ms, week - THistory::kKeptSpanMs);
    EXPECT_LE(all.front().Ms, week - THistory::kKeptSpanMs + THistory::kThinnedStepMs);
    for (std::size_t i = 1; i < all.size() - recent.size(); ++i)
        EXPECT_GE(all[i].Ms - all[i - 1].Ms, THistory::kThinnedStepMs);
}

// A poll faster than designed still cannot grow the history past its bound.
TEST(History, APollEveryMillisecondIsBoundedToo) {
    THistory history;
    for (qint64 ms = 0; ms < 2 * THistory::kExactSpanMs; ++ms)
        history.Add(At(ms));
    EXPECT_LE(history.Size(), THistory::kMaxExact + THistory::kMaxThinned);
    EXPECT_EQ(history.Since(0).back().Ms, 2 * THistory::kExactSpanMs - 1);
}

}  // namespace
