// run/: calibration runs without a window. A plan of points (set points or
// wanted concentrations, how long to settle and dwell, how to read the
// analyser and judge it) is checked whole against the kit before anything
// is written, then carried out by an engine driven by the poll's
// completions and a clock it is given. Everything the run does reaches a run
// folder (the plan as run, a journal synced line by line, the record, the
// results), from which a run is resumed and its report made.
//
// The texts a run shows or writes, verbatim; "%s" and "%d" are filled in.
#pragma once

namespace run {

// A plan refused: where, then why.
inline constexpr const char* kPlanNotJson = "the plan is not JSON: %s";
inline constexpr const char* kPlanNotObject = "the plan is not a JSON object";
inline constexpr const char* kPlanUnknownKey = "unknown key \"%s\"";
inline constexpr const char* kPlanNeedsKey = "\"%s\" is missing";
inline constexpr const char* kPlanNotNumber = "\"%s\" is not a number";
inline constexpr const char* kPlanNotWhole = "\"%s\" %s is not a whole number";
inline constexpr const char* kPlanNotText = "\"%s\" is not a text";
inline constexpr const char* kPlanNotChoice = "\"%s\" takes %s, not \"%s\"";
inline constexpr const char* kPlanOutOfRange = "\"%s\" %s is outside %s to %s";
inline constexpr const char* kPlanNoPoints = "\"points\" holds no point";
inline constexpr const char* kPlanWantedOrFlow = "give either \"wanted\" or \"flow\"";
inline constexpr const char* kPlanFlowAboveCapacity =
    "reservoir flow %s ml/min is above the controller's capacity %s ml/min";
inline constexpr const char* kPlanDilutionAboveCapacity =
    "dilution flow %s l/min is above the controller's capacity %s l/min";
inline constexpr const char* kPlanTempOutsideLimits =
    "temperature %s \u00B0C is outside the controller's set-point limits %s to %s \u00B0C";
inline constexpr const char* kPlanWantedUnreachable =
    "%s ng/l cannot be reached: it needs a reservoir flow of %s ml/min (0 to %s)";
inline constexpr const char* kPlanWantedNoFlow = "%s ng/l gives no reservoir flow";
inline constexpr const char* kPlanManualHeadless =
    "a manual analyser needs the console's run window; vapcal-run reads only \"none\" or "
    "\"modbus\"";
inline constexpr const char* kPlanSettleShorter =
    "\"settleMaxMinutes\" %s is shorter than \"settlingMinutes\" %s";
inline constexpr const char* kPlanNotRegular = "not a regular file";
inline constexpr const char* kPlanTooLarge = "%s bytes: a plan holds at most 1 MiB (1048576 bytes)";
inline constexpr const char* kPlanTooManyPoints = "\"points\" holds %s points: at most %s";
inline constexpr const char* kPlanAnalyzerOnKit =
    "\"address\" %s on the kit's line is one of the kit's own instruments (10, 11 and 20)";
inline constexpr const char* kPlanDwellShort =
    "\"dwellMinutes\" %s is shorter than one poll of the kit (0.5 s)";
// A procedure's plan refused.
inline constexpr const char* kPlanProcedureNeeds = "\"%s\" is missing: %s needs it";
inline constexpr const char* kPlanNotForProcedure = "\"%s\" does not apply to %s";
inline constexpr const char* kPlanProcedureAnalyzer =
    "%s judges the analyser's readings: the analyser's \"source\" cannot be \"none\"";
inline constexpr const char* kPlanProcedureAcceptance =
    "\"acceptance\" does not apply: %s judges by its own rule";
inline constexpr const char* kPlanUnknownLevel = "level \"%s\" is not one of %s's levels: %s";
inline constexpr const char* kPlanLevelOutOfBand =
    "level \"%s\": %s ng/l is %s % of the %s %s ng/l, outside its band of %s to %s %";
inline constexpr const char* kPlanLevelRepeated =
    "level \"%s\" twice in a row: %s never injects a level twice in a row";
inline constexpr const char* kPlanLevelCount = "level \"%s\" is injected %s times: %s takes %s";
inline constexpr const char* kPlanLevelAtLeastOnce =
    "level \"%s\" is never injected: %s takes each level at least once";
// A refusal inside a point: "point 2: <reason>".
inline constexpr const char* kPlanAtPoint = "point %d: %s";

// Why a run stopped before its end (journal "stopped" events, the exit).
inline constexpr const char* kStopAsked = "stopped by the operator";
inline constexpr const char* kStopSignal = "stopped by a signal";
inline constexpr const char* kStopNotStable = "point %d did not settle within %s min";
inline constexpr const char* kStopKitSilent = "the kit has not answered for %d s";
inline constexpr const char* kStopApplyFailed = "point %d: the set points were not written: %s";
inline constexpr const char* kStopJournal = "the journal cannot be written: %s";
inline constexpr const char* kStopPortGone = "the port is gone: %s";
inline constexpr const char* kStopAnalyzerSilent = "%s has not answered for %s s";

// The analyser as the operator knows it: "analyser 30 on the line", or on
// a port of its own "analyser 1 on /dev/ttyUSB1".
inline constexpr const char* kAnalyzerName = "analyser %s on %s";
inline constexpr const char* kAnalyzerOnLine = "the line";
inline constexpr const char* kAnalyzerSilent = "%s does not answer";
inline constexpr const char* kAnalyzerAnswers = "%s answers again";
// A point's status in words where results.json holds its key.
inline constexpr const char* kNoAnalyzerReadingWords = "no analyser reading";

// Why a run paused by itself ("%s": the port).
inline constexpr const char* kPausePortGone = "port %s gone";

// The run folder.
inline constexpr const char* kFolderNotMade = "cannot make the run folder %s: %s";
inline constexpr const char* kFolderNotRun = "%s holds no run (no %s)";
inline constexpr const char* kFolderInUse = "%s is in use by process %s";
inline constexpr const char* kFolderInUseUnknown = "%s is in use by another process";
inline constexpr const char* kFolderNotStarted = "%s holds a run that never started";
inline constexpr const char* kFolderPlanRefused = "%s is refused: %s";
inline constexpr const char* kFolderFinished = "%s holds a run that has ended";
inline constexpr const char* kJournalBad = "%s line %d is not a journal event";
inline constexpr const char* kFileNotWritten = "cannot write %s: %s";

// The states as the status line names them.
inline constexpr const char* kStateIdle = "idle";
inline constexpr const char* kStateApplying = "applying";
inline constexpr const char* kStateSettling = "settling";
inline constexpr const char* kStateDelay = "analyser delay";
inline constexpr const char* kStateDwelling = "dwelling";
inline constexpr const char* kStateDone = "done";
inline constexpr const char* kStateStopped = "stopped";
inline constexpr const char* kStatePaused = "paused";
// Paused past its Apply: the kit is not watched meanwhile.
inline constexpr const char* kStatePausedSettlesAgain = "paused (settling starts again on Resume)";
// "settling 3:10 (at most 24:50)": the settling still needed, and the
// longest the point may still take.
inline constexpr const char* kSettlingCountdown = "%s (at most %s)";
// "Run: point 2 of 4, dwelling 3:10"
inline constexpr const char* kRunStatus = "Run: point %d of %d, %s";
// Something the run is waiting on besides its state, after the status.
inline constexpr const char* kRunStatusAnd = "%s; %s";

}  // namespace run
