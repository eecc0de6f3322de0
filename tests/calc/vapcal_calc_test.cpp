#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct TRun {
    int Status;
    std::string Out;
};

// Runs vapcal-calc with `args`; standard error joins standard output when
// `withErrors` is set.
TRun RunCalc(const std::string& args, bool withErrors = false) {
    const std::string command =
        std::string(VAPCAL_CALC) + " " + args + (withErrors ? " 2>&1" : " 2>/dev/null");
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(VapcalCalc, JsonWithoutOptionsGivesTheDefaultExample) {
    const TRun run = RunCalc("--json --decimal-separator .");
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out,
              "{\"edtTemp\": \"40\", \"edtFlow\": \"6\", \"edtDilutionFlow\": \"10\", "
              "\"edtPbar\": \"29.96\", \"edtDp\": \"0\", \"edtRefTemp\": \"20\", "
              "\"edtSatConc\": \"6.25E+01\", \"edtSatFlow\": \"6.407207\", "
              "\"edtSaturator\": \"400.45\", \"edtUncorrectedOput\": \"37.48\", "
              "\"edtDilutedOput\": \"40.02\", \"edtRatio\": \"1.07\"}\n");
}

TEST(VapcalCalc, CommaSeparatorForInputAndOutput) {
    const TRun run = RunCalc("--decimal-separator , --temp 40 --pbar 29,92 --dp 10 --ref-temp 25");
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Out.find("edtSatFlow: 6,156819\n"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("edtDilutedOput: 38,46\n"), std::string::npos) << run.Out;
}

TEST(VapcalCalc, BackCalculationHoldsTheFlow) {
    const TRun run = RunCalc("--decimal-separator . --wanted 100");
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Out.find("edtFlow: 15\n"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("edtDilutedOput: 100\n"), std::string::npos) << run.Out;
}

TEST(VapcalCalc, RejectedBackCalculationsExitWithTheWindowsMessage) {
    const struct {
        const char* Args;
        const char* Message;
    } cases[] = {
        {"--wanted 0", "Invalid concentration value\n"},
        {"--wanted 100000", "The calculated Flow Value is below the acceptable limit of 0\n"},
        {"--wanted 100 --flow-max 12.5",
         "The calculated Flow Value is above the acceptable limit of 12.5\n"},
    };
    for (const auto& c : cases) {
        const TRun run = RunCalc(std::string("--decimal-separator . ") + c.Args, true);
        EXPECT_EQ(run.Status, 1) << c.Args;
        EXPECT_EQ(run.Out, c.Message) << c.Args;
    }
}

TEST(VapcalCalc, BadOptionsExitWithUsage) {
    for (const char* args : {"--bogus", "--temp", "--temp abc", "--temp 40:30:1", "--pbar 1:2:1",
                             "--decimal-separator 5", "--json=1"}) {
        const TRun run = RunCalc(args, true);
        EXPECT_EQ(run.Status, 64) << args;
        EXPECT_NE(run.Out.find("usage: vapcal-calc"), std::string::npos) << args;
    }
}

TEST(VapcalCalc, RangesPrintOneRowPerCombination) {
    const TRun run =
        RunCalc("--decimal-separator . --temp 30:60:30 --flow 2:20:18 --dilution 5:20:15");
    EXPECT_EQ(run.Status, 0);
    const std::string header =
        "edtTemp,edtFlow,edtDilutionFlow,edtPbar,edtDp,edtRefTemp,edtSatConc,edtSatFlow,"
        "edtSaturator,edtUncorrectedOput,edtDilutedOput,edtRatio\n";
    ASSERT_EQ(run.Out.substr(0, header.size()), header);
    EXPECT_NE(run.Out.find("\n30,2,5,29.96,0,20,2.95E+01,2.067534,60.99,11.8,12.19,1.03\n"),
              std::string::npos)
        << run.Out;
    EXPECT_NE(run.Out.find("\n60,20,20,29.96,0,20,2.44E+02,22.721392,5544.02,243.76,276.92,1.14\n"),
              std::string::npos)
        << run.Out;
    size_t rows = 0;
    for (const char c : run.Out)
        rows += c == '\n';
    EXPECT_EQ(rows, 1u + 8u);
}

}  // namespace
