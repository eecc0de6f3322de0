// vapcal-report's usage and its refusals.
#pragma once

namespace tools {

inline constexpr const char* kReportUsage =
    "usage: vapcal-report RUN_DIR [-o FILE] [--operator NAME] [--history URL]\n"
    "\n"
    "Writes the calibration run report of the run folder RUN_DIR, made from its plan.json,\n"
    "journal.jsonl, record.csv and results.json alone: report.pdf (two or more A4 pages) and\n"
    "report.csv, the results table for spreadsheets, beside it.\n"
    "\n"
    "  -o FILE          write the PDF to FILE instead of RUN_DIR/report.pdf; report.csv goes\n"
    "                   into FILE's folder\n"
    "  --operator NAME  the operator the report names, instead of the plan's\n"
    "  --history URL    the run history whose line for the run's analyser (its previous\n"
    "                   run and chart state) the report prints, instead of\n"
    "                   HistoryDatabase= in Vapcal.ini or the default file\n"
    "  -h, --help       this text\n"
    "\n"
    "Exit status: 0 written, 1 the folder lacks what a report needs (or a file cannot be\n"
    "written; one line on standard error says which), 64 bad usage.\n";

inline constexpr const char* kReportUnknownOption =
    "vapcal-report: unknown option '%1' (see --help)";
inline constexpr const char* kReportMissingValue = "vapcal-report: %1 needs a value (see --help)";
inline constexpr const char* kReportNoFolder = "vapcal-report: no run folder given (see --help)";
inline constexpr const char* kReportTwoFolders =
    "vapcal-report: one run folder only, not '%1' too (see --help)";
inline constexpr const char* kReportFailed = "vapcal-report: %1";
inline constexpr const char* kReportNoHistory =
    "vapcal-report: no line from the history: %1 (the report goes on)";
inline constexpr const char* kReportWritten = "%1\n%2\n";

}  // namespace tools
