#include "run/plan.h"
#include "platform/filltext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "calc/model.h"
#include "kit/kit.h"
#include "platform/numtext.h"
#include "run/messages.h"
#include "run/procedure.h"

namespace run {

namespace {

// Upper bounds of the plan's own numbers: sane for a lab, far from overflow.
constexpr double kMaxMinutes = 7 * 24 * 60;
constexpr double kMaxConcentration = 1e6;  // ng/l
constexpr double kMaxDelaySeconds = 24 * 3600;
constexpr double kMaxAcceptance = 1e6;

std::string Number(double value) {
    return platform::FloatToStrGeneral(value);
}

std::string AtPoint(int index, const std::string& reason) {
    char head[32];
    std::snprintf(head, sizeof head, "point %d: ", index);
    return head + reason;
}

// Reads one JSON object's keys; a key it does not know is named before
// anything else is said about the object (a misspelt key explains what
// seems missing).
class TKeys {
  public:
    TKeys(const QJsonObject& object, std::string where, std::initializer_list<const char*> known)
        : FObject(object), FWhere(std::move(where)) {
        for (const QString& key : FObject.keys())
            if (std::none_of(known.begin(), known.end(),
                             [&key](const char* name) { return key == QLatin1String(name); }))
                Refuse(platform::FillText(kPlanUnknownKey, {key.toStdString()}));
    }

    bool Has(const char* key) const { return FObject.contains(key); }

    std::optional<double> Number(const char* key, double low, double high) {
        if (!FObject.contains(key))
            return std::nullopt;
        const QJsonValue value = FObject.value(key);
        if (!value.isDouble() || !std::isfinite(value.toDouble()))
            Refuse(platform::FillText(kPlanNotNumber, {key}));
        const double number = value.toDouble();
        if (number < low || number > high)
            Refuse(platform::FillText(
                kPlanOutOfRange, {key, run::Number(number), run::Number(low), run::Number(high)}));
        return number;
    }

    double Number(const char* key, double low, double high, double otherwise) {
        return Number(key, low, high).value_or(otherwise);
    }

    int Whole(const char* key, int low, int high, int otherwise) {
        const auto number = Number(key, low, high);
        if (number && *number != std::floor(*number))
            Refuse(platform::FillText(kPlanNotWhole, {key, run::Number(*number)}));
        return number ? static_cast<int>(*number) : otherwise;
    }

    std::optional<std::string> Text(const char* key) {
        if (!FObject.contains(key))
            return std::nullopt;
        const QJsonValue value = FObject.value(key);
        if (!value.isString())
            Refuse(platform::FillText(kPlanNotText, {key}));
        return value.toString().toStdString();
    }

    std::string Choice(const char* key, std::initializer_list<const char*> words,
                       const char* otherwise) {
        const std::string word = Text(key).value_or(otherwise);
        std::string list;
        for (const char* allowed : words) {
            if (word == allowed)
                return word;
            list += (list.empty() ? "\"" : ", \"") + std::string(allowed) + "\"";
        }
        Refuse(platform::FillText(kPlanNotChoice, {key, list, word}));
    }

    QJsonValue Value(const char* key) const { return FObject.value(key); }

    [[noreturn]] void Refuse(const std::string& reason) const {
        throw EPlanError(FWhere.empty() ? reason : FWhere + reason);
    }

  private:
    QJsonObject FObject;
    std::string FWhere;
};

std::optional<TAcceptance> ReadAcceptance(const QJsonValue& value) {
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isObject())
        throw EPlanError(
            platform::FillText(kPlanNotChoice, {"acceptance", "an object or null", "?"}));
    TKeys keys(value.toObject(), "acceptance: ", {"percent", "absolute"});
    TAcceptance acceptance;
    acceptance.Percent = keys.Number("percent", 0, kMaxAcceptance, 0);
    acceptance.Absolute = keys.Number("absolute", 0, kMaxAcceptance, 0);
    return acceptance;
}

TAnalyzerItem ReadItem(const QJsonValue& value) {
    TAnalyzerItem item;
    if (value.isUndefined() || value.isNull())
        return item;
    if (!value.isObject())
        throw EPlanError(platform::FillText(kPlanNotChoice, {"analyzer.item", "an object", "?"}));
    TKeys keys(value.toObject(), "analyzer.item: ", {"maker", "model", "serial", "tag"});
    item.Maker = keys.Text("maker").value_or("");
    item.Model = keys.Text("model").value_or("");
    item.Serial = keys.Text("serial").value_or("");
    item.Tag = keys.Text("tag").value_or("");
    return item;
}

TEnvironment ReadEnvironment(const QJsonValue& value) {
    TEnvironment environment;
    if (value.isUndefined() || value.isNull())
        return environment;
    if (!value.isObject())
        throw EPlanError(platform::FillText(kPlanNotChoice, {"environment", "an object", "?"}));
    TKeys keys(value.toObject(), "environment: ", {"temperature", "humidity"});
    environment.Temperature = keys.Number("temperature", -50, 100);
    environment.Humidity = keys.Number("humidity", 0, 100);
    return environment;
}

TAnalyzerPlan ReadAnalyzer(const QJsonValue& value) {
    TAnalyzerPlan analyzer;
    if (value.isUndefined() || value.isNull())
        return analyzer;
    if (!value.isObject())
        throw EPlanError(platform::FillText(kPlanNotChoice, {"analyzer", "an object", "?"}));
    TKeys keys(value.toObject(), "analyzer: ",
               {"source", "port", "address", "function", "register", "format", "scale",
                "delaySeconds", "basis", "item"});
    const std::string source = keys.Choice("source", {"none", "manual", "modbus"}, "none");
    analyzer.Source = source == "manual" ? asManual : source == "modbus" ? asModbus : asNone;
    analyzer.Port = keys.Text("port").value_or("line");
    if (analyzer.Port.empty())
        keys.Refuse(platform::FillText(kPlanNotText, {"port"}));
    analyzer.Address = keys.Whole("address", 1, 247, 1);
    analyzer.Function = keys.Whole("function", 3, 4, 4);
    analyzer.Register = keys.Whole("register", 0, 65535, 0);
    const std::string format = keys.Text("format").value_or("float");
    const auto named = regwire::tool::RegisterFormatNamed(format);
    if (!named)
        keys.Refuse(platform::FillText(kPlanNotChoice,
                                       {"format", regwire::tool::RegisterFormatNames(), format}));
    analyzer.Format = *named;
    analyzer.Scale = keys.Number("scale", -1e12, 1e12, 1);
    analyzer.DelaySeconds = keys.Number("delaySeconds", 0, kMaxDelaySeconds, 0);
    // The kit's own instruments answer there: their registers are no
    // analyser's reading.
    if (analyzer.Source == asModbus && analyzer.Port == "line" &&
        (analyzer.Address == kit::kReservoirFlowServer ||
         analyzer.Address == kit::kDilutionFlowServer ||
         analyzer.Address == kit::kTemperatureServer))
        keys.Refuse(platform::FillText(kPlanAnalyzerOnKit, {std::to_string(analyzer.Address)}));
    analyzer.Basis = keys.Choice("basis", {"20C", "0C"}, "20C") == "0C" ? ab0C : ab20C;
    analyzer.Item = ReadItem(keys.Value("item"));
    return analyzer;
}

// The procedure's words, span or range, levels and limit. A level the plan
// does not give takes the procedure's default share of the span or range.
TProcedurePlan ReadProcedure(TKeys& keys) {
    TProcedurePlan procedure;
    const std::string name = keys.Choice(
        "procedure", {"points", "epa-linearity", "epa-calibration-error", "en14181-linearity"},
        "points");
    const TProcedureRule* rule = ProcedureRuleNamed(name);
    for (const char* key : {"span", "range", "levels", "residualLimitPercent"}) {
        const bool belongs =
            rule &&
            (std::string(key) == rule->SpanKey || std::string(key) == "levels" ||
             (std::string(key) == "residualLimitPercent" && rule->Kind == pkEn14181Linearity));
        if (keys.Has(key) && !belongs)
            keys.Refuse(platform::FillText(kPlanNotForProcedure, {key, name}));
    }
    if (!rule)
        return procedure;
    procedure.Kind = rule->Kind;
    if (!keys.Has(rule->SpanKey))
        keys.Refuse(platform::FillText(kPlanProcedureNeeds, {rule->SpanKey, name}));
    procedure.Span = keys.Number(rule->SpanKey, 0, kMaxConcentration, 0);
    if (procedure.Span <= 0)
        keys.Refuse(platform::FillText(kPlanOutOfRange, {rule->SpanKey, Number(procedure.Span), "0",
                                                         Number(kMaxConcentration)}));
    procedure.ResidualLimitPercent = keys.Number("residualLimitPercent", 0, 100, 5);
    const QJsonValue given = keys.Value("levels");
    if (!given.isUndefined() && !given.isObject())
        keys.Refuse(platform::FillText(kPlanNotChoice, {"levels", "an object", "?"}));
    const QJsonObject levels = given.toObject();
    std::string names;
    for (const TLevelRule& level : rule->Levels)
        names += (names.empty() ? "" : ", ") + std::string(level.Name);
    for (const QString& key : levels.keys())
        if (std::none_of(rule->Levels.begin(), rule->Levels.end(),
                         [&key](const TLevelRule& level) { return key == level.Name; }))
            keys.Refuse(platform::FillText(kPlanUnknownLevel, {key.toStdString(), name, names}));
    procedure.Levels = DefaultLevels(procedure.Kind, procedure.Span);
    for (TPlanLevel& level : procedure.Levels) {
        const QJsonValue value = levels.value(QString::fromStdString(level.Name));
        if (value.isUndefined())
            continue;
        if (!value.isDouble() || !std::isfinite(value.toDouble()))
            keys.Refuse("levels: " + platform::FillText(kPlanNotNumber, {level.Name}));
        level.Concentration = value.toDouble();
        if (level.Concentration < 0 || level.Concentration > kMaxConcentration)
            keys.Refuse("levels: " + platform::FillText(kPlanOutOfRange,
                                                        {level.Name, Number(level.Concentration),
                                                         "0", Number(kMaxConcentration)}));
    }
    return procedure;
}

double LevelConcentration(const TPlan& plan, const std::string& level) {
    for (const TPlanLevel& known : plan.Procedure.Levels)
        if (known.Name == level)
            return known.Concentration;
    return 0;
}

// A point's level: named under a procedure, and one of its levels.
std::string ReadPointLevel(TKeys& keys, const TPlan& plan) {
    const TProcedureRule* rule = ProcedureRule(plan.Procedure.Kind);
    const std::optional<std::string> level = keys.Text("level");
    if (!rule) {
        if (level)
            keys.Refuse(platform::FillText(kPlanNotForProcedure, {"level", "points"}));
        return {};
    }
    if (!level)
        keys.Refuse(platform::FillText(kPlanProcedureNeeds, {"level", rule->Name}));
    std::string names;
    for (const TPlanLevel& known : plan.Procedure.Levels) {
        if (known.Name == *level)
            return *level;
        names += (names.empty() ? "" : ", ") + known.Name;
    }
    keys.Refuse(platform::FillText(kPlanUnknownLevel, {*level, rule->Name, names}));
}

// The points of a procedure whose plan gives only its levels.
void MakeProcedurePoints(TPlan& plan, double temperature, double dilution) {
    if (std::isnan(temperature))
        throw EPlanError(platform::FillText(kPlanNeedsKey, {"temperature"}));
    if (std::isnan(dilution))
        throw EPlanError(platform::FillText(kPlanNeedsKey, {"dilution"}));
    if (plan.SettleMaxMinutes < plan.SettlingMinutes)
        throw EPlanError(platform::FillText(
            kPlanSettleShorter, {Number(plan.SettleMaxMinutes), Number(plan.SettlingMinutes)}));
    const double factor = BasisFactor(plan.Analyzer.Basis);
    for (const TPlanLevel& level : InjectionOrder(plan.Procedure)) {
        TPlanPoint point;
        point.Level = level.Name;
        point.Wanted = level.Concentration / factor;
        point.Temperature = temperature;
        point.Dilution = dilution;
        point.DwellMinutes = plan.DwellMinutes;
        point.SettleMaxMinutes = plan.SettleMaxMinutes;
        plan.Points.push_back(point);
    }
}

TPlanPoint ReadPoint(const QJsonValue& value, int index, const TPlan& plan, double temperature,
                     double dilution) {
    if (!value.isObject())
        throw EPlanError(AtPoint(index, "is not a JSON object"));
    TKeys keys(
        value.toObject(), AtPoint(index, ""),
        {"wanted", "flow", "temperature", "dilution", "dwellMinutes", "settleMaxMinutes", "level"});
    TPlanPoint point;
    point.Wanted = keys.Number("wanted", 0, kMaxConcentration);
    point.Flow = keys.Number("flow", 0, 1e9);
    point.Level = ReadPointLevel(keys, plan);
    if (point.Wanted && point.Flow)
        keys.Refuse(kPlanWantedOrFlow);
    if (!point.Wanted && !point.Flow) {
        if (point.Level.empty())
            keys.Refuse(kPlanWantedOrFlow);
        // An injection of its level: the kit is asked for the level's gas.
        point.Wanted = LevelConcentration(plan, point.Level) / BasisFactor(plan.Analyzer.Basis);
    }
    point.Temperature = keys.Number("temperature", -273.15, 1e4, temperature);
    point.Dilution = keys.Number("dilution", 0, 1e9, dilution);
    point.DwellMinutes = keys.Number("dwellMinutes", 0, kMaxMinutes, plan.DwellMinutes);
    point.SettleMaxMinutes = keys.Number("settleMaxMinutes", 0, kMaxMinutes, plan.SettleMaxMinutes);
    if (std::isnan(point.Temperature))
        keys.Refuse(platform::FillText(kPlanNeedsKey, {"temperature"}));
    if (std::isnan(point.Dilution))
        keys.Refuse(platform::FillText(kPlanNeedsKey, {"dilution"}));
    // A dwell without a poll in it has no mean.
    if (point.DwellMinutes * 60000 < kit::kPollIntervalMs)
        keys.Refuse(platform::FillText(kPlanDwellShort, {Number(point.DwellMinutes)}));
    if (point.SettleMaxMinutes < plan.SettlingMinutes)
        keys.Refuse(platform::FillText(
            kPlanSettleShorter, {Number(point.SettleMaxMinutes), Number(plan.SettlingMinutes)}));
    return point;
}

// A level's concentration against its band of the span or range; the
// band's edges hold, whatever the last bit of a division made of them.
void CheckBand(const TProcedurePlan& procedure, const TProcedureRule& rule,
               const std::string& level, double concentration, const std::string& where) {
    for (const TLevelRule& band : rule.Levels) {
        if (level != band.Name)
            continue;
        const double percent = concentration / procedure.Span * 100;
        const double slack = 1e-9 * std::max(1.0, band.HighPercent);
        if (percent >= band.LowPercent - slack && percent <= band.HighPercent + slack)
            return;
        throw EPlanError(
            where +
            platform::FillText(
                kPlanLevelOutOfBand,
                {level, Number(concentration), platform::FloatToStrFixed(percent, 1), rule.SpanKey,
                 Number(procedure.Span), Number(band.LowPercent), Number(band.HighPercent)}));
    }
}

// The procedure's own rules over the plan's points: an analyser to judge,
// no point acceptance beside the procedure's, each level injected as often
// as the procedure takes, never twice in a row for the EPA linearity, and
// every level within its band.
void CheckProcedure(TPlan& plan) {
    for (TPlanPoint& point : plan.Points)
        point.BasisFactor = BasisFactor(plan.Analyzer.Basis);
    const TProcedureRule* rule = ProcedureRule(plan.Procedure.Kind);
    if (!rule)
        return;
    const TProcedurePlan& procedure = plan.Procedure;
    if (plan.Analyzer.Source == asNone)
        throw EPlanError(platform::FillText(kPlanProcedureAnalyzer, {rule->Name}));
    if (plan.Acceptance)
        throw EPlanError(platform::FillText(kPlanProcedureAcceptance, {rule->Name}));
    for (const TPlanLevel& level : procedure.Levels) {
        const auto count =
            std::count_if(plan.Points.begin(), plan.Points.end(),
                          [&level](const TPlanPoint& p) { return p.Level == level.Name; });
        if (rule->Kind == pkEn14181Linearity && count == 0)
            throw EPlanError(platform::FillText(kPlanLevelAtLeastOnce, {level.Name, rule->Name}));
        if (rule->Kind != pkEn14181Linearity && count != rule->Rounds)
            throw EPlanError(platform::FillText(
                kPlanLevelCount,
                {level.Name, std::to_string(count), rule->Name, std::to_string(rule->Rounds)}));
    }
    for (std::size_t i = 1; rule->Kind == pkEpaLinearity && i < plan.Points.size(); ++i)
        if (plan.Points[i].Level == plan.Points[i - 1].Level)
            throw EPlanError(AtPoint(
                static_cast<int>(i) + 1,
                platform::FillText(kPlanLevelRepeated, {plan.Points[i].Level, rule->Name})));
    if (!procedure.PointsGiven) {
        for (const TPlanLevel& level : procedure.Levels)
            CheckBand(procedure, *rule, level.Name, level.Concentration, "");
        return;
    }
    int index = 0;
    for (const TPlanPoint& point : plan.Points) {
        const double concentration =
            (point.Wanted ? *point.Wanted : point.Calculated) * point.BasisFactor;
        CheckBand(procedure, *rule, point.Level, concentration, AtPoint(++index, ""));
    }
}

}  // namespace

const char* AnalyzerSourceName(TAnalyzerSource source) {
    switch (source) {
        case asManual:
            return "manual";
        case asModbus:
            return "modbus";
        case asNone:
            break;
    }
    return "none";
}

// Opened without waiting (a pipe would wait for a writer) and judged by
// what was opened, so that the file cannot be swapped between look and read.
QByteArray ReadPlanFile(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw EPlanError(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int why = errno;
        ::close(fd);
        throw EPlanError(std::strerror(why));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw EPlanError(kPlanNotRegular);
    }
    QByteArray bytes;
    QFile file;
    if (st.st_size <= kMaxPlanBytes && file.open(fd, QIODevice::ReadOnly, QFile::AutoCloseHandle))
        bytes = file.read(kMaxPlanBytes + 1);
    else
        ::close(fd);
    if (st.st_size > kMaxPlanBytes || bytes.size() > kMaxPlanBytes)
        throw EPlanError(platform::FillText(
            kPlanTooLarge, {std::to_string(std::max<qint64>(st.st_size, bytes.size()))}));
    if (file.error() != QFileDevice::NoError)
        throw EPlanError(file.errorString().toStdString());
    return bytes;
}

TPlan ParsePlan(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        throw EPlanError(platform::FillText(kPlanNotJson, {error.errorString().toStdString()}));
    if (!document.isObject())
        throw EPlanError(kPlanNotObject);
    TPlan plan;
    plan.Json = document.object();
    TKeys keys(plan.Json, "",
               {"name",
                "operator",
                "analyzerId",
                "temperature",
                "dilution",
                "settlingMinutes",
                "settleMaxMinutes",
                "dwellMinutes",
                "onNotStable",
                "end",
                "acceptance",
                "analyzer",
                "points",
                "procedure",
                "span",
                "range",
                "levels",
                "residualLimitPercent",
                "customer",
                "environment"});
    plan.Name = keys.Text("name").value_or("");
    if (plan.Name.empty())
        keys.Refuse(platform::FillText(kPlanNeedsKey, {"name"}));
    plan.Operator = keys.Text("operator").value_or("");
    plan.AnalyzerId = keys.Text("analyzerId").value_or("");
    plan.Customer = keys.Text("customer").value_or("");
    plan.Environment = ReadEnvironment(keys.Value("environment"));
    const double temperature = keys.Number("temperature", -273.15, 1e4, std::nan(""));
    const double dilution = keys.Number("dilution", 0, 1e9, std::nan(""));
    plan.SettlingMinutes = keys.Number("settlingMinutes", 0, kMaxMinutes, plan.SettlingMinutes);
    plan.SettleMaxMinutes = keys.Number("settleMaxMinutes", 0, kMaxMinutes,
                                        std::max(plan.SettleMaxMinutes, 3 * plan.SettlingMinutes));
    plan.DwellMinutes = keys.Number("dwellMinutes", 0, kMaxMinutes, plan.DwellMinutes);
    plan.StopWhenNotStable = keys.Choice("onNotStable", {"skip", "stop"}, "skip") == "stop";
    plan.EndWithZeroFlow = keys.Choice("end", {"keep", "zero"}, "keep") == "zero";
    plan.Acceptance = ReadAcceptance(keys.Value("acceptance"));
    plan.Analyzer = ReadAnalyzer(keys.Value("analyzer"));
    plan.Procedure = ReadProcedure(keys);
    const QJsonValue points = keys.Value("points");
    if (plan.Procedure.Kind != pkPoints && points.isUndefined()) {
        MakeProcedurePoints(plan, temperature, dilution);
        return plan;
    }
    plan.Procedure.PointsGiven = true;
    if (!points.isArray())
        keys.Refuse(platform::FillText(kPlanNeedsKey, {"points"}));
    if (points.toArray().isEmpty())
        keys.Refuse(kPlanNoPoints);
    if (points.toArray().size() > kMaxPlanPoints)
        keys.Refuse(platform::FillText(kPlanTooManyPoints, {std::to_string(points.toArray().size()),
                                                            std::to_string(kMaxPlanPoints)}));
    int index = 0;
    for (const QJsonValue& point : points.toArray())
        plan.Points.push_back(ReadPoint(point, ++index, plan, temperature, dilution));
    return plan;
}

double PlanMinutes(const TPlan& plan) {
    double minutes = 0;
    for (const TPlanPoint& point : plan.Points)
        minutes += plan.SettlingMinutes + plan.Analyzer.DelaySeconds / 60 + point.DwellMinutes;
    return minutes;
}

void CheckPlan(TPlan& plan, const TKitLimits& limits, bool headless) {
    if (headless && plan.Analyzer.Source == asManual)
        throw EPlanError(std::string("analyzer: ") + kPlanManualHeadless);
    int index = 0;
    for (TPlanPoint& point : plan.Points) {
        ++index;
        // A procedure's injection names its level too.
        const auto refuse = [index, &point](const std::string& reason) {
            throw EPlanError(AtPoint(
                index, point.Level.empty() ? reason : "level \"" + point.Level + "\": " + reason));
        };
        point.Temperature =
            static_cast<double>(platform::HeldValue(point.Temperature, calc::kTempDecimals));
        point.Dilution =
            static_cast<double>(platform::HeldValue(point.Dilution, calc::kDilutionFlowDecimals));
        if (point.Temperature < limits.TempMin || point.Temperature > limits.TempMax)
            refuse(platform::FillText(
                kPlanTempOutsideLimits,
                {Number(point.Temperature), Number(limits.TempMin), Number(limits.TempMax)}));
        if (point.Dilution > limits.DilutionCapacity)
            refuse(platform::FillText(kPlanDilutionAboveCapacity,
                                      {Number(point.Dilution), Number(limits.DilutionCapacity)}));
        if (point.Dilution <= 0)
            refuse(platform::FillText(kPlanOutOfRange, {"dilution", Number(point.Dilution), "0.1",
                                                        Number(limits.DilutionCapacity)}));
        try {
            long double flow = point.Flow.value_or(0);
            if (point.Wanted && *point.Wanted == 0) {
                // The zero gas: the model's back-calculation has no value
                // at 0 ng/l, but no reservoir flow delivers exactly that.
                flow = 0;
            } else if (point.Wanted) {
                flow = calc::CalcFlowForOutput(*point.Wanted, calc::CalcSatConc(point.Temperature),
                                               limits.Pbar, limits.Dp, point.Temperature,
                                               limits.RefTemp, point.Dilution);
                flow = platform::HeldValue(flow, calc::kFlowDecimals);
                if (flow < 0 || flow > limits.ReservoirCapacity)
                    refuse(platform::FillText(
                        kPlanWantedUnreachable,
                        {Number(*point.Wanted), Number(flow), Number(limits.ReservoirCapacity)}));
            } else {
                flow = platform::HeldValue(flow, calc::kFlowDecimals);
                if (flow > limits.ReservoirCapacity)
                    refuse(platform::FillText(
                        kPlanFlowAboveCapacity,
                        {Number(*point.Flow), Number(limits.ReservoirCapacity)}));
            }
            point.ReservoirFlow = static_cast<double>(flow);
            point.Calculated = static_cast<double>(calc::CalcDeliveredOutput(
                flow, point.Dilution, limits.Pbar, limits.Dp, point.Temperature, limits.RefTemp));
        } catch (const EPlanError&) {
            throw;
        } catch (const std::exception&) {
            refuse(platform::FillText(kPlanWantedNoFlow, {Number(point.Wanted.value_or(0))}));
        }
    }
    CheckProcedure(plan);
}

}  // namespace run
