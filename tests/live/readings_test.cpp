// Whether a reading is current, on a millisecond clock of the test's own.
#include "live/readings.h"

#include <gtest/gtest.h>

namespace {

using namespace live;

// At the console's 500 ms poll a reading stays current for 750 ms.
TEST(KitReadings, AReadingIsCurrentOnlyWhilePolledAnsweredAndYoung) {
    TKitReadings readings(500);
    bool polling = true;
    readings.PollRunning = [&] { return polling; };
    EXPECT_FALSE(readings.Current(inReservoirFlow, 0));  // nothing read yet
    EXPECT_FALSE(readings.NotAnswering(inReservoirFlow, 0));
    readings.Completed(inReservoirFlow, true, 6, 1000);
    EXPECT_TRUE(readings.Current(inReservoirFlow, 1750));
    EXPECT_FALSE(readings.Current(inReservoirFlow, 1751));  // too old
    EXPECT_TRUE(readings.NotAnswering(inReservoirFlow, 1751));
    polling = false;  // Apply, the port dialog, a failed tick
    EXPECT_FALSE(readings.Current(inReservoirFlow, 1200));
    polling = true;
    readings.Completed(inReservoirFlow, false, 0, 1200);
    EXPECT_FALSE(readings.Current(inReservoirFlow, 1200));
    EXPECT_TRUE(readings.NotAnswering(inReservoirFlow, 1200));
    // A failed read keeps the last good value and its age.
    EXPECT_EQ(readings.Value(inReservoirFlow), 6);
    EXPECT_EQ(readings.OldestAgeMs(1300), 300);
    readings.Forget();
    EXPECT_FALSE(readings.Current(inReservoirFlow, 1300));
    EXPECT_FALSE(readings.OldestAgeMs(1300).has_value());
}

}  // namespace
