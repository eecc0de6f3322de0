// The instruments' register values and the console's numbers: capacities,
// unit captions, set-point conversions both ways, the drain wait of Apply.
#include "kit/registers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/fperror.h"

namespace {

using namespace kit;

TEST(Registers, CapacityRegistersDecodeAsIEEESingleHighHalfFirst) {
    EXPECT_EQ(CapacityFromRegisters(0x41A0, 0x0000), 20.0f);
    EXPECT_EQ(CapacityFromRegisters(0x4120, 0x0000), 10.0f);
    EXPECT_EQ(HexToSingle("3DCCCCCD"), 0.1f);
    EXPECT_EQ(HexToSingle("41a00000"), 20.0f);
    EXPECT_TRUE(std::isnan(CapacityFromRegisters(0x7FC0, 0x0000)));
    EXPECT_TRUE(std::isinf(CapacityFromRegisters(0x7F80, 0x0000)));
}

TEST(Registers, HexToSingleRefusesAnythingButEightHexDigits) {
    for (const char* text : {"", "41A0000", "41A000000", "41A0000G", "41A 0000"}) {
        try {
            HexToSingle(text);
            ADD_FAILURE() << "'" << text << "' was taken";
        } catch (const EIEEEMath& error) {
            EXPECT_STREQ(error.what(), "Invalid hex string for HexToSingle");
        }
    }
}

TEST(Registers, CaptionsJoinCapacityAndUnitWithoutABlank) {
    EXPECT_EQ(ReservoirFlowCaption(20, 2), "Reservoir Flow 20(mln min\u00AD\u00B9)");
    EXPECT_EQ(ReservoirFlowCaption(20, 12), "Reservoir Flow 20");
    EXPECT_EQ(DilutionFlowCaption(20, 0), "    Dilution Flow 20(ln min\u00AD\u00B9)");
    // The single capacity is widened exactly before it is written.
    EXPECT_EQ(ReservoirFlowCaption(0.1f, 9), "Reservoir Flow 0.100000001490116(m3s h\u00AD\u00B9)");
    // The short form for a box too narrow: 4 significant digits at most.
    EXPECT_EQ(ReservoirFlowCaption(0.1f, 9, true), "Reservoir Flow 0.1(m3s h\u00AD\u00B9)");
    EXPECT_EQ(DilutionFlowCaption(12345.6f, 12, true), "    Dilution Flow 12350");
    EXPECT_EQ(DilutionFlowCaption(20, 12, true), "    Dilution Flow 20");
    const char* units[] = {"(ln min",  "(mln h", "(mln min", "(ln h", "(m3n h",
                           "(mls min", "(mls h", "(ls min",  "(ls h", "(m3s h"};
    for (std::uint16_t i = 0; i < 10; ++i)
        EXPECT_EQ(UnitText(i), std::string(units[i]) + "\u00AD\u00B9)") << i;
    EXPECT_EQ(UnitText(10), "");
    EXPECT_EQ(UnitText(0xFFFF), "");
}

TEST(Registers, ReadingsAndReadBackSetPoints) {
    EXPECT_EQ(FlowFromRaw(16000, 20), 10.0f);
    EXPECT_EQ(FlowFromRaw(32000, 0.3f), 0.3f);
    EXPECT_EQ(FlowSetPointFromRaw(9600, 20), 6);
    EXPECT_NEAR(static_cast<double>(FlowSetPointFromRaw(9584, 20)), 5.99, 1e-12);
    EXPECT_NEAR(static_cast<double>(TempSetPointFromRaw(455)), 45.5, 1e-12);
    EXPECT_TRUE(std::isnan(FlowSetPointFromRaw(9600, std::numeric_limits<float>::quiet_NaN())));
    // Limits to whole degrees, ties to even; register values are unsigned.
    EXPECT_EQ(TempLimitFromRaw(600), 60);
    EXPECT_EQ(TempLimitFromRaw(605), 60);
    EXPECT_EQ(TempLimitFromRaw(615), 62);
    EXPECT_EQ(TempLimitFromRaw(0xFFCE), 6549);
}

struct TFlowCase {
    long double flow;
    float capacity;
    std::uint16_t raw;
};

TEST(Registers, FlowSetPointsAreTruncatedNotRounded) {
    for (const TFlowCase& c :
         {TFlowCase{6.0L, 20, 9600}, TFlowCase{9.9L, 20, 15840}, TFlowCase{19.9L, 20, 31840},
          TFlowCase{20, 20, 32000}, TFlowCase{0, 20, 0}, TFlowCase{5, 10, 16000},
          // The decimal value held, not its binary neighbour below: 0.7 is
          // 1120 counts, not 1119; what lies below a count is still dropped.
          TFlowCase{0.7L, 20, 1120}, TFlowCase{0.70049L, 20, 1120}, TFlowCase{0.7006L, 20, 1120},
          TFlowCase{0.69999L, 20, 1119}, TFlowCase{0.1L, 0.1f, 31999},
          TFlowCase{0.05L, 0.1f, 15999}, TFlowCase{5.55L, 7.5f, 23680}})
        EXPECT_EQ(FlowSetPointToRaw(c.flow, c.capacity), c.raw) << static_cast<double>(c.flow);
    // Every flow the field holds with two decimals at a capacity of 20 is a
    // whole number of counts, and is written as that number.
    for (int hundredths = 0; hundredths <= 2000; ++hundredths)
        EXPECT_EQ(FlowSetPointToRaw(hundredths / 100.0L, 20), hundredths * 16) << hundredths;
    EXPECT_EQ(TempSetPointToRaw(45.5L), 455);
    EXPECT_EQ(TempSetPointToRaw(40), 400);
}

TEST(Registers, AnUnusableCapacityRaisesInsteadOfWriting) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_THROW(FlowSetPointToRaw(6, nan), platform::EInvalidOp);
    EXPECT_THROW(FlowSetPointToRaw(6, inf), platform::EInvalidOp);
    EXPECT_THROW(FlowSetPointToRaw(6, -inf), platform::EInvalidOp);
    try {
        FlowSetPointToRaw(6, 0);
        ADD_FAILURE();
    } catch (const platform::EZeroDivide& error) {
        EXPECT_STREQ(error.what(), "Floating point division by zero");
    }
    // A capacity so small that the count leaves every integer.
    EXPECT_THROW(FlowSetPointToRaw(6, 1e-45f), platform::EInvalidOp);
    EXPECT_THROW(TempSetPointToRaw(std::numeric_limits<long double>::quiet_NaN()),
                 platform::EInvalidOp);
}

// A set point the register cannot hold is refused, never sent as its low 16
// bits: 50 with a capacity of 20 would otherwise reach the controller as
// 14464 counts, 9.04.
TEST(Registers, SetPointsOutsideTheRegisterRangeRaiseInsteadOfWrapping) {
    try {
        FlowSetPointToRaw(50, 20);
        ADD_FAILURE();
    } catch (const kit::ESetPointRange& error) {
        EXPECT_STREQ(error.what(),
                     "The flow set point 50 lies outside the controller's range of 0 to 20");
    }
    EXPECT_THROW(FlowSetPointToRaw(20.001L, 20), kit::ESetPointRange);
    EXPECT_THROW(FlowSetPointToRaw(-1, 20), kit::ESetPointRange);
    EXPECT_THROW(FlowSetPointToRaw(6, -20), kit::ESetPointRange);
    EXPECT_THROW(TempSetPointToRaw(6553.6L), kit::ESetPointRange);
    EXPECT_THROW(TempSetPointToRaw(-5), kit::ESetPointRange);
    EXPECT_EQ(TempSetPointToRaw(6553.5L), 65535);
}

TEST(Registers, ApplyDrainsTheQueueForAtMostOneSecondAndTheRemainder) {
    const int cases[][2] = {{0, 0}, {3, 300}, {10, 1000}, {19, 1900}, {25, 1500}, {40, 1000}};
    for (const auto& c : cases)
        EXPECT_EQ(HaltPollingWaitMs(c[0]), c[1]) << c[0];
}

}  // namespace
