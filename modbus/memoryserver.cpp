#include "modbus/memoryserver.h"

#include <algorithm>

namespace regwire {

namespace {

constexpr int MaxTableSize = 0x10000;

template <typename Table>
auto Entry(const Table& table, int address) {
    using Value = typename Table::value_type;
    if (address < 0 || address >= static_cast<int>(table.size()))
        return Value{};
    return static_cast<Value>(table[static_cast<std::size_t>(address)]);
}

template <typename Table, typename Value>
void Put(Table& table, int address, Value value) {
    if (address < 0 || address >= static_cast<int>(table.size()))
        return;
    table[static_cast<std::size_t>(address)] = value;
}

}  // namespace

TMemoryModbusServer::TMemoryModbusServer(int size, QObject* owner)
    : TModbusServer(owner),
      FSize(std::clamp(size, 0, MaxTableSize)),
      FCoils(static_cast<std::size_t>(FSize)),
      FDiscreteInputs(static_cast<std::size_t>(FSize)),
      FHoldingRegisters(static_cast<std::size_t>(FSize)),
      FInputRegisters(static_cast<std::size_t>(FSize)) {}

bool TMemoryModbusServer::Coil(int address) const {
    return Entry(FCoils, address);
}

void TMemoryModbusServer::PutCoil(int address, bool value) {
    Put(FCoils, address, value);
}

bool TMemoryModbusServer::DiscreteInput(int address) const {
    return Entry(FDiscreteInputs, address);
}

void TMemoryModbusServer::PutDiscreteInput(int address, bool value) {
    Put(FDiscreteInputs, address, value);
}

std::uint16_t TMemoryModbusServer::HoldingRegister(int address) const {
    return Entry(FHoldingRegisters, address);
}

void TMemoryModbusServer::PutHoldingRegister(int address, std::uint16_t value) {
    Put(FHoldingRegisters, address, value);
}

std::uint16_t TMemoryModbusServer::InputRegister(int address) const {
    return Entry(FInputRegisters, address);
}

void TMemoryModbusServer::PutInputRegister(int address, std::uint16_t value) {
    Put(FInputRegisters, address, value);
}

TWriteCheck TMemoryModbusServer::CheckCoilWrite(std::uint16_t address, bool) {
    return Holds(address) ? wcAccept : wcIllegalAddress;
}

TWriteCheck TMemoryModbusServer::CheckHoldingRegisterWrite(std::uint16_t address, std::uint16_t) {
    return Holds(address) ? wcAccept : wcIllegalAddress;
}

}  // namespace regwire
