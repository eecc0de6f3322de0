// history/: every finished run in one database, SQLite on the PC by default
// or PostgreSQL for a fleet, through Qt SQL. The run folder stays the run's
// truth; the database is an index of finished runs that can be rebuilt from
// the folders at any time (a run is written once, by its identity), so a
// database that is away never costs a run anything: the folder is marked
// and written later. Also the control charts of each analyser's errors.
//
// The texts the history shows or writes, verbatim; "%1", "%2" are filled in.
#pragma once

namespace history {

// The database named in a setting or on a command line.
inline constexpr const char* kHistoryBadUrl =
    "'%1' is not a history database: give a file or postgresql://USER@HOST:PORT/DB";
inline constexpr const char* kHistoryPasswordInUrl =
    "'%1' holds a password: the history reads passwords from ~/.pgpass only";
inline constexpr const char* kHistoryNoDriver =
    "the Qt SQL driver %1 is not installed (Debian: %2)";
inline constexpr const char* kHistoryCannotOpen = "the history %1 cannot be opened: %2";
inline constexpr const char* kHistoryFolderFailed = "the history's folder %1 cannot be made";
inline constexpr const char* kHistoryQueryFailed = "the history %1 refused a write or read: %2";
inline constexpr const char* kHistoryAmbiguousRun = "'%1' names more than one run";
inline constexpr const char* kHistoryNoAnalyzer = "no analyser '%1' in the history";
inline constexpr const char* kHistoryNewerSchema =
    "the history %1 has schema version %2, newer than this program's %3";

// A run folder that cannot be taken into the history.
inline constexpr const char* kRunNotFinished = "%1 holds no finished run (no results.json)";
inline constexpr const char* kRunUnreadable = "%1: %2 cannot be read";
inline constexpr const char* kRunNotJson = "%1: %2 is not JSON: %3";
inline constexpr const char* kRunNoStart = "%1: the journal has no \"started\" event";

// The mark a run folder keeps while its run is not yet in the history.
inline constexpr const char* kPendingFile = "history-pending";
inline constexpr const char* kPendingText = "not yet in the history %1: %2\n";

// The chart's state and what its sigma comes from.
inline constexpr const char* kStateInControl = "in control";
inline constexpr const char* kStateWarning = "warning";
inline constexpr const char* kStateAction = "action";
inline constexpr const char* kStateNoLimits = "no limits";
inline constexpr const char* kSigmaFromSetting = "sigma %1 ng/l from the analyser's setting";
inline constexpr const char* kSigmaFromResults = "sigma %1 ng/l from the first %2 results";
inline constexpr const char* kSigmaTooFew = "too few results for limits (%1 of 2)";
inline constexpr const char* kActionSignal =
    "%1: %2 chart of the %3 error signals action since run %4 (%5)";

// A chart file.
inline constexpr const char* kChartNotWritten = "the chart %1 cannot be written";
inline constexpr const char* kChartEnding = "the chart %1 must end in .pdf or .png";

}  // namespace history
