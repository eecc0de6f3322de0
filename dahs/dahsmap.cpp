#include "dahs/dahsmap.h"

#include <bit>
#include <cmath>
#include <sstream>

#include "dahs/messages.h"

namespace dahs {

namespace {

// 32-bit values sit at even addresses, so a PLC that reads them as pairs
// never straddles two.
constexpr TDahsRegister kMap[] = {
    {dfMapVersion, rkInput, 0, vtUInt16, "map version", ""},
    {dfStatus, rkInput, 1, vtUInt16, "status word (bits below)", ""},
    {dfHeartbeat, rkInput, 2, vtUInt32, "heartbeat: grows with every complete poll", ""},
    {dfDelivered, rkInput, 4, vtFloat, "delivered concentration now (NaN when it cannot be told)",
     "ng/l"},
    {dfDeliveredU, rkInput, 6, vtFloat,
     "expanded uncertainty of the delivered concentration (NaN when it cannot be told)", "ng/l"},
    {dfCalculated, rkInput, 8, vtFloat, "calculated or wanted concentration", "ng/l"},
    {dfTemperature, rkInput, 10, vtFloat, "reservoir temperature, reading", "°C"},
    {dfReservoirFlow, rkInput, 12, vtFloat, "reservoir flow, reading", "ml/min"},
    {dfDilutionFlow, rkInput, 14, vtFloat, "dilution flow, reading", "l/min"},
    {dfTemperatureSetPoint, rkInput, 16, vtFloat, "reservoir temperature, set point", "°C"},
    {dfReservoirFlowSetPoint, rkInput, 18, vtFloat, "reservoir flow, set point", "ml/min"},
    {dfDilutionFlowSetPoint, rkInput, 20, vtFloat, "dilution flow, set point", "l/min"},
    {dfRunStateSeconds, rkInput, 22, vtUInt32, "run: time in the present state", "s"},
    {dfLastPointDelivered, rkInput, 24, vtFloat, "run: last finished point, delivered mean",
     "ng/l"},
    {dfLastPointU, rkInput, 26, vtFloat, "run: last finished point, expanded uncertainty", "ng/l"},
    {dfLastPointAnalyser, rkInput, 28, vtFloat, "run: last finished point, analyser mean", "ng/l"},
    {dfRunPoint, rkInput, 30, vtUInt16, "run: point number (1-based, 0 outside a run)", ""},
    {dfRunPointCount, rkInput, 31, vtUInt16, "run: point count", ""},
    {dfRunState, rkInput, 32, vtUInt16, "run: state (codes below)", ""},
    {dfWanted, rkHolding, 0, vtFloat, "wanted concentration, for command 1", "ng/l"},
    {dfPlanNumber, rkHolding, 2, vtUInt16, "plan number, for command 3", ""},
    {dfCommand, rkHolding, 3, vtUInt16, "command (codes below): written last, sets it off", ""},
};

constexpr const char* kStatusBits[] = {
    "polling",
    "all readings current",
    "stable",
    "a run active",
    "a run paused",
    "the last point failed",
    "an instrument not answering",
    "control allowed (DahsControl=1)",
};

constexpr const char* kRunStates[] = {"idle",     "applying", "settling", "delay",
                                      "dwelling", "done",     "stopped"};

constexpr const char* kCommands[] = {
    "none",
    "apply the wanted concentration at the present temperature and dilution",
    "zero gas (reservoir flow 0)",
    "start plan N (plans/N*.json in the user's configuration)",
    "pause the run",
    "resume the run",
    "stop the run",
};

std::uint32_t FloatBits(double value) {
    // Every NaN goes out as the one quiet NaN a plant can test for.
    if (std::isnan(value))
        return 0x7FC00000U;
    return std::bit_cast<std::uint32_t>(static_cast<float>(value));
}

void PutPair(std::span<std::uint16_t> registers, std::uint16_t address, std::uint32_t value,
             TDahsWordOrder order) {
    const auto high = static_cast<std::uint16_t>(value >> 16);
    const auto low = static_cast<std::uint16_t>(value & 0xFFFFU);
    registers[address] = order == woHighFirst ? high : low;
    registers[address + 1U] = order == woHighFirst ? low : high;
}

void PutFloat(std::span<std::uint16_t> registers, TDahsField field, double value,
              TDahsWordOrder order) {
    PutPair(registers, DahsRegister(field).Address, FloatBits(value), order);
}

void PutWord(std::span<std::uint16_t> registers, TDahsField field, std::uint16_t value) {
    registers[DahsRegister(field).Address] = value;
}

}  // namespace

std::span<const TDahsRegister> DahsMap() {
    return kMap;
}

const TDahsRegister& DahsRegister(TDahsField field) {
    for (const TDahsRegister& r : kMap)
        if (r.Field == field)
            return r;
    return kMap[0];
}

int RegisterCount(TDahsValueType type) {
    return type == vtUInt16 ? 1 : 2;
}

int DahsRegisterCount(TDahsRegisterKind kind) {
    int end = 0;
    for (const TDahsRegister& r : kMap)
        if (r.Kind == kind)
            end = std::max(end, r.Address + RegisterCount(r.Type));
    return end;
}

void EncodeSnapshot(const TDahsSnapshot& s, TDahsWordOrder order,
                    std::span<std::uint16_t> registers) {
    PutWord(registers, dfMapVersion, kDahsMapVersion);
    PutWord(registers, dfStatus, s.Status);
    PutPair(registers, DahsRegister(dfHeartbeat).Address, s.Heartbeat, order);
    PutFloat(registers, dfDelivered, s.Delivered, order);
    PutFloat(registers, dfDeliveredU, s.DeliveredU, order);
    PutFloat(registers, dfCalculated, s.Calculated, order);
    PutFloat(registers, dfTemperature, s.Temperature, order);
    PutFloat(registers, dfReservoirFlow, s.ReservoirFlow, order);
    PutFloat(registers, dfDilutionFlow, s.DilutionFlow, order);
    PutFloat(registers, dfTemperatureSetPoint, s.TemperatureSetPoint, order);
    PutFloat(registers, dfReservoirFlowSetPoint, s.ReservoirFlowSetPoint, order);
    PutFloat(registers, dfDilutionFlowSetPoint, s.DilutionFlowSetPoint, order);
    PutPair(registers, DahsRegister(dfRunStateSeconds).Address, s.RunStateSeconds, order);
    PutFloat(registers, dfLastPointDelivered, s.LastPointDelivered, order);
    PutFloat(registers, dfLastPointU, s.LastPointU, order);
    PutFloat(registers, dfLastPointAnalyser, s.LastPointAnalyser, order);
    PutWord(registers, dfRunPoint, s.RunPoint);
    PutWord(registers, dfRunPointCount, s.RunPointCount);
    PutWord(registers, dfRunState, s.RunState);
}

std::uint32_t DecodeUInt32(std::uint16_t first, std::uint16_t second, TDahsWordOrder order) {
    const std::uint32_t high = order == woHighFirst ? first : second;
    const std::uint32_t low = order == woHighFirst ? second : first;
    return high << 16 | low;
}

float DecodeFloat(std::uint16_t first, std::uint16_t second, TDahsWordOrder order) {
    return std::bit_cast<float>(DecodeUInt32(first, second, order));
}

// --- Commands ---

std::uint16_t TDahsCommandRegisters::Value(std::uint16_t address) const {
    return address < kCount ? FValues[address] : 0;
}

void TDahsCommandRegisters::Put(std::uint16_t address, std::uint16_t value) {
    if (address >= kCount)
        return;
    FValues[address] = value;
    FWritten[address] = true;
}

void TDahsCommandRegisters::CommandTaken(std::uint16_t code) {
    for (bool& written : FWritten)
        written = false;
    FValues[DahsRegister(dfCommand).Address] = code;
}

bool TDahsCommandRegisters::Command(std::uint16_t code, TDahsWordOrder order, TDahsCommand& command,
                                    std::string& reason) const {
    const std::uint16_t wanted = DahsRegister(dfWanted).Address;
    const std::uint16_t plan = DahsRegister(dfPlanNumber).Address;
    command = TDahsCommand{};
    switch (code) {
        case ckApplyWanted: {
            if (!FWritten[wanted] || !FWritten[wanted + 1U]) {
                reason = msg::WantedIncomplete;
                return false;
            }
            const float value = DecodeFloat(FValues[wanted], FValues[wanted + 1U], order);
            if (!std::isfinite(value) || value <= 0) {
                reason = msg::WantedNotPositive;
                return false;
            }
            command.Wanted = value;
            break;
        }
        case ckStartPlan:
            if (!FWritten[plan]) {
                reason = msg::PlanIncomplete;
                return false;
            }
            if (FValues[plan] == 0) {
                reason = msg::PlanZero;
                return false;
            }
            command.Plan = FValues[plan];
            break;
        case ckZeroGas:
        case ckPause:
        case ckResume:
        case ckStop:
            break;
        default:
            reason = msg::CommandUnknown;
            return false;
    }
    command.Kind = static_cast<TDahsCommandKind>(code);
    return true;
}

// --- The README's table ---

std::string DahsMapMarkdown() {
    std::ostringstream out;
    constexpr const char* types[] = {"uint16", "uint32", "float"};
    out << "| registers | address | type | meaning | unit |\n";
    out << "|---|---|---|---|---|\n";
    for (const TDahsRegister& r : kMap) {
        out << "| " << (r.Kind == rkInput ? "input (4)" : "holding (3, 6, 16)") << " | ";
        out << r.Address;
        if (RegisterCount(r.Type) == 2)
            out << "-" << r.Address + 1;
        out << " | " << types[r.Type] << " | " << r.Meaning << " | " << r.Unit << " |\n";
    }
    out << "\n| status bit | set when |\n|---|---|\n";
    for (std::size_t bit = 0; bit < std::size(kStatusBits); ++bit)
        out << "| " << bit << " | " << kStatusBits[bit] << " |\n";
    out << "\n| run state | meaning |\n|---|---|\n";
    for (std::size_t state = 0; state < std::size(kRunStates); ++state)
        out << "| " << state << " | " << kRunStates[state] << " |\n";
    out << "\n| command | does |\n|---|---|\n";
    for (std::size_t code = 0; code < std::size(kCommands); ++code)
        out << "| " << code << " | " << kCommands[code] << " |\n";
    return out.str();
}

}  // namespace dahs
