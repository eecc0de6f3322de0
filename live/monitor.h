// TKitMonitor: the live view's one entry. The console hands it the
// completion of every measured-value read; once each instrument has answered
// (or failed) a poll is over, and a poll whose three readings are current
// becomes a sample (so does the read that makes all three current again
// after one was not, so the delivered concentration shows from the moment
// the window shows the readings as current): its delivered concentration is worked out, the
// stability judged, the sample kept for the trend and recorded.
#pragma once

#include <QDateTime>
#include <QtGlobal>
#include <functional>
#include <optional>
#include <string>

#include "calc/uncertainty.h"
#include "live/history.h"
#include "live/readings.h"
#include "live/recorder.h"
#include "live/sample.h"
#include "live/stability.h"

namespace live {

class TKitMonitor {
  public:
    // `pollPeriodMs`: how often the console reads each instrument, which
    // sets how old a reading may be and still count as current.
    TKitMonitor(qint64 settlingMs, qint64 pollPeriodMs)
        : FReadings(pollPeriodMs), FStability(settlingMs) {}

    // The set points, conditions and calculated concentration a complete
    // poll is judged against, asked at that poll. Unassigned: all unknown.
    std::function<TKitTargets()> Targets;
    // The lab's accuracies, on which the delivered concentration's
    // uncertainty stands; the window keeps them as the Advanced page shows
    // them.
    calc::TAccuracies Accuracies;
    // After every poll, complete or not.
    std::function<void()> OnPoll;
    // After a complete poll has been kept and recorded.
    std::function<void(const TLiveSample& sample)> OnSample;
    // The file refused a line and the recording stopped (the message to
    // show). The poll goes on.
    std::function<void(const std::string& message)> OnRecordingStopped;

    // One completion of a measured-value read: `ms` on a monotonic clock,
    // `when` the local time it stands for in the record.
    void Completed(TInstrument instrument, bool ok, double value, qint64 ms, const QDateTime& when);
    // Another line: its kit starts unknown and settles anew.
    void Forget();

    // "Delivered now 40.05 ± 0.95 ng/l (k = 2)" (the locale's separator;
    // "Delivered now 40.05 ng/l" when the budget has no value), or that it
    // cannot tell and which readings are not current.
    std::string DeliveredText(qint64 nowMs) const;
    // The three largest contributions to the delivered concentration's
    // uncertainty; empty when DeliveredText gives no U.
    std::string DeliveredUncertaintyHint(qint64 nowMs) const;
    // The stability's text while the readings are current; "cannot tell"
    // otherwise.
    std::string StabilityText(qint64 nowMs) const;

    // The last complete poll, if the readings are still current.
    const TLiveSample* CurrentSample(qint64 nowMs) const;

    const TKitReadings& Readings() const { return FReadings; }
    TKitReadings& Readings() { return FReadings; }
    TStability& Stability() { return FStability; }
    const THistory& History() const { return FHistory; }
    TRecorder& Recorder() { return FRecorder; }

  private:
    void PollOver(qint64 ms, const QDateTime& when);
    TLiveSample Sample(qint64 ms, const QDateTime& when) const;

    TKitReadings FReadings;
    TStability FStability;
    THistory FHistory;
    TRecorder FRecorder;
    TLiveSample FLast;
    bool FHaveSample = false;
    // The budget of FLast's delivered concentration, when it has one.
    std::optional<calc::TUncertaintyBudget> FLastBudget;
};

}  // namespace live
