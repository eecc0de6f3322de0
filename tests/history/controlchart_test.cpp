// Control charts and the seven-day test against cases worked by hand.
#include "history/controlchart.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace history;

namespace {

std::vector<TChartSample> Samples(const std::vector<double>& values) {
    std::vector<TChartSample> samples;
    for (std::size_t i = 0; i < values.size(); ++i)
        samples.push_back({QString("run-%1").arg(i + 1), "2026-01-01T08:00:00+01:00", values[i]});
    return samples;
}

// Twenty baseline results alternating +0.5 and -0.5: centre 0.
std::vector<double> QuietBaseline() {
    std::vector<double> values;
    for (int i = 0; i < 20; ++i)
        values.push_back(i % 2 == 0 ? 0.5 : -0.5);
    return values;
}

}  // namespace

// sigma 1 from the setting, centre 0, k 0.5, h 4. After the baseline both
// sums are 0. Then 2.5 (a warning: beyond 2, within 3): high 2.0; 0: 1.5;
// 1.5: 2.5; 1.5: 3.5; 1.5: 4.5 > 4, the CUSUM's action at the 25th run,
// while no result reached 3 sigma.
TEST(ControlChart, CusumSignalsADriftNoSingleResultShows) {
    std::vector<double> values = QuietBaseline();
    for (double v : {2.5, 0.0, 1.5, 1.5, 1.5})
        values.push_back(v);
    const TControlChart chart = MakeControlChart(Samples(values), 1.0);
    EXPECT_EQ(chart.SigmaSource, ssSetting);
    EXPECT_DOUBLE_EQ(chart.Center, 0);
    EXPECT_EQ(chart.Shewhart[20], csWarning);
    const std::vector<double> high{2.0, 1.5, 2.5, 3.5, 4.5};
    for (std::size_t i = 0; i < high.size(); ++i) {
        EXPECT_NEAR(chart.CusumHigh[20 + i], high[i], 1e-12) << i;
        EXPECT_DOUBLE_EQ(chart.CusumLow[20 + i], 0) << i;
    }
    ASSERT_TRUE(chart.FirstSignal);
    EXPECT_EQ(chart.FirstSignal->Chart, "CUSUM");
    EXPECT_EQ(chart.FirstSignal->Since, 24);
    EXPECT_EQ(chart.State, csAction);
    ASSERT_TRUE(chart.Signal);
    EXPECT_EQ(chart.Samples[static_cast<std::size_t>(chart.Signal->Since)].RunId, "run-25");
    EXPECT_EQ(SigmaText(chart), "sigma 1 ng/l from the analyser's setting");

    // A result beyond 3 sigma next: the Shewhart chart signals too, but the
    // action has held since the CUSUM's run.
    values.push_back(3.5);
    const TControlChart later = MakeControlChart(Samples(values), 1.0);
    EXPECT_EQ(later.Shewhart.back(), csAction);
    EXPECT_NEAR(later.CusumHigh.back(), 7.5, 1e-12);
    EXPECT_EQ(later.Signal->Chart, "CUSUM");
    EXPECT_EQ(later.Signal->Since, 24);
    EXPECT_EQ(later.FirstSignal->Since, 24);
}

// Without a setting: 1, 3, 1, 3 ... over twenty results, mean 2, sample SD
// sqrt(20 / 19) = 1.02598. 5.2 lies 3.2 above: beyond 3 sigma (3.0779), a
// Shewhart action at run 21. The CUSUM's high sum is then (1 - k) + (3.2 - k)
// = 4.2 - sigma = 3.17402, below h = 4.10391.
TEST(ControlChart, SigmaFromTheFirstTwentyResultsAndAShewhartAction) {
    std::vector<double> values;
    for (int i = 0; i < 20; ++i)
        values.push_back(i % 2 == 0 ? 1.0 : 3.0);
    values.push_back(5.2);
    const TControlChart chart = MakeControlChart(Samples(values), std::nullopt);
    EXPECT_EQ(chart.SigmaSource, ssFirstResults);
    EXPECT_DOUBLE_EQ(chart.Center, 2);
    EXPECT_NEAR(chart.Sigma, std::sqrt(20.0 / 19.0), 1e-12);
    EXPECT_NEAR(chart.CusumHigh.back(), 4.2 - std::sqrt(20.0 / 19.0), 1e-12);
    EXPECT_EQ(chart.Shewhart.back(), csAction);
    ASSERT_TRUE(chart.FirstSignal);
    EXPECT_EQ(chart.FirstSignal->Chart, "Shewhart");
    EXPECT_EQ(chart.FirstSignal->Since, 20);
    EXPECT_EQ(chart.State, csAction);
    EXPECT_EQ(SigmaText(chart), "sigma 1.03 ng/l from the first 20 results");
}

TEST(ControlChart, StatesWithoutAnAction) {
    std::vector<double> values = QuietBaseline();
    values.push_back(-2.5);  // a warning below: the low side counts too
    TControlChart chart = MakeControlChart(Samples(values), 1.0);
    EXPECT_EQ(chart.State, csWarning);
    EXPECT_FALSE(chart.Signal);
    EXPECT_NEAR(chart.CusumLow.back(), 2.0, 1e-12);

    values.push_back(0.2);
    chart = MakeControlChart(Samples(values), 1.0);
    EXPECT_EQ(chart.State, csInControl);
    EXPECT_FALSE(chart.FirstSignal);

    // One result and no setting: no limits, and the chart says why.
    chart = MakeControlChart(Samples({0.3}), std::nullopt);
    EXPECT_EQ(chart.State, csNoLimits);
    EXPECT_TRUE(chart.Shewhart.empty());
    EXPECT_EQ(SigmaText(chart), "too few results for limits (1 of 2)");
    // Identical results give no spread to set limits by.
    EXPECT_EQ(MakeControlChart(Samples({0.3, 0.3, 0.3}), std::nullopt).State, csNoLimits);
    // Fewer than twenty: sigma from those there are, saying how many.
    chart = MakeControlChart(Samples({1, 3, 1, 3, 1}), std::nullopt);
    EXPECT_EQ(SigmaText(chart), "sigma 1.1 ng/l from the first 5 results");
}

TEST(SevenDayCalibrationError, SevenConsecutiveDaysJudgedByEachDaysLastRun) {
    std::vector<TCalibrationErrorRun> runs;
    for (int day = 1; day <= 7; ++day)
        runs.push_back(
            {QString("d%1").arg(day), QString("2026-12-0%1T08:00:00+01:00").arg(day), true});
    // A failed test on the 4th repeated that day and passed: the repeat
    // decides; an older failure outside the seven days is not among them.
    runs.push_back({"d4-early", "2026-12-04T06:00:00+01:00", false});
    runs.push_back({"old", "2026-11-20T08:00:00+01:00", false});
    TSevenDayTest test = SevenDayCalibrationError(runs);
    ASSERT_EQ(test.Days.size(), 7u);
    EXPECT_EQ(test.Days.front().Day, QDate(2026, 12, 1));
    EXPECT_EQ(test.Days[3].RunId, "d4");
    EXPECT_TRUE(test.Pass);

    // The last run of a day failed: that day fails and so do the seven.
    runs.push_back({"d6-late", "2026-12-06T17:00:00+01:00", false});
    test = SevenDayCalibrationError(runs);
    EXPECT_FALSE(test.Days[5].Pass);
    EXPECT_FALSE(test.Pass);

    // A day without a run breaks the seven; an incomplete run is no pass.
    runs = {{"a", "2026-12-01T08:00:00+01:00", true}, {"b", "2026-12-03T08:00:00+01:00", true}};
    test = SevenDayCalibrationError(runs);
    EXPECT_EQ(test.Days.back().Day, QDate(2026, 12, 3));
    EXPECT_TRUE(test.Days[5].RunId.isEmpty());
    EXPECT_FALSE(test.Days[5].Pass);
    EXPECT_FALSE(test.Pass);
    EXPECT_FALSE(SevenDayCalibrationError({{"c", "2026-12-01T08:00:00+01:00", std::nullopt}})
                     .Days.back()
                     .Pass);
    EXPECT_TRUE(SevenDayCalibrationError({}).Days.empty());
}
