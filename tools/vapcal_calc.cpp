// vapcal-calc: the console's calculator on the command line.
//
// The inputs go into an in-memory copy of the window's calculator fields and
// the same operations run on them as in the window, so every text printed is
// the text the window would show. A range "A:B:STEP" for the temperature, the
// flows or the wanted output prints one row per combination, for preparing a
// multi-point calibration.
#include "calc/memorycalculator.h"
#include "platform/fperror.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kExitRejected = 1;
constexpr int kExitUsage = 64;
constexpr size_t kMaxRows = 100000;

const char* const kUsage =
    "usage: vapcal-calc [--temp T] [--flow F] [--dilution D] [--pbar P] [--dp DP] [--ref-temp TR]\n"
    "                   [--wanted CD] [--flow-min X] [--flow-max X] [--json]\n"
    "                   [--decimal-separator C]\n"
    "\n"
    "Computes what the Vapcal console's calculator shows for these inputs (defaults: 40, 6, 10,\n"
    "29.96, 0, 20; flow bounds 0 and 20). --wanted back-calculates the reservoir flow for a\n"
    "wanted diluted output. --temp, --flow, --dilution and --wanted also take a range A:B:STEP\n"
    "and then print one CSV row per combination (';' between columns under a ',' separator).\n"
    "Exit status: 0 done, 1 back-calculation rejected, 64 bad option.\n";

struct TUsageError {
    std::string Text;
};

const std::vector<std::string> kValueOptions = {
    "--temp",     "--flow",   "--dilution", "--pbar",     "--dp",
    "--ref-temp", "--wanted", "--flow-min", "--flow-max", "--decimal-separator"};
const std::vector<std::string> kRangeOptions = {"--temp", "--flow", "--dilution", "--wanted"};

struct TArguments {
    std::map<std::string, std::string> Values;
    bool Json = false;
    bool Help = false;
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
        if (name == "--json" || name == "--help" || name == "-h") {
            if (value)
                throw TUsageError{name + " takes no value"};
            (name == "--json" ? args.Json : args.Help) = true;
            continue;
        }
        if (!IsOneOf(name, kValueOptions))
            throw TUsageError{"unknown option '" + name + "'"};
        if (!value) {
            if (i + 1 >= argc)
                throw TUsageError{name + " needs a value"};
            value = argv[++i];
        }
        if (!args.Values.emplace(name, *value).second)
            throw TUsageError{name + " given twice"};
    }
    return args;
}

void SetDecimalSeparator(const std::string& text) {
    const bool usable = text.size() == 1 && !std::isdigit(static_cast<unsigned char>(text[0])) &&
                        std::strchr("+-eE: \t", text[0]) == nullptr;
    if (!usable)
        throw TUsageError{
            "--decimal-separator needs one character that is not a digit, sign, "
            "exponent mark, ':' or blank"};
    auto& settings = platform::FormatSettings();
    settings.DecimalSeparator = text[0];
    if (settings.ThousandSeparator == text[0])
        settings.ThousandSeparator = text[0] == ',' ? '.' : ',';
}

long double Number(const std::string& option, const std::string& text) {
    long double value = 0;
    if (!platform::TryStrToFloat(text, value))
        throw TUsageError{option + ": '" + text + "' is not a valid floating point value"};
    return value;
}

// "A", or "A:B:STEP" from A towards B, B included when a step lands on it.
std::vector<long double> Values(const std::string& option, const std::string& text) {
    const size_t first = text.find(':');
    if (first == std::string::npos)
        return {Number(option, text)};
    const size_t second = text.find(':', first + 1);
    if (second == std::string::npos || text.find(':', second + 1) != std::string::npos)
        throw TUsageError{option + ": a range is A:B:STEP"};
    const long double from = Number(option, text.substr(0, first));
    const long double to = Number(option, text.substr(first + 1, second - first - 1));
    const long double step = Number(option, text.substr(second + 1));
    if (from == to)
        return {from};
    const long double steps = (to - from) / step;
    if (step == 0 || !(steps > 0) || steps >= kMaxRows)
        throw TUsageError{option + ": the step must lead from A to B in at most " +
                          std::to_string(kMaxRows) + " rows"};
    // A step that lands on B within rounding of its decimal text includes B.
    const auto count = static_cast<size_t>(std::floor(steps + 1e-9L)) + 1;
    std::vector<long double> values;
    for (size_t i = 0; i < count; ++i)
        values.push_back(from + step * static_cast<long double>(i));
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
    std::optional<long double> Wanted;
};

// The texts of one calculation, in the window's field order, or the message
// that rejected it.
struct TResult {
    std::vector<std::pair<std::string, std::string>> Fields;
    std::string Rejection;
    std::vector<std::string> Warnings;
};

std::vector<std::string> BoundsWarnings(const calc::TMemoryCalculator& window) {
    std::vector<std::string> warnings;
    const std::pair<const char*, const calc::TMemoryField*> bounded[] = {
        {"edtTemp", &window.edtTemp},
        {"edtFlow", &window.edtFlow},
        {"edtDilutionFlow", &window.edtDilutionFlow}};
    for (const auto& [name, field] : bounded) {
        const std::string message = field->BoundsMessage();
        if (!message.empty())
            warnings.push_back(std::string(name) + ": " + message);
    }
    return warnings;
}

// Runs the window's start-up calculation on the inputs and, for a wanted
// output, the operator's manual entry followed by Enter.
TResult Calculate(const TInputs& in) {
    TResult result;
    std::vector<std::string> messages;
    const auto previous =
        platform::SetMessageSink([&](const platform::TMessage& m) { messages.push_back(m.Text); });

    calc::TMemoryCalculator window;
    window.edtFlow.SetBounds(in.FlowMin, in.FlowMax);
    window.edtTemp.SetAsFloat(in.Temp);
    window.edtPbar.SetAsFloat(in.Pbar);
    window.edtDp.SetAsFloat(in.Dp);
    window.edtFlow.SetAsFloat(in.Flow);
    window.edtRefTemp.SetAsFloat(in.RefTemp);
    window.edtDilutionFlow.SetAsFloat(in.DilutionFlow);
    result.Warnings = BoundsWarnings(window);
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
    platform::SetMessageSink(previous);

    if (!messages.empty())
        result.Rejection = messages.front();
    for (const auto& [name, field] : window.Fields())
        result.Fields.emplace_back(name, field->Text());
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

std::string JsonObject(const TResult& result) {
    std::string out = "{";
    for (size_t i = 0; i < result.Fields.size(); ++i) {
        out += (i ? ", " : "") + JsonString(result.Fields[i].first) + ": " +
               JsonString(result.Fields[i].second);
    }
    return out + "}";
}

void PrintWarnings(const TResult& result) {
    for (const auto& warning : result.Warnings)
        std::fprintf(stderr, "vapcal-calc: %s\n", warning.c_str());
}

int PrintOne(const TInputs& inputs, bool json) {
    const TResult result = Calculate(inputs);
    PrintWarnings(result);
    if (!result.Rejection.empty()) {
        std::fprintf(stderr, "%s\n", result.Rejection.c_str());
        return kExitRejected;
    }
    if (json) {
        std::printf("%s\n", JsonObject(result).c_str());
        return 0;
    }
    for (const auto& [name, text] : result.Fields)
        std::printf("%s: %s\n", name.c_str(), text.c_str());
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

// One row per combination, temperature varying slowest. A rejected row goes
// to standard error with its inputs and is left out of the table.
int PrintTable(const TInputs& base, const std::map<std::string, std::vector<long double>>& ranges,
               bool json) {
    const auto& temps = ranges.at("--temp");
    const auto& flows = ranges.at("--flow");
    const auto& dilutions = ranges.at("--dilution");
    const auto& wanteds = ranges.at("--wanted");
    if (temps.size() * flows.size() * dilutions.size() * wanteds.size() > kMaxRows) {
        throw TUsageError{"more than " + std::to_string(kMaxRows) + " combinations"};
    }
    const char delimiter = platform::FormatSettings().DecimalSeparator == ',' ? ';' : ',';
    int status = 0;
    bool first = true;
    if (json)
        std::printf("[");
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
                    PrintWarnings(result);
                    if (!result.Rejection.empty()) {
                        std::fprintf(stderr, "%s (edtTemp %s, edtFlow %s, edtDilutionFlow %s",
                                     result.Rejection.c_str(), result.Fields[0].second.c_str(),
                                     result.Fields[1].second.c_str(),
                                     result.Fields[2].second.c_str());
                        if (in.Wanted) {
                            std::fprintf(stderr, ", edtDilutedOput %s",
                                         result.Fields[10].second.c_str());
                        }
                        std::fprintf(stderr, ")\n");
                        status = kExitRejected;
                        continue;
                    }
                    if (json) {
                        std::printf("%s%s", first ? "\n" : ",\n", JsonObject(result).c_str());
                    } else {
                        if (first) {
                            for (size_t i = 0; i < result.Fields.size(); ++i) {
                                std::printf("%s%s", i ? std::string(1, delimiter).c_str() : "",
                                            result.Fields[i].first.c_str());
                            }
                            std::printf("\n");
                        }
                        for (size_t i = 0; i < result.Fields.size(); ++i) {
                            std::printf("%s%s", i ? std::string(1, delimiter).c_str() : "",
                                        CsvCell(result.Fields[i].second, delimiter).c_str());
                        }
                        std::printf("\n");
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

int Run(int argc, char** argv) {
    const TArguments args = ParseArguments(argc, argv);
    if (args.Help) {
        std::fputs(kUsage, stdout);
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
    inputs.Temp = ranges["--temp"].front();
    inputs.Flow = ranges["--flow"].front();
    inputs.DilutionFlow = ranges["--dilution"].front();
    if (args.Values.count("--wanted"))
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
        std::fprintf(stderr, "vapcal-calc: %s\n\n%s", e.Text.c_str(), kUsage);
        return kExitUsage;
    }
}
