// The console's side of the plant's register map: while the console runs it
// serves the map (dahs::TDahsServer) to the plant's DAHS or PLC, fed from the
// live view after every poll, so the plant reads what the window shows.
//
// The server answers on threads of its own; here, on the main thread, each
// poll only encodes one snapshot and hands it over under a lock. The
// server's log lines (peers refused, commands) go to standard error.
//
// With DahsControl=1 the plant's "apply" and "zero gas" are taken when the
// console has a line to the kit and the reservoir flow they need fits its
// field: the fields are set as the operator would set them, and the console
// applies them as Apply does, naming the command in the status line. The
// plant's "start plan", "pause", "resume" and "stop" are the run window's
// Start, Pause and Resume, and Stop; apply and zero gas are refused while a
// run drives the kit. The map's run fields are the run window's run.
#pragma once

#include <QtGlobal>
#include <functional>
#include <memory>
#include <string>

#include "dahs/mainthreaddahs.h"
#include "run/engine.h"

namespace app {

class TfrmVapcalCalc;

class TDahsFeed {
  public:
    // Serves the map when `listen` (--dahs, mbtcp://HOST:PORT) or the
    // settings file's DahsListen asks for it, and starts feeding it from
    // the window's live view. Raises dahs::EDahsSettingsError for settings
    // that cannot be used or an address that cannot be listened on.
    TDahsFeed(TfrmVapcalCalc& window, const std::string& settingsFile, const std::string& listen);
    ~TDahsFeed();
    TDahsFeed(const TDahsFeed&) = delete;
    TDahsFeed& operator=(const TDahsFeed&) = delete;

    // The server, or nullptr while the settings leave it off.
    dahs::TDahsServer* Server() const { return FDahs ? &FDahs->Server() : nullptr; }
    // What the plant reads now, as the last poll left it.
    const dahs::TDahsSnapshot& Snapshot() const { return FSnapshot; }

    // Main thread: whether the console takes the plant's command, with the
    // reason when not. A taken command is applied from the event loop.
    bool Take(const dahs::TDahsCommand& command, std::string& reason);

  private:
    bool TakeRunCommand(const dahs::TDahsCommand& command, std::string& reason);
    void Polled();
    void PutRun(qint64 now);
    long double HeldFlow(long double flow, std::string& reason) const;

    TfrmVapcalCalc& FWindow;
    // The window's own handling of a poll, which runs first.
    std::function<void()> FShown;
    std::unique_ptr<dahs::TMainThreadDahs> FDahs;
    dahs::TDahsSnapshot FSnapshot;
    qint64 FLastSampleMs = -1;
    // The run whose state the map shows, and since when.
    const run::TRunEngine* FRunEngine = nullptr;
    run::TRunState FRunState = run::rsIdle;
    qint64 FRunStateSinceMs = 0;
};

}  // namespace app
