// vapcal-calc's texts: its usage, the quantities it prints with their
// units, and its refusals. The calculator's own messages (a rejected
// back-calculation, a bound) come from calc/messages.h.
#pragma once

namespace tools {

inline constexpr const char* kUsage =
    "usage: vapcal-calc [--temp T] [--flow F] [--dilution D] [--pbar P] [--dp DP] [--ref-temp TR]\n"
    "                   [--wanted CD] [--flow-min X] [--flow-max X] [--dilution-max X]\n"
    "                   [--temp-min X] [--temp-max X] [--json] [--decimal-separator C]\n"
    "                   [--uncertainty] [--u-temp A] [--u-flow-reading P] [--u-flow-full-scale P]\n"
    "                   [--u-pbar A] [--u-dp A] [--u-ref-temp A] [--u-sat-conc P] [--coverage K]\n"
    "\n"
    "Computes what the Vapcal console's calculator shows for these inputs (defaults: 40, 6, 10,\n"
    "29.96, 0, 20; bounds: flow 0 to 20, dilution flow 0 to 20, temperature 30 to 60).\n"
    "--wanted back-calculates the reservoir flow for a wanted diluted output and tells what\n"
    "that flow, held to 0.1 ml/min, really delivers. --temp, --flow, --dilution and --wanted\n"
    "also take a range A:B:STEP (A up to B, STEP above 0 and no finer than the field shows)\n"
    "and then print one CSV row per combination (';' between columns under a ',' separator).\n"
    "--uncertainty adds the uncertainty budget of the diluted output (of what the held flow\n"
    "delivers, with --wanted) and its expanded uncertainty U = k u_c; in a table, a U column.\n"
    "The accuracies are half-widths: --u-temp 0.2 (\u00B0C), --u-flow-reading 0.5 (% of the\n"
    "reading), --u-flow-full-scale 0.1 (% of the capacity: --flow-max, --dilution-max),\n"
    "--u-pbar 0.03 (in. Hg), --u-dp 0.05 (in. H2O), --u-ref-temp 0 (\u00B0C); --u-sat-conc 0.5\n"
    "is the vapour-pressure equation's relative standard uncertainty in %, --coverage 2 is k.\n"
    "Exit status: 0 done, 1 an input out of its bounds, a result that cannot be computed or\n"
    "a rejected back-calculation (in a table: any row), saturator conditions no kit can have\n"
    "(no absolute pressure in the saturator, a reference temperature at or below absolute\n"
    "zero), bounds that cross, a negative accuracy or a coverage factor of 0 or less;\n"
    "64 bad option.\n";

// After the one line that names a mistake in the options.
inline constexpr const char* kUsageHint = "see vapcal-calc --help";

// A quantity as the text output and the table's header name it.
struct TQuantity {
    const char* Key;  // the JSON key: the window's field name
    const char* Name;
    const char* Unit;  // empty for the ratio
};

inline constexpr TQuantity kQuantities[] = {
    {"edtTemp", "Reservoir temperature", "\u00B0C"},
    {"edtFlow", "Reservoir flow", "ml/min"},
    {"edtDilutionFlow", "Dilution flow", "l/min"},
    {"edtPbar", "Atmospheric pressure", "in. Hg"},
    {"edtDp", "Saturator pressure difference", "in. H2O"},
    {"edtRefTemp", "Reference temperature", "\u00B0C"},
    {"edtSatConc", "Saturated concentration", "ng/ml"},
    {"edtSatFlow", "Reservoir flow at reservoir conditions", "ml/min"},
    {"edtSaturator", "Reservoir output", "ng/min"},
    {"edtUncorrectedOput", "Uncorrected output concentration", "ng/l"},
    {"edtDilutedOput", "Diluted output concentration", "ng/l"},
    {"edtRatio", "Ratio", ""},
    {"deliveredOput", "Delivered concentration", "ng/l"},
    {"deliveredDifference", "Difference from the wanted concentration", "ng/l"},
    {"deliveredDifferencePercent", "Difference from the wanted concentration", "%"},
};

// The text output's line for what a back-calculated flow delivers: the
// delivered output, its difference in ng/l and in percent, the wanted one.
inline constexpr const char* kDeliveredLine =
    "Delivered concentration  %s ng/l (%s ng/l, %s % against the wanted %s ng/l)";
// With --uncertainty: the concentration with its U ("%s": the text of
// calc::ValueWithUncertaintyText) named as the value it belongs to, then the
// budget as a table.
inline constexpr const char* kDilutedName = "Diluted output concentration";
inline constexpr const char* kDeliveredName = "Delivered concentration";
inline constexpr const char* kBudgetColumns[] = {"quantity", "standard uncertainty u",
                                                 "sensitivity c", "|c|\u00B7u (ng/l)"};
inline constexpr const char* kBudgetCombined = "Combined standard uncertainty  %s ng/l\n";
inline constexpr const char* kBudgetExpanded = "Expanded uncertainty (k = %s)  %s ng/l%s\n";
inline constexpr const char* kBudgetPercent = " (%s %)";
// The table's column of U ("%s": k).
inline constexpr const char* kUncertaintyColumn = "Expanded uncertainty k = %s (ng/l)";
// A budget that could not be worked out ("%s": why).
inline constexpr const char* kNoUncertainty = "Uncertainty cannot be computed: %s";

// The table's last column: why a row has no results.
inline constexpr const char* kErrorColumn = "Error";

// The ratio at the zero gas, where 0.00 over 0.00 is not a number (text;
// JSON gives null, a table an empty cell).
inline constexpr const char* kNoRatio = "\u2013";

// A result the calculator could not compute: the quantity, the error.
inline constexpr const char* kNotComputed = "%s cannot be computed: %s";
// An input outside its field's bounds: the quantity, the field's message.
inline constexpr const char* kOutOfBounds = "%s: %s";

// Refused options.
inline constexpr const char* kUnknownOption = "unknown option '%s'";
inline constexpr const char* kNoValueWanted = "%s takes no value";
inline constexpr const char* kValueNeeded = "%s needs a value";
inline constexpr const char* kGivenTwice = "%s given twice";
inline constexpr const char* kNotANumber = "%s: '%s' is not a valid floating point value";
inline constexpr const char* kBadSeparator =
    "--decimal-separator needs one character that is not a digit, sign, exponent mark, ':' "
    "or blank";
inline constexpr const char* kRangeForm = "%s: a range is A:B:STEP";
inline constexpr const char* kRangeReversed = "%s: a range runs from A up to B";
inline constexpr const char* kStepNotPositive = "%s: the step must be more than 0";
inline constexpr const char* kStepTooFine = "%s: the step %s is finer than the field's %s";
inline constexpr const char* kStartTooFine = "%s: %s has more decimals than the field's %s";
inline constexpr const char* kOutOfRange = "%s: %s is out of range";
inline constexpr const char* kTooManyRows = "%s: more than %s rows";
inline constexpr const char* kTooManyCombinations = "more than %s combinations";
// Bounds that cross: the lower one and its value, the upper one and its.
inline constexpr const char* kBoundsCross = "%s %s is above %s %s";
inline constexpr const char* kDilutionLowerBound = "the dilution flow's lower bound";
inline constexpr const char* kFlowRangeWithWanted =
    "--flow: a range of flows cannot go with --wanted, which computes the flow";

}  // namespace tools
