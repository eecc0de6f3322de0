// vapcal-run's texts: its usage and what it says on standard error. The
// run's own texts (refusals of a plan, why a run stopped) come from
// run/messages.h.
#pragma once

namespace tools {

inline constexpr const char* kRunUsage =
    "usage: vapcal-run PLAN -p PORT [--out DIR] [--give-up-after S] [--dahs ADDRESS]\n"
    "       vapcal-run --resume DIR [-p PORT] [--give-up-after S] [--dahs ADDRESS]\n"
    "       vapcal-run --check PLAN [-p PORT]\n"
    "\n"
    "Carries out a calibration run's plan on the Vapcal kit without a window: each point's\n"
    "set points are applied, the kit is given its settling time, then the delivered\n"
    "concentration and the analyser's reading are averaged over the dwell.\n"
    "\n"
    "  -p, --port PORT        the kit's port: a device, tcp://HOST:PORT or mbtcp://HOST:PORT\n"
    "  --out DIR              the run folder (default\n"
    "                         $XDG_DATA_HOME/vapcal/runs/<start time>-<plan name>)\n"
    "  --give-up-after S      stop the run when the kit or the analyser has not answered for\n"
    "                         S seconds (default 120); the kit's settings are read again\n"
    "                         for as long before a start is refused\n"
    "  --dahs mbtcp://HOST:PORT\n"
    "                         serve the plant's register map there during the run (instead\n"
    "                         of DahsListen in Vapcal.ini); with DahsControl=1 the plant may\n"
    "                         pause, resume and stop the run\n"
    "  --resume DIR           go on with the interrupted run in DIR: finished points are kept,\n"
    "                         the interrupted one starts again (its port unless -p is given)\n"
    "  --check PLAN           check the plan and print its points with their flows; with -p\n"
    "                         against the kit's own capacities and limits\n"
    "  -h, --help             this text\n"
    "  --version              the console's version\n"
    "\n"
    "Exit status: 0 every point done and passing (or no acceptance asked), 1 a point failed\n"
    "its acceptance, had no analyser reading or was not done (under a procedure: the\n"
    "procedure failed), 2 the run stopped before its end (not stable with \"stop\", the kit\n"
    "or the analyser silent for longer than --give-up-after, SIGINT or SIGTERM, a journal\n"
    "that cannot be written), 64 usage or a refused plan, 74 the port or the run folder.\n";

// --check under a procedure, and its verdict at the end of a run.
inline constexpr const char* kRunProcedure = "procedure %s, %s %s ng/l, basis %s";
inline constexpr const char* kRunLevel =
    "level %s: %s ng/l (band %s to %s % of the %s: %s to %s ng/l), reservoir flow %s ml/min";
inline constexpr const char* kRunOrder = "order: %s";
inline constexpr const char* kRunLevelVerdict =
    "level %s: reference %s, response %s ng/l, %s %s, %s";
inline constexpr const char* kRunProcedureVerdict = "%s: %s";

inline constexpr const char* kRunPrefix = "vapcal-run: ";
inline constexpr const char* kRunNeedsPlan = "a plan file is needed (or --resume DIR)";
inline constexpr const char* kRunNeedsPort = "-p PORT is needed to run a plan";
inline constexpr const char* kRunUnknownOption = "unknown option %s";
inline constexpr const char* kRunNeedsValue = "%s needs a value";
inline constexpr const char* kRunTooMany = "one plan at a time: %s";
inline constexpr const char* kRunBadGiveUp = "--give-up-after takes whole seconds from 1, not '%s'";
inline constexpr const char* kRunNoPlanFile = "cannot read the plan %s: %s";
inline constexpr const char* kRunPlanRefused = "%s: %s";
inline constexpr const char* kRunPortFailed = "the port %s: %s";
inline constexpr const char* kRunFolder = "run folder %s";
inline constexpr const char* kRunPoint = "point %d of %d: %s";
inline constexpr const char* kRunPortGone = "port %s gone · waiting for it";
inline constexpr const char* kRunPortBack = "port %s back: the point settles again";
inline constexpr const char* kRunEnded = "run %s: %s";
inline constexpr const char* kRunReport = "report %s";
inline constexpr const char* kRunResultsRebuilt = "results.json of %s made again from its journal";
inline constexpr const char* kRunNoReport = "no report: %s";
inline constexpr const char* kRunReportTooLong = "vapcal-report took longer than 120 s";
inline constexpr const char* kRunDahs = "serving the plant's register map on %s";
inline constexpr const char* kRunDahsFailed = "the plant's register map: %s";

}  // namespace tools
