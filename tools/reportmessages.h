// vapcal-report's usage and its refusals.
#pragma once

namespace tools {

inline constexpr const char* kReportUsage =
    "usage: vapcal-report RUN_DIR [-o FILE] [--operator NAME] [--all-budgets]\n"
    "                     [--approve \"NAME, FUNCTION\"]\n"
    "       vapcal-report --verify RUN_DIR [REPORT.pdf]\n"
    "\n"
    "Writes the calibration run report of the run folder RUN_DIR, made from its plan.json,\n"
    "journal.jsonl, record.csv and results.json alone: report.pdf (two or more A4 pages) and\n"
    "report.csv, the results table for spreadsheets, beside it. The report gets the next\n"
    "number of the lab's sequence (kept in $XDG_DATA_HOME/vapcal/report-numbers) and keeps it\n"
    "when made again; it is a DRAFT until approved.\n"
    "\n"
    "  -o FILE          write the PDF to FILE instead of RUN_DIR/report.pdf; report.csv goes\n"
    "                   into FILE's folder\n"
    "  --operator NAME  the operator the report names, instead of the plan's\n"
    "  --all-budgets    the uncertainty budget of every point, not the highest point's alone\n"
    "  --approve \"NAME, FUNCTION\"\n"
    "                   write the approved report, naming its approver, the date of issue and\n"
    "                   the time of approval, to RUN_DIR/report-NUMBER.pdf (or FILE); an\n"
    "                   approved report is never overwritten\n"
    "  --verify RUN_DIR [REPORT.pdf]\n"
    "                   check the journal's hash chain, and with REPORT.pdf that the folder's\n"
    "                   files are those the report printed the SHA-256 of\n"
    "  -h, --help       this text\n"
    "\n"
    "Exit status: 0 written (or verified), 1 the folder lacks what a report needs, a file\n"
    "cannot be written, the report is approved already, or (--verify) a line or file differs;\n"
    "one line on standard error says which. 64 bad usage.\n";

inline constexpr const char* kReportUnknownOption =
    "vapcal-report: unknown option '%1' (see --help)";
inline constexpr const char* kReportMissingValue = "vapcal-report: %1 needs a value (see --help)";
inline constexpr const char* kReportNoFolder = "vapcal-report: no run folder given (see --help)";
inline constexpr const char* kReportTwoFolders =
    "vapcal-report: one run folder only, not '%1' too (see --help)";
inline constexpr const char* kReportFailed = "vapcal-report: %1";
inline constexpr const char* kReportWritten = "%1\n%2\n";
inline constexpr const char* kReportVerified = "%1\n";
inline constexpr const char* kReportVerifyArguments =
    "vapcal-report: --verify takes RUN_DIR and an optional REPORT.pdf, nothing else (see --help)";
inline constexpr const char* kReportEmptyApprover =
    "vapcal-report: --approve needs the approver's name and function (see --help)";

}  // namespace tools
