#include "run/plan.h"
#include "platform/filltext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>

#include "calc/model.h"
#include "platform/numtext.h"
#include "run/messages.h"

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
                "delaySeconds", "item"});
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
    analyzer.Item = ReadItem(keys.Value("item"));
    return analyzer;
}

TPlanPoint ReadPoint(const QJsonValue& value, int index, const TPlan& plan, double temperature,
                     double dilution) {
    if (!value.isObject())
        throw EPlanError(AtPoint(index, "is not a JSON object"));
    TKeys keys(value.toObject(), AtPoint(index, ""),
               {"wanted", "flow", "temperature", "dilution", "dwellMinutes", "settleMaxMinutes"});
    TPlanPoint point;
    point.Wanted = keys.Number("wanted", 0, kMaxConcentration);
    point.Flow = keys.Number("flow", 0, 1e9);
    if (point.Wanted.has_value() == point.Flow.has_value())
        keys.Refuse(kPlanWantedOrFlow);
    point.Temperature = keys.Number("temperature", -273.15, 1e4, temperature);
    point.Dilution = keys.Number("dilution", 0, 1e9, dilution);
    point.DwellMinutes = keys.Number("dwellMinutes", 0, kMaxMinutes, plan.DwellMinutes);
    point.SettleMaxMinutes = keys.Number("settleMaxMinutes", 0, kMaxMinutes, plan.SettleMaxMinutes);
    if (std::isnan(point.Temperature))
        keys.Refuse(platform::FillText(kPlanNeedsKey, {"temperature"}));
    if (std::isnan(point.Dilution))
        keys.Refuse(platform::FillText(kPlanNeedsKey, {"dilution"}));
    if (point.SettleMaxMinutes < plan.SettlingMinutes)
        keys.Refuse(platform::FillText(
            kPlanSettleShorter, {Number(point.SettleMaxMinutes), Number(plan.SettlingMinutes)}));
    return point;
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
               {"name", "operator", "analyzerId", "temperature", "dilution", "settlingMinutes",
                "settleMaxMinutes", "dwellMinutes", "onNotStable", "end", "acceptance", "analyzer",
                "points", "customer", "environment"});
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
    const QJsonValue points = keys.Value("points");
    if (!points.isArray())
        keys.Refuse(platform::FillText(kPlanNeedsKey, {"points"}));
    if (points.toArray().isEmpty())
        keys.Refuse(kPlanNoPoints);
    int index = 0;
    for (const QJsonValue& point : points.toArray())
        plan.Points.push_back(ReadPoint(point, ++index, plan, temperature, dilution));
    return plan;
}

void CheckPlan(TPlan& plan, const TKitLimits& limits, bool headless) {
    if (headless && plan.Analyzer.Source == asManual)
        throw EPlanError(std::string("analyzer: ") + kPlanManualHeadless);
    int index = 0;
    for (TPlanPoint& point : plan.Points) {
        ++index;
        const auto refuse = [index](const std::string& reason) {
            throw EPlanError(AtPoint(index, reason));
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
}

}  // namespace run
