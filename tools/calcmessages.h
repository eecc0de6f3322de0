// vapcal-calc's texts: its usage, the quantities it prints with their
// units, and its refusals. The calculator's own messages (a rejected
// back-calculation, a bound) come from calc/messages.h.
#pragma once

namespace tools {

inline constexpr const char* kUsage =
    "usage: vapcal-calc [--temp T] [--flow F] [--dilution D] [--pbar P] [--dp DP] [--ref-temp TR]\n"
    "                   [--wanted CD] [--flow-min X] [--flow-max X] [--dilution-max X]\n"
    "                   [--temp-min X] [--temp-max X] [--json] [--decimal-separator C]\n"
    "\n"
    "Computes what the Vapcal console's calculator shows for these inputs (defaults: 40, 6, 10,\n"
    "29.96, 0, 20; bounds: flow 0 to 20, dilution flow 0 to 20, temperature 30 to 60).\n"
    "--wanted back-calculates the reservoir flow for a wanted diluted output and tells what\n"
    "that flow, held to 0.1 ml/min, really delivers. --temp, --flow, --dilution and --wanted\n"
    "also take a range A:B:STEP (A up to B, STEP above 0 and no finer than the field shows)\n"
    "and then print one CSV row per combination (';' between columns under a ',' separator).\n"
    "Exit status: 0 done, 1 an input out of its bounds, a result that cannot be computed or\n"
    "a rejected back-calculation (in a table: any row), 64 bad option.\n";

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
// The table's last column: why a row has no results.
inline constexpr const char* kErrorColumn = "Error";

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
inline constexpr const char* kFlowRangeWithWanted =
    "--flow: a range of flows cannot go with --wanted, which computes the flow";

}  // namespace tools
