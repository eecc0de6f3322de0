#include "live/monitor.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdio>
#include <vector>

#include "livepoll.h"
#include "platform/numtext.h"

namespace {

using live::TKitMonitor;

constexpr qint64 kMinute = 60 * 1000;

class MonitorTest : public ::testing::Test {
  protected:
    // Polled once a second: a reading stays current for 1.5 s.
    MonitorTest() : monitor(10 * kMinute, 1000) { monitor.Targets = ExampleTargets; }

    // Polls once a second from `from` up to `to` with the given readings.
    void PollEverySecond(qint64 from, qint64 to, double temp, double flow, double dilutionFlow) {
        for (qint64 ms = from; ms <= to; ms += 1000)
            Poll(monitor, ms, temp, flow, dilutionFlow);
    }

    TKitMonitor monitor;
};

// With the controllers' capacities the delivered concentration has its
// budget; when the concentration cannot be told, neither can its U.
TEST_F(MonitorTest, TheDeliveredConcentrationCarriesItsExpandedUncertainty) {
    monitor.Targets = [] {
        live::TKitTargets t = ExampleTargets();
        t.FlowCapacity = 20;
        t.DilutionFlowCapacity = 20;
        return t;
    };
    std::vector<double> standard;
    monitor.OnSample = [&](const live::TLiveSample& s) {
        standard.push_back(s.DeliveredStandardU);
    };
    Poll(monitor, 1000, 40, 6, 10);
    EXPECT_EQ(monitor.DeliveredText(1000), "Delivered now 40.02 \u00B1 0.95 ng/l (k = 2)");
    EXPECT_EQ(monitor.DeliveredUncertaintyHint(1000),
              "Largest contributions (ng/l): temperature 0.35, satConcEquation 0.20, "
              "reservoirFlow 0.19");
    monitor.Accuracies.CoverageFactor = 3;
    monitor.Accuracies.TempAccuracy = 0.5;
    Poll(monitor, 2000, 40.1, 6, 10);
    EXPECT_EQ(monitor.DeliveredText(2000), "Delivered now 40.4 \u00B1 2.8 ng/l (k = 3)");
    ASSERT_EQ(standard.size(), 2u);
    EXPECT_NEAR(standard[0], 0.4766, 1e-4);

    Poll(monitor, 3000, 40, 6, 10, false);
    EXPECT_EQ(monitor.DeliveredText(3000),
              "Delivered now: cannot tell (no current reservoir flow)");
    EXPECT_EQ(monitor.DeliveredUncertaintyHint(3000), "");
    PollEverySecond(4000, 5000, 40, 0, 0);  // no gas at all: no concentration
    EXPECT_EQ(monitor.DeliveredText(5000), "Delivered now: cannot tell");
    EXPECT_EQ(monitor.DeliveredUncertaintyHint(5000), "");
}

TEST_F(MonitorTest, ShowsTheDeliveredConcentrationOnlyWhileAllReadingsAreCurrent) {
    EXPECT_EQ(monitor.DeliveredText(0),
              "Delivered now: cannot tell (no current temperature, reservoir flow, dilution flow)");
    Poll(monitor, 1000, 40, 6, 10);
    EXPECT_EQ(monitor.DeliveredText(1000), "Delivered now 40.02 ng/l");
    platform::FormatSettings() = {',', '.'};
    EXPECT_EQ(monitor.DeliveredText(1000), "Delivered now 40,02 ng/l");
    platform::FormatSettings() = {'.', ','};

    // The reservoir-flow controller stops answering: its poll still ends.
    int polls = 0;
    monitor.OnPoll = [&] { ++polls; };
    Poll(monitor, 2000, 40, 6, 10, false);
    EXPECT_EQ(polls, 1);
    EXPECT_EQ(monitor.DeliveredText(2000),
              "Delivered now: cannot tell (no current reservoir flow)");
    EXPECT_EQ(monitor.StabilityText(2000), "Stability: cannot tell");

    // It answers again: the concentration shows from that read on, before
    // the others have completed their poll.
    monitor.Completed(live::inReservoirFlow, true, 6, 2500, PollTime(2500));
    EXPECT_EQ(monitor.DeliveredText(2500), "Delivered now 40.02 ng/l");

    // The readings age, or the poll stops (Apply, the port dialog).
    Poll(monitor, 3000, 40, 6, 10);
    EXPECT_EQ(monitor.DeliveredText(4500), "Delivered now 40.02 ng/l");
    EXPECT_EQ(monitor.DeliveredText(4501),
              "Delivered now: cannot tell (no current temperature, reservoir flow, dilution flow)");
    monitor.Readings().PollRunning = [] { return false; };
    EXPECT_EQ(monitor.DeliveredText(3000),
              "Delivered now: cannot tell (no current temperature, reservoir flow, dilution flow)");
    EXPECT_EQ(monitor.StabilityText(3000), "Stability: cannot tell");
}

// The kit heats up and settles, a flow is disturbed, the kit settles again.
TEST_F(MonitorTest, SettlesIsDisturbedAndSettlesAgain) {
    PollEverySecond(0, 2 * kMinute, 38.5, 6, 10);
    EXPECT_EQ(monitor.StabilityText(2 * kMinute), "Settling: temperature, concentration off");

    PollEverySecond(2 * kMinute + 1000, 7 * kMinute, 40, 6.03, 10.05);
    EXPECT_EQ(monitor.StabilityText(7 * kMinute), "Settling: in tolerance for 4 of 10 min");
    PollEverySecond(7 * kMinute + 1000, 14 * kMinute, 40, 5.97, 9.95);
    EXPECT_EQ(monitor.Stability().State(12 * kMinute - 1001), live::ssSettling);
    EXPECT_EQ(monitor.Stability().State(14 * kMinute), live::ssStable);
    EXPECT_EQ(monitor.StabilityText(14 * kMinute), "Stable for 11 min");

    // 2 % more reservoir flow: the flow and the concentration go off.
    Poll(monitor, 14 * kMinute + 1000, 40, 6.12, 10);
    EXPECT_EQ(monitor.StabilityText(14 * kMinute + 1000),
              "Settling: reservoir flow, concentration off");
    PollEverySecond(14 * kMinute + 2000, 20 * kMinute, 40, 6, 10);
    EXPECT_EQ(monitor.Stability().State(20 * kMinute), live::ssSettling);
    PollEverySecond(20 * kMinute + 1000, 25 * kMinute, 40, 6, 10);
    EXPECT_EQ(monitor.StabilityText(25 * kMinute), "Stable for 10 min");

    // A shorter settling time counts the run in hand.
    monitor.Stability().SetSettlingMs(kMinute);
    EXPECT_EQ(monitor.StabilityText(25 * kMinute), "Stable for 10 min");
}

// Each quantity on its tolerance's edge is in, just beyond it is off.
TEST(StabilityRule, EdgesOfTheTolerancesAreIn) {
    const struct {
        double Temp, Flow, DilutionFlow, Delivered;
        std::vector<std::string> Off;
    } cases[] = {
        {40.2, 6.06, 9.9, 40.4202, {}},
        {402 / 10.0, 6, 10, 39.6198, {}},  // as the controller's tenths give it
        {40.3, 6, 10, 40.02, {"temperature"}},
        {39.7, 5.93, 10.11, 40.02, {"temperature", "reservoir flow", "dilution flow"}},
        {40, 6, 10, 40.43, {"concentration"}},
        {40, 6, 10, live::kUnknown, {"concentration"}},
    };
    for (const auto& c : cases) {
        live::TLiveSample s;
        s.Temp = c.Temp;
        s.Flow = c.Flow;
        s.DilutionFlow = c.DilutionFlow;
        s.Delivered = c.Delivered;
        s.Targets = ExampleTargets();
        EXPECT_EQ(live::OffTolerance(s), c.Off) << c.Temp << " " << c.Flow << " " << c.Delivered;
    }
}

// A zero flow and a zero concentration settle under the controllers' noise:
// each tolerance is at least its floor, and Vapcal.ini may set the floors.
TEST(StabilityRule, AZeroPointSettlesWithinTheAbsoluteFloors) {
    live::TLiveSample s;
    s.Targets = ExampleTargets();
    s.Targets.FlowSP = 0;
    s.Targets.Calculated = 0;
    s.Temp = 40;
    s.DilutionFlow = 10;
    const struct {
        double Flow, Delivered;
        std::vector<std::string> Off;
    } cases[] = {
        {0.005, 0.03, {}},
        {0.02, 0.05, {}},
        {0.03, 0.02, {"reservoir flow"}},
        {0.01, 0.07, {"concentration"}},
    };
    for (const auto& c : cases) {
        s.Flow = c.Flow;
        s.Delivered = c.Delivered;
        EXPECT_EQ(live::OffTolerance(s), c.Off) << c.Flow << " " << c.Delivered;
    }

    const QTemporaryDir dir;
    const std::string ini = (dir.path() + "/Vapcal.ini").toStdString();
    std::FILE* file = std::fopen(ini.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("[Vapcal]\nFlowToleranceFloor=0.05\nConcentrationToleranceFloor=-1\n", file);
    std::fclose(file);
    const live::TTolerances read = live::ReadTolerances(ini);
    EXPECT_EQ(read.FlowFloor, 0.05);
    EXPECT_EQ(read.ConcentrationFloor, live::kConcentrationToleranceFloor);
    s.Flow = 0.03;
    s.Delivered = 0;
    EXPECT_TRUE(live::OffTolerance(s, read).empty());
}

// Time the kit was not watched is not counted as in tolerance; reads lost
// for a few seconds hold the settling clock.
TEST_F(MonitorTest, APollGapStartsTheSettlingAgain) {
    PollEverySecond(0, 3 * kMinute, 40, 6, 10);
    for (qint64 ms = 3 * kMinute + 1000; ms <= 3 * kMinute + 9000; ms += 1000)
        Poll(monitor, ms, 40, 6, 10, false);
    PollEverySecond(3 * kMinute + 10000, 4 * kMinute, 40, 6, 10);
    EXPECT_EQ(monitor.StabilityText(4 * kMinute), "Settling: in tolerance for 4 of 10 min");
    PollEverySecond(4 * kMinute + 9000, 11 * kMinute, 40, 6, 10);
    EXPECT_EQ(monitor.Stability().State(11 * kMinute), live::ssStable);
    PollEverySecond(12 * kMinute, 13 * kMinute, 40, 6, 10);
    EXPECT_EQ(monitor.StabilityText(13 * kMinute), "Settling: in tolerance for 1 of 10 min");

    // Another line: nothing is known of its kit until all three answer,
    // and it settles anew.
    monitor.Forget();
    EXPECT_EQ(monitor.StabilityText(13 * kMinute), "Stability: cannot tell");
    PollEverySecond(13 * kMinute + 500, 15 * kMinute, 40, 6, 10);
    EXPECT_EQ(monitor.StabilityText(15 * kMinute), "Settling: in tolerance for 1 of 10 min");
}

TEST_F(MonitorTest, UnknownSetPointsAndUnreadableConditionsAreNeverInTolerance) {
    monitor.Targets = [] {
        live::TKitTargets t = ExampleTargets();
        t.FlowSP = live::kUnknown;  // a write the controller did not confirm
        t.Pbar = -t.Dp;             // no absolute pressure: no concentration
        return t;
    };
    Poll(monitor, 0, 40, 6, 10);
    EXPECT_EQ(monitor.DeliveredText(0), "Delivered now: cannot tell");
    EXPECT_EQ(monitor.StabilityText(0), "Settling: reservoir flow, concentration off");
}

}  // namespace
