// Whether a reading is current, and what the status line says, on a
// millisecond tick of the test's own.
#include "app/readings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace app;

TEST(Readings, AReadingIsCurrentOnlyWhilePolledAnsweredAndYoung) {
    TReadingStates readings(750);
    EXPECT_FALSE(readings.Current(inReservoirFlow, 0, true));  // nothing read yet
    readings.Answered(inReservoirFlow, 1000);
    EXPECT_TRUE(readings.Current(inReservoirFlow, 1750, true));
    EXPECT_FALSE(readings.Current(inReservoirFlow, 1751, true));   // too old
    EXPECT_FALSE(readings.Current(inReservoirFlow, 1200, false));  // the poll stopped
    readings.NotAnswered(inReservoirFlow);
    EXPECT_FALSE(readings.Current(inReservoirFlow, 1200, true));
    readings.Answered(inReservoirFlow, 0xFFFFFF00u);  // the tick wraps
    EXPECT_TRUE(readings.Current(inReservoirFlow, 0x100u, true));
    readings.Forget();
    EXPECT_FALSE(readings.Current(inReservoirFlow, 0x100u, true));
    EXPECT_FALSE(readings.OldestAgeMs(0x100u).has_value());
}

TEST(Readings, TheStatusLineNamesThePortTheLinesStateAndTheOldestReading) {
    TReadingStates readings(750);
    readings.Answered(inReservoirFlow, 1000);
    readings.Answered(inDilutionFlow, 1200);
    readings.Answered(inTemperature, 1300);
    struct Case {
        TLineStatus line;
        std::uint32_t now;
        const char* text;
    };
    const std::string port = "Port /dev/ttyUSB0 \u00B7 ";
    const Case cases[] = {
        {{"/dev/ttyUSB0", true, "", ""}, 1400, "polling \u00B7 oldest reading under 1 s"},
        {{"/dev/ttyUSB0", true, "", ""},
         1800,
         "reservoir-flow controller not answering \u00B7 oldest reading under 1 s"},
        {{"/dev/ttyUSB0", true, "", ""},
         2000,
         "reservoir-flow and dilution-flow controllers not answering \u00B7 oldest reading 1 s"},
        {{"/dev/ttyUSB0", true, "", ""}, 5000, "no instrument answering \u00B7 oldest reading 4 s"},
        {{"/dev/ttyUSB0", false, "", "Could not open serial port"},
         1400,
         "stopped: Could not open serial port \u00B7 oldest reading under 1 s"},
        {{"/dev/ttyUSB0", false, "writing set points", ""},
         1400,
         "writing set points \u00B7 oldest reading under 1 s"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StatusLineText(c.line, readings, c.now), port + c.text);
    EXPECT_EQ(StatusLineText({"", false, "", "no port chosen"}, TReadingStates(750), 0),
              "No port \u00B7 stopped: no port chosen");
}

}  // namespace
