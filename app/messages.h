// The application shell's texts, shown to the operator verbatim.
#pragma once

namespace app {

// The port selection dialog.
inline constexpr const char* kSelectPortCaption = "Select Port";
inline constexpr const char* kSelectPortPrompt = "Please choose an RS-485 serial port";
inline constexpr const char* kOkCaption = "OK";
inline constexpr const char* kCancelCaption = "Cancel";
inline constexpr const char* kRescanCaption = "&List again";
inline constexpr const char* kRescanHint = "Look for ports again (an adapter plugged in just now)";
// What the dialog says of a port beside its device name ("/dev/ttyUSB0 -
// FTDI FT232R USB UART") and below the list for the one selected.
inline constexpr const char* kPortSummary = "%s \u2013 %s";
inline constexpr const char* kPortSimulated = "the simulated kit";
inline constexpr const char* kPortSimulatedDetails =
    "The simulated kit (vapcal-sim) answers on this pseudo-terminal.";
inline constexpr const char* kPortInUse = "in use by another program";
inline constexpr const char* kPortInUseHere = "in use by this console's line";
inline constexpr const char* kPortNoPermission = "no permission";
inline constexpr const char* kPortNoPermissionDetails = "No permission to open it: %s.";
inline constexpr const char* kPortUsbDetails = "%s, serial number %s";
inline constexpr const char* kPortNoSerialNumber = "none";
inline constexpr const char* kPortNoPorts =
    "No serial port found. Plug in the RS-485 adapter, then List again.";
inline constexpr const char* kNetworkPortPrompt = "or a network gateway:";
inline constexpr const char* kNetworkPortHint = "tcp://HOST:PORT (RTU) or mbtcp://HOST:PORT";
inline constexpr const char* kNetworkPortInvalid =
    "'%s' is not a network gateway: type tcp://HOST:PORT for RTU frames over TCP or "
    "mbtcp://HOST:PORT for Modbus TCP, or leave the field empty for the serial port";

// The About box.
inline constexpr const char* kAboutCaption = "Information";
inline constexpr const char* kAboutText =
    "With thanks to the research institute whose calculations\n"
    "and background information on mercury vapour\n"
    "are the foundation of this calculator.";

// The status line under the buttons: the port, the line's state and the age
// of the oldest reading, joined by the separator.
inline constexpr const char* kStatusSeparator = " \u00B7 ";
inline constexpr const char* kStatusPort = "Port %s";
inline constexpr const char* kStatusNoPort = "No port";
inline constexpr const char* kStatusPolling = "polling";
inline constexpr const char* kStatusStopped = "stopped: %s";
inline constexpr const char* kStatusOneNotAnswering = "%s controller not answering";
inline constexpr const char* kStatusTwoNotAnswering = "%s and %s controllers not answering";
inline constexpr const char* kStatusNoneAnswering = "no instrument answering";
// The age in whole seconds; a fresh poll's readings are all under one, so
// the line stays still while all is well.
inline constexpr const char* kStatusOldest = "oldest reading %s s";
inline constexpr const char* kStatusOldestFresh = "oldest reading under 1 s";
inline constexpr const char* kStatusPlantCommand = "plant %s";  // address: command
// Why the console does not take a command of the plant's DAHS.
inline constexpr const char* kPlantNoLine = "the console has no line to the kit";
inline constexpr const char* kPlantOutOfReach =
    "out of reach: it needs a reservoir flow of %s ml/min, the field takes %s to %s";
inline constexpr const char* kPlantNotPolling = "the console does not poll the kit";
inline constexpr const char* kPlantRunGoing = "a calibration run is under way";
inline constexpr const char* kPlantNoRun = "no calibration run is under way";
inline constexpr const char* kPlantClosing = "the console is closing";
inline constexpr const char* kPlantBusy = "the console is busy writing or reading the kit";
inline constexpr const char* kPlantRunDrivesKit = "a calibration run drives the kit";
// How long a command of the plant's waits for a workflow of the operator's.
inline constexpr int kPlantRetryMs = 100;
// By instrument: reservoir flow, dilution flow, temperature.
inline constexpr const char* kInstrumentNames[] = {"reservoir-flow", "dilution-flow",
                                                   "temperature"};
// Why the poll stopped, where no error text says it.
inline constexpr const char* kStopNoPortChosen = "no port chosen";
inline constexpr const char* kStopUnknown = "the poll is not running";
// Workflows that hold the poll while they use the line.
inline constexpr const char* kActivityApply = "writing set points";
inline constexpr const char* kActivityRefresh = "reading the instruments' settings";
inline constexpr const char* kActivityPortDialog = "choosing a port";

// Button hints.
inline constexpr const char* kHintComPort = "Select/Change COM port";
inline constexpr const char* kHintRefresh = "Refresh";

// The calibration run window.
inline constexpr const char* kRunWindowCaption = "Calibration run";
inline constexpr const char* kRunPlanGroup = "Plan";
inline constexpr const char* kRunAddPoint = "Add point";
inline constexpr const char* kRunRemovePoint = "Remove point";
inline constexpr const char* kRunLoad = "Load\u2026";
inline constexpr const char* kRunSave = "Save\u2026";
inline constexpr const char* kRunCheck = "Check";
inline constexpr const char* kRunStart = "Start";
inline constexpr const char* kRunPause = "Pause";
inline constexpr const char* kRunResume = "Resume";
inline constexpr const char* kRunStop = "Stop";
inline constexpr const char* kRunSkip = "Skip point";
inline constexpr const char* kRunEnterReading = "Enter";
inline constexpr const char* kRunNotStarted = "No run";
// A run that ended with every point but not every point passing (or
// judged): "Run: done, not every point passed".
inline constexpr const char* kRunNotAllPassed = "%s, not every point passed";
inline constexpr const char* kRunPass = "PASS";
inline constexpr const char* kRunFail = "FAIL";
inline constexpr const char* kRunLoadCaption = "Load a calibration plan";
inline constexpr const char* kRunSaveCaption = "Save the calibration plan as";
inline constexpr const char* kRunPlanFilter = "Plans (*.json);;All files (*)";
inline constexpr const char* kRunPlanNotRead = "Cannot read the plan %s: %s";
inline constexpr const char* kRunPlanNotSaved = "Cannot save the plan to %s: %s";
inline constexpr const char* kRunPlanRefused = "The plan is refused: %s";
inline constexpr const char* kRunPlanChecked = "Plan checked: %s points, %s";
inline constexpr const char* kRunAboutSeconds = "about %s s";
inline constexpr const char* kRunAboutMinutes = "about %s min";
inline constexpr const char* kRunAboutHours = "about %s h %s min";
inline constexpr const char* kRunAboutWholeHours = "about %s h";
inline constexpr const char* kRunPlanCheckedOne = "Plan checked: %s point, %s";
inline constexpr const char* kRunNeedsPort =
    "A calibration run drives the kit: choose the kit's port first.";
inline constexpr const char* kRunFolderShown = "Run folder: %s";
inline constexpr const char* kRunReportShown = "Report: %s";
inline constexpr const char* kRunNoReport = "The run's report could not be made: %s";
inline constexpr const char* kRunAnalyzerWanted =
    "Point %d: type the analyser's mean over the dwell (ng/l)";
inline constexpr const char* kRunReadingNotNumber = "The analyser's mean \"%s\" is not a number";
inline constexpr const char* kRunCloseQuestion =
    "A calibration run is driving the kit. Close the console and interrupt the run? The next "
    "start offers to resume it.";
// At start, a run that a closed console or a power cut interrupted.
inline constexpr const char* kRunResumeCaption = "Calibration run";
inline constexpr const char* kRunResultsRebuilt =
    "The calibration run in %s had ended; its results.json is made again from its journal.";
inline constexpr const char* kRunResumeInstead =
    "vapcal: a calibration run was interrupted in %s; resume it with: vapcal-run --resume %s\n";
inline constexpr const char* kRunResumeQuestion =
    "A calibration run was interrupted:\n%s\n\nResume it? Its finished points are kept as they "
    "are; the interrupted point starts again.";

// vapcal's command line, on standard error.
inline constexpr const char* kNoDisplay =
    "vapcal: no display to show the console on; run it under xvfb-run (xvfb-run -a vapcal) "
    "or with QT_QPA_PLATFORM=offscreen\n";
inline constexpr const char* kSimPortNeedsSimulate = "vapcal: --port sim needs --simulate\n";
inline constexpr const char* kPortEmpty = "vapcal: --port needs a port\n";
// The port given with --port could not be taken ("%s": why).
inline constexpr const char* kPortNotTaken = "vapcal: %s\n";

// vapcal --simulate.
inline constexpr const char* kSimNotFound =
    "The simulated kit (vapcal-sim) was not found beside %s";
inline constexpr const char* kSimNotStarted = "The simulated kit could not be started: %s";
inline constexpr const char* kSimNoPort = "The simulated kit named no port: %s";

// The History page.
inline constexpr const char* kTabHistory = "History";
inline constexpr const char* kHistoryColumnAnalyzer = "Analyser";
inline constexpr const char* kHistoryColumnLastRun = "Last run";
inline constexpr const char* kHistoryColumnVerdict = "Verdict";
inline constexpr const char* kHistoryColumnState = "Chart";
inline constexpr const char* kHistoryRefresh = "Refresh";
inline constexpr const char* kHistoryCharts = "Charts…";
inline constexpr const char* kHistoryShown = "%1: %2 analysers";
inline constexpr const char* kHistoryChartsCaption = "Control charts of %1";

}  // namespace app
