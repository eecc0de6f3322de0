#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

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
    EXPECT_EQ(
        run.Out,
        "{\"edtTemp\": \"40\", \"edtFlow\": \"6\", \"edtDilutionFlow\": \"10\", "
        "\"edtPbar\": \"29.96\", \"edtDp\": \"0\", \"edtRefTemp\": \"20\", "
        "\"edtSatConc\": \"6.25E+01\", \"edtSatFlow\": \"6.407207\", "
        "\"edtSaturator\": \"400.45\", \"edtUncorrectedOput\": \"37.48\", "
        "\"edtDilutedOput\": \"40.02\", \"edtRatio\": \"1.07\", \"units\": {"
        "\"edtTemp\": \"\u00B0C\", \"edtFlow\": \"ml/min\", \"edtDilutionFlow\": \"l/min\", "
        "\"edtPbar\": \"in. Hg\", \"edtDp\": \"in. H2O\", \"edtRefTemp\": \"\u00B0C\", "
        "\"edtSatConc\": \"ng/ml\", \"edtSatFlow\": \"ml/min\", \"edtSaturator\": \"ng/min\", "
        "\"edtUncorrectedOput\": \"ng/l\", \"edtDilutedOput\": \"ng/l\", "
        "\"edtRatio\": \"\"}}\n");
}

TEST(VapcalCalc, CommaSeparatorForInputAndOutput) {
    const TRun run = RunCalc("--decimal-separator , --temp 40 --pbar 29,92 --dp 10 --ref-temp 25");
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Out.find("\nReservoir flow at reservoir conditions  6,156819 ml/min\n"),
              std::string::npos)
        << run.Out;
    EXPECT_NE(run.Out.find("\nDiluted output concentration  38,46 ng/l\n"), std::string::npos)
        << run.Out;
}

TEST(VapcalCalc, TextNamesEachQuantityWithItsUnit) {
    const TRun run = RunCalc("--decimal-separator .");
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out.rfind("Reservoir temperature  40 \u00B0C\n", 0), 0u) << run.Out;
    for (const char* line :
         {"\nSaturated concentration  6.25E+01 ng/ml\n", "\nReservoir output  400.45 ng/min\n",
          "\nDiluted output concentration  40.02 ng/l\nRatio  1.07\n"})
        EXPECT_NE(run.Out.find(line), std::string::npos) << line;
}

// The flow is held to 0.1 ml/min; what it delivers is told beside the
// fields the window shows.
TEST(VapcalCalc, BackCalculationTellsWhatTheHeldFlowDelivers) {
    TRun run = RunCalc("--decimal-separator . --wanted 1");
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Out.find("\nReservoir flow  0.1 ml/min\n"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("\nDiluted output concentration  1 ng/l\n"), std::string::npos)
        << run.Out;
    EXPECT_NE(run.Out.find("\nDelivered concentration  0.67 ng/l (-0.33 ng/l, -33 % against the "
                           "wanted 1 ng/l)\n"),
              std::string::npos)
        << run.Out;

    run = RunCalc("--decimal-separator . --wanted 100 --json");
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Out.find("\"edtFlow\": \"15\", "), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("\"deliveredOput\": \"99.96\", \"deliveredDifference\": \"-0.04\", "
                           "\"deliveredDifferencePercent\": \"-0.04\", \"units\""),
              std::string::npos)
        << run.Out;
    EXPECT_NE(run.Out.find("\"deliveredDifferencePercent\": \"%\"}}"), std::string::npos)
        << run.Out;
}

// Every failure prints its reason on standard error and no result at all.
TEST(VapcalCalc, FailedCalculationsExitWithTheirReasonAndNoResult) {
    const struct {
        const char* Args;
        const char* Message;
    } cases[] = {
        {"--pbar 0",
         "Atmospheric pressure: the absolute pressure in the saturator must be above 0 in. Hg\n"},
        {"--ref-temp -273.15",
         "Reference temperature: must be above absolute zero (-273.15 \u00B0C)\n"},
        {"--flow 0 --dilution 0",
         "Uncorrected output concentration cannot be computed: Invalid floating point "
         "operation\n"},
        {"--temp -300 --temp-min -400",
         "Saturated concentration cannot be computed: Invalid floating point operation\n"},
        {"--temp 70",
         "Reservoir temperature: Your entered Value is above the acceptable limit of "
         "60.0\n"},
        {"--dilution 25",
         "Dilution flow: Your entered Value is above the acceptable limit of 20.0\n"},
        {"--pbar 0 --wanted 40",
         "Atmospheric pressure: the absolute pressure in the saturator must be above 0 in. Hg\n"},
        {"--wanted 0", "Invalid concentration value\n"},
        {"--wanted 100000", "The calculated Flow Value is below the acceptable limit of 0\n"},
        {"--wanted 100 --flow-max 12.5",
         "The calculated Flow Value is above the acceptable limit of 12.5\n"},
    };
    for (const auto& c : cases) {
        for (const char* json : {"", " --json"}) {
            const TRun run = RunCalc(std::string("--decimal-separator . ") + c.Args + json, true);
            EXPECT_EQ(run.Status, 1) << c.Args;
            EXPECT_EQ(run.Out, c.Message) << c.Args;
        }
    }
}

TEST(VapcalCalc, BadOptionsExitWithOneLineAndAPointerToTheHelp) {
    for (const char* args :
         {"--bogus", "--temp", "--temp abc", "--pbar 1:2:1", "--decimal-separator 5", "--json=1",
          // Tables that would not be what was asked for.
          "--temp 40:30:1", "--temp 40:30:-1", "--temp 30:40:0", "--temp 30:30:0",
          "--temp 30:30.5:0.05", "--temp 30.05:31:0.1", "--wanted 1:2:0.001", "--flow 0:100000:0.1",
          "--temp 30:60:0.1 --flow 0:20:0.1 --dilution 1:2:1", "--wanted 40 --flow 1:3:1"}) {
        const TRun run = RunCalc(args, true);
        EXPECT_EQ(run.Status, 64) << args;
        // One line naming the mistake, and where the whole usage is.
        EXPECT_EQ(run.Out.rfind("vapcal-calc: ", 0), 0u) << run.Out;
        EXPECT_EQ(run.Out.find('\n'), run.Out.size() - 1) << run.Out;
        EXPECT_TRUE(run.Out.ends_with("; see vapcal-calc --help\n")) << run.Out;
    }
}

TEST(VapcalCalc, RangesPrintOneRowPerCombination) {
    const TRun run =
        RunCalc("--decimal-separator . --temp 30:60:30 --flow 2:20:18 --dilution 5:20:15");
    EXPECT_EQ(run.Status, 0);
    const std::string header =
        "Reservoir temperature (\u00B0C),Reservoir flow (ml/min),Dilution flow (l/min),"
        "Atmospheric pressure (in. Hg),Saturator pressure difference (in. H2O),"
        "Reference temperature (\u00B0C),Saturated concentration (ng/ml),"
        "Reservoir flow at reservoir conditions (ml/min),Reservoir output (ng/min),"
        "Uncorrected output concentration (ng/l),Diluted output concentration (ng/l),Ratio,"
        "Error\n";
    ASSERT_EQ(run.Out.substr(0, header.size()), header);
    EXPECT_NE(run.Out.find("\n30,2,5,29.96,0,20,2.95E+01,2.067534,60.99,11.8,12.19,1.03,\n"),
              std::string::npos)
        << run.Out;
    EXPECT_NE(
        run.Out.find("\n60,20,20,29.96,0,20,2.44E+02,22.721392,5544.02,243.76,276.92,1.14,\n"),
        std::string::npos)
        << run.Out;
    size_t rows = 0;
    for (const char c : run.Out)
        rows += c == '\n';
    EXPECT_EQ(rows, 1u + 8u);
}

// Steps count in the field's own decimals: 30.1 is reached as 30.1, and the
// last row is B.
TEST(VapcalCalc, RangeRowsAreTheFieldsOwnValues) {
    const TRun run = RunCalc("--decimal-separator . --temp 30:30.3:0.1 --json");
    EXPECT_EQ(run.Status, 0);
    for (const char* temp : {"30", "30.1", "30.2", "30.3"}) {
        EXPECT_NE(run.Out.find(std::string("{\"edtTemp\": \"") + temp + "\", "), std::string::npos)
            << temp;
    }
}

TEST(VapcalCalc, AFailedRowSaysSoAndTheTableExitsWithOne) {
    TRun run = RunCalc("--decimal-separator . --temp 50:70:10 --pbar 30");
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Out.find("\n60,6,10,30,0,20,2.44E+02,"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("\n70,6,10,30,0,20,,,,,,,Reservoir temperature: Your entered Value is "
                           "above the acceptable limit of 60.0\n"),
              std::string::npos)
        << run.Out;

    run = RunCalc("--decimal-separator . --dilution 0:1:1 --flow 0 --json");
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(
        run.Out.find("[\n{\"edtTemp\": \"40\", \"edtFlow\": \"0\", \"edtDilutionFlow\": "
                     "\"0\", \"edtPbar\": \"29.96\", \"edtDp\": \"0\", \"edtRefTemp\": \"20\", "
                     "\"error\": \"Uncorrected output concentration cannot be computed: "
                     "Invalid floating point operation\"},\n{\"edtTemp\": \"40\", "),
        std::string::npos)
        << run.Out;
}

// What a new user met: numbers of another flow beside the held one, the
// replaced flow checked instead of the computed one, impossible inputs
// computed. Each command with its exit status and the lines it must print
// (and, where the old output was wrong, a line it must not).
TEST(VapcalCalc, ANewUsersCommandsGiveTheHeldFlowsNumbersAndRefuseTheImpossible) {
    const struct {
        const char* Args;
        int Status;
        std::vector<std::string> Lines;
        const char* NotPrinted;
    } cases[] = {
        {"--wanted 45",
         0,
         {"Reservoir flow  6.7 ml/min", "Reservoir flow at reservoir conditions  7.154715 ml/min",
          "Reservoir output  447.17 ng/min"},
         "6.407207"},
        {"--wanted 10:30:10 --flow 7",
         0,
         {"40,1.5,10,29.96,0,20,6.25E+01,1.601802,100.11,9.37,10,1.07,10.01,0.01,0.1,",
          "40,4.5,10,29.96,0,20,6.25E+01,4.805406,300.34,28.11,30,1.07,30.02,0.02,0.07,"},
         "7.475075"},
        {"--wanted 10 --flow-max 5", 0, {"Reservoir flow  1.5 ml/min"}, nullptr},
        {"--wanted 10:30:10 --flow-max 5",
         0,
         {"40,3,10,29.96,0,20,6.25E+01,3.203604,200.23,18.74,20,1.07,20.02,0.02,0.1,"},
         nullptr},
        {"--wanted 10 --flow-min 7",
         1,
         {"The calculated Flow Value is below the acceptable limit of 7"},
         nullptr},
        {"--flow 6.7", 0, {"Reservoir flow at reservoir conditions  7.154715 ml/min"}, nullptr},
        // The zero gas: its outputs and budget, and no ratio of 0 to 0.
        {"--flow 0 --uncertainty",
         0,
         {"Diluted output concentration  0 ng/l", "Ratio  \u2013",
          "Diluted output concentration 0.00 \u00B1 0.15 ng/l (k = 2)"},
         "cannot be computed"},
        {"--flow 0 --json", 0, {}, "\"edtRatio\": \"\", \"units\""},
        {"--pbar -1",
         1,
         {"Atmospheric pressure: the absolute pressure in the saturator must be above 0 in. Hg"},
         "-1199.03"},
        {"--dp -1e6",
         1,
         {"dp: the absolute pressure in the saturator (atmospheric pressure + dp / 13.595) must "
          "be above 0 in. Hg"},
         nullptr},
        {"--ref-temp -300 --json",
         1,
         {"Reference temperature: must be above absolute zero (-273.15 \u00B0C)"},
         nullptr},
        {"--dilution 0 --wanted 45",
         1,
         {"Dilution flow: a wanted output concentration needs a dilution flow above 0"},
         "Invalid floating point operation"},
        {"--flow-min 5 --flow-max 3",
         1,
         {"vapcal-calc: --flow-min 5 is above --flow-max 3"},
         nullptr},
        {"--temp-min 50 --temp-max 40 --temp 45",
         1,
         {"vapcal-calc: --temp-min 50 is above --temp-max 40"},
         nullptr},
        {"--dilution-max -1",
         1,
         {"vapcal-calc: the dilution flow's lower bound 0 is above --dilution-max -1"},
         nullptr},
        // Every value a lab could have still computes.
        {"--pbar 20 --dp -100 --ref-temp -40", 0, {"Ratio  3.18"}, nullptr},
    };
    for (const auto& c : cases) {
        const TRun run = RunCalc(std::string("--decimal-separator . ") + c.Args, true);
        EXPECT_EQ(run.Status, c.Status) << c.Args << "\n" << run.Out;
        for (const std::string& line : c.Lines) {
            EXPECT_NE(("\n" + run.Out).find("\n" + line + "\n"), std::string::npos)
                << c.Args << ": " << line << "\n"
                << run.Out;
        }
        if (c.NotPrinted) {
            EXPECT_EQ(run.Out.find(c.NotPrinted), std::string::npos) << c.Args << "\n" << run.Out;
        }
        if (c.Status == 1) {
            EXPECT_EQ(std::count(run.Out.begin(), run.Out.end(), '\n'), 1) << c.Args;
        }
    }
}

// The design example's budget: U at full precision in JSON, named with its
// k in text, in a table as a column; without --uncertainty nothing changes.
TEST(VapcalCalc, UncertaintyGivesTheBudgetOfTheShownConcentration) {
    TRun run = RunCalc(
        "--decimal-separator . --json --uncertainty --temp 40 --flow 6 "
        "--dilution 10 --pbar 29.96 --dp 0 --ref-temp 20");
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Out.find("\"edtRatio\": \"\"}, \"uncertainty\": {\"value\": 40.02753378"),
              std::string::npos)
        << run.Out;
    for (const char* member : {"\"coverageFactor\": 2, \"standard\": 0.476571853",
                               "\"expanded\": 0.953143706", "\"expandedPercent\": 2.38122016",
                               "\"budget\": [{\"quantity\": \"temperature\", "
                               "\"standardUncertainty\": 0.11547005383792",
                               "{\"quantity\": \"satConcRounding\", "})
        EXPECT_NE(run.Out.find(member), std::string::npos) << member;

    run = RunCalc("--decimal-separator . --uncertainty");
    EXPECT_EQ(run.Status, 0);
    for (const char* line :
         {"\nRatio  1.07\nDiluted output concentration 40.02 \u00B1 0.95 ng/l (k = 2)\n",
          "\ntemperature       0.1155 \u00B0C",
          "\nExpanded uncertainty (k = 2)  0.9531 ng/l (2.38 %)\n"})
        EXPECT_NE(run.Out.find(line), std::string::npos) << run.Out;

    run = RunCalc("--decimal-separator . --uncertainty --wanted 40 --u-temp 0.1 --coverage 3");
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Out.find("\nDelivered concentration 40.0 \u00B1 1.1 ng/l (k = 3)\n"),
              std::string::npos)
        << run.Out;

    run = RunCalc("--decimal-separator . --uncertainty --temp 30:60:30");
    EXPECT_EQ(run.Status, 0);
    EXPECT_NE(run.Out.find(",Ratio,Expanded uncertainty k = 2 (ng/l),Error\n"), std::string::npos)
        << run.Out;
    EXPECT_NE(
        run.Out.find("\n60,6,10,29.96,0,20,2.44E+02,6.816418,1663.21,146.31,166.22,1.14,3.7,\n"),
        std::string::npos)
        << run.Out;

    EXPECT_EQ(RunCalc("--decimal-separator . --u-dp 0.1").Out,
              RunCalc("--decimal-separator .").Out);
}

TEST(VapcalCalc, AccuraciesOutOfTheirRangeAreRefusedByName) {
    const struct {
        const char* Args;
        int Status;
        const char* Line;
    } cases[] = {
        {"--u-temp -0.1", 1, "vapcal-calc: --u-temp must not be negative\n"},
        {"--u-flow-full-scale -1 --json", 1,
         "vapcal-calc: --u-flow-full-scale must not be negative\n"},
        {"--coverage 0 --uncertainty", 1, "vapcal-calc: --coverage must be more than 0\n"},
        {"--u-sat-conc x", 64,
         "vapcal-calc: --u-sat-conc: 'x' is not a valid floating point value; see "},
        {"--uncertainty=1", 64, "vapcal-calc: --uncertainty takes no value; see "},
    };
    for (const auto& c : cases) {
        const TRun run = RunCalc(std::string("--decimal-separator . ") + c.Args, true);
        EXPECT_EQ(run.Status, c.Status) << c.Args;
        EXPECT_EQ(run.Out.substr(0, std::string(c.Line).size()), c.Line) << c.Args;
        if (c.Status == 1) {
            EXPECT_EQ(run.Out, c.Line);
        }
    }
}

}  // namespace
