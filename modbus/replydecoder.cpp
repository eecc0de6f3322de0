#include "modbus/replydecoder.h"

#include <algorithm>

#include "modbus/bits.h"
#include "modbus/errors.h"
#include "modbus/framefields.h"
#include "modbus/messages.h"

namespace regwire {

namespace {

// Checks a normal reply and takes its values. Content faults never leave
// here: any library error marks the transaction tsBadReply.
template <typename Check>
void CheckNormalReply(TTransactionInfo& info, Check check) {
    if (info.Status != tsSuccess)
        return;
    try {
        check();
    } catch (const ERegwireError&) {
        info.Status = tsBadReply;
    }
}

void Expect(bool condition) {
    if (!condition)
        RaiseInternalError();
}

// The start and count fields that open the request of codes 1 to 4, 15, 16.
template <typename Access>
void StartAndCount(const TFrameFields& request, Access& access) {
    access.Start = request.Word(2);
    access.Count = request.Word(4);
}

}  // namespace

void TReplyDecoder::BitsRead(TModbusTransaction& t, TBitsAccess& access) const {
    StartAndCount(TFrameFields(t.Request, FCodec.ChecksumSize()), access);
    access.Values.assign(access.Count, false);
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        Expect(reply.Byte(2) == BitByteCount(access.Count));
        reply.Bits(3, access.Values);
    });
}

// An odd byte count one above twice the count passes: the count is compared
// after an integer halving.
void TReplyDecoder::RegistersRead(TModbusTransaction& t, TRegistersAccess& access) const {
    StartAndCount(TFrameFields(t.Request, FCodec.ChecksumSize()), access);
    access.Values.assign(access.Count, 0);
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        Expect(reply.Byte(2) / 2 == access.Count);
        reply.Words(3, access.Values);
    });
}

TSingleCoilAccess TReplyDecoder::SingleCoilWrite(TModbusTransaction& t) const {
    const TFrameFields request(t.Request, FCodec.ChecksumSize());
    const std::uint16_t address = request.Word(2);
    const std::uint16_t value = request.Word(4);
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        Expect(reply.Word(2) == address && reply.Word(4) == value);
    });
    return {address, value == 0xFF00};
}

TSingleRegisterAccess TReplyDecoder::SingleRegisterWrite(TModbusTransaction& t) const {
    const TFrameFields request(t.Request, FCodec.ChecksumSize());
    const TSingleRegisterAccess access{request.Word(2), request.Word(4)};
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        Expect(reply.Word(2) == access.Address && reply.Word(4) == access.Value);
    });
    return access;
}

void TReplyDecoder::ExceptionStatusRead(TModbusTransaction& t,
                                        TExceptionStatusValues& values) const {
    values.assign(8, false);
    CheckNormalReply(t.Info, [&] {
        const std::uint8_t status = TFrameFields(t.Reply, FCodec.ChecksumSize()).Byte(2);
        for (int j = 0; j < 8; ++j)
            values[static_cast<std::size_t>(j)] = (status & (1U << j)) != 0;
    });
}

TDiagnosticsOutcome TReplyDecoder::Diagnostics(TModbusTransaction& t) const {
    const TFrameFields request(t.Request, FCodec.ChecksumSize());
    const std::uint16_t subFunction = request.Word(2);
    TDiagnosticsOutcome outcome;
    outcome.Action = FindDiagnosticAction(subFunction);
    const std::uint16_t data = request.Word(4);
    if (outcome.Action == daRestartCommsOption && data == ClearEventLogData)
        outcome.Action = daRestartCommsOptionAndClearEventLog;
    // A server in listen-only mode sends nothing back: there is no reply to
    // check.
    if (outcome.Action == daForceListenOnlyMode)
        return outcome;
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        Expect(reply.Word(2) == subFunction);
        if (DiagnosticEchoesData(outcome.Action))
            Expect(reply.Word(4) == data);
        else
            outcome.Result = reply.Word(4);
    });
    return outcome;
}

// The request's byte count (byte 6) is not consulted: the bits follow it.
void TReplyDecoder::MultipleCoilsWrite(TModbusTransaction& t, TBitsAccess& access) const {
    const TFrameFields request(t.Request, FCodec.ChecksumSize());
    StartAndCount(request, access);
    access.Values.assign(access.Count, false);
    request.Bits(7, access.Values);
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        Expect(reply.Word(2) == access.Start && reply.Word(4) == access.Count);
    });
}

void TReplyDecoder::MultipleRegistersWrite(TModbusTransaction& t, TRegistersAccess& access) const {
    const TFrameFields request(t.Request, FCodec.ChecksumSize());
    StartAndCount(request, access);
    access.Values.assign(access.Count, 0);
    request.Words(7, access.Values);
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        Expect(reply.Word(2) == access.Start && reply.Word(4) == access.Count);
    });
}

TServerIdentification TReplyDecoder::ServerIdentificationReport(TModbusTransaction& t) const {
    TServerIdentification identification;
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        const int count = reply.Byte(2);
        TServerIdentificationData data(static_cast<std::size_t>(count));
        reply.Bytes(3, data.data(), count);
        identification.Count = count;
        identification.Data = std::move(data);
    });
    return identification;
}

// Each record of the reply is its length byte (2 x record length + 1), the
// reference type 6 and the record's words.
void TReplyDecoder::FileRecordRead(TModbusTransaction& t, TModbusFileRecordList& records) const {
    const TFrameFields request(t.Request, FCodec.ChecksumSize());
    const int recordCount = request.Byte(2) / 7;
    for (int i = 0; i < recordCount; ++i) {
        const int at = 3 + 7 * i;
        records.Add(request.Word(at + 1), request.Word(at + 3), request.Word(at + 5));
    }
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        int dataLength = 0;
        for (int i = 0; i < records.Count(); ++i)
            dataLength += 2 * records.Items(i).RecordLength() + 2;
        Expect(reply.Byte(2) == dataLength);
        int at = 3;
        for (int i = 0; i < records.Count(); ++i) {
            TModbusFileRecord& record = records.Items(i);
            Expect(reply.Byte(at) == 2 * record.RecordLength() + 1);
            Expect(reply.Byte(at + 1) == 6);
            for (int j = 0; j < record.RecordLength(); ++j)
                record.SetRegValue(j, reply.Word(at + 2 + 2 * j));
            at += 2 + 2 * record.RecordLength();
        }
    });
}

void TReplyDecoder::FileRecordWrite(TModbusTransaction& t, TModbusFileRecordList& records) const {
    const TFrameFields request(t.Request, FCodec.ChecksumSize());
    const int end = 3 + request.Byte(2);
    for (int at = 3; at < end;) {
        TModbusFileRecord& record =
            records.Add(request.Word(at + 1), request.Word(at + 3), request.Word(at + 5));
        for (int j = 0; j < record.RecordLength(); ++j)
            record.SetRegValue(j, request.Word(at + 7 + 2 * j));
        at += 7 + 2 * record.RecordLength();
    }
    CheckNormalReply(t.Info, [&] {
        const auto sent = t.Request.Bytes();
        const auto echoed = t.Reply.Bytes();
        Expect(std::equal(sent.begin(), sent.end(), echoed.begin(), echoed.end()));
    });
}

TRegisterMaskAccess TReplyDecoder::SingleRegisterMaskWrite(TModbusTransaction& t) const {
    const TFrameFields request(t.Request, FCodec.ChecksumSize());
    const TRegisterMaskAccess access{request.Word(2), request.Word(4), request.Word(6)};
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        Expect(reply.Word(2) == access.Address && reply.Word(4) == access.AndMask &&
               reply.Word(6) == access.OrMask);
    });
    return access;
}

void TReplyDecoder::MultipleRegistersReadWrite(TModbusTransaction& t,
                                               TRegistersReadWrite& access) const {
    const TFrameFields request(t.Request, FCodec.ChecksumSize());
    access.Read.Start = request.Word(2);
    access.Read.Count = request.Word(4);
    access.Written.Start = request.Word(6);
    access.Written.Count = request.Word(8);
    access.Written.Values.assign(access.Written.Count, 0);
    request.Words(11, access.Written.Values);
    access.Read.Values.assign(access.Read.Count, 0);
    CheckNormalReply(t.Info, [&] {
        const TFrameFields reply(t.Reply, FCodec.ChecksumSize());
        Expect(reply.Byte(2) / 2 == access.Read.Count);
        reply.Words(3, access.Read.Values);
    });
}

TCustomOutcome TReplyDecoder::Custom(TModbusTransaction& t) const {
    if (t.AnyServer && t.Info.Status >= tsBadReply && t.Reply.Size() > 0)
        t.Info.ServerAddress = FCodec.GetFrameAddress(t.Reply);
    TCustomOutcome outcome;
    outcome.RequestData = GetFrameData(t.Request);
    if (t.Info.Status == tsSuccess)
        outcome.ResponseData = GetFrameData(t.Reply);
    return outcome;
}

TByteString TReplyDecoder::GetFrameData(TModbusBuffer& frame) const {
    const int n = frame.Size() - FCodec.AddressSize() - 1 - FCodec.ChecksumSize();
    if (n <= 0)
        return {};
    TByteString data(static_cast<std::size_t>(n));
    frame.SetPosition(FCodec.AddressSize() + 1);
    frame.ReadBytes(data.data(), n);
    return data;
}

std::string ExceptionCodeText(std::uint8_t code) {
    switch (code) {
        case 1:
            return std::string(msg::ExceptionIllegalFunction);
        case 2:
            return std::string(msg::ExceptionIllegalDataAddress);
        case 3:
            return std::string(msg::ExceptionIllegalDataValue);
        case 4:
            return std::string(msg::ExceptionServerDeviceFailure);
        case 5:
            return std::string(msg::ExceptionAcknowledge);
        case 6:
            return std::string(msg::ExceptionServerDeviceBusy);
        case 8:
            return std::string(msg::ExceptionMemoryParityError);
        case 10:
            return std::string(msg::ExceptionGatewayPathUnavailable);
        case 11:
            return std::string(msg::ExceptionGatewayTargetFailed);
        default:
            return FormatMessage(msg::ExceptionUnknown, {code});
    }
}

}  // namespace regwire
