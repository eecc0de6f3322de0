// Whether each instrument's reading on the window is current: the one place
// the panels' "old reading" look and the status line under the buttons ask.
//
// A reading is current while the poll runs, the instrument answered its last
// read of the measured value, and that answer is younger than the age limit
// (a little more than one poll period, so a kit that falls silent shows as
// old before its reads have waited out their time-outs). Plain logic on a
// millisecond tick, so it is tested without a window or a line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace app {

enum TInstrument { inReservoirFlow, inDilutionFlow, inTemperature };
inline constexpr int kInstrumentCount = 3;

class TReadingStates {
  public:
    explicit TReadingStates(std::uint32_t maxAgeMs) : FMaxAgeMs(maxAgeMs) {}

    // A read of the measured value answered with a reading at `nowMs`.
    void Answered(TInstrument instrument, std::uint32_t nowMs);
    // A read of the measured value ended without a reading.
    void NotAnswered(TInstrument instrument);
    // Another line: nothing on the window came from it.
    void Forget();

    bool Current(TInstrument instrument, std::uint32_t nowMs, bool polling) const;
    // The instrument's last read of its measured value went unanswered, or
    // its reading is older than the age limit.
    bool NotAnswering(TInstrument instrument, std::uint32_t nowMs) const;
    // Age of the oldest reading the window holds; none before the first.
    std::optional<std::uint32_t> OldestAgeMs(std::uint32_t nowMs) const;

  private:
    struct TState {
        bool Read = false;  // a reading came since the line was chosen
        bool Unanswered = false;
        std::uint32_t AnsweredAt = 0;
    };
    std::uint32_t FMaxAgeMs;
    std::array<TState, kInstrumentCount> FStates{};
};

// What the status line under the buttons says about the line.
struct TLineStatus {
    std::string Port;        // empty before a port was chosen
    bool Polling = false;    // the poll timer runs on an open line
    std::string Activity;    // a workflow holding the poll (Apply, Refresh)
    std::string StopReason;  // why the poll stopped, when it did
};

// "Port /dev/ttyUSB0 · polling · oldest reading under 1 s", with the
// instruments that do not answer, or "stopped: <why>", in place of
// "polling".
std::string StatusLineText(const TLineStatus& line, const TReadingStates& readings,
                           std::uint32_t nowMs);

}  // namespace app
