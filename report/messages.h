// The run report's texts: what the reader of the report sees, and the one
// line a folder that cannot make a report gets. Used verbatim.
#pragma once

#include "calc/uncertainty.h"

namespace report {

// The report's files in the run folder, and the record's columns found by
// their names.
inline constexpr const char* kReportPdf = "report.pdf";
inline constexpr const char* kReportCsv = "report.csv";
inline constexpr const char* kTimeColumn = "time";
inline constexpr const char* kDeliveredColumn = "delivered concentration (ng/l)";
inline constexpr const char* kPointColumn = "point";
inline constexpr const char* kAnalyzerColumn = "analyser reading (ng/l)";

// A folder that cannot make a report: the folder or file, then why.
inline constexpr const char* kNoFolder = "%1: no such run folder";
inline constexpr const char* kNoResults =
    "%1: no results.json: the run has not ended (vapcal-run --resume finishes it)";
inline constexpr const char* kNoRecord = "%1: no record.csv: the run's record is missing";
inline constexpr const char* kUnreadable = "%1: cannot be read: %2";
inline constexpr const char* kNotJson = "%1: not valid JSON: %2 at byte %3";
inline constexpr const char* kNotObject = "%1: not a JSON object";
inline constexpr const char* kNoPoints = "%1: no \"points\" list";
inline constexpr const char* kBadPoint = "%1: point %2 is not an object with an \"index\"";
inline constexpr const char* kNoRecordColumn = "%1: no column \"%2\" in its header";
inline constexpr const char* kCannotWrite = "%1: cannot be written: %2";
inline constexpr const char* kNeedsApplication =
    "%1: cannot be drawn: the charts need a QApplication (vapcal-report makes one)";

// The report's number and approval, and what --verify finds.
inline constexpr const char* kDefaultReportPrefix = "VAPCAL";
inline constexpr const char* kApprovedPdf = "report-%1.pdf";
inline constexpr const char* kAlreadyApproved =
    "%1: report %2 was approved by %3 at %4 and the folder is unchanged since: an approved "
    "report is never overwritten";
inline constexpr const char* kApprovedExists =
    "%1: exists already: an approved report is never overwritten";
inline constexpr const char* kChainEndName = "journal.jsonl's last line";
inline constexpr const char* kVerifyUnchained =
    "%1: its lines carry no hash chain (written before lines were chained): the run cannot be "
    "verified";
inline constexpr const char* kVerifyChainBroken =
    "%1 line %2: does not carry the hash of line %3: a line was changed, added or removed there";
inline constexpr const char* kVerifyResultsDiffer =
    "%1: differs from the results the journal gives, at %2";
inline constexpr const char* kVerifyJournalLine = "%1 (journal.jsonl line %2)";
inline constexpr const char* kVerifyNoHashes =
    "%1: carries no hashes of a run folder (not a report of this program)";
inline constexpr const char* kVerifyHashDiffers =
    "%1: its SHA-256 is not the one %2 printed: the file was changed after the report";
inline constexpr const char* kVerifiedFolder =
    "%1: verified: the journal's chain is whole (%2 lines)";
inline constexpr const char* kVerifiedWithReport =
    "%1: verified: the journal's chain is whole (%2 lines) and every file is as %3 printed it";

// The journal's events the report reads.
inline constexpr const char* kStartedEvent = "started";
inline constexpr const char* kStoppedEvent = "stopped";
inline constexpr const char* kResumedEvent = "resumed";
inline constexpr const char* kDwellStartedEvent = "dwellStarted";
inline constexpr const char* kDwellDoneEvent = "dwellDone";

// The report's own texts.
inline constexpr const char* kTitle = "Calibration run report";
inline constexpr const char* kPageOf = "page %1 of %2";
inline constexpr const char* kEndOfReport = "\u2014 end of report \u2014";
inline constexpr const char* kNone = "\u2013";
inline constexpr const char* kHeaderLabels[] = {"Report",  "Plan",  "Operator", "Analyser",
                                                "Started", "Ended", "Port",     "Console"};
inline constexpr const char* kDraft = "DRAFT";
inline constexpr const char* kDraftHeader = "DRAFT, not approved \u00B7 page %1 of %2";

inline constexpr const char* kIssueTitle = "Laboratory, customer and item";
inline constexpr const char* kIssueLabels[] = {"Laboratory",  "Address", "Accreditation",
                                               "Customer",    "Item",    "Issued",
                                               "Approved by", "Replaces"};
inline constexpr const char* kNotGiven = "not given";
inline constexpr const char* kNotIssued = "not issued: draft";
inline constexpr const char* kNotApproved = "not approved";
inline constexpr const char* kApprovedAt = "%1, at %2";
inline constexpr const char* kItemSerial = "serial %1";
inline constexpr const char* kItemTag = "tag %1";

inline constexpr const char* kInstrumentsTitle = "Reference instruments";
inline constexpr const char* kInstrumentColumns[] = {"instrument", "model", "serial", "certificate",
                                                     "calibrated", "due",   "status"};
inline constexpr const char* kInstrumentDueOk = "in calibration";
inline constexpr const char* kInstrumentPastDue = "PAST DUE";
inline constexpr const char* kInstrumentNoDue = "no due date";
inline constexpr const char* kInstrumentsPastDue =
    "Warning: %1 past its calibration due date on the run's date (%2); the lab decided to run.";
inline constexpr const char* kNoInstruments =
    "The run's settings named no reference instruments (a run made before they were kept): "
    "their calibration status is not known to this report.";
inline constexpr const char* kAccuraciesDefaults =
    "The accuracies of the uncertainty budget are the data sheets' defaults, not values from "
    "calibration certificates.";
inline constexpr const char* kAccuraciesFrom =
    "The accuracies of the uncertainty budget are taken from %1.";

inline constexpr const char* kPbarSetting =
    "The atmospheric pressure is the console's setting, not a measurement made during the run.";
inline constexpr const char* kLabAir =
    "Laboratory at the start: %1 \u00B0C, %2 % relative humidity.";
inline constexpr const char* kLabAirUnknown =
    "Laboratory temperature and humidity at the start: not recorded.";

// The journal's events the report reads.

inline constexpr const char* kMeaningTitle = "What the numbers mean";
inline constexpr const char* kMeaningUnits =
    "Concentrations are mass concentrations of mercury in ng/l at the model's standard "
    "conditions, 20 \u00B0C and 1 atm (101.325 kPa); 1 ng/l is 1 \u00B5g/m\u00B3, so every "
    "concentration reads the same in \u00B5g/m\u00B3.";
inline constexpr const char* kMeaningModel = "The delivered concentration follows from the %1.";
inline constexpr const char* kMeaningUncertainty =
    "U is the expanded uncertainty of the delivered concentration: the combined standard "
    "uncertainty times the coverage factor k = %1, for a coverage probability of about 95 % "
    "(normal distribution). It combines the budget at the point's mean readings with the "
    "standard deviation over the dwell, taken whole as one more row (\"stability\"), since "
    "successive polls are not independent.";
inline constexpr const char* kMeaningNoUncertainty =
    "This run's results carry no expanded uncertainty; U is shown as \u2013.";
inline constexpr const char* kMeaningRule =
    "Decision rule: a point passes when |analyser \u2212 delivered| \u2264 the larger of %1 % of "
    "the delivered mean and %2 ng/l. This is simple acceptance: the measured means are compared "
    "as they are, without taking U into account, and no guard band is applied. The risk this "
    "leaves is shared: a point whose error lies close to its limit may be passed though its "
    "true error is outside it (false acceptance) or failed though it is inside (false "
    "rejection); for an error right at the limit either risk can approach one half. The column "
    "\"limit\" gives the limit that applied and which of the two decided the point.";
inline constexpr const char* kMeaningErrorUncertainty =
    "U of the error is the expanded uncertainty of the stated error, k \u00B7 "
    "\u221A(u(delivered)\u00B2 "
    "+ s(analyser)\u00B2 / n), with u(delivered) = U / k of the delivered concentration, "
    "s(analyser) the analyser's standard deviation over the dwell and n its number of "
    "readings.";
inline constexpr const char* kMeaningNoAcceptance =
    "No acceptance criterion was set for this run: its points are not judged.";
inline constexpr const char* kMeaningNoAnalyzer =
    "No analyser was read in this run: the delivered concentrations stand alone, and no point "
    "is judged.";

inline constexpr const char* kConditionsTitle = "Conditions";
inline constexpr const char* kResultsTitle = "Results";
inline constexpr const char* kVerdictTitle = "Verdict and linearity";
inline constexpr const char* kRunChartTitle = "The run";
inline constexpr const char* kFitChartTitle = "Analyser against delivered";
inline constexpr const char* kNoFitChart =
    "No chart of the analyser against the delivered concentration: no point has an analyser "
    "mean.";
inline constexpr const char* kBudgetTitlePoint = "Uncertainty budget of point %1 (%2 ng/l)";
inline constexpr const char* kInterruptionsTitle = "Interruptions and deviations";
inline constexpr const char* kNoInterruptions =
    "None: the run went from its start to its end without a pause, a skip or a lost port.";
inline constexpr const char* kInterruptionColumns[] = {"time", "what", "point", "by", "port"};
// An interruption's kind as the report says it.
struct TInterruptionText {
    const char* Kind;
    const char* Text;
};
inline constexpr TInterruptionText kInterruptionTexts[] = {
    {"paused", "paused"},      {"resumed", "resumed"},    {"skipped", "point skipped"},
    {"portLost", "port lost"}, {"portBack", "port back"}, {"notStable", "did not settle"},
};
inline constexpr const char* kFilesTitle = "Files of this run and their SHA-256";
inline constexpr const char* kFilesChained =
    "Each line of journal.jsonl carries the SHA-256 of the line before it (the first: of "
    "plan.json). vapcal-report --verify RUN_DIR REPORT.pdf checks the chain, the results and "
    "these hashes.";
inline constexpr const char* kFilesUnchained =
    "The journal of this run carries no hash chain (it was written before lines were chained): "
    "this report cannot be verified against its files.";
inline constexpr const char* kFilesBroken =
    "The journal's hash chain is broken at line %1: a line was changed, added or removed there.";
inline constexpr const char* kChainEndLabel = "the chain's last hash";
inline constexpr const char* kRunFolderLine = "Run folder: %1";
inline constexpr const char* kBudgetTitle =
    "Uncertainty budget of the highest point (point %1, %2 ng/l)";
inline constexpr const char* kNoBudget = "The run's results hold no uncertainty budget.";

// A condition as results.json names it, with its label and unit.
struct TConditionText {
    const char* Key;
    const char* Label;
    const char* Unit;
};
inline constexpr TConditionText kConditions[] = {
    {"pbar", "Atmospheric pressure (setting)", "in. Hg"},
    {"dp", "Saturator pressure difference", "in. H2O"},
    {"refTemp", "Reference temperature", "\u00B0C"},
    {"reservoirCapacity", "Reservoir flow controller capacity", "ml/min"},
    {"dilutionCapacity", "Dilution flow controller capacity", "l/min"},
    {"settlingMinutes", "Settling: stable without a break for", "min"},
    {"tempTolerance", "Stable: temperature within", "\u00B0C"},
    {"flowTolerancePercent", "Stable: each flow within", "%"},
    {"flowToleranceFloor", "    but never less than (reservoir)", "ml/min"},
    {"dilutionToleranceFloor", "    but never less than (dilution)", "l/min"},
    {"concentrationTolerancePercent", "Stable: delivered within", "% of calculated"},
    {"concentrationToleranceFloor", "    but never less than", "ng/l"},
};
inline constexpr TConditionText kUncertaintySettings[] = {
    {"TempAccuracy", "Uncertainty: reservoir temperature", "\u00B0C"},
    {"FlowReadingPercent", "Uncertainty: flow, of reading", "%"},
    {"FlowFullScalePercent", "Uncertainty: flow, of full scale", "%"},
    {"PbarAccuracy", "Uncertainty: atmospheric pressure", "in. Hg"},
    {"DpAccuracy", "Uncertainty: pressure difference", "in. H2O"},
    {"RefTempAccuracy", "Uncertainty: reference temperature", "\u00B0C"},
    {"SatConcPercent", "Uncertainty: saturated concentration", "%"},
    {"CoverageFactor", "Coverage factor k", ""},
    {"AccuracySource", "Uncertainty: accuracies from", ""},
};

// The results table's columns; the analyser's are left out of a run
// without one.
inline constexpr const char* kColumnPoint = "point";
inline constexpr const char* kColumnTemp = "temperature\n\u00B0C";
inline constexpr const char* kColumnFlow = "reservoir\nml/min";
inline constexpr const char* kColumnDilution = "dilution\nl/min";
inline constexpr const char* kColumnStable = "stable\nafter";
inline constexpr const char* kColumnSamples = "samples";
inline constexpr const char* kColumnDelivered = "delivered \u00B1 U\nng/l%1";
inline constexpr const char* kColumnSd = "sd\nng/l";
inline constexpr const char* kColumnAnalyzer = "analyser\nng/l";
inline constexpr const char* kColumnError = "error \u00B1 U\nng/l";
inline constexpr const char* kColumnErrorPercent = "error\n%";
inline constexpr const char* kColumnLimit = "limit\nng/l";
inline constexpr const char* kColumnVerdict = "verdict";
inline constexpr const char* kNotStable = "not stable";
inline constexpr const char* kPass = "PASS";
inline constexpr const char* kFail = "FAIL";
inline constexpr const char* kByPercent = " (%1 %)";
inline constexpr const char* kByAbsolute = " (abs.)";

inline constexpr const char* kVerdictPass = "Verdict: PASS, every judged point within its limit.";
inline constexpr const char* kVerdictFail = "Verdict: FAIL: %1.";
inline constexpr const char* kVerdictFailUnnamed = "Verdict: FAIL (the run's results say so).";
inline constexpr const char* kVerdictNone = "Verdict: not judged.";
// The reasons of a FAIL, each for one point ("point 3") or several
// ("points 2 and 4").
inline constexpr const char* kReasonOutside = "%1 outside its limit";
inline constexpr const char* kReasonOutsideMany = "%1 outside their limits";
inline constexpr const char* kReasonNoReading = "%1 not judged (no analyser reading)";
inline constexpr const char* kReasonSkipped = "%1 skipped by %2";
inline constexpr const char* kReasonNotStable = "%1 not judged (did not settle)";
inline constexpr const char* kReasonStopped = "%1 not reached (the run stopped)";
inline constexpr const char* kReasonOther = "%1 not judged (%2)";
inline constexpr const char* kByOperator = "the operator";
inline constexpr const char* kByPlant = "the plant (%1)";
inline constexpr const char* kByRun = "the run";
inline constexpr const char* kNoAnalyzerReading = "no analyzer reading";
inline constexpr const char* kNoAnalyzerReadingWords = "no analyser reading";
inline constexpr const char* kStopped = "The run stopped before its end: %1.";
inline constexpr const char* kLinearity =
    "Linearity (least squares of the analyser on the delivered means): slope %1, intercept %2 "
    "ng/l, R\u00B2 %3, largest residual %4 ng/l.";
inline constexpr const char* kNoLinearity =
    "Linearity: none (it needs an analyser and at least three done points).";

inline constexpr const char* kAxisMinutes = "minutes since the start";
inline constexpr const char* kAxisConcentration = "ng/l";
inline constexpr const char* kAxisDelivered = "delivered mean (ng/l)";
inline constexpr const char* kAxisAnalyzer = "analyser mean (ng/l)";
inline constexpr const char* kSeriesDelivered = "delivered";
inline constexpr const char* kSeriesAnalyzer = "analyser";
inline constexpr const char* kSeriesMeans = "point means \u00B1 U";
inline constexpr const char* kSeriesIdentity = "1:1";
inline constexpr const char* kSeriesFit = "fitted line";

inline constexpr const char* kBudgetColumns[] = {"quantity", "standard\nuncertainty u",
                                                 "sensitivity\nng/l per unit of u",
                                                 "contribution\nng/l", "share of u\u00B2\n%"};
// A budget row's quantity as the budget names it, as the report names it
// and the unit of its u; a quantity not here is printed as it is named.
inline constexpr TConditionText kBudgetQuantities[] = {
    {calc::kUncTemperature, "reservoir temperature", "\u00B0C"},
    {calc::kUncReservoirFlow, "reservoir flow", "ml/min"},
    {calc::kUncDilutionFlow, "dilution flow", "l/min"},
    {calc::kUncPbar, "atmospheric pressure", "in. Hg"},
    {calc::kUncDp, "saturator pressure difference", "in. H2O"},
    {calc::kUncRefTemp, "reference temperature", "\u00B0C"},
    {calc::kUncSatConcEquation, "saturated concentration: vapour-pressure equation", "ng/ml"},
    {calc::kUncSatConcRounding, "saturated concentration: its three digits", "ng/ml"},
    {calc::kUncStability, "stability over the dwell", "ng/l"},
};
inline constexpr const char* kBudgetCombined = "combined standard uncertainty";
inline constexpr const char* kBudgetExpanded = "expanded uncertainty U (k = %1)";

// report.csv's header: the results table with its units.
inline constexpr const char* kCsvHeader =
    "point,status,wanted (ng/l),temperature (\u00B0C),reservoir flow (ml/min),"
    "dilution flow (l/min),stable after (s),samples,delivered mean (ng/l),"
    "delivered standard deviation (ng/l),expanded uncertainty (ng/l),coverage factor,"
    "analyser mean (ng/l),analyser standard deviation (ng/l),analyser samples,error (ng/l),"
    "error (%),verdict,decided by";

// The procedure's section: a QA procedure judged by its own rule.
inline constexpr const char* kMeaningProcedure =
    "The run is the %1: its points are the procedure's injections, judged together by the "
    "procedure's rule in its own section below, not point by point.";
inline constexpr const char* kVerdictProcedure = "Verdict: %1 by the %2 (see its section).";
inline constexpr const char* kProcedureTitle = "Procedure: %1 (%2)";
inline constexpr const char* kProcedureSpan = "%1 %2 ng/l, on the analyser's basis: %3.";
inline constexpr const char* kProcedureBasis20C =
    "20 \u00B0C and 1 atm, the kit's own (the US standard cubic metre); the delivered "
    "concentrations are compared as they are";
inline constexpr const char* kProcedureBasis0C =
    "0 \u00B0C and 101.325 kPa (European reporting); every delivered concentration, and its U, "
    "is multiplied by 293.15 / 273.15 before it is compared, so every reference and difference "
    "below stands at 0 \u00B0C";
inline constexpr const char* kProcedureDryGas =
    "The calibration gas is dry: every concentration is on a dry basis.";
inline constexpr const char* kProcedureColumns[] = {
    "level", "point", "dwell started", "reference\nng/l", "response\nng/l",
    "error", "limit", "decided by",    "verdict"};
inline constexpr const char* kProcedureMean = "mean";
inline constexpr const char* kProcedureResidual = "%1 (%2 ng/l)";
inline constexpr const char* kProcedureLimitOr = "%1 % or %2 ng/l";
inline constexpr const char* kProcedureLimit = "%1 %";
inline constexpr const char* kProcedureLine =
    "Line of the readings on the references: A = %1 ng/l, B = %2, R\u00B2 = %3.";
inline constexpr const char* kProcedureNoLine =
    "No line: the readings do not spread over two references or more.";
inline constexpr const char* kProcedurePass = "The %1 passes: every level is within its limit.";
inline constexpr const char* kProcedureFail = "The %1 fails: %2.";
inline constexpr const char* kProcedureLevelFails = "level %1 is outside its limit";
inline constexpr const char* kProcedureLevelIncomplete = "level %1 is incomplete (%2)";
inline constexpr const char* kProcedureInjection = "point %1 %2";
// An injection that ended without a delivered concentration or an
// analyser reading over its dwell.
inline constexpr const char* kProcedureNoReading = "without a reading";
inline constexpr const char* kResidualChartTitle = "Residual of each level from the line";
inline constexpr const char* kAxisReference = "reference (ng/l)";
inline constexpr const char* kAxisResidual = "residual (% of range)";
inline constexpr const char* kSeriesResidual = "level residual";
inline constexpr const char* kSeriesResidualLimit = "limit \u00B1%1 %";

}  // namespace report
