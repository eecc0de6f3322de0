#include "modbus/filerecord.h"

#include <gtest/gtest.h>

#include "helpers.h"
#include "modbus/errors.h"
#include "modbus/messages.h"

using namespace regwire;
using namespace regwire::test;

TEST(ModbusFileRecord, RangeEndsAtRegister9999) {
    struct Case {
        std::uint16_t recordNumber;
        int length;
        std::string message;  // empty: accepted
    };
    const Case cases[] = {
        {9990, 10, ""},
        {9990, 11, "Starting register index is invalid (9990)"},
        {10000, 0, ""},
        {10000, 1, "Starting register index is invalid (10000)"},
        {65535, 0, "Starting register index is invalid (65535)"},
        {0, 10000, ""},
        {0, -1, "Record length is invalid (-1)"},
    };
    for (const Case& c : cases) {
        const std::string raised = MessageOf<ERegwireError>([&] {
            EXPECT_EQ(TModbusFileRecord(3, c.recordNumber, c.length).RecordLength(), c.length);
        });
        EXPECT_EQ(raised, c.message.empty() ? "no exception" : c.message)
            << c.recordNumber << "+" << c.length;
    }
}

TEST(ModbusFileRecord, SetRangeKeepsValuesOrChangesNothing) {
    TModbusFileRecord record(4, 100, 3);
    record.SetRegValue(0, 11);
    record.SetRegValue(2, 33);
    record.SetRange(200, 5);
    EXPECT_EQ(record.RecordNumber(), 200);
    EXPECT_EQ(record.RegValues(), (TRegValues{11, 0, 33, 0, 0}));

    EXPECT_THROW(record.SetRange(9998, 3), ERegwireError);
    EXPECT_EQ(record.RecordNumber(), 200);
    EXPECT_EQ(record.RecordLength(), 5);
    EXPECT_EQ(record.FileNumber(), 4);
}

TEST(ModbusFileRecord, RegisterIndexMustLieInTheRecord) {
    TModbusFileRecord record(1, 0, 4);
    record.SetRegValue(3, 0xBEEF);
    EXPECT_EQ(record.RegValue(3), 0xBEEF);
    EXPECT_EQ(MessageOf<ERegwireError>([&] { record.SetRegValue(4, 1); }),
              "Register index is invalid (4)");
    EXPECT_EQ(MessageOf<ERegwireError>([&] { record.SetRegValue(-1, 1); }),
              "Register index is invalid (-1)");
    EXPECT_EQ(MessageOf<ERegwireError>([&] { record.RegValue(4); }),
              "Register index is invalid (4)");
}

TEST(ModbusFileRecordList, KeepsRecordsInOrderAndChecksIndices) {
    TModbusFileRecordList list;
    list.Add(1, 10, 2);
    list.Add(2, 20, 3);
    list.Add(3, 30, 4);
    EXPECT_THROW(list.Add(4, 9999, 2), ERegwireError);
    ASSERT_EQ(list.Count(), 3) << "a record that cannot be created is not appended";

    list.Delete(1);
    EXPECT_EQ(list.Items(0).FileNumber(), 1);
    EXPECT_EQ(list.Items(1).FileNumber(), 3);
    EXPECT_EQ(MessageOf<EListError>([&] { list.Items(2); }), "List index out of bounds (2)");
    EXPECT_EQ(MessageOf<EListError>([&] { list.Delete(-1); }), "List index out of bounds (-1)");

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}
