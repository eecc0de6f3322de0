// The analyser a run reads beside the kit. On the kit's own line it is one
// more read in every poll cycle, so its reading belongs to the same cycle as
// the kit's; on a port of its own it is read at each cycle, and its latest
// answer goes with the next sample. The run window and vapcal-run read it
// the same way through this one reader.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "run/plan.h"

namespace kit {
class TKit;
struct TPollCycle;
}  // namespace kit

namespace regwire {
class TModbusClient;
class TModbusConnection;
struct TTransactionInfo;
}  // namespace regwire

namespace run {

class TAnalyzerReader {
  public:
    // On the kit's line, adds the analyser's read to the kit's cycle; on a
    // port of its own, opens that port (raising what the port raised).
    // Nothing is read for an analyser that is not on Modbus.
    TAnalyzerReader(const TAnalyzerPlan& plan, kit::TKit& kit);
    // Takes the read off the kit's line, or drops what waits on its own.
    ~TAnalyzerReader();
    TAnalyzerReader(const TAnalyzerReader&) = delete;
    TAnalyzerReader& operator=(const TAnalyzerReader&) = delete;

    // A poll cycle is over: the reading of the cycle's extra read (on the
    // kit's line), or the next read asked of the analyser's own port when
    // its last one has been answered.
    void Cycle(const kit::TPollCycle& cycle);
    // The analyser's reading in its plan's unit (format and scale); none
    // when it did not answer or its registers hold no finite number.
    std::optional<double> Reading() const { return FReading; }
    // Whether the analyser answered the read whose outcome came with the
    // last cycle (a reply that holds no finite number is an answer); none
    // when no outcome came.
    std::optional<bool> Answered() const { return FAnswered; }

  private:
    void Answered(const regwire::TTransactionInfo& info, const std::vector<std::uint16_t>& values);
    std::optional<double> Number(const std::vector<std::uint16_t>& registers) const;
    std::uint16_t Count() const;

    TAnalyzerPlan FPlan;
    kit::TKit& FKit;
    std::unique_ptr<regwire::TModbusConnection> FLine;
    std::unique_ptr<regwire::TModbusClient> FClient;
    std::optional<double> FReading;
    std::optional<bool> FAnswered;
    // The analyser's own port: the outcome that came since the last cycle.
    std::optional<bool> FAnsweredSince;
};

}  // namespace run
