// vapcal-calc: the console's calculator on the command line.
//
// The inputs go into an in-memory copy of the window's calculator fields and
// the same operations run on them as in the window, so every text printed is
// the text the window would show. A range "A:B:STEP" for the temperature, the
// flows or the wanted output prints one row per combination, for preparing a
// multi-point calibration. A result that cannot be computed is never printed
// as a number: the calculation fails with its reason and exit status 1.
#include "calc/memorycalculator.h"
#include "calc/model.h"
#include "calc/uncertainty.h"
#include "platform/filltext.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"
#include "tools/calcmessages.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;
constexpr long long kMaxRows = 100000;
// Values beyond this many units of a field's last decimal cannot be counted
// in rows exactly.
constexpr long double kMaxUnits = 1e15L;

struct TUsageError {
    std::string Text;
};

const std::vector<std::string> kValueOptions = {"--temp",
                                                "--flow",
                                                "--dilution",
                                                "--pbar",
                                                "--dp",
                                                "--ref-temp",
                                                "--wanted",
                                                "--flow-min",
                                                "--flow-max",
                                                "--dilution-max",
                                                "--temp-min",
                                                "--temp-max",
                                                "--decimal-separator",
                                                "--u-temp",
                                                "--u-flow-reading",
                                                "--u-flow-full-scale",
                                                "--u-pbar",
                                                "--u-dp",
                                                "--u-ref-temp",
                                                "--u-sat-conc",
                                                "--coverage"};

// The options that set the budget's accuracies for one run.
struct TAccuracyOption {
    const char* Option;
    long double calc::TAccuracies::*Member;
};
const TAccuracyOption kAccuracyOptions[] = {
    {"--u-temp", &calc::TAccuracies::TempAccuracy},
    {"--u-flow-reading", &calc::TAccuracies::FlowReadingPercent},
    {"--u-flow-full-scale", &calc::TAccuracies::FlowFullScalePercent},
    {"--u-pbar", &calc::TAccuracies::PbarAccuracy},
    {"--u-dp", &calc::TAccuracies::DpAccuracy},
    {"--u-ref-temp", &calc::TAccuracies::RefTempAccuracy},
    {"--u-sat-conc", &calc::TAccuracies::SatConcPercent},
    {"--coverage", &calc::TAccuracies::CoverageFactor},
};
const std::vector<std::string> kRangeOptions = {"--temp", "--flow", "--dilution", "--wanted"};

struct TArguments {
    std::map<std::string, std::string> Values;
    bool Json = false;
    bool Help = false;
    bool Uncertainty = false;
};

bool IsOneOf(const std::string& name, const std::vector<std::string>& names) {
    for (const auto& n : names) {
        if (n == name)
            return true;
    }
    return false;
}

TArguments ParseArguments(int argc, char** argv) {
    TArguments args;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::optional<std::string> value;
        if (const size_t equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (name == "--json" || name == "--help" || name == "-h" || name == "--uncertainty") {
            if (value)
                throw TUsageError{platform::FillText(tools::kNoValueWanted, {name})};
            (name == "--json"          ? args.Json
             : name == "--uncertainty" ? args.Uncertainty
                                       : args.Help) = true;
            continue;
        }
        if (!IsOneOf(name, kValueOptions))
            throw TUsageError{platform::FillText(tools::kUnknownOption, {name})};
        if (!value) {
            if (i + 1 >= argc)
                throw TUsageError{platform::FillText(tools::kValueNeeded, {name})};
            value = argv[++i];
        }
        if (!args.Values.emplace(name, *value).second)
            throw TUsageError{platform::FillText(tools::kGivenTwice, {name})};
    }
    return args;
}

void SetDecimalSeparator(const std::string& text) {
    const bool usable = text.size() == 1 && !std::isdigit(static_cast<unsigned char>(text[0])) &&
                        std::strchr("+-eE: \t", text[0]) == nullptr;
    if (!usable)
        throw TUsageError{tools::kBadSeparator};
    auto& settings = platform::FormatSettings();
    settings.DecimalSeparator = text[0];
    if (settings.ThousandSeparator == text[0])
        settings.ThousandSeparator = text[0] == ',' ? '.' : ',';
}

long double Number(const std::string& option, const std::string& text) {
    long double value = 0;
    if (!platform::TryStrToFloat(text, value))
        throw TUsageError{platform::FillText(tools::kNotANumber, {option, text})};
    return value;
}

// The decimals of the field a range option's values go to.
int FieldDecimals(const std::string& option) {
    if (option == "--temp")
        return calc::kTempDecimals;
    if (option == "--dilution")
        return calc::kDilutionFlowDecimals;
    return option == "--wanted" ? calc::kOutputDecimals : calc::kFlowDecimals;
}

long double Scale(int decimals) {
    return std::pow(10.0L, static_cast<long double>(decimals));
}

// A value in whole units of the field's last decimal (30.5 with one decimal
// is 305).
long long Units(const std::string& option, const std::string& text, long double value,
                int decimals) {
    const long double units = value * Scale(decimals);
    if (!(std::fabs(units) < kMaxUnits))
        throw TUsageError{platform::FillText(tools::kOutOfRange, {option, text})};
    return std::llround(units);
}

bool OnFieldDecimals(long double value, int decimals) {
    return platform::HeldValue(value, decimals) == value;
}

// "A", or "A:B:STEP": from A up to B, B included when a step lands on it.
// A and STEP must be values the field shows as they are, so that no row
// repeats another or shows another value than the one asked for; the rows
// are counted in whole units of the field's last decimal, so no sum of steps
// drifts.
std::vector<long double> Values(const std::string& option, const std::string& text) {
    const size_t first = text.find(':');
    if (first == std::string::npos)
        return {Number(option, text)};
    const size_t second = text.find(':', first + 1);
    if (second == std::string::npos || text.find(':', second + 1) != std::string::npos)
        throw TUsageError{platform::FillText(tools::kRangeForm, {option})};
    const std::string fromText = text.substr(0, first);
    const std::string toText = text.substr(first + 1, second - first - 1);
    const std::string stepText = text.substr(second + 1);
    const long double from = Number(option, fromText);
    const long double to = Number(option, toText);
    const long double step = Number(option, stepText);

    const int decimals = FieldDecimals(option);
    const std::string resolution = platform::FieldText(1 / Scale(decimals), decimals, true);
    if (!(step > 0))
        throw TUsageError{platform::FillText(tools::kStepNotPositive, {option})};
    if (to < from)
        throw TUsageError{platform::FillText(tools::kRangeReversed, {option})};
    if (!OnFieldDecimals(step, decimals))
        throw TUsageError{platform::FillText(tools::kStepTooFine, {option, stepText, resolution})};
    if (!OnFieldDecimals(from, decimals))
        throw TUsageError{platform::FillText(tools::kStartTooFine, {option, fromText, resolution})};

    const long long fromUnits = Units(option, fromText, from, decimals);
    const long long stepUnits = Units(option, stepText, step, decimals);
    long long toUnits = Units(option, toText, to, decimals);
    if (!OnFieldDecimals(to, decimals))
        toUnits = static_cast<long long>(std::floor(to * Scale(decimals)));
    const long long rows = (toUnits - fromUnits) / stepUnits + 1;
    if (rows > kMaxRows)
        throw TUsageError{
            platform::FillText(tools::kTooManyRows, {option, std::to_string(kMaxRows)})};
    std::vector<long double> values;
    for (long long i = 0; i < rows; ++i) {
        values.push_back(static_cast<long double>(fromUnits + i * stepUnits) / Scale(decimals));
    }
    return values;
}

struct TInputs {
    long double Temp = calc::kDefaultTemp;
    long double Flow = calc::kDefaultFlow;
    long double DilutionFlow = calc::kDefaultDilutionFlow;
    long double Pbar = calc::kDefaultPbar;
    long double Dp = calc::kDefaultDp;
    long double RefTemp = calc::kDefaultRefTemp;
    long double FlowMin = 0;
    long double FlowMax = 20;
    long double DilutionMax = 20;
    long double TempMin = 30;
    long double TempMax = 60;
    std::optional<long double> Wanted;
    bool Uncertainty = false;
    calc::TAccuracies Accuracies;
};

const tools::TQuantity& Quantity(const std::string& key) {
    for (const auto& q : tools::kQuantities) {
        if (key == q.Key)
            return q;
    }
    return tools::kQuantities[0];
}

// The texts of one calculation, in the window's field order, then what a
// back-calculated flow delivers; or why there are no results.
struct TResult {
    std::vector<std::pair<std::string, std::string>> Fields;
    std::string Error;
    bool Wanted = false;
    // With --uncertainty: the budget of the concentration shown (the
    // diluted output, or what the held back-calculated flow delivers), and
    // that concentration as shown.
    std::optional<calc::TUncertaintyBudget> Budget;
    long double Shown = 0;
    // After a back-calculation the window keeps the reservoir conditions of
    // the flow it replaced; text and CSV show those of the held flow
    // instead (JSON keeps the window's field texts).
    std::map<std::string, std::string> HeldFlowFields;
};

// The columns a row without results still shows: the inputs, and the wanted
// output of a back-calculation.
bool IsInput(const TResult& result, const std::string& key) {
    static const char* const inputs[] = {"edtTemp", "edtFlow", "edtDilutionFlow",
                                         "edtPbar", "edtDp",   "edtRefTemp"};
    for (const char* input : inputs) {
        if (key == input)
            return true;
    }
    return result.Wanted && key == "edtDilutedOput";
}

std::string NameOf(const calc::TMemoryCalculator& window, const calc::TCalcTextField& field) {
    for (const auto& [name, f] : window.Fields()) {
        if (f == &field)
            return Quantity(name).Name;
    }
    return {};
}

// A back-calculation replaces the flow: its check is the computed flow's,
// not the one the inputs leave in the field.
std::string BoundsError(const calc::TMemoryCalculator& window, bool wanted) {
    const std::pair<const char*, const calc::TMemoryField*> bounded[] = {
        {"edtTemp", &window.edtTemp},
        {"edtFlow", &window.edtFlow},
        {"edtDilutionFlow", &window.edtDilutionFlow}};
    for (const auto& [key, field] : bounded) {
        if (wanted && field == &window.edtFlow)
            continue;
        const std::string message = field->BoundsMessage();
        if (!message.empty())
            return platform::FillText(tools::kOutOfBounds, {Quantity(key).Name, message});
    }
    return {};
}

// Saturator conditions no kit can have, named.
std::string ConditionsError(const calc::TMemoryCalculator& window) {
    try {
        calc::CheckSaturatorConditions(window.edtPbar.AsFloat(), window.edtDp.AsFloat(),
                                       window.edtRefTemp.AsFloat());
    } catch (const calc::EImpossibleInput& e) {
        return e.what();
    }
    return {};
}

// The reservoir conditions of the held flow, as their fields would show
// them after a forward calculation.
void AddHeldFlowFields(const calc::TMemoryCalculator& window, TResult& result) {
    const long double satFlow =
        platform::HeldValue(calc::CalcSatFlow(window.edtFlow.AsFloat(), window.edtPbar.AsFloat(),
                                              window.edtDp.AsFloat(), window.edtTemp.AsFloat(),
                                              window.edtRefTemp.AsFloat()),
                            calc::kSatFlowDecimals);
    const long double output =
        calc::CalcReservoirOutput(platform::StrToFloat(window.edtSatConc.Text()), satFlow);
    result.HeldFlowFields["edtSatFlow"] =
        platform::FieldText(satFlow, calc::kSatFlowDecimals, false);
    result.HeldFlowFields["edtSaturator"] =
        platform::FieldText(output, calc::kOutputDecimals, true);
}

// What the back-calculated flow, as held, delivers, and how far that is from
// the wanted output.
long double AddDelivery(const calc::TMemoryCalculator& window, TResult& result) {
    const long double wanted = window.edtDilutedOput.AsFloat();
    const long double delivered = calc::CalcDeliveredOutput(
        window.edtFlow.AsFloat(), window.edtDilutionFlow.AsFloat(), window.edtPbar.AsFloat(),
        window.edtDp.AsFloat(), window.edtTemp.AsFloat(), window.edtRefTemp.AsFloat());
    const auto text = [](long double value) {
        return platform::FieldText(value, calc::kOutputDecimals, true);
    };
    result.Fields.emplace_back("deliveredOput", text(delivered));
    result.Fields.emplace_back("deliveredDifference",
                               text(calc::CalcOutputDifference(delivered, wanted)));
    result.Fields.emplace_back("deliveredDifferencePercent",
                               text(calc::CalcOutputDifferencePercent(delivered, wanted)));
    return delivered;
}

// The budget of the inputs as the fields hold them, the flows' capacities
// being their fields' upper bounds.
void AddBudget(const calc::TMemoryCalculator& window, const TInputs& in, TResult& result) {
    const calc::TModelInputs inputs{window.edtTemp.AsFloat(),         window.edtFlow.AsFloat(),
                                    window.edtDilutionFlow.AsFloat(), window.edtPbar.AsFloat(),
                                    window.edtDp.AsFloat(),           window.edtRefTemp.AsFloat()};
    try {
        result.Budget =
            calc::CalcUncertaintyBudget(inputs, {in.FlowMax, in.DilutionMax}, in.Accuracies);
    } catch (const std::exception& e) {
        result.Error = platform::FillText(tools::kNoUncertainty, {e.what()});
    }
}

// The zero gas has no ratio: in a result without an error, its field is
// empty.
bool NoRatio(const std::string& key, const std::string& text) {
    return key == "edtRatio" && text.empty();
}

// Runs the window's start-up calculation on the inputs and, for a wanted
// output, the operator's manual entry followed by Enter.
TResult Calculate(const TInputs& in) {
    TResult result;
    result.Wanted = in.Wanted.has_value();
    std::vector<std::string> messages;
    const auto previous =
        platform::SetMessageSink([&](const platform::TMessage& m) { messages.push_back(m.Text); });

    calc::TMemoryCalculator window;
    window.edtFlow.SetBounds(in.FlowMin, in.FlowMax);
    window.edtDilutionFlow.SetBounds(0, in.DilutionMax);
    window.edtTemp.SetBounds(in.TempMin, in.TempMax);
    window.edtTemp.SetAsFloat(in.Temp);
    window.edtPbar.SetAsFloat(in.Pbar);
    window.edtDp.SetAsFloat(in.Dp);
    window.edtFlow.SetAsFloat(in.Flow);
    window.edtRefTemp.SetAsFloat(in.RefTemp);
    window.edtDilutionFlow.SetAsFloat(in.DilutionFlow);
    std::string failure;
    window.Calculator.OnStepFailed = [&](const calc::TCalcTextField& field,
                                         const std::string& message) {
        if (failure.empty())
            failure = platform::FillText(tools::kNotComputed, {NameOf(window, field), message});
    };

    result.Error = BoundsError(window, in.Wanted.has_value());
    if (result.Error.empty())
        result.Error = ConditionsError(window);
    if (result.Error.empty()) {
        window.Start();
        if (in.Wanted) {
            try {
                window.SetAllowInput(true);
                window.edtDilutedOput.SetAsFloat(*in.Wanted);
                window.Calculator.edtDilutedOputKeyDown(calc::vkReturn);
            } catch (const std::exception& e) {
                // The saturator conditions themselves fail: the window's error box.
                messages.push_back(e.what());
            }
        }
    }
    platform::SetMessageSink(previous);

    for (const auto& [name, field] : window.Fields()) {
        result.Fields.emplace_back(name, field->Text());
        // The zero gas's empty ratio failed no step: its `failure` is empty.
        if (result.Error.empty() && field->Text().empty())
            result.Error = failure;
    }
    if (result.Error.empty() && !messages.empty())
        result.Error = messages.front();
    if (result.Error.empty()) {
        result.Shown = in.Wanted ? AddDelivery(window, result) : window.edtDilutedOput.AsFloat();
        if (in.Wanted)
            AddHeldFlowFields(window, result);
        if (in.Uncertainty)
            AddBudget(window, in, result);
    }
    return result;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

using TPairs = std::vector<std::pair<std::string, std::string>>;

std::string JsonMembers(const TPairs& pairs) {
    std::string out;
    for (size_t i = 0; i < pairs.size(); ++i)
        out += (i ? ", " : "") + JsonString(pairs[i].first) + ": " + JsonString(pairs[i].second);
    return out;
}

// A number at the full precision of a double; null for none.
std::string JsonNumber(long double value) {
    if (!std::isfinite(value))
        return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", static_cast<double>(value));
    return text;
}

std::string JsonUncertainty(const calc::TUncertaintyBudget& b) {
    long double percent = NAN;
    if (b.Value != 0)
        percent = b.ExpandedPercent();
    std::string rows;
    for (const calc::TBudgetRow& row : b.Rows) {
        rows += std::string(rows.empty() ? "" : ", ") +
                "{\"quantity\": " + JsonString(row.Quantity) +
                ", \"standardUncertainty\": " + JsonNumber(row.StandardUncertainty) +
                ", \"sensitivity\": " + JsonNumber(row.Sensitivity) +
                ", \"contribution\": " + JsonNumber(row.Contribution) + "}";
    }
    return "{\"value\": " + JsonNumber(b.Value) +
           ", \"coverageFactor\": " + JsonNumber(b.CoverageFactor) +
           ", \"standard\": " + JsonNumber(b.Combined) +
           ", \"expanded\": " + JsonNumber(b.Expanded) +
           ", \"expandedPercent\": " + JsonNumber(percent) + ", \"budget\": [" + rows + "]}";
}

// The fields' texts, then a "units" object with the unit of each, and the
// uncertainty when it was asked for.
std::string JsonObject(const TResult& result) {
    TPairs units;
    for (const auto& [key, text] : result.Fields)
        units.emplace_back(key, Quantity(key).Unit);
    std::string fields;
    for (const auto& [key, text] : result.Fields) {
        fields += (fields.empty() ? "" : ", ") + JsonString(key) + ": " +
                  (NoRatio(key, text) ? "null" : JsonString(text));
    }
    std::string object = "{" + fields + ", \"units\": {" + JsonMembers(units) + "}";
    if (result.Budget)
        object += ", \"uncertainty\": " + JsonUncertainty(*result.Budget);
    return object + "}";
}

// A table row without results: the inputs and why.
std::string JsonErrorObject(const TResult& result) {
    TPairs inputs;
    for (const auto& [key, text] : result.Fields) {
        if (IsInput(result, key))
            inputs.emplace_back(key, text);
    }
    return "{" + JsonMembers(inputs) + ", \"error\": " + JsonString(result.Error) + "}";
}

std::string TextLine(const std::string& key, const std::string& text) {
    const tools::TQuantity& q = Quantity(key);
    std::string line = std::string(q.Name) + "  " + (NoRatio(key, text) ? tools::kNoRatio : text);
    if (*q.Unit)
        line += std::string(" ") + q.Unit;
    return line;
}

// A field's text as text and CSV show it: for a held flow, its own
// reservoir conditions.
std::string FieldOf(const TResult& result, const std::string& key) {
    if (const auto held = result.HeldFlowFields.find(key); held != result.HeldFlowFields.end())
        return held->second;
    for (const auto& [k, text] : result.Fields) {
        if (k == key)
            return text;
    }
    return {};
}

// `text` padded with blanks to `width` characters (not bytes: the units
// hold a degree sign).
std::string Padded(std::string text, size_t width) {
    size_t characters = 0;
    for (const char c : text)
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (characters < width)
        text.append(width - characters, ' ');
    return text;
}

void PrintBudgetRow(const std::string& quantity, const std::string& u, const std::string& c,
                    const std::string& contribution) {
    std::printf("%s  %s  %s  %s\n", Padded(quantity, 16).c_str(), Padded(u, 22).c_str(),
                Padded(c, 28).c_str(), contribution.c_str());
}

// The concentration with its U, then the budget's rows with their units.
void PrintUncertainty(const TResult& result, bool wanted) {
    const calc::TUncertaintyBudget& b = *result.Budget;
    std::printf("%s %s\n", wanted ? tools::kDeliveredName : tools::kDilutedName,
                calc::ValueWithUncertaintyText(result.Shown, b.Expanded, b.CoverageFactor).c_str());
    const auto& columns = tools::kBudgetColumns;
    PrintBudgetRow(columns[0], columns[1], columns[2], columns[3]);
    const auto sig = [](long double value, int digits) {
        return platform::FloatToStrSignificant(value, digits);
    };
    for (const calc::TBudgetRow& row : b.Rows) {
        PrintBudgetRow(row.Quantity, sig(row.StandardUncertainty, 4) + " " + row.Unit,
                       sig(row.Sensitivity, 7) + " ng/l per " + row.Unit, sig(row.Contribution, 4));
    }
    std::printf(tools::kBudgetCombined, sig(b.Combined, 4).c_str());
    std::string percent;
    if (b.Value != 0)
        percent = platform::FillText(tools::kBudgetPercent, {sig(b.ExpandedPercent(), 3)});
    std::printf(tools::kBudgetExpanded, platform::FloatToStrGeneral(b.CoverageFactor).c_str(),
                sig(b.Expanded, 4).c_str(), percent.c_str());
}

int PrintOne(const TInputs& inputs, bool json) {
    const TResult result = Calculate(inputs);
    if (!result.Error.empty()) {
        std::fprintf(stderr, "%s\n", result.Error.c_str());
        return kExitFailed;
    }
    if (json) {
        std::printf("%s\n", JsonObject(result).c_str());
        return 0;
    }
    for (const auto& [key, text] : result.Fields) {
        if (key.rfind("delivered", 0) != 0)
            std::printf("%s\n", TextLine(key, FieldOf(result, key)).c_str());
    }
    if (inputs.Wanted) {
        std::printf("%s\n", platform::FillText(tools::kDeliveredLine,
                                               {FieldOf(result, "deliveredOput"),
                                                FieldOf(result, "deliveredDifference"),
                                                FieldOf(result, "deliveredDifferencePercent"),
                                                FieldOf(result, "edtDilutedOput")})
                                .c_str());
    }
    if (result.Budget)
        PrintUncertainty(result, inputs.Wanted.has_value());
    return 0;
}

std::string CsvCell(const std::string& text, char delimiter) {
    if (text.find_first_of(std::string("\"\r\n") + delimiter) == std::string::npos)
        return text;
    std::string out = "\"";
    for (const char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// The table's columns: every field, what a back-calculated flow delivers,
// and why a row has no results.
std::vector<std::string> ColumnKeys(bool wanted) {
    std::vector<std::string> keys;
    for (const auto& q : tools::kQuantities) {
        if (wanted || std::strncmp(q.Key, "delivered", 9) != 0)
            keys.push_back(q.Key);
    }
    return keys;
}

void PrintCsvRow(const std::vector<std::string>& cells, char delimiter) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i)
        line += (i ? std::string(1, delimiter) : "") + CsvCell(cells[i], delimiter);
    std::printf("%s\n", line.c_str());
}

void PrintCsvHeader(const std::vector<std::string>& keys, const TInputs& in, char delimiter) {
    std::vector<std::string> header;
    for (const auto& key : keys) {
        const tools::TQuantity& q = Quantity(key);
        header.push_back(*q.Unit ? std::string(q.Name) + " (" + q.Unit + ")" : q.Name);
    }
    if (in.Uncertainty) {
        header.push_back(
            platform::FillText(tools::kUncertaintyColumn,
                               {platform::FloatToStrGeneral(in.Accuracies.CoverageFactor)}));
    }
    header.push_back(tools::kErrorColumn);
    PrintCsvRow(header, delimiter);
}

// A failed row keeps its inputs and gives its reason in the last column.
// U has the two significant digits it is shown with.
void PrintCsvResult(const TResult& result, const std::vector<std::string>& keys, bool uncertainty,
                    char delimiter) {
    std::vector<std::string> cells;
    for (const auto& key : keys)
        cells.push_back(result.Error.empty() || IsInput(result, key) ? FieldOf(result, key) : "");
    if (uncertainty) {
        cells.push_back(result.Budget
                            ? calc::RoundedUncertainty(result.Shown, result.Budget->Expanded,
                                                       result.Budget->CoverageFactor)
                                  .Expanded
                            : "");
    }
    cells.push_back(result.Error);
    PrintCsvRow(cells, delimiter);
}

// One row per combination, temperature varying slowest.
int PrintTable(const TInputs& base, const std::map<std::string, std::vector<long double>>& ranges,
               bool json) {
    const auto& temps = ranges.at("--temp");
    const auto& flows = ranges.at("--flow");
    const auto& dilutions = ranges.at("--dilution");
    const auto& wanteds = ranges.at("--wanted");
    if (temps.size() * flows.size() * dilutions.size() * wanteds.size() >
        static_cast<size_t>(kMaxRows)) {
        throw TUsageError{
            platform::FillText(tools::kTooManyCombinations, {std::to_string(kMaxRows)})};
    }
    const char delimiter = platform::FormatSettings().DecimalSeparator == ',' ? ';' : ',';
    const std::vector<std::string> keys = ColumnKeys(base.Wanted.has_value());
    int status = 0;
    bool first = true;
    if (json)
        std::printf("[");
    else
        PrintCsvHeader(keys, base, delimiter);
    for (const long double temp : temps) {
        for (const long double flow : flows) {
            for (const long double dilution : dilutions) {
                for (const long double wanted : wanteds) {
                    TInputs in = base;
                    in.Temp = temp;
                    in.Flow = flow;
                    in.DilutionFlow = dilution;
                    if (base.Wanted)
                        in.Wanted = wanted;
                    const TResult result = Calculate(in);
                    if (!result.Error.empty())
                        status = kExitFailed;
                    if (json) {
                        const std::string object =
                            result.Error.empty() ? JsonObject(result) : JsonErrorObject(result);
                        std::printf("%s%s", first ? "\n" : ",\n", object.c_str());
                    } else {
                        PrintCsvResult(result, keys, base.Uncertainty, delimiter);
                    }
                    first = false;
                }
            }
        }
    }
    if (json)
        std::printf("%s]\n", first ? "" : "\n");
    return status;
}

// An accuracy that is not a number is a usage error; one out of its range
// ends the run with its refusal alone.
struct TRangeError {
    std::string Text;
};

// Bounds that cross leave no value acceptable.
void CheckBoundsOrder(const TArguments& args, const TInputs& in) {
    const auto given = [&args](const char* option, long double value) {
        const auto it = args.Values.find(option);
        return it != args.Values.end() ? it->second : platform::FloatToStrGeneral(value);
    };
    if (in.FlowMin > in.FlowMax) {
        throw TRangeError{platform::FillText(
            tools::kBoundsCross, {"--flow-min", given("--flow-min", in.FlowMin), "--flow-max",
                                  given("--flow-max", in.FlowMax)})};
    }
    if (in.TempMin > in.TempMax) {
        throw TRangeError{platform::FillText(
            tools::kBoundsCross, {"--temp-min", given("--temp-min", in.TempMin), "--temp-max",
                                  given("--temp-max", in.TempMax)})};
    }
    if (in.DilutionMax < 0) {
        throw TRangeError{platform::FillText(tools::kBoundsCross,
                                             {tools::kDilutionLowerBound, "0", "--dilution-max",
                                              given("--dilution-max", in.DilutionMax)})};
    }
}

void SetAccuracies(const TArguments& args, calc::TAccuracies& accuracies) {
    for (const TAccuracyOption& option : kAccuracyOptions) {
        const auto it = args.Values.find(option.Option);
        if (it == args.Values.end())
            continue;
        const long double value = Number(option.Option, it->second);
        const std::string error = calc::AccuracyError({option.Option, option.Member, ""}, value);
        if (!error.empty())
            throw TRangeError{error};
        accuracies.*option.Member = value;
    }
}

int Run(int argc, char** argv) {
    const TArguments args = ParseArguments(argc, argv);
    if (args.Help) {
        std::fputs(tools::kUsage, stdout);
        return 0;
    }
    platform::LoadFormatSettingsFromLocale();
    if (const auto it = args.Values.find("--decimal-separator"); it != args.Values.end())
        SetDecimalSeparator(it->second);

    TInputs inputs;
    const auto single = [&](const char* option, long double& target) {
        if (const auto it = args.Values.find(option); it != args.Values.end())
            target = Number(option, it->second);
    };
    single("--pbar", inputs.Pbar);
    single("--dp", inputs.Dp);
    single("--ref-temp", inputs.RefTemp);
    single("--flow-min", inputs.FlowMin);
    single("--flow-max", inputs.FlowMax);
    single("--dilution-max", inputs.DilutionMax);
    single("--temp-min", inputs.TempMin);
    single("--temp-max", inputs.TempMax);
    CheckBoundsOrder(args, inputs);
    inputs.Uncertainty = args.Uncertainty;
    SetAccuracies(args, inputs.Accuracies);

    std::map<std::string, std::vector<long double>> ranges = {{"--temp", {inputs.Temp}},
                                                              {"--flow", {inputs.Flow}},
                                                              {"--dilution", {inputs.DilutionFlow}},
                                                              {"--wanted", {0}}};
    bool table = false;
    for (const auto& option : kRangeOptions) {
        const auto it = args.Values.find(option);
        if (it == args.Values.end())
            continue;
        ranges[option] = Values(option, it->second);
        table = table || it->second.find(':') != std::string::npos;
    }
    const bool wanted = args.Values.count("--wanted") != 0;
    if (wanted && args.Values.count("--flow") &&
        args.Values.at("--flow").find(':') != std::string::npos)
        throw TUsageError{tools::kFlowRangeWithWanted};
    inputs.Temp = ranges["--temp"].front();
    inputs.Flow = ranges["--flow"].front();
    inputs.DilutionFlow = ranges["--dilution"].front();
    if (wanted)
        inputs.Wanted = ranges["--wanted"].front();

    if (table)
        return PrintTable(inputs, ranges, args.Json);
    return PrintOne(inputs, args.Json);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const TUsageError& e) {
        std::fprintf(stderr, "vapcal-calc: %s; %s\n", e.Text.c_str(), tools::kUsageHint);
        return kExitUsage;
    } catch (const TRangeError& e) {
        std::fprintf(stderr, "vapcal-calc: %s\n", e.Text.c_str());
        return kExitFailed;
    }
}
