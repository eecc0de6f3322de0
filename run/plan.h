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

// The conditions the analyser reports its concentrations at: 20 °C and
// 1 atm as the kit delivers them (the US "scm"), or 0 °C and 101.325 kPa
// (European reporting), where the same gas holds 293.15 / 273.15 times as
// much mercury per volume.
enum TAnalyzerBasis { ab20C, ab0C };

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
    TAnalyzerBasis Basis = ab20C;
    TAnalyzerItem Item;
};

// The lab's air when the run started, as the operator read it.
struct TEnvironment {
    std::optional<double> Temperature;  // °C
    std::optional<double> Humidity;     // % relative humidity
};

// The test the run is: plain points judged alone, or one of the QA
// procedures that judge levels of repeated injections by their own rule.
enum TProcedureKind { pkPoints, pkEpaLinearity, pkEpaCalibrationError, pkEn14181Linearity };

// A level of a procedure: its name and its concentration on the analyser's
// basis (ng/l).
struct TPlanLevel {
    std::string Name;
    double Concentration = 0;
};

struct TProcedurePlan {
    TProcedureKind Kind = pkPoints;
    // The span (EPA procedures) or the range (EN), ng/l on the analyser's
    // basis; 0 when the plan gives none.
    double Span = 0;
    // The levels the plan gives or the procedure's defaults, in the
    // procedure's order of levels.
    std::vector<TPlanLevel> Levels;
    double ResidualLimitPercent = 5;
    // The plan listed its points (each with its level) rather than having
    // them made from the levels.
    bool PointsGiven = false;
};

// |analyser - delivered| <= max(Percent % of delivered, Absolute).
struct TAcceptance {
    double Percent = 0;
    double Absolute = 0;  // ng/l
};

struct TPlanPoint {
    // The procedure's level the point is an injection of; empty under
    // "points".
    std::string Level;
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
    // The delivered concentration times this is on the analyser's basis.
    double BasisFactor = 1;
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
    TProcedurePlan Procedure;
    std::string Customer;  // empty: not given
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

// What a run can hold: a plan file's size and its points. A run's folder,
// the plant's map and a window's tables stay small and quick with them.
inline constexpr qint64 kMaxPlanBytes = 1024 * 1024;
inline constexpr int kMaxPlanPoints = 1000;

// A plan file's bytes: a regular file (not a device, pipe or folder, even
// behind a symlink) of at most kMaxPlanBytes. Raises EPlanError with the
// reason (the system's, or what the file is), to be said with its name.
QByteArray ReadPlanFile(const QString& path);

// The plan from its file's bytes: every key known, every number a finite
// number, every choice one of its words, at most kMaxPlanPoints points, an
// analyser on the kit's line at an address of its own, and no dwell shorter
// than one poll. Raises EPlanError.
TPlan ParsePlan(const QByteArray& json);

// Checks every point against the kit and fills in its reservoir flow and
// calculated concentration. `headless`: no operator to type a manual
// analyser's reading. Raises EPlanError naming the first refused point.
void CheckPlan(TPlan& plan, const TKitLimits& limits, bool headless);

// The least time a checked plan takes, in minutes: each point's settling,
// the analyser's delay and the dwell (settling takes its time even when
// the kit holds the set points already).
double PlanMinutes(const TPlan& plan);

// The status of the names a plan's JSON uses for the analyser's source.
const char* AnalyzerSourceName(TAnalyzerSource source);

}  // namespace run
