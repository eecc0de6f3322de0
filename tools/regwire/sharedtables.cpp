#include "sharedtables.h"

#include <algorithm>

namespace regwire::tool {

namespace {

constexpr int MaxTableSize = 0x10000;

}  // namespace

TSharedTables::TSharedTables(int size)
    : FSize(std::clamp(size, 0, MaxTableSize)),
      FCoils(std::make_unique<std::atomic<bool>[]>(static_cast<std::size_t>(FSize))),
      FHoldingRegisters(
          std::make_unique<std::atomic<std::uint16_t>[]>(static_cast<std::size_t>(FSize))) {}

TWriteCheck TSharedTablesServer::CheckCoilWrite(std::uint16_t address, bool) {
    return FTables.Holds(address) ? wcAccept : wcIllegalAddress;
}

TWriteCheck TSharedTablesServer::CheckHoldingRegisterWrite(std::uint16_t address, std::uint16_t) {
    return FTables.Holds(address) ? wcAccept : wcIllegalAddress;
}

}  // namespace regwire::tool
