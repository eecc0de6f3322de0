// The plant's register map: its table, the encoding of a snapshot, and which
// commands the holding registers give.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "dahs/dahsmap.h"
#include "dahs/messages.h"

using namespace dahs;

namespace {

TEST(DahsMap, EachKindRunsFromZeroWithoutGapsOrOverlaps) {
    for (const TDahsRegisterKind kind : {rkInput, rkHolding}) {
        std::vector<int> owners(static_cast<std::size_t>(DahsRegisterCount(kind)), 0);
        for (const TDahsRegister& r : DahsMap())
            if (r.Kind == kind)
                for (int i = 0; i < RegisterCount(r.Type); ++i)
                    ++owners[static_cast<std::size_t>(r.Address + i)];
        for (const int n : owners)
            EXPECT_EQ(n, 1);
    }
    EXPECT_EQ(DahsRegisterCount(rkInput), 33);
    EXPECT_EQ(DahsRegisterCount(rkHolding), TDahsCommandRegisters::Count());
    // Two-register values on even addresses, the command register last.
    for (const TDahsRegister& r : DahsMap()) {
        if (RegisterCount(r.Type) == 2) {
            EXPECT_EQ(r.Address % 2, 0) << r.Meaning;
        }
    }
    EXPECT_EQ(DahsRegister(dfCommand).Address + 1, DahsRegisterCount(rkHolding));
}

TEST(DahsMap, SnapshotIsEncodedInTheChosenWordOrder) {
    TDahsSnapshot s;
    s.Delivered = 12.5;  // 0x41480000
    s.Heartbeat = 0x00010002;
    s.Status = sbPolling | sbStable;
    s.RunPoint = 2;
    s.RunPointCount = 4;
    s.RunState = rsDwelling;
    std::vector<std::uint16_t> r(33);
    EncodeSnapshot(s, woHighFirst, r);
    EXPECT_EQ(r[0], kDahsMapVersion);
    EXPECT_EQ(r[1], sbPolling | sbStable);
    EXPECT_EQ(r[2], 0x0001);
    EXPECT_EQ(r[3], 0x0002);
    EXPECT_EQ(r[4], 0x4148);
    EXPECT_EQ(r[5], 0x0000);
    // What cannot be told goes out as the one quiet NaN.
    EXPECT_EQ(r[6], 0x7FC0);
    EXPECT_EQ(r[7], 0x0000);
    EXPECT_EQ(r[30], 2);
    EXPECT_EQ(r[31], 4);
    EXPECT_EQ(r[32], rsDwelling);

    EncodeSnapshot(s, woLowFirst, r);
    EXPECT_EQ(r[2], 0x0002);
    EXPECT_EQ(r[3], 0x0001);
    EXPECT_EQ(r[4], 0x0000);
    EXPECT_EQ(r[5], 0x4148);
    EXPECT_EQ(DecodeFloat(r[4], r[5], woLowFirst), 12.5F);
    EXPECT_TRUE(std::isnan(DecodeFloat(r[6], r[7], woLowFirst)));
}

// Writes to the holding registers, then the command code; what comes of it.
struct TCommandCase {
    const char* name;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> writes;
    std::uint16_t code;
    TDahsCommandKind kind;  // ckNone: refused
    const char* reason;
};

class DahsCommandTable : public ::testing::TestWithParam<TCommandCase> {};

TEST_P(DahsCommandTable, TakesOnlyCompleteAndSaneCommands) {
    const TCommandCase& c = GetParam();
    TDahsCommandRegisters registers;
    for (const auto& [address, value] : c.writes)
        registers.Put(address, value);
    TDahsCommand command;
    std::string reason;
    const bool taken = registers.Command(c.code, woHighFirst, command, reason);
    EXPECT_EQ(taken, c.kind != ckNone);
    EXPECT_EQ(command.Kind, c.kind);
    if (!taken) {
        EXPECT_EQ(reason, c.reason);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DahsCommandTable,
    ::testing::Values(
        TCommandCase{"ApplyWholeWanted", {{0, 0x4148}, {1, 0}}, ckApplyWanted, ckApplyWanted, ""},
        TCommandCase{
            "ApplyHalfAWanted", {{0, 0x4148}}, ckApplyWanted, ckNone, msg::WantedIncomplete},
        TCommandCase{
            "ApplyNegative", {{0, 0xC148}, {1, 0}}, ckApplyWanted, ckNone, msg::WantedNotPositive},
        TCommandCase{
            "ApplyNaN", {{0, 0x7FC0}, {1, 0}}, ckApplyWanted, ckNone, msg::WantedNotPositive},
        TCommandCase{"ApplyZero", {{0, 0}, {1, 0}}, ckApplyWanted, ckNone, msg::WantedNotPositive},
        TCommandCase{"StartPlan", {{2, 3}}, ckStartPlan, ckStartPlan, ""},
        TCommandCase{"StartPlanNotWritten", {}, ckStartPlan, ckNone, msg::PlanIncomplete},
        TCommandCase{"StartPlanZero", {{2, 0}}, ckStartPlan, ckNone, msg::PlanZero},
        TCommandCase{"ZeroGas", {}, ckZeroGas, ckZeroGas, ""},
        TCommandCase{"Pause", {}, ckPause, ckPause, ""},
        TCommandCase{"Resume", {}, ckResume, ckResume, ""},
        TCommandCase{"Stop", {}, ckStop, ckStop, ""},
        TCommandCase{"Unknown", {}, 7, ckNone, msg::CommandUnknown}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DahsCommandRegisters, ArgumentsMustBeWrittenAgainAfterACommandWasTaken) {
    TDahsCommandRegisters registers;
    registers.Put(0, 0x4148);
    registers.Put(1, 0);
    registers.CommandTaken(ckApplyWanted);
    EXPECT_EQ(registers.Value(3), ckApplyWanted);
    TDahsCommand command;
    std::string reason;
    EXPECT_FALSE(registers.Command(ckApplyWanted, woHighFirst, command, reason));
    // Only the low word again: still half a value.
    registers.Put(1, 0);
    EXPECT_FALSE(registers.Command(ckApplyWanted, woHighFirst, command, reason));
    registers.Put(0, 0x4148);
    ASSERT_TRUE(registers.Command(ckApplyWanted, woHighFirst, command, reason));
    EXPECT_EQ(command.Wanted, 12.5);
}

TEST(DahsMap, ReadmeTableIsTheCodesOwn) {
    std::ifstream in(VAPCAL_README);
    std::stringstream s;
    s << in.rdbuf();
    const std::string readme = s.str();
    const std::string begin = "<!-- dahs-map begin -->\n";
    const std::size_t from = readme.find(begin);
    const std::size_t to = readme.find("<!-- dahs-map end -->");
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()), DahsMapMarkdown())
        << "print the table again with build/tools/vapcal-dahs-map";
}

}  // namespace
