// The plan of a calibration run: the points to visit and how, read from a
// JSON file, and checked whole against the kit (its controllers'
// capacities and set-point limits) before anything is written to it. A
// refused plan names the point and the reason; a key the plan does not know
// is named, never ignored.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "modbus/registerformat.h"

namespace run {

// A plan that cannot be run: the message names the point and the reason.
class EPlanError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum TAnalyzerSource { asNone, asManual, asModbus };

// The analyser under calibration as its owner knows it; every text may be
// empty.
struct TAnalyzerItem {
    std::string Maker;
    std::string Model;
    std::string Serial;
    std::string Tag;
};

// Where the analyser's reading comes from.
struct TAnalyzerPlan {
    TAnalyzerSource Source = asNone;
    // "line": another server on the kit's own line; otherwise a port the
    // console opens (a device, tcp://, mbtcp://).
    std::string Port = "line";
    int Address = 1;
    int Function = 4;  // 3 holding or 4 input registers
    int Register = 0;
    regwire::tool::TRegisterFormat Format = regwire::tool::TRegisterFormat::Float;
    double Scale = 1;
    // The analyser's own response time, waited out after the kit is stable.
    double DelaySeconds = 0;
    TAnalyzerItem Item;
};

// The lab's air when the run started, as the operator read it.
struct TEnvironment {
    std::optional<double> Temperature;  // °C
    std::optional<double> Humidity;     // % relative humidity
};

// |analyser - delivered| <= max(Percent % of delivered, Absolute).
struct TAcceptance {
    double Percent = 0;
    double Absolute = 0;  // ng/l
};

struct TPlanPoint {
    std::optional<double> Wanted;  // ng/l
    std::optional<double> Flow;    // ml/min as given
    double Temperature = 0;        // °C
    double Dilution = 0;           // l/min
    double DwellMinutes = 0;
    double SettleMaxMinutes = 0;
    // Filled by the check: the reservoir flow held as the window holds it
    // (0.1 ml/min), and the concentration the calculator gives for the held
    // set points.
    double ReservoirFlow = 0;
    double Calculated = 0;
};

struct TPlan {
    std::string Name;
    double SettlingMinutes = 10;
    double SettleMaxMinutes = 30;
    double DwellMinutes = 5;
    bool StopWhenNotStable = false;  // onNotStable "stop"; "skip" goes on
    bool EndWithZeroFlow = false;    // end "zero"; "keep" leaves the set points
    std::optional<TAcceptance> Acceptance;
    TAnalyzerPlan Analyzer;
    std::string Operator;    // empty: not given
    std::string AnalyzerId;  // empty: not given
    std::string Customer;    // empty: not given
    TEnvironment Environment;
    std::vector<TPlanPoint> Points;
    // The plan as given, written to the run folder as run.
    QJsonObject Json;
};

// What the check holds the plan against: the kit's controllers as read from
// them, and the saturator conditions the console calculates with.
struct TKitLimits {
    double ReservoirCapacity = 20;  // ml/min
    double DilutionCapacity = 20;   // l/min
    double TempMin = 30;            // °C, the controller's set-point limits
    double TempMax = 60;
    double Pbar = 29.96;  // in. Hg
    double Dp = 0;        // in. H2O
    double RefTemp = 20;  // °C
};

// The plan from its file's bytes: every key known, every number a finite
// number, every choice one of its words. Raises EPlanError.
TPlan ParsePlan(const QByteArray& json);

// Checks every point against the kit and fills in its reservoir flow and
// calculated concentration. `headless`: no operator to type a manual
// analyser's reading. Raises EPlanError naming the first refused point.
void CheckPlan(TPlan& plan, const TKitLimits& limits, bool headless);

// The status of the names a plan's JSON uses for the analyser's source.
const char* AnalyzerSourceName(TAnalyzerSource source);

}  // namespace run
