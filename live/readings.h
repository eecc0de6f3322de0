// Which of the kit's readings are current, from the poll's completions
// alone: an instrument's reading is current while its last read succeeded
// and its poll is running, that is while its reads keep completing. The one
// place that says what "current" means for the live view.
#pragma once

#include <QtGlobal>
#include <array>
#include <string>

#include "live/sample.h"

namespace live {

class TKitReadings {
  public:
    // A reading older than this is no longer current: at the 500 ms poll,
    // six periods without a completion mean the poll has stopped (Apply,
    // the port dialog, a closed line).
    static constexpr qint64 kPollLapseMs = 3000;

    // One completion of an instrument's measured-value read at `ms`; a
    // failed read (`ok` false) makes the instrument not current.
    void Completed(TInstrument instrument, bool ok, double value, qint64 ms);

    bool Current(TInstrument instrument, qint64 nowMs) const;
    bool AllCurrent(qint64 nowMs) const;
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
        bool Ok = false;
        bool Completed = false;  // since the last poll was taken
        qint64 Ms = 0;
        double Value = 0;
    };
    std::array<TState, kInstrumentCount> FStates;
};

// The instrument's name in the operator's texts.
const char* InstrumentName(TInstrument instrument);

}  // namespace live
