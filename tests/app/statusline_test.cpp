// What the status line says, on a millisecond clock of the test's own.
#include "app/statusline.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace app;
using live::inDilutionFlow;
using live::inReservoirFlow;
using live::inTemperature;

TEST(StatusLine, TheStatusLineNamesThePortTheLinesStateAndTheOldestReading) {
    live::TKitReadings readings(500);
    readings.Completed(inReservoirFlow, true, 6, 1000);
    readings.Completed(inDilutionFlow, true, 10, 1200);
    readings.Completed(inTemperature, true, 40, 1300);
    struct Case {
        TLineStatus line;
        qint64 now;
        const char* text;
    };
    const std::string port = "Port /dev/ttyUSB0 \u00B7 ";
    const Case cases[] = {
        {{"/dev/ttyUSB0", true, "", "", false, ""},
         1400,
         "polling \u00B7 oldest reading under 1 s"},
        {{"/dev/ttyUSB0", true, "", "", false, ""},
         1800,
         "reservoir-flow controller not answering \u00B7 oldest reading under 1 s"},
        {{"/dev/ttyUSB0", true, "", "", false, ""},
         2000,
         "reservoir-flow and dilution-flow controllers not answering \u00B7 oldest reading 1 s"},
        {{"/dev/ttyUSB0", true, "", "", false, ""},
         5000,
         "no instrument answering \u00B7 oldest reading 4 s"},
        {{"/dev/ttyUSB0", false, "", "Could not open serial port", false, ""},
         1400,
         "stopped: Could not open serial port \u00B7 oldest reading under 1 s"},
        {{"/dev/ttyUSB0", false, "writing set points", "", false, ""},
         1400,
         "writing set points \u00B7 oldest reading under 1 s"},
        {{"/dev/ttyUSB0", true, "", "", false, "", "127.0.0.1: zero gas"},
         1400,
         "polling \u00B7 oldest reading under 1 s \u00B7 plant 127.0.0.1: zero gas"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StatusLineText(c.line, readings, c.now), port + c.text);
    EXPECT_EQ(
        StatusLineText({"", false, "", "no port chosen", false, ""}, live::TKitReadings(500), 0),
        "No port \u00B7 stopped: no port chosen");
    // A calibration run driving the kit comes first.
    EXPECT_EQ(
        StatusLineText({"/dev/ttyUSB0", true, "", "", false, "Run: point 2 of 4, settling 3:10"},
                       readings, 1400),
        "Run: point 2 of 4, settling 3:10 \u00B7 " + port +
            "polling \u00B7 oldest reading under 1 s");
}

}  // namespace
