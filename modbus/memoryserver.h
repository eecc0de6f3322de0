// TMemoryModbusServer: a server object whose coils, discrete inputs, holding
// and input registers live in four plain in-memory tables, addressed from 0.
//
// An address inside its table is valid and every write to it is accepted;
// an address beyond the table is answered with exception code 2. Discrete
// inputs and input registers are read-only for Modbus clients; their owner
// fills them through the table setters.
#pragma once

#include <cstdint>

#include "modbus/server.h"
#include "modbus/values.h"

namespace regwire {

class TMemoryModbusServer : public TModbusServer {
  public:
    // Tables of size entries each (0..65536), every entry 0 or off.
    explicit TMemoryModbusServer(int size, QObject* owner = nullptr);

    int Size() const { return FSize; }

    // The tables, for the owner; addresses beyond Size are ignored by the
    // setters and read as 0 or off.
    bool Coil(int address) const;
    void PutCoil(int address, bool value);
    bool DiscreteInput(int address) const;
    void PutDiscreteInput(int address, bool value);
    std::uint16_t HoldingRegister(int address) const;
    void PutHoldingRegister(int address, std::uint16_t value);
    std::uint16_t InputRegister(int address) const;
    void PutInputRegister(int address, std::uint16_t value);

  protected:
    bool IsCoilValid(std::uint16_t address) override { return Holds(address); }
    bool IsDiscreteInputValid(std::uint16_t address) override { return Holds(address); }
    bool IsHoldingRegisterValid(std::uint16_t address) override { return Holds(address); }
    bool IsInputRegisterValid(std::uint16_t address) override { return Holds(address); }
    TWriteCheck CheckCoilWrite(std::uint16_t address, bool value) override;
    TWriteCheck CheckHoldingRegisterWrite(std::uint16_t address, std::uint16_t value) override;
    bool GetCoil(std::uint16_t address) override { return Coil(address); }
    bool GetDiscreteInput(std::uint16_t address) override { return DiscreteInput(address); }
    std::uint16_t GetHoldingRegister(std::uint16_t address) override {
        return HoldingRegister(address);
    }
    std::uint16_t GetInputRegister(std::uint16_t address) override {
        return InputRegister(address);
    }
    void SetCoil(std::uint16_t address, bool value) override { PutCoil(address, value); }
    void SetHoldingRegister(std::uint16_t address, std::uint16_t value) override {
        PutHoldingRegister(address, value);
    }

  private:
    bool Holds(int address) const { return address >= 0 && address < FSize; }

    int FSize;
    TBitValues FCoils;
    TBitValues FDiscreteInputs;
    TRegValues FHoldingRegisters;
    TRegValues FInputRegisters;
};

}  // namespace regwire
