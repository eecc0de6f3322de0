#include "modbus/filerecord.h"

#include "modbus/errors.h"
#include "modbus/messages.h"

namespace regwire {

namespace {

constexpr long long LastRegister = 9999;

}  // namespace

TModbusFileRecord::TModbusFileRecord(std::uint16_t fileNumber, std::uint16_t recordNumber,
                                     int recordLength)
    : FFileNumber(fileNumber) {
    SetRange(recordNumber, recordLength);
}

void TModbusFileRecord::SetRange(std::uint16_t recordNumber, int recordLength) {
    if (static_cast<long long>(recordNumber) + recordLength - 1 > LastRegister)
        RaiseError(msg::StartingRegisterInvalid, recordNumber);
    if (recordLength < 0)
        RaiseError(msg::RecordLengthInvalid, recordLength);
    FRegValues.resize(static_cast<std::size_t>(recordLength), 0);
    FRecordNumber = recordNumber;
}

void TModbusFileRecord::CheckIndex(int index) const {
    if (index < 0 || index > RecordLength() - 1)
        RaiseError(msg::RegisterIndexInvalid, index);
}

std::uint16_t TModbusFileRecord::RegValue(int index) const {
    CheckIndex(index);
    return FRegValues[static_cast<std::size_t>(index)];
}

void TModbusFileRecord::SetRegValue(int index, std::uint16_t value) {
    CheckIndex(index);
    FRegValues[static_cast<std::size_t>(index)] = value;
}

TModbusFileRecord& TModbusFileRecordList::Add(std::uint16_t fileNumber, std::uint16_t recordNumber,
                                              int recordLength) {
    auto record = std::make_unique<TModbusFileRecord>(fileNumber, recordNumber, recordLength);
    FItems.push_back(std::move(record));
    return *FItems.back();
}

void TModbusFileRecordList::CheckIndex(int index) const {
    if (index < 0 || index >= Count())
        throw EListError(msg::ListIndexOutOfBounds, index);
}

TModbusFileRecord& TModbusFileRecordList::Items(int index) {
    CheckIndex(index);
    return *FItems[static_cast<std::size_t>(index)];
}

const TModbusFileRecord& TModbusFileRecordList::Items(int index) const {
    CheckIndex(index);
    return *FItems[static_cast<std::size_t>(index)];
}

void TModbusFileRecordList::Delete(int index) {
    CheckIndex(index);
    FItems.erase(FItems.begin() + index);
}

void TModbusFileRecordList::Clear() {
    FItems.clear();
}

}  // namespace regwire
