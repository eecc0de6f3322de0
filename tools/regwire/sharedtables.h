// The tables `regwire serve` answers from when it serves many Modbus TCP
// peers at once: one set of coils, discrete inputs, holding and input
// registers, shared by the server objects of every peer, each answering on
// its peer's own thread. Every entry is read and written whole, so a peer
// sees what another wrote without a lock around each request; a read of
// several entries while another peer writes them may see some old and some
// new, as it would from a device.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "modbus/server.h"

namespace regwire::tool {

class TSharedTables {
  public:
    // Tables of size entries each (0..65536), filled as serve's are: coils
    // and holding registers 0, discrete input i on when i is odd, input
    // register i holding i mod 65536.
    explicit TSharedTables(int size);

    int Size() const { return FSize; }
    bool Holds(int address) const { return address >= 0 && address < FSize; }

    bool Coil(int address) const { return FCoils[address].load(std::memory_order_relaxed); }
    void PutCoil(int address, bool value) {
        FCoils[address].store(value, std::memory_order_relaxed);
    }
    bool DiscreteInput(int address) const { return (address % 2) == 1; }
    std::uint16_t HoldingRegister(int address) const {
        return FHoldingRegisters[address].load(std::memory_order_relaxed);
    }
    void PutHoldingRegister(int address, std::uint16_t value) {
        FHoldingRegisters[address].store(value, std::memory_order_relaxed);
    }
    std::uint16_t InputRegister(int address) const {
        return static_cast<std::uint16_t>(address % 65536);
    }

  private:
    int FSize;
    std::unique_ptr<std::atomic<bool>[]> FCoils;
    std::unique_ptr<std::atomic<std::uint16_t>[]> FHoldingRegisters;
};

// The server object of one peer: answers as its address from the shared
// tables; an address beyond them is answered with exception code 2.
class TSharedTablesServer final : public TModbusServer {
  public:
    explicit TSharedTablesServer(TSharedTables& tables) : FTables(tables) {}

  protected:
    bool IsCoilValid(std::uint16_t address) override { return FTables.Holds(address); }
    bool IsDiscreteInputValid(std::uint16_t address) override { return FTables.Holds(address); }
    bool IsHoldingRegisterValid(std::uint16_t address) override { return FTables.Holds(address); }
    bool IsInputRegisterValid(std::uint16_t address) override { return FTables.Holds(address); }
    TWriteCheck CheckCoilWrite(std::uint16_t address, bool) override;
    TWriteCheck CheckHoldingRegisterWrite(std::uint16_t address, std::uint16_t) override;
    bool GetCoil(std::uint16_t address) override { return FTables.Coil(address); }
    bool GetDiscreteInput(std::uint16_t address) override { return FTables.DiscreteInput(address); }
    std::uint16_t GetHoldingRegister(std::uint16_t address) override {
        return FTables.HoldingRegister(address);
    }
    std::uint16_t GetInputRegister(std::uint16_t address) override {
        return FTables.InputRegister(address);
    }
    void SetCoil(std::uint16_t address, bool value) override { FTables.PutCoil(address, value); }
    void SetHoldingRegister(std::uint16_t address, std::uint16_t value) override {
        FTables.PutHoldingRegister(address, value);
    }

  private:
    TSharedTables& FTables;
};

}  // namespace regwire::tool
