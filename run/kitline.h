// The run's kit: the engine's view of the kit (TRunKit) on kit::TKit, the
// one way every program drives the instruments. Feeds the live monitor from
// the poll's cycles, with the analyser's reading of the same cycle (an extra
// read on the kit's own line, or a read on the analyser's own port), and
// tells the run when the port vanishes and comes back.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "kit/kit.h"
#include "live/monitor.h"
#include "run/analyzerreader.h"
#include "run/engine.h"
#include "run/plan.h"

namespace run {

// The port cannot be opened, or the controllers' limits cannot be read.
class ELineError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The engine's clock on the system's monotonic clock and local time.
class TSystemClock : public TRunClock {
  public:
    TSystemClock() { FElapsed.start(); }
    qint64 Ms() const override { return FElapsed.elapsed(); }
    QDateTime Local() const override { return QDateTime::currentDateTime(); }

  private:
    QElapsedTimer FElapsed;
};

class TKitLine : public QObject, public TRunKit {
  public:
    TKitLine(const TAnalyzerPlan& analyzer, const TRunClock& clock);
    ~TKitLine() override;

    // Opens the kit's port (and the analyser's own); raises ELineError.
    void Open(const std::string& port);
    // The controllers' capacities and set-point limits (and the set points
    // they hold now, which Apply compares with), read again while some go
    // unanswered for up to `patienceMs`; raises ELineError naming what did
    // not answer.
    TKitLimits ReadLimits(const TKitLimits& conditions, int patienceMs = 0);

    // The poll: every complete one goes to OnSample with the analyser's
    // reading of the same cycle; an incomplete one to OnLapse, with the
    // age of the oldest of the instruments' last readings. Each cycle's
    // analyser read that came back goes to OnAnalyzerAnswered.
    void StartPolling();
    void StopPolling();
    std::function<void(const live::TLiveSample& sample, std::optional<double> analyzer)> OnSample;
    std::function<void(std::optional<qint64> oldestReadingAgeMs)> OnLapse;
    std::function<void(bool answered)> OnAnalyzerAnswered;
    // The targets each sample is judged against.
    std::function<live::TKitTargets()> Targets;
    // The port vanished; it is back (the kit reads its settings again and
    // polls on).
    std::function<void(const std::string& port)> OnPortGone;
    std::function<void(const std::string& port)> OnPortBack;

    // An Apply whose writes the line did not carry (no reply to any of the
    // sends) is sent again for up to this long before the run is told.
    int ApplyPatienceMs = 0;
    void Apply(const TSetPoints& setPoints, std::function<void(const TApplyResult&)> done) override;

    kit::TKit& Kit() { return FKit; }
    live::TKitMonitor& Monitor() { return FMonitor; }

  private:
    void Cycle(const kit::TPollCycle& cycle);

    TAnalyzerPlan FAnalyzerPlan;
    const TRunClock& FClock;
    kit::TKit FKit;
    live::TKitMonitor FMonitor;
    // Made when the line opens.
    std::unique_ptr<TAnalyzerReader> FAnalyzer;
    bool FSampled = false;
    // A complete poll waits for its cycle's end, which brings the
    // analyser's reading of the same cycle.
    std::optional<live::TLiveSample> FPendingSample;
    bool FCapacityRead[2] = {false, false};
};

}  // namespace run
