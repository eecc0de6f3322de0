// The plant's register map: what a data acquisition and handling system
// (DAHS) or a PLC reads of the kit, and the commands it may give, as Modbus
// registers.
//
// One table (DahsMap) names every register: its kind (input registers for
// what is read, function 4; holding registers for the commands, functions 3,
// 6 and 16), address, type, meaning and unit. The server answers from it,
// the README's table is printed from it, and the tests read it.
//
// What the plant reads is a TDahsSnapshot, filled by whoever polls the kit
// (the console, vapcal-run) after each complete poll and encoded here into
// the input registers. Floats and 32-bit counters take two registers in the
// word order the settings choose, high word first by default.
//
// A command is written into the holding registers: its arguments first (the
// wanted concentration, the plan number), then the command code, which sets
// it off; one write of several registers may carry all of them. An argument
// counts only when all its registers were written since the last command
// taken, so half a float never passes for a value.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>

namespace dahs {

// Raised by the map's version register; a plant checks it before it trusts
// the addresses. A change of any address or type changes it.
inline constexpr std::uint16_t kDahsMapVersion = 1;

enum TDahsRegisterKind : std::uint8_t { rkInput, rkHolding };
enum TDahsValueType : std::uint8_t { vtUInt16, vtUInt32, vtFloat };
// Which word of a two-register value comes first.
enum TDahsWordOrder : std::uint8_t { woHighFirst, woLowFirst };

// Every value of the map.
enum TDahsField : std::uint8_t {
    dfMapVersion,
    dfStatus,
    dfHeartbeat,
    dfDelivered,
    dfDeliveredU,
    dfCalculated,
    dfTemperature,
    dfReservoirFlow,
    dfDilutionFlow,
    dfTemperatureSetPoint,
    dfReservoirFlowSetPoint,
    dfDilutionFlowSetPoint,
    dfRunStateSeconds,
    dfLastPointDelivered,
    dfLastPointU,
    dfLastPointAnalyser,
    dfRunPoint,
    dfRunPointCount,
    dfRunState,
    // Holding registers.
    dfWanted,
    dfPlanNumber,
    dfCommand,
};

struct TDahsRegister {
    TDahsField Field;
    TDahsRegisterKind Kind;
    std::uint16_t Address;
    TDahsValueType Type;
    const char* Meaning;
    const char* Unit;  // empty when the value has none
};

// The whole map, input registers first, each kind in address order without
// gaps from address 0.
std::span<const TDahsRegister> DahsMap();
// The entry of one field.
const TDahsRegister& DahsRegister(TDahsField field);
// Registers a value of the type takes.
int RegisterCount(TDahsValueType type);
// Registers of one kind (the first address past the last).
int DahsRegisterCount(TDahsRegisterKind kind);

// The bits of the status word.
enum TDahsStatusBit : std::uint16_t {
    sbPolling = 1U << 0,
    sbAllCurrent = 1U << 1,
    sbStable = 1U << 2,
    sbRunActive = 1U << 3,
    sbRunPaused = 1U << 4,
    sbLastPointFailed = 1U << 5,
    sbInstrumentSilent = 1U << 6,
    sbControlAllowed = 1U << 7,
};

// What the run state register says.
enum TDahsRunState : std::uint16_t {
    rsIdle,
    rsApplying,
    rsSettling,
    rsDelay,
    rsDwelling,
    rsDone,
    rsStopped,
};

inline constexpr double kDahsUnknown = std::numeric_limits<double>::quiet_NaN();

// What the plant reads, as the kit's poller knows it after a complete poll.
// A value that cannot be told stays NaN (sent as a quiet NaN).
struct TDahsSnapshot {
    double Delivered = kDahsUnknown;    // ng/l
    double DeliveredU = kDahsUnknown;   // ng/l, expanded
    double Calculated = kDahsUnknown;   // ng/l, calculated or wanted
    double Temperature = kDahsUnknown;  // reservoir, °C
    double ReservoirFlow = kDahsUnknown;
    double DilutionFlow = kDahsUnknown;
    double TemperatureSetPoint = kDahsUnknown;
    double ReservoirFlowSetPoint = kDahsUnknown;
    double DilutionFlowSetPoint = kDahsUnknown;
    // TDahsStatusBit values; sbControlAllowed is the server's own.
    std::uint16_t Status = 0;
    std::uint32_t Heartbeat = 0;  // grows with every complete poll
    std::uint16_t RunPoint = 0;   // 1-based, 0 outside a run
    std::uint16_t RunPointCount = 0;
    TDahsRunState RunState = rsIdle;
    std::uint32_t RunStateSeconds = 0;
    double LastPointDelivered = kDahsUnknown;
    double LastPointU = kDahsUnknown;
    double LastPointAnalyser = kDahsUnknown;
};

// The input registers for a snapshot: `registers` holds
// DahsRegisterCount(rkInput) values.
void EncodeSnapshot(const TDahsSnapshot& snapshot, TDahsWordOrder order,
                    std::span<std::uint16_t> registers);

// A float or 32-bit value from its two registers as they appear in the map.
float DecodeFloat(std::uint16_t first, std::uint16_t second, TDahsWordOrder order);
std::uint32_t DecodeUInt32(std::uint16_t first, std::uint16_t second, TDahsWordOrder order);

// --- Commands ---

// The command register's codes.
enum TDahsCommandKind : std::uint16_t {
    ckNone,
    ckApplyWanted,  // the wanted concentration at the present temperature and dilution
    ckZeroGas,
    ckStartPlan,
    ckPause,
    ckResume,
    ckStop,
};

// One command as the plant gave it, checked for completeness and sanity.
struct TDahsCommand {
    TDahsCommandKind Kind = ckNone;
    double Wanted = kDahsUnknown;  // ng/l, ckApplyWanted
    int Plan = 0;                  // ckStartPlan
    std::string PlanFile;          // ckStartPlan: the plan's file
    std::string Peer;              // the plant's address
};

// The holding registers of one peer: the arguments written so far and
// whether each register was written since the last command taken.
class TDahsCommandRegisters {
  public:
    // The holding registers of the map (DahsRegisterCount(rkHolding)).
    static int Count() { return kCount; }
    std::uint16_t Value(std::uint16_t address) const;
    void Put(std::uint16_t address, std::uint16_t value);
    // After a command was taken: its arguments must be written again for
    // the next.
    void CommandTaken(std::uint16_t code);

    // The command the registers hold when the command register gets `code`;
    // false with a reason when it is incomplete or not sane (an unknown code,
    // a wanted concentration that is no positive number, a plan number of 0).
    bool Command(std::uint16_t code, TDahsWordOrder order, TDahsCommand& command,
                 std::string& reason) const;

  private:
    static constexpr std::uint16_t kCount = 4;
    std::uint16_t FValues[kCount] = {};
    bool FWritten[kCount] = {};
};

// The map as a markdown table (the README's).
std::string DahsMapMarkdown();

}  // namespace dahs
