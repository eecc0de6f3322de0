// vapcal-history's usage, its lines and its refusals.
#pragma once

namespace tools {

inline constexpr const char* kHistoryUsage =
    "usage: vapcal-history [--history URL] COMMAND ...\n"
    "\n"
    "Every finished calibration run in one database: by default the SQLite file\n"
    "$XDG_DATA_HOME/vapcal/history.sqlite, or the PostgreSQL database of\n"
    "HistoryDatabase= in Vapcal.ini or of --history postgresql://USER@HOST:PORT/DB?sslmode=...\n"
    "(passwords from ~/.pgpass only).\n"
    "\n"
    "  import RUN_DIR...        write finished run folders into the history (each once)\n"
    "  sync [--runs DIR]...     write the run folders marked \"not yet in the history\"\n"
    "                           (below DIR; by default $XDG_DATA_HOME/vapcal/runs)\n"
    "  list [--analyzer ID] [--since DATE] [--procedure NAME] [--json]\n"
    "                           the runs in the order they started; --json one object a line\n"
    "  show RUN [--json]        one run (its identity or a unique beginning of it) with its\n"
    "                           points and levels\n"
    "  export --csv [--analyzer ID] [--since DATE] [--procedure NAME]\n"
    "                           the runs as CSV on standard output\n"
    "  analyzers [--json]       the fleet at a glance: each analyser's last run, verdict and\n"
    "                           chart state\n"
    "  chart --analyzer ID -o FILE.pdf|FILE.png\n"
    "                           the analyser's control charts, its state and its seven-day\n"
    "                           calibration error test\n"
    "  sigma --analyzer ID [--zero S] [--upscale S]\n"
    "                           the analyser's own sigma for its charts, ng/l (0 clears it)\n"
    "  --history URL            the history database, over HistoryDatabase= in Vapcal.ini\n"
    "  -h, --help               this text\n"
    "\n"
    "DATE is yyyy-MM-dd (local midnight) or an ISO 8601 time.\n"
    "\n"
    "Exit status: 0 done, 1 a run folder could not be written (import, sync) or the run or\n"
    "analyser is not in the history, 64 bad usage, 69 the history database cannot be opened,\n"
    "74 the chart file cannot be written.\n";

inline constexpr const char* kHistoryUnknownOption =
    "vapcal-history: unknown option '%1' (see --help)";
inline constexpr const char* kHistoryMissingValue = "vapcal-history: %1 needs a value (see --help)";
inline constexpr const char* kHistoryNoCommand = "vapcal-history: no command given (see --help)";
inline constexpr const char* kHistoryUnknownCommand =
    "vapcal-history: unknown command '%1' (see --help)";
inline constexpr const char* kHistoryBadArgument =
    "vapcal-history: %1 does not take '%2' (see --help)";
inline constexpr const char* kHistoryNeeds = "vapcal-history: %1 needs %2 (see --help)";
inline constexpr const char* kHistoryBadDate = "vapcal-history: '%1' is not a date (see --help)";
inline constexpr const char* kHistoryBadNumber =
    "vapcal-history: '%1' is not a number (see --help)";
inline constexpr const char* kHistoryFailed = "vapcal-history: %1";
inline constexpr const char* kHistoryNoRun = "vapcal-history: no run '%1' in the history";

inline constexpr const char* kHistoryAdded = "added %1\n";
inline constexpr const char* kHistoryAlreadyThere = "already in the history %1\n";
inline constexpr const char* kHistoryNotWritten = "vapcal-history: not written: %1";
inline constexpr const char* kHistorySynced =
    "%1 written, %2 already in the history, %3 left marked\n";
inline constexpr const char* kHistoryChartWritten = "%1\n";
inline constexpr const char* kHistorySevenDay = "seven-day calibration error test: %1\n";
inline constexpr const char* kHistorySevenDayLine = "  %1 %2 %3\n";
inline constexpr const char* kHistoryNoSevenDay =
    "seven-day calibration error test: no epa-calibration-error run\n";

}  // namespace tools
