#include "live/delivered.h"

#include <gtest/gtest.h>

#include "calc/memorycalculator.h"
#include "platform/numtext.h"

namespace {

// Readings equal to the typed inputs deliver what the calculator gives, to
// the last held digit, under either decimal separator.
TEST(DeliveredConcentration, EqualsTheCalculatorForTheSameInputs) {
    const struct {
        const char *Temp, *Flow, *DilutionFlow, *Pbar, *Dp, *RefTemp;
    } cases[] = {{"40", "6", "10", "29.96", "0", "20"},
                 {"30", "2", "5", "29.96", "0", "20"},
                 {"60", "20", "20", "29.96", "0", "20"},
                 {"40", "6", "10", "29.92", "10", "25"},
                 {"45.5", "0.3", "19.9", "30.1", "2.5", "21.3"}};
    for (const char separator : {'.', ','}) {
        platform::FormatSettings() = {separator, separator == '.' ? ',' : '.'};
        for (const auto& c : cases) {
            const auto local = [separator](std::string text) {
                std::replace(text.begin(), text.end(), '.', separator);
                return text;
            };
            calc::TMemoryCalculator w;
            w.edtTemp.SetText(local(c.Temp));
            w.edtFlow.SetText(local(c.Flow));
            w.edtDilutionFlow.SetText(local(c.DilutionFlow));
            w.edtPbar.SetText(local(c.Pbar));
            w.edtDp.SetText(local(c.Dp));
            w.edtRefTemp.SetText(local(c.RefTemp));
            w.Start();
            EXPECT_EQ(live::DeliveredConcentration(w.edtTemp.AsFloat(), w.edtFlow.AsFloat(),
                                                   w.edtDilutionFlow.AsFloat(), w.edtPbar.AsFloat(),
                                                   w.edtDp.AsFloat(), w.edtRefTemp.AsFloat()),
                      w.edtDilutedOput.AsFloat())
                << c.Temp << " " << c.Flow << " " << c.DilutionFlow << " " << separator;
        }
    }
    platform::FormatSettings() = {'.', ','};
}

TEST(DeliveredConcentration, FollowsTheMeasuredReadingsBetweenTheCalculatorsSteps) {
    // 6.04 ml/min measured instead of 6.0 set: 0.67 % more mercury; a
    // reservoir 0.1 °C warmer saturates the flow with 0.8 % more (Csat 63.0
    // instead of 62.5).
    EXPECT_EQ(live::DeliveredConcentration(40, 6.04L, 10, 29.96L, 0, 20), 40.29L);
    EXPECT_EQ(live::DeliveredConcentration(40.1L, 6, 10, 29.96L, 0, 20), 40.35L);
}

}  // namespace
