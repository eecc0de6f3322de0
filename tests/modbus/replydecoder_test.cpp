#include "modbus/replydecoder.h"

#include <gtest/gtest.h>

#include "helpers.h"
#include "modbus/errors.h"
#include "modbus/messages.h"

using namespace regwire;
using namespace regwire::test;

namespace {

const TFrameCodec RTU(tmRTU, cmClient);
const TFrameCodec ASCII(tmASCII, cmClient);
using TBytes = std::vector<std::uint8_t>;

// A finished transaction: the request and the reply as binary frames (the
// checksum appended), with the status the transaction thread gave it.
struct TExchange {
    TExchange(const TBytes& request, const TBytes& reply, TTransactionStatus status = tsSuccess,
              const TFrameCodec& codec = RTU)
        : T(codec.MaxADUSize()) {
        T.Request.WriteBytes(request.data(), static_cast<int>(request.size()));
        codec.AddChecksum(T.Request);
        if (!reply.empty()) {
            T.Reply.WriteBytes(reply.data(), static_cast<int>(reply.size()));
            codec.AddChecksum(T.Reply);
        }
        T.Info.Status = status;
    }
    TModbusTransaction T;
};

TBytes ReadRegistersReply(int byteCount, int words) {
    TBytes reply{0x0A, 0x03, static_cast<std::uint8_t>(byteCount)};
    for (int i = 0; i < words; ++i) {
        reply.push_back(0x10);
        reply.push_back(static_cast<std::uint8_t>(i));
    }
    if (byteCount % 2 == 1)
        reply.push_back(0xEE);
    return reply;
}

const TBytes ReadTenRegisters{0x0A, 0x03, 0x00, 0x20, 0x00, 0x0A};

}  // namespace

TEST(ReplyDecoder, RegisterReadByteCountIsHalvedBeforeTheComparison) {
    struct Case {
        int byteCount;
        int words;
        TTransactionStatus status;
    };
    const Case cases[] = {{20, 10, tsSuccess}, {21, 10, tsSuccess}, {18, 9, tsBadReply}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.byteCount);
        TExchange x(ReadTenRegisters, ReadRegistersReply(c.byteCount, c.words));
        TRegistersAccess a;
        TReplyDecoder(RTU).RegistersRead(x.T, a);
        EXPECT_EQ(x.T.Info.Status, c.status);
        EXPECT_EQ(a.Start, 0x20);
        EXPECT_EQ(a.Count, 10);
        ASSERT_EQ(a.Values.size(), 10U);
        EXPECT_EQ(a.Values[9], c.status == tsSuccess ? 0x1009 : 0);
    }
}

// A byte count that promises more than the frame carries must not be taken
// from the checksum or from what an earlier frame left in the buffer.
TEST(ReplyDecoder, ReplyShorterThanItsByteCountIsBadAndKeepsTheWordsItHas) {
    TExchange x(ReadTenRegisters, ReadRegistersReply(20, 3));
    x.T.Reply.Memory()[x.T.Reply.Size()] = 0x77;  // stale bytes past the frame
    TRegistersAccess a;
    TReplyDecoder(RTU).RegistersRead(x.T, a);
    EXPECT_EQ(x.T.Info.Status, tsBadReply);
    EXPECT_EQ(a.Values, (TRegValues{0x1000, 0x1001, 0x1002, 0, 0, 0, 0, 0, 0, 0}));
}

// A client decodes one reply after the other into the same access: nothing of
// an earlier, longer read may show through.
TEST(ReplyDecoder, NoReplyKeepsTheRequestFieldsAndZeroValues) {
    TExchange x({0x0A, 0x04, 0x00, 0x05, 0x00, 0x05}, {}, tsNoReply);
    TRegistersAccess a{0x40, 8, TRegValues(8, 0x7777)};
    TReplyDecoder(RTU).RegistersRead(x.T, a);
    EXPECT_EQ(x.T.Info.Status, tsNoReply);
    EXPECT_EQ(a.Start, 5);
    EXPECT_EQ(a.Values, TRegValues(5, 0));
}

TEST(ReplyDecoder, TenCoilsNeedExactlyTwoBytes) {
    const TBytes request{0x0A, 0x01, 0x00, 0x00, 0x00, 0x0A};
    TExchange good(request, {0x0A, 0x01, 0x02, 0b10100101, 0b00000010});
    TBitsAccess a;
    TReplyDecoder(RTU).BitsRead(good.T, a);
    EXPECT_EQ(good.T.Info.Status, tsSuccess);
    EXPECT_EQ(a.Values, (TBitValues{1, 0, 1, 0, 0, 1, 0, 1, 0, 1}));

    TExchange three(request, {0x0A, 0x01, 0x03, 0xFF, 0xFF, 0xFF});
    TReplyDecoder(RTU).BitsRead(three.T, a);
    EXPECT_EQ(a.Values, TBitValues(10, false));
    EXPECT_EQ(three.T.Info.Status, tsBadReply);
}

TEST(ReplyDecoder, SingleWritesReportTheRequestedValueAndNeedAnExactEcho) {
    TExchange otherValue({0x0A, 0x06, 0x00, 0x21, 0x12, 0x34},
                         {0x0A, 0x06, 0x00, 0x21, 0x12, 0x35});
    const TSingleRegisterAccess r = TReplyDecoder(RTU).SingleRegisterWrite(otherValue.T);
    EXPECT_EQ(otherValue.T.Info.Status, tsBadReply);
    EXPECT_EQ(r.Value, 0x1234);

    struct Case {
        std::uint16_t value;
        bool on;
    };
    for (const Case c : {Case{0xFF00, true}, Case{0x0000, false}, Case{0x00FF, false}}) {
        const auto hi = static_cast<std::uint8_t>(c.value >> 8);
        const auto lo = static_cast<std::uint8_t>(c.value);
        TExchange x({0x0A, 0x05, 0x00, 0x03, hi, lo}, {0x0A, 0x05, 0x00, 0x03, hi, lo});
        const TSingleCoilAccess a = TReplyDecoder(RTU).SingleCoilWrite(x.T);
        EXPECT_EQ(a.Value, c.on) << c.value;
        EXPECT_EQ(x.T.Info.Status, tsSuccess);
    }
}

TEST(ReplyDecoder, DiagnosticsActionFromSubFunctionAndData) {
    struct Case {
        std::uint16_t subFunction, data, replyData;
        TDiagnosticAction action;
        std::uint16_t result;
        TTransactionStatus status;
    };
    const Case cases[] = {
        {1, 0xFF00, 0xFF00, daRestartCommsOptionAndClearEventLog, 0, tsSuccess},
        {1, 0x0000, 0x0000, daRestartCommsOption, 0, tsSuccess},
        {0, 0x1234, 0x1235, daReturnQueryData, 0, tsBadReply},  // an echo that differs
        {11, 0x0000, 0x0042, daReturnBusMessageCount, 0x42, tsSuccess},
        {20, 0x0000, 0x0000, daClearOverrunCounterAndFlag, 0, tsSuccess},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subFunction);
        auto word = [](std::uint16_t w) {
            return TBytes{static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w)};
        };
        TBytes request{0x0A, 0x08};
        TBytes reply{0x0A, 0x08};
        for (const TBytes& w : {word(c.subFunction), word(c.data)})
            request.insert(request.end(), w.begin(), w.end());
        for (const TBytes& w : {word(c.subFunction), word(c.replyData)})
            reply.insert(reply.end(), w.begin(), w.end());
        TExchange x(request, reply);
        const TDiagnosticsOutcome o = TReplyDecoder(RTU).Diagnostics(x.T);
        EXPECT_EQ(o.Action, c.action);
        EXPECT_EQ(o.Result, c.result);
        EXPECT_EQ(x.T.Info.Status, c.status);
    }
}

TEST(ReplyDecoder, UnknownDiagnosticsSubFunctionLeavesTheDecoder) {
    TExchange x({0x0A, 0x08, 0x00, 0x03, 0x00, 0x00}, {0x0A, 0x08, 0x00, 0x03, 0x00, 0x00});
    EXPECT_EQ(MessageOf<ERegwireError>([&] { TReplyDecoder(RTU).Diagnostics(x.T); }),
              "Diagnostic action was not recognized");
}

TEST(ReplyDecoder, ExceptionStatusAndIdentificationWithoutAReply) {
    TExchange answered({0x0A, 0x07}, {0x0A, 0x07, 0x81});
    TExceptionStatusValues values;
    TReplyDecoder(RTU).ExceptionStatusRead(answered.T, values);
    EXPECT_EQ(values, (TExceptionStatusValues{1, 0, 0, 0, 0, 0, 0, 1}));

    TExchange status({0x0A, 0x07}, {}, tsNoReply);
    TReplyDecoder(RTU).ExceptionStatusRead(status.T, values);
    EXPECT_EQ(values, TExceptionStatusValues(8, false));

    TExchange id({0x0A, 0x11}, {0x0A, 0x91, 0x01}, tsException);
    const TServerIdentification s = TReplyDecoder(RTU).ServerIdentificationReport(id.T);
    EXPECT_EQ(s.Count, 0);
    EXPECT_TRUE(s.Data.empty());

    TExchange idShort({0x0A, 0x11}, {0x0A, 0x11, 0x05, 'A', 'B'});
    EXPECT_EQ(TReplyDecoder(RTU).ServerIdentificationReport(idShort.T).Count, 0);
    EXPECT_EQ(idShort.T.Info.Status, tsBadReply);
}

TEST(ReplyDecoder, MultipleWritesReportTheRequestedValues) {
    TExchange coils({0x0A, 0x0F, 0x00, 0x10, 0x00, 0x0A, 0x02, 0xCD, 0x01},
                    {0x0A, 0x0F, 0x00, 0x10, 0x00, 0x0A});
    TBitsAccess c;
    TReplyDecoder(RTU).MultipleCoilsWrite(coils.T, c);
    EXPECT_EQ(coils.T.Info.Status, tsSuccess);
    EXPECT_EQ(c.Values, (TBitValues{1, 0, 1, 1, 0, 0, 1, 1, 1, 0}));

    TExchange regs({0x0A, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02},
                   {0x0A, 0x10, 0x00, 0x01, 0x00, 0x03});
    TRegistersAccess r;
    TReplyDecoder(RTU).MultipleRegistersWrite(regs.T, r);
    EXPECT_EQ(regs.T.Info.Status, tsBadReply);  // the count came back wrong
    EXPECT_EQ(r.Values, (TRegValues{0x000A, 0x0102}));
}

TEST(ReplyDecoder, ReadWriteRegistersTakesBothHalves) {
    TExchange x({0x0A, 0x17, 0x00, 0x03, 0x00, 0x02, 0x00, 0x0E, 0x00, 0x01, 0x02, 0x00, 0xFF},
                {0x0A, 0x17, 0x04, 0x00, 0xFE, 0x0A, 0xCD});
    TRegistersReadWrite a;
    TReplyDecoder(RTU).MultipleRegistersReadWrite(x.T, a);
    EXPECT_EQ(x.T.Info.Status, tsSuccess);
    EXPECT_EQ(a.Read.Values, (TRegValues{0x00FE, 0x0ACD}));
    EXPECT_EQ(a.Written.Start, 0x0E);
    EXPECT_EQ(a.Written.Values, (TRegValues{0x00FF}));
}

TEST(ReplyDecoder, FileRecordReadChecksLengthsAndReferenceType) {
    // Two records: file 4 record 1 length 2, file 3 record 9 length 1.
    const TBytes request{0x0A, 0x14, 0x0E, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00,
                         0x02, 0x06, 0x00, 0x03, 0x00, 0x09, 0x00, 0x01};
    const TBytes reply{0x0A, 0x14, 0x0A, 0x05, 0x06, 0x0D, 0xFE,
                       0x00, 0x20, 0x03, 0x06, 0x33, 0xCD};
    TExchange good(request, reply);
    TModbusFileRecordList records;
    TReplyDecoder(RTU).FileRecordRead(good.T, records);
    EXPECT_EQ(good.T.Info.Status, tsSuccess);
    ASSERT_EQ(records.Count(), 2);
    EXPECT_EQ(records.Items(0).RegValues(), (TRegValues{0x0DFE, 0x0020}));
    EXPECT_EQ(records.Items(1).FileNumber(), 3);
    EXPECT_EQ(records.Items(1).RegValues(), (TRegValues{0x33CD}));

    TBytes wrongType = reply;
    wrongType[10] = 0x07;
    TExchange bad(request, wrongType);
    TModbusFileRecordList partial;
    TReplyDecoder(RTU).FileRecordRead(bad.T, partial);
    EXPECT_EQ(bad.T.Info.Status, tsBadReply);
    EXPECT_EQ(partial.Items(0).RegValues(), (TRegValues{0x0DFE, 0x0020}));
    EXPECT_EQ(partial.Items(1).RegValues(), (TRegValues{0}));
}

TEST(ReplyDecoder, FileRecordWriteNeedsTheWholeRequestEchoed) {
    const TBytes request{0x0A, 0x15, 0x0B, 0x06, 0x00, 0x04, 0x00,
                         0x07, 0x00, 0x02, 0x06, 0xAF, 0x04, 0xBE};
    TExchange echoed(request, request);
    TModbusFileRecordList records;
    TReplyDecoder(RTU).FileRecordWrite(echoed.T, records);
    EXPECT_EQ(echoed.T.Info.Status, tsSuccess);
    ASSERT_EQ(records.Count(), 1);
    EXPECT_EQ(records.Items(0).RecordNumber(), 7);
    EXPECT_EQ(records.Items(0).RegValues(), (TRegValues{0x06AF, 0x04BE}));

    TBytes cut(request.begin(), request.end() - 2);
    TExchange shortEcho(request, cut);
    TModbusFileRecordList again;
    TReplyDecoder(RTU).FileRecordWrite(shortEcho.T, again);
    EXPECT_EQ(shortEcho.T.Info.Status, tsBadReply);
}

TEST(ReplyDecoder, MaskWriteEchoMustMatchAllThreeFields) {
    const TBytes request{0x0A, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25};
    TExchange good(request, request);
    const TRegisterMaskAccess a = TReplyDecoder(RTU).SingleRegisterMaskWrite(good.T);
    EXPECT_EQ(good.T.Info.Status, tsSuccess);
    EXPECT_EQ(a.OrMask, 0x25);
    TBytes other = request;
    other[7] = 0x26;
    TExchange bad(request, other);
    TReplyDecoder(RTU).SingleRegisterMaskWrite(bad.T);
    EXPECT_EQ(bad.T.Info.Status, tsBadReply);
}

TEST(ReplyDecoder, CustomCompletionCarriesTheFrameData) {
    TExchange timedOut({0x0A, 0x41, 0x01, 0x02, 0x03}, {}, tsNoReply);
    TCustomOutcome o = TReplyDecoder(RTU).Custom(timedOut.T);
    EXPECT_EQ(o.RequestData, (TBytes{0x01, 0x02, 0x03}));
    EXPECT_TRUE(o.ResponseData.empty());

    TExchange bare({0x0A, 0x41}, {0x0A, 0x41, 0x09}, tsSuccess, ASCII);
    o = TReplyDecoder(ASCII).Custom(bare.T);
    EXPECT_TRUE(o.RequestData.empty());
    EXPECT_EQ(o.ResponseData, (TBytes{0x09}));

    TExchange anyServer({0x0A, 0x41, 0x01}, {0x0C, 0xC1, 0x01}, tsException);
    anyServer.T.AnyServer = true;
    anyServer.T.Info.ServerAddress = 0x0A;
    TReplyDecoder(RTU).Custom(anyServer.T);
    EXPECT_EQ(anyServer.T.Info.ServerAddress, 0x0C);
}

TEST(ReplyDecoder, ExceptionCodeTexts) {
    EXPECT_EQ(ExceptionCodeText(1), "Illegal function");
    EXPECT_EQ(ExceptionCodeText(2), "Illegal data address");
    EXPECT_EQ(ExceptionCodeText(11), "Gateway target device failed to respond");
    EXPECT_EQ(ExceptionCodeText(9), "Unknown exception code (9)");
}

TEST(Diagnostics, LookupYieldsTheFirstMatch) {
    EXPECT_EQ(FindDiagnosticAction(1), daRestartCommsOption);
    EXPECT_EQ(FindDiagnosticAction(18), daReturnBusCharacterOverrunCount);
    for (const std::uint16_t code : {3, 19, 21, 0xFFFF})
        EXPECT_EQ(MessageOf<ERegwireError>([&] { FindDiagnosticAction(code); }),
                  "Diagnostic action was not recognized");
}
