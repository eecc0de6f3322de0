// File records of the read-file-record and write-file-record functions (20
// and 21): a run of registers in a numbered file, and an ordered list of them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "modbus/values.h"

namespace regwire {

// Registers RecordNumber .. RecordNumber + RecordLength - 1 of file
// FileNumber; the last one is never above 9999.
class TModbusFileRecord {
  public:
    // Raises like SetRange; no record exists then.
    TModbusFileRecord(std::uint16_t fileNumber, std::uint16_t recordNumber, int recordLength);

    // Raises "Starting register index is invalid (%d)" with recordNumber when
    // the run would end above register 9999, and "Record length is invalid
    // (%d)" for a negative length; either way nothing changes. Otherwise
    // values that remain are kept and new ones are 0.
    void SetRange(std::uint16_t recordNumber, int recordLength);

    std::uint16_t FileNumber() const { return FFileNumber; }
    std::uint16_t RecordNumber() const { return FRecordNumber; }
    int RecordLength() const { return static_cast<int>(FRegValues.size()); }

    // index must lie in 0..RecordLength - 1, else "Register index is invalid
    // (%d)".
    std::uint16_t RegValue(int index) const;
    void SetRegValue(int index, std::uint16_t value);
    const TRegValues& RegValues() const { return FRegValues; }

  private:
    void CheckIndex(int index) const;

    std::uint16_t FFileNumber;
    std::uint16_t FRecordNumber = 0;
    TRegValues FRegValues;
};

// Owns its records, in the order they were added.
class TModbusFileRecordList {
  public:
    TModbusFileRecordList() = default;
    TModbusFileRecordList(const TModbusFileRecordList&) = delete;
    TModbusFileRecordList& operator=(const TModbusFileRecordList&) = delete;

    // Appends a new record; when creating it raises, nothing is appended.
    TModbusFileRecord& Add(std::uint16_t fileNumber, std::uint16_t recordNumber, int recordLength);
    int Count() const { return static_cast<int>(FItems.size()); }
    // An index outside 0..Count - 1 raises EListError "List index out of
    // bounds (%d)".
    TModbusFileRecord& Items(int index);
    const TModbusFileRecord& Items(int index) const;
    void Delete(int index);
    void Clear();

  private:
    void CheckIndex(int index) const;

    std::vector<std::unique_ptr<TModbusFileRecord>> FItems;
};

}  // namespace regwire
