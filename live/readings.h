// Which of the kit's readings are current: the one place the window's dimmed
// panels, the status line under the buttons, the delivered concentration and
// the stability all ask, so none of them shows a reading as live that another
// shows as old.
//
// A reading is current while the poll runs, the instrument answered its last
// read of the measured value, and that answer is younger than one and a half
// poll periods: a kit that falls silent shows as old within two periods, long
// before its reads have waited out their time-outs. Plain logic on a
// millisecond clock, so it is tested without a window or a line.
#pragma once

#include <QtGlobal>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "live/sample.h"

namespace live {

class TKitReadings {
  public:
    explicit TKitReadings(qint64 pollPeriodMs) : FMaxAgeMs(pollPeriodMs * 3 / 2) {}

    // Whether the poll runs now (the window's poll timer on an open line).
    // Unassigned: it runs.
    std::function<bool()> PollRunning;

    // One completion of an instrument's measured-value read at `ms`; a
    // failed read (`ok` false) makes the instrument not current.
    void Completed(TInstrument instrument, bool ok, double value, qint64 ms);
    // Another line: nothing read so far came from it.
    void Forget();

    bool Current(TInstrument instrument, qint64 nowMs) const;
    bool AllCurrent(qint64 nowMs) const;
    // Every instrument answered its last read while the poll runs, however
    // long ago: what a poll that is just over is judged by, so that a poll
    // a busy machine delivered late still counts.
    bool AllAnswered() const;
    // The instrument's last read went unanswered, or its reading is older
    // than the age limit; an instrument not read yet is not counted.
    bool NotAnswering(TInstrument instrument, qint64 nowMs) const;
    // Age of the oldest reading held; none before the first.
    std::optional<qint64> OldestAgeMs(qint64 nowMs) const;
    qint64 MaxAgeMs() const { return FMaxAgeMs; }
    // The last good reading of the instrument.
    double Value(TInstrument instrument) const { return FStates[instrument].Value; }
    // The names of the instruments not current, comma-separated; empty
    // when all are.
    std::string NotCurrentNames(qint64 nowMs) const;

    // A poll is over once every instrument has completed a read since the
    // last poll was taken.
    bool PollOver() const;
    void TakePoll();

  private:
    struct TState {
        bool Read = false;        // a reading came since the line was chosen
        bool Unanswered = false;  // the last read ended without one
        bool Completed = false;   // since the last poll was taken
        qint64 AnsweredAt = 0;
        double Value = 0;
    };
    qint64 FMaxAgeMs;
    std::array<TState, kInstrumentCount> FStates{};
};

// The instrument's name in the operator's texts.
const char* InstrumentName(TInstrument instrument);

}  // namespace live
