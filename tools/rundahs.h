// vapcal-run's side of the plant's register map: during a headless run it
// serves the map (dahs::TDahsServer), fed from every poll the run sees and
// from the run's own progress, so the plant's DAHS can flag the analyser's
// readings during the check.
//
// With DahsControl=1 the plant may pause, resume and stop the run: the
// engine journals each as it does the operator's, and the line goes to
// standard error. While a run drives the kit it refuses the commands that
// would drive it otherwise (apply, zero gas, start plan).
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <functional>
#include <memory>
#include <string>

#include "dahs/mainthreaddahs.h"
#include "live/sample.h"
#include "run/engine.h"
#include "run/kitline.h"

namespace tools {

class TRunDahs {
  public:
    // Serves the map on `listen` (mbtcp://HOST:PORT; the settings'
    // DahsListen when empty), with the settings file's other Dahs keys.
    // Raises dahs::EDahsSettingsError for a value that cannot be used or an
    // address that cannot be listened on. `say` writes one line of progress.
    TRunDahs(const std::string& listen, const std::string& settingsFile, run::TRunEngine& engine,
             run::TKitLine& kit, const run::TRunClock& clock,
             std::function<void(const std::string&)> say);
    // Ends the server while answering a command that waits for this thread.
    ~TRunDahs();
    TRunDahs(const TRunDahs&) = delete;
    TRunDahs& operator=(const TRunDahs&) = delete;

    // Whether the settings or `listen` ask for the map at all.
    static bool Wanted(const std::string& listen, const std::string& settingsFile);

    // What the run sees, each as it happens (main thread).
    void Sampled(const live::TLiveSample& sample);
    void Lapsed();
    void StateChanged();
    void PointFinished(const QJsonObject& result);

    // Where the plant finds the map: mbtcp://HOST:PORT, with the port taken.
    std::string Address() const;

  private:
    bool Take(const dahs::TDahsCommand& command, std::string& reason);
    void Publish();

    run::TRunEngine& FEngine;
    run::TKitLine& FKit;
    const run::TRunClock& FClock;
    std::function<void(const std::string&)> FSay;
    std::string FHost;
    std::unique_ptr<dahs::TMainThreadDahs> FDahs;
    dahs::TDahsSnapshot FSnapshot;
    run::TRunState FState = run::rsIdle;
    qint64 FStateSinceMs = 0;
    bool FLastPointFailed = false;
};

}  // namespace tools
